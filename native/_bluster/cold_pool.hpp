// Cold-pool intensity of one column: plain C++ over raw pointers, free of Python types.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "common/presence.hpp"

namespace bluster {

using common::is_present;

struct ColdPoolResult {
  double intensity;
  double depth;
  double open_top;
};

// sqrt(max(0, 2 S)), except that a NaN sum stays NaN (std::max would turn it into 0).
inline double cold_pool_intensity(double s) {
  const double twice = 2.0 * s;
  if (twice > 0.0) {
    return std::sqrt(twice);
  }
  return twice != twice ? twice : 0.0;
}

// Prescribed-depth mode: the layer ends at H = z0 + depth, where b is interpolated.
inline ColdPoolResult cold_pool_prescribed(const double* z, const double* b, int64_t levels,
                                           int64_t start, double depth) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double top_height = z[start] + depth;
  double zp = z[start];
  double bp = b[start];
  double s = 0.0;
  for (int64_t j = start + 1; j < levels; ++j) {
    if (!is_present(z[j]) || !is_present(b[j])) {
      continue;
    }
    if (z[j] >= top_height) {
      const double b_top = bp + (b[j] - bp) * (top_height - zp) / (z[j] - zp);
      const double last = 0.5 * (-bp - b_top) * (top_height - zp);
      s = s + last;
      return {cold_pool_intensity(s), depth, 0.0};
    }
    const double trapezoid = 0.5 * (-bp - b[j]) * (z[j] - zp);
    s = s + trapezoid;
    zp = z[j];
    bp = b[j];
  }
  return {nan, nan, nan};
}

// Threshold mode: the layer ends where b first reaches the threshold, interpolated in height;
// when it never does, the layer runs to the last usable level and the top is open.
inline ColdPoolResult cold_pool_threshold(const double* z, const double* b, int64_t levels,
                                          int64_t start, double threshold) {
  const double z0 = z[start];
  if (b[start] >= threshold) {
    return {0.0, 0.0, 0.0};
  }
  double zp = z0;
  double bp = b[start];
  double s = 0.0;
  for (int64_t j = start + 1; j < levels; ++j) {
    if (!is_present(z[j]) || !is_present(b[j])) {
      continue;
    }
    if (b[j] >= threshold) {
      const double zc = zp + (threshold - bp) * (z[j] - zp) / (b[j] - bp);
      const double last = 0.5 * (-bp - threshold) * (zc - zp);
      s = s + last;
      return {cold_pool_intensity(s), zc - z0, 0.0};
    }
    const double trapezoid = 0.5 * (-bp - b[j]) * (z[j] - zp);
    s = s + trapezoid;
    zp = z[j];
    bp = b[j];
  }
  return {cold_pool_intensity(s), zp - z0, 1.0};
}

// One column: levels of z and b scanned upward; bottom and top as described in cold_pool.
inline ColdPoolResult cold_pool_column(const double* z, const double* b, int64_t levels,
                                       double bottom, double threshold, double top) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const bool bottom_limits = is_present(bottom);
  for (int64_t j = 0; j < levels; ++j) {
    if (!is_present(z[j]) || !is_present(b[j]) || (bottom_limits && !(z[j] >= bottom))) {
      continue;
    }
    if (is_present(top)) {
      return cold_pool_prescribed(z, b, levels, j, top);
    }
    return cold_pool_threshold(z, b, levels, j, threshold);
  }
  return {nan, nan, nan};
}

}  // namespace bluster
