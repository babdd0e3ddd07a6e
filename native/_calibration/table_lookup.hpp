// Clamped piecewise-linear table lookup of the calibration statistics. Free of Python types;
// runs inside row bodies and touches nothing shared.
#pragma once

#include <cstdint>

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
  // Each step leaves at most span - span / 2 of the span between lo and hi. Once that span is
  // 1, mid is lo, and xs[lo] > x never holds (x passed the first test; lo moves only where the
  // test failed), so further steps change nothing. Taking the full count of steps for n every
  // time gives the same lo and hi as stopping early, with no branch that depends on x: the
  // selects become conditional moves, and a lookup costs no misprediction.
  int64_t lo = 0;
  int64_t hi = n - 1;
  for (int64_t span = n - 1; span > 1; span -= span / 2) {
    const int64_t mid = lo + (hi - lo) / 2;
    const bool above = xs[mid] > x;
    hi = above ? mid : hi;
    lo = above ? lo : mid;
  }
  const double t = (x - xs[lo]) / (xs[hi] - xs[lo]);
  return t * (ys[hi] - ys[lo]) + ys[lo];
}

}  // namespace calibration
