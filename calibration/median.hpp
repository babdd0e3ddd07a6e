// In-place median of the calibration statistics, by selection. Free of Python types; runs
// inside row bodies on the row's own buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace calibration {

// Orders NaN after every number, so the selection below sees a strict weak ordering and stays
// inside its range even when some values are NaN. A function object, not a function, so that
// the selection inlines it.
struct NanLastLess {
  bool operator()(double a, double b) const { return a < b || (b != b && a == a); }
};

// Median of values[0 .. n - 1] (1 <= n <= values.size()) by selection; reorders those n
// elements and leaves the rest of the vector alone. An even count gives the mean of the two
// middle values.
inline double median_of(std::vector<double>& values, int64_t n) {
  const int64_t k = n / 2;
  const auto first = values.begin();
  std::nth_element(first, first + k, first + n, NanLastLess());
  const double upper = first[k];
  if (n % 2 == 1) {
    return upper;
  }
  const double lower = *std::max_element(first, first + k, NanLastLess());
  return (upper + lower) * 0.5;
}

}  // namespace calibration
