// The Python-facing wrapper of the decoders, registered by module.cpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "common/bindings.hpp"
#include "decode.hpp"

namespace readers {

namespace py = pybind11;

// Row numbers of the stored moment, one per output row.
using OrderArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast |
                                            py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// Where decode writes, when the caller gives it: a writable C-contiguous float64 array (no
// conversion, which would write into a copy).
using GivenOut = py::array_t<double, py::array::c_style>;

// The checks and the unpacking that decode and inflate_decode share; each caller raises its
// own message.

// Whether `out` is a writable C-contiguous float64 array of shape (rows, gates).
inline bool fits_out(const py::array& out, int64_t rows, int64_t gates) {
  return py::isinstance<GivenOut>(out) && out.writeable() &&
         (out.flags() & py::array::c_style) != 0 && out.ndim() == 2 && out.shape(0) == rows &&
         out.shape(1) == gates;
}

// Whether the bytes [a, a + a_size) and [b, b + b_size) overlap (a result written over what it
// is read from would read values already written).
inline bool overlapping(const void* a, int64_t a_size, const void* b, int64_t b_size) {
  const auto* a_first = static_cast<const char*>(a);
  const auto* b_first = static_cast<const char*>(b);
  return a_size > 0 && b_size > 0 && a_first < b_first + b_size && b_first < a_first + a_size;
}

// Whether the n row numbers `rows` are all rows of a moment of `stored_rows` rows.
inline bool rows_within(const int64_t* rows, int64_t n, int64_t stored_rows) {
  for (int64_t r = 0; r < n; ++r) {
    if (rows[r] < 0 || rows[r] >= stored_rows) {
      return false;
    }
  }
  return true;
}

// The unpacking of the arguments scale, offset and codes (1-D, checked by the caller).
inline Unpacking unpacking_of(std::optional<double> scale, std::optional<double> offset,
                              const common::InArray& codes) {
  return {.has_scale = scale.has_value(),
          .scale = scale.value_or(1.0),
          .has_offset = offset.has_value(),
          .offset = offset.value_or(0.0),
          .codes = codes.data(),
          .n_codes = codes.shape(0)};
}

common::OutArray decode_py(const py::array& data, std::optional<double> scale,
                           std::optional<double> offset, const common::InArray& codes,
                           const std::optional<OrderArray>& rows, int32_t n_threads,
                           const std::optional<py::array>& out);

// The deflate streams of a dataset's chunks, each inflated to exactly `size` bytes (a row of
// the result); ValueError naming the first that is not.
py::array_t<uint8_t> inflate_py(const std::vector<py::buffer>& chunks, int64_t size);

// One moment of inflate_decode: its chunks' addresses, stored sizes and first (row, gate) in
// the file's bytes, the chunk's and the moment's shapes, the stored type, whether the byte
// shuffle was applied, the unpacking (as decode_py takes it) and where to write.
using MomentJob =
    std::tuple<OrderArray, OrderArray, OrderArray, std::array<int64_t, 2>, std::array<int64_t, 2>,
               py::dtype, bool, std::optional<double>, std::optional<double>, common::InArray,
               std::optional<OrderArray>, py::array>;

// The moments stored in deflated chunks of the file's bytes `image`, inflated and decoded into
// their `out`, the chunks of all of them shared out over n_threads threads; ValueError naming
// the first chunk that does not inflate to a chunk's bytes.
void inflate_decode_py(const py::buffer& image, const std::vector<MomentJob>& moments,
                       int32_t n_threads);

}  // namespace readers
