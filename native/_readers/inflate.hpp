// The chunks of an HDF5 dataset stored with the deflate filter, inflated: plain C++ over raw
// pointers, free of Python types. Each chunk is one zlib stream that must fill its place
// exactly, so that a damaged or oversized stream never writes past it.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace readers {

// Inflates the zlib stream in[0, in_size) into out[0, out_size): true when the stream ends
// having written exactly out_size bytes, false for a damaged, short or longer stream (out then
// holds whatever was inflated before the fault).
inline bool inflate_exactly(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
  constexpr size_t kMax = std::numeric_limits<uInt>::max();
  if (in_size > kMax || out_size > kMax) {
    return false;  // chunks of HDF5 are below 4 GiB
  }
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    return false;
  }
  stream.next_in = const_cast<Bytef*>(in);  // zlib's interface is not const; it only reads
  stream.avail_in = static_cast<uInt>(in_size);
  stream.next_out = out;
  stream.avail_out = static_cast<uInt>(out_size);
  const int status = inflate(&stream, Z_FINISH);
  const bool filled = status == Z_STREAM_END && stream.avail_out == 0;
  inflateEnd(&stream);
  return filled;
}

// Inflates n chunks, chunk i from in[i] (in_sizes[i] bytes) to out + i * size: the index of
// the first chunk that does not inflate to exactly size bytes, or n when all do.
inline int64_t inflate_chunks(const uint8_t* const* in, const size_t* in_sizes, int64_t n,
                              size_t size, uint8_t* out) {
  for (int64_t i = 0; i < n; ++i) {
    const auto k = static_cast<size_t>(i);
    if (!inflate_exactly(in[k], in_sizes[k], out + k * size, size)) {
      return i;
    }
  }
  return n;
}

}  // namespace readers
