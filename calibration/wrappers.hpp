// The Python-facing wrappers of the calibration statistics, registered by module.cpp.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace calibration {

namespace py = pybind11;

// Every array argument: NumPy converts anything array-like into a row-major contiguous,
// aligned float64 array, copying only when the argument is not one already. Alignment must
// be asked for: a float64 view one byte off its boundary would otherwise come through
// uncopied, and reading it through a double pointer is undefined behaviour.
constexpr int in_array_flags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using InArray = py::array_t<double, in_array_flags>;
using OutArray = py::array_t<double>;

OutArray offset_stats_py(const InArray& zdr, const InArray& dbz, const InArray& rhohv,
                         const InArray& snr, const InArray& mask, const InArray& elev,
                         const InArray& ref_z, const InArray& ref_v, double z_min, double z_max,
                         double rhohv_min, double snr_min, int32_t n_threads);
OutArray consistency_stats_py(const InArray& z, const InArray& zdr, const InArray& kdp,
                              const InArray& rhohv, const InArray& snr, const InArray& mask,
                              const InArray& gz, const InArray& glg, double zdr_offset,
                              double z_min, double z_max, double bin_width, double rhohv_min,
                              double snr_min, double kdp_min, int64_t min_bin_count,
                              int32_t n_threads);

OutArray phidp_rays_py(const InArray& phidp, const InArray& rhohv, const InArray& snr,
                       const InArray& mask, int64_t first_gate, int64_t n_use, double rhohv_min,
                       double snr_min, int64_t min_count, int32_t n_threads);

}  // namespace calibration
