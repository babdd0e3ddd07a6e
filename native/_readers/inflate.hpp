// The chunks of an HDF5 dataset stored with the deflate filter, inflated: plain C++ over raw
// pointers, free of Python types. Each chunk is one zlib stream that must fill its place
// exactly, so that a damaged or oversized stream never writes past it. The streams are zlib's
// format, inflated by libdeflate (native/third_party/libdeflate), which decodes them in one
// call over the whole chunk, about twice as fast as zlib's inflate on the radars' chunks.
#pragma once

#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace readers {

struct FreeDecompressor {
  void operator()(libdeflate_decompressor* decompressor) const noexcept {
    libdeflate_free_decompressor(decompressor);
  }
};

// A decompressor holds libdeflate's decoding tables (some kilobytes): one serves all the chunks
// of a call instead of one allocation per chunk.
using Decompressor = std::unique_ptr<libdeflate_decompressor, FreeDecompressor>;

// Allocated while the caller can still raise: std::bad_alloc when memory is exhausted, so that
// nothing has to be thrown later, where the GIL is released.
inline Decompressor make_decompressor() {
  Decompressor decompressor(libdeflate_alloc_decompressor());
  if (!decompressor) {
    throw std::bad_alloc();
  }
  return decompressor;
}

// Inflates the zlib stream in[0, in_size) into out[0, out_size): true when the stream (header,
// deflate data and Adler-32 trailer) is valid and inflates to exactly out_size bytes, false for
// a damaged, short or longer stream (out then holds unspecified bytes; libdeflate never writes
// past out_size). Bytes after the stream's end are ignored, as zlib's inflate and HDF5's own
// deflate filter ignore them. libdeflate reads a few codes that no encoder writes and zlib
// refuses (length symbols 286 and 287 and distance symbols 30 and 31 as the largest length and
// distance, either codeword of a one-codeword code) instead of failing on them: such a stream
// still passes only when its Adler-32 is that of what it inflates to, so a damaged chunk gets
// through only by a collision of the checksum, as with zlib.
inline bool inflate_exactly(libdeflate_decompressor* decompressor, const uint8_t* in,
                            size_t in_size, uint8_t* out, size_t out_size) {
  size_t used = 0;  // the stream's own length, at most in_size
  size_t written = 0;
  const libdeflate_result result =
      libdeflate_zlib_decompress_ex(decompressor, in, in_size, out, out_size, &used, &written);
  // LIBDEFLATE_INSUFFICIENT_SPACE: the stream is longer than its place; a shorter one succeeds
  // with fewer bytes written, since `written` is asked for
  return result == LIBDEFLATE_SUCCESS && written == out_size;
}

// Inflates n chunks, chunk i from in[i] (in_sizes[i] bytes) to out + i * size, with the one
// decompressor: the index of the first chunk that does not inflate to exactly size bytes, or n
// when all do.
inline int64_t inflate_chunks(libdeflate_decompressor* decompressor, const uint8_t* const* in,
                              const size_t* in_sizes, int64_t n, size_t size, uint8_t* out) {
  for (int64_t i = 0; i < n; ++i) {
    const auto k = static_cast<size_t>(i);
    if (!inflate_exactly(decompressor, in[k], in_sizes[k], out + k * size, size)) {
      return i;
    }
  }
  return n;
}

}  // namespace readers
