// Clamped table lookup and in-place median shared by the calibration statistics.
// Free of Python types; both run inside row bodies and touch nothing shared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace calibration {

// Piecewise-linear lookup of x in the table (xs, ys) of n >= 1 rows, clamped to the end
// ordinates outside the table. A repeated interior abscissa is a step: x on it takes the
// ordinate of the last row with that abscissa.
//
// The search keeps xs[lo] <= x < xs[hi] with 0 <= lo < hi <= n - 1, so it never leaves the
// table even when the abscissae are out of order or NaN (those give an unspecified value,
// NaN when a NaN abscissa encloses x).
inline double interp(const double* xs, const double* ys, int64_t n, double x) {
  if (x != x) {
    return x;
  }
  if (x <= xs[0]) {
    return ys[0];
  }
  if (x >= xs[n - 1]) {
    return ys[n - 1];
  }
  if (n < 2) {
    return ys[0];  // only reached with a NaN abscissa; the search needs two rows
  }
  int64_t lo = 0;
  int64_t hi = n - 1;
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (xs[mid] > x) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  const double t = (x - xs[lo]) / (xs[hi] - xs[lo]);
  return t * (ys[hi] - ys[lo]) + ys[lo];
}

// Orders NaN after every number, so the selection below sees a strict weak ordering and stays
// inside its range even when some values are NaN.
inline bool nan_last_less(double a, double b) { return a < b || (b != b && a == a); }

// Median of values[0 .. n - 1] (1 <= n <= values.size()) by selection; reorders those n
// elements and leaves the rest of the vector alone. An even count gives the mean of the two
// middle values.
inline double median_of(std::vector<double>& values, int64_t n) {
  const int64_t k = n / 2;
  const auto first = values.begin();
  std::nth_element(first, first + k, first + n, nan_last_less);
  const double upper = first[k];
  if (n % 2 == 1) {
    return upper;
  }
  const double lower = *std::max_element(first, first + k, nan_last_less);
  return (upper + lower) * 0.5;
}

}  // namespace calibration
