// The Python-facing wrapper of the differential-phase kernel, registered by module.cpp.
#pragma once

#include <cstdint>

#include "common/bindings.hpp"

namespace phase {

using common::InArray;
using common::OutArray;

OutArray kdp_rays_py(const InArray& phidp, const InArray& rhohv, double system_phase,
                     double gate_spacing, int64_t half_window, int64_t min_gates, double rhohv_min,
                     int32_t n_threads);

}  // namespace phase
