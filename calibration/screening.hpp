// Sample screening shared by the calibration statistics.
#pragma once

#include <cmath>
#include <limits>

#include "rows.hpp"

namespace calibration {

// A value counts as present only when it is finite; NaN fails the magnitude test.
inline bool is_present(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// A quality threshold passes when value >= threshold; NaN on either side fails.
inline bool passes_min(const Optional2D& a, int64_t row, int64_t sample, double minimum) {
  return !a.present() || a.at(row, sample) >= minimum;
}

// A mask value of 0 (or -0) excludes the sample; anything else, NaN included, admits it.
inline bool passes_mask(const Optional2D& mask, int64_t row, int64_t sample) {
  return !mask.present() || mask.at(row, sample) != 0.0;
}

}  // namespace calibration
