// In-place median of the calibration statistics, by selection. Free of Python types; runs
// inside row bodies on the row's own buffer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace calibration {

// Orders NaN after every number, so the selection below sees a strict weak ordering and stays
// inside its range even when some values are NaN. A function object, not a function, so that
// the selection inlines it.
struct NanLastLess {
  bool operator()(double a, double b) const { return a < b || (b != b && a == a); }
};

// Median of values[0 .. n - 1] by selection under `less`; see median_of.
template <class Less>
double median_by(double* values, int64_t n, Less less) {
  const int64_t k = n / 2;
  double* const first = values;
  std::nth_element(first, first + k, first + n, less);
  const double upper = first[k];
  if (n % 2 == 1) {
    return upper;
  }
  const double lower = *std::max_element(first, first + k, less);
  return (upper + lower) * 0.5;
}

inline bool has_nan(const double* values, int64_t n) {
  bool found = false;
  for (int64_t i = 0; i < n; ++i) {
    found |= std::isnan(values[i]);
  }
  return found;
}

// Median of values[0 .. n - 1] (n >= 1) by selection; reorders those n elements. An even
// count gives the mean of the two middle values. Without NaN, NanLastLess and < give the same
// answer for every pair, so the selection makes the same moves and the same result with the
// cheaper comparison.
inline double median_of(double* values, int64_t n) {
  if (has_nan(values, n)) {
    return median_by(values, n, NanLastLess());
  }
  return median_by(values, n, std::less<double>());
}

}  // namespace calibration
