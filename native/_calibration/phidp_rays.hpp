// System differential phase of one ray by a circular mean: plain C++ over raw pointers.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "_calibration/optional_array.hpp"
#include "common/presence.hpp"

namespace calibration {

using common::is_present;

struct PhidpInputs {
  const double* phidp;
  Optional2D rhohv;
  Optional2D snr;
  Optional2D mask;
  int64_t gates;
  int64_t first_gate;
  int64_t n_use;
  double rhohv_min;
  double snr_min;
  int64_t min_count;
};

// Writes [phase in degrees, gates used, mean resultant length] of ray r to out[0..2].
// The scan stops after n_use usable gates, so gates beyond them are never read.
inline void phidp_ray(const PhidpInputs& in, int64_t r, double* out) {
  constexpr double pi = 3.141592653589793;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  int64_t g = in.first_gate < 0 ? 0 : in.first_gate;
  if (g >= in.gates) {
    out[0] = nan;
    out[1] = 0.0;
    out[2] = nan;
    return;
  }
  const double* phase = in.phidp + r * in.gates;
  int64_t count = 0;
  double cos_sum = 0.0;
  double sin_sum = 0.0;
  for (; count < in.n_use && g < in.gates; ++g) {
    const double p = phase[g];
    if (!is_present(p) || !passes_min(in.rhohv, r, g, in.rhohv_min) ||
        !passes_min(in.snr, r, g, in.snr_min) || !passes_mask(in.mask, r, g)) {
      continue;
    }
    const double theta = (p * pi) / 180.0;
    cos_sum += std::cos(theta);
    sin_sum += std::sin(theta);
    ++count;
  }
  const int64_t need = in.min_count < 1 ? 1 : in.min_count;
  out[1] = static_cast<double>(count);
  if (count < need) {
    out[0] = nan;
    out[2] = nan;
    return;
  }
  out[0] = (std::atan2(sin_sum, cos_sum) * 180.0) / pi;
  out[2] = std::sqrt(cos_sum * cos_sum + sin_sum * sin_sum) / static_cast<double>(count);
}

}  // namespace calibration
