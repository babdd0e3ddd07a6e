// The Python-facing wrapper of the sweep's wind kernel, registered by module.cpp.
#pragma once

#include <cstdint>

#include "common/bindings.hpp"

namespace wind {

using common::InArray;
using common::OutArray;

OutArray vad_sweep_py(const InArray& velocity, const InArray& azimuth, double azimuth_scale,
                      double cos_elevation, int64_t min_gates, double min_spread,
                      int32_t n_threads);

}  // namespace wind
