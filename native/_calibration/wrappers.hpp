// The Python-facing wrappers of the calibration statistics, registered by module.cpp.
#pragma once

#include <cstdint>

#include "common/bindings.hpp"

namespace calibration {

using common::InArray;
using common::OutArray;

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
