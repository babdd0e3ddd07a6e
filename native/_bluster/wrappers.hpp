// The Python-facing wrappers of the atmospheric kernels, registered by module.cpp.
#pragma once

#include <cstdint>

#include "common/bindings.hpp"

namespace bluster {

using common::InArray;
using common::OutArray;

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
