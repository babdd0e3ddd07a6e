// The Python-facing wrapper of the decoders, registered by module.cpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bindings.hpp"

namespace readers {

namespace py = pybind11;

// Row numbers of the stored moment, one per output row.
using OrderArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast |
                                            py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// Where decode writes, when the caller gives it: a writable C-contiguous float64 array (no
// conversion, which would write into a copy).
using GivenOut = py::array_t<double, py::array::c_style>;

common::OutArray decode_py(const py::array& data, std::optional<double> scale,
                           std::optional<double> offset, const common::InArray& codes,
                           const std::optional<OrderArray>& rows, int32_t n_threads,
                           const std::optional<py::array>& out);

// The deflate streams of a dataset's chunks, each inflated to exactly `size` bytes (a row of
// the result); ValueError naming the first that is not.
py::array_t<uint8_t> inflate_py(const std::vector<py::buffer>& chunks, int64_t size);

}  // namespace readers
