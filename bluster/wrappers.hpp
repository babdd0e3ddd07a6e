// The Python-facing wrappers of the atmospheric kernels, registered by module.cpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace bluster {

namespace py = pybind11;

// Every array argument: NumPy converts anything array-like into a row-major contiguous,
// aligned float64 array, copying only when the argument is not one already. Alignment must
// be asked for: a float64 view one byte off its boundary would otherwise come through
// uncopied, and reading it through a double pointer is undefined behaviour.
constexpr int in_array_flags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using InArray = py::array_t<double, in_array_flags>;
using OutArray = py::array_t<double>;

OutArray thermo_py(const InArray& t, const InArray& p, const InArray& td, int32_t n_threads);

OutArray cold_pool_py(const InArray& z, const InArray& b, const InArray& bottom, double threshold,
                      const InArray& top, int32_t n_threads);

OutArray profile_py(const InArray& z, const InArray& u, const InArray& v, const InArray& ground,
                    double bottom, double top, const InArray& cu, const InArray& cv,
                    int32_t n_threads);

OutArray gradient_py(const InArray& f, const InArray& x, const InArray& y, int32_t n_threads);

OutArray vad_py(const InArray& vr, const InArray& az, const InArray& cos_el, int64_t min_gates,
                double min_spread, int32_t n_threads);

}  // namespace bluster
