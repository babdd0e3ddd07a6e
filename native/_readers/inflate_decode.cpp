// inflate_decode: every moment checked with the GIL, then the chunks of all of them inflated
// and decoded on the threads without it.
#include "inflate_decode.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "wrappers.hpp"

namespace readers {

namespace {

// The largest chunk taken here: HDF5 allows chunks up to 4 GiB, radar files use kilobytes, and
// a damaged file may declare anything (every thread's scratch is one chunk).
constexpr int64_t kMaxChunkBytes = int64_t{1} << 28;

using ChunkRunner = bool (*)(const ChunkedMoment&, int64_t, ChunkScratch&);

template <class Stored>
bool is(const py::dtype& dtype) {
  return dtype.is(py::dtype::of<Stored>());
}

// The chunk runner of the stored type `dtype`; TypeError for a type not decoded here.
ChunkRunner runner_of(const py::dtype& dtype, const std::string& where) {
  if (is<uint8_t>(dtype)) return inflate_decode_chunk<uint8_t>;
  if (is<int8_t>(dtype)) return inflate_decode_chunk<int8_t>;
  if (is<uint16_t>(dtype)) return inflate_decode_chunk<uint16_t>;
  if (is<int16_t>(dtype)) return inflate_decode_chunk<int16_t>;
  if (is<uint32_t>(dtype)) return inflate_decode_chunk<uint32_t>;
  if (is<int32_t>(dtype)) return inflate_decode_chunk<int32_t>;
  if (is<float>(dtype)) return inflate_decode_chunk<float>;
  if (is<double>(dtype)) return inflate_decode_chunk<double>;
  throw py::type_error(where +
                       "dtype: expected 8-, 16- or 32-bit integers, float32 or float64 in "
                       "native byte order, got dtype " +
                       std::string(py::str(dtype)));
}

// Every chunk inside the image, on the grid of chunks over the moment, and every cell of the
// grid taken by exactly one chunk.
void check_chunks(const ChunkedMoment& m, int64_t image_size, const std::string& where) {
  for (int64_t c = 0; c < m.n_chunks; ++c) {
    const int64_t at = m.addresses[c];
    const int64_t size = m.sizes[c];
    if (at < 0 || size < 0 || at > image_size || size > image_size - at) {
      throw std::invalid_argument(where + "chunk " + std::to_string(c) + " lies outside image");
    }
  }
  const int64_t grid_rows = m.rows / m.chunk_rows + (m.rows % m.chunk_rows != 0 ? 1 : 0);
  const int64_t grid_gates = m.gates / m.chunk_gates + (m.gates % m.chunk_gates != 0 ? 1 : 0);
  const std::string misplaced = where + "starts must put one chunk on each cell of the grid";
  if (m.n_chunks != grid_rows * grid_gates) {
    throw std::invalid_argument(misplaced);
  }
  std::vector<bool> taken(static_cast<size_t>(m.n_chunks), false);
  for (int64_t c = 0; c < m.n_chunks; ++c) {
    const int64_t row = m.starts[2 * c];
    const int64_t gate = m.starts[2 * c + 1];
    if (row < 0 || row >= m.rows || gate < 0 || gate >= m.gates || row % m.chunk_rows != 0 ||
        gate % m.chunk_gates != 0) {
      throw std::invalid_argument(misplaced);
    }
    const auto cell = static_cast<size_t>((row / m.chunk_rows) * grid_gates + gate / m.chunk_gates);
    if (taken[cell]) {
      throw std::invalid_argument(misplaced);
    }
    taken[cell] = true;
  }
}

std::pair<int64_t, int64_t> two_sizes(const std::array<int64_t, 2>& sizes, int64_t least,
                                      const std::string& message) {
  if (sizes[0] < least || sizes[1] < least) {
    throw std::invalid_argument(message);
  }
  return {sizes[0], sizes[1]};
}

// One moment's job checked and described for the threads (the arrays stay held by `job`, the
// caller's argument, while the GIL is released); `bytes` is the size of its chunks inflated.
ChunkedMoment checked(const MomentJob& job, const py::buffer_info& image, const std::string& where,
                      int64_t& bytes) {
  const auto& [addresses, sizes, starts, chunk, shape, dtype, shuffled, scale, offset, codes, rows,
               out] = job;
  const int64_t n = addresses.ndim() == 1 ? addresses.shape(0) : -1;
  if (n < 0 || sizes.ndim() != 1 || sizes.shape(0) != n || starts.ndim() != 2 ||
      starts.shape(0) != n || starts.shape(1) != 2) {
    throw std::invalid_argument(where +
                                "addresses, sizes and starts must describe the same chunks");
  }
  const ChunkRunner runner = runner_of(dtype, where);
  const auto [chunk_rows, chunk_gates] =
      two_sizes(chunk, 1, where + "chunk must be two sizes of at least 1");
  const auto [stored_rows, gates] =
      two_sizes(shape, 0, where + "shape must be two sizes of at least 0");
  if (chunk_gates > kMaxChunkBytes / chunk_rows / dtype.itemsize()) {
    throw std::invalid_argument(where + "a chunk must hold at most 2**28 bytes");
  }
  bytes = chunk_rows * chunk_gates * dtype.itemsize();
  if (codes.ndim() != 1) {
    throw std::invalid_argument(where + "codes must be 1-D");
  }
  int64_t out_rows = stored_rows;
  const int64_t* source = nullptr;
  if (rows) {
    if (rows->ndim() != 1) {
      throw std::invalid_argument(where + "rows must be 1-D");
    }
    out_rows = rows->shape(0);
    source = rows->data();
    if (!rows_within(source, out_rows, stored_rows)) {
      throw std::invalid_argument(where + "rows must hold row numbers of the moment");
    }
  }
  if (!fits_out(out, out_rows, gates)) {
    throw std::invalid_argument(
        where + "out must be a writable C-contiguous float64 array of the result's shape");
  }
  if (overlapping(image.ptr, image.size, out.data(), out.nbytes())) {
    throw std::invalid_argument(where + "out must not share memory with image");
  }
  ChunkedMoment m{.image = static_cast<const uint8_t*>(image.ptr),
                  .addresses = addresses.data(),
                  .sizes = sizes.data(),
                  .starts = starts.data(),
                  .n_chunks = n,
                  .rows = stored_rows,
                  .gates = gates,
                  .chunk_rows = chunk_rows,
                  .chunk_gates = chunk_gates,
                  .shuffled = shuffled,
                  .source = source,
                  .out_rows = out_rows,
                  .unpacking = unpacking_of(scale, offset, codes),
                  .out = static_cast<double*>(const_cast<void*>(out.data())),
                  .inflate_decode = runner};
  if (out_rows == 0 || gates == 0) {
    m.n_chunks = 0;  // nothing to write: the chunks are not read
  } else {
    check_chunks(m, image.size, where);
  }
  return m;
}

// No two moments write into the same memory (threads write their chunks at once).
void check_apart(const std::vector<ChunkedMoment>& moments) {
  std::vector<std::pair<const double*, size_t>> spans;  // first byte and moment
  for (size_t k = 0; k < moments.size(); ++k) {
    if (moments[k].out_rows > 0 && moments[k].gates > 0) {
      spans.emplace_back(moments[k].out, k);
    }
  }
  std::sort(spans.begin(), spans.end());
  for (size_t s = 1; s < spans.size(); ++s) {
    const ChunkedMoment& before = moments[spans[s - 1].second];
    if (before.out + before.out_rows * before.gates > spans[s].first) {
      const size_t k = std::max(spans[s - 1].second, spans[s].second);
      throw std::invalid_argument("moments[" + std::to_string(k) +
                                  "]: out must not share memory with another moment's out");
    }
  }
}

}  // namespace

void inflate_decode_py(const py::buffer& image, const std::vector<MomentJob>& moments,
                       int32_t n_threads) {
  const py::buffer_info bytes = image.request();
  if (bytes.ndim != 1 || bytes.itemsize != 1 || bytes.strides[0] != 1) {
    throw std::invalid_argument("image must be contiguous bytes");
  }
  std::vector<ChunkedMoment> described;
  std::vector<int64_t> chunk_bytes;  // of each moment's chunks inflated
  int64_t largest = 0;
  bool shuffled = false;
  for (size_t k = 0; k < moments.size(); ++k) {
    int64_t size = 0;
    described.push_back(checked(moments[k], bytes, "moments[" + std::to_string(k) + "]: ", size));
    chunk_bytes.push_back(size);
    largest = std::max(largest, size);
    shuffled = shuffled || described.back().shuffled;
  }
  check_apart(described);
  int64_t failed = 0;
  {
    const py::gil_scoped_release release;
    failed = inflate_decode_moments(described, static_cast<size_t>(largest), shuffled, n_threads);
  }
  for (size_t k = 0; k < described.size(); ++k) {
    if (failed < described[k].n_chunks) {
      throw std::invalid_argument("moments[" + std::to_string(k) + "]: chunk " +
                                  std::to_string(failed) + " does not inflate to " +
                                  std::to_string(chunk_bytes[k]) + " bytes");
    }
    failed -= described[k].n_chunks;
  }
}

}  // namespace readers
