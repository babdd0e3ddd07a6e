// Horizontal derivatives of one grid row: plain C++ over raw pointers, free of Python types.
#pragma once

#include <cstdint>
#include <limits>

#include "finite.hpp"

namespace bluster {

// Derivative at one point from its neighbours along one axis. A neighbour counts when it
// exists and is present; the quotient spans both neighbours when both count, otherwise it
// is one-sided between the point and the neighbour that does. Uneven spacing gets the plain
// quotient across the neighbours, and a repeated coordinate gives IEEE infinity or NaN.
//
// Written as selects rather than branches: each side falls back to the point itself when
// its neighbour does not count, which yields exactly the centred, forward or backward
// quotient, and the loop stays free of branches that missing data would mispredict.
inline double axis_derivative(double before, double here, double after, bool before_exists,
                              bool after_exists, double c_before, double c_here, double c_after) {
  const bool left = before_exists && is_present(before);
  const bool right = after_exists && is_present(after);
  const double upper = right ? after : here;
  const double lower = left ? before : here;
  const double c_upper = right ? c_after : c_here;
  const double c_lower = left ? c_before : c_here;
  const double quotient = (upper - lower) / (c_upper - c_lower);
  const bool defined = is_present(here) && (left || right);
  return defined ? quotient : std::numeric_limits<double>::quiet_NaN();
}

// Derivative along the row at column i, for the first and last columns (and any other),
// where one neighbour may be beyond the edge.
inline double x_derivative_at(const double* g, const double* x, int64_t nx, int64_t i) {
  const bool has_left = i > 0;
  const bool has_right = i + 1 < nx;
  const int64_t left = has_left ? i - 1 : i;
  const int64_t right = has_right ? i + 1 : i;
  return axis_derivative(g[left], g[i], g[right], has_left, has_right, x[left], x[i], x[right]);
}

// df/dx of one row of nx values g with column coordinates x.
inline void x_derivative_row(const double* g, const double* x, int64_t nx, double* out) {
  if (nx == 0) {
    return;
  }
  out[0] = x_derivative_at(g, x, nx, 0);
  for (int64_t i = 1; i + 1 < nx; ++i) {
    out[i] = axis_derivative(g[i - 1], g[i], g[i + 1], true, true, x[i - 1], x[i], x[i + 1]);
  }
  if (nx > 1) {
    out[nx - 1] = x_derivative_at(g, x, nx, nx - 1);
  }
}

// Item m of the field stack f (batch, ny, nx): row j = m mod ny of field m div ny. Writes
// the row's nx values of df/dx and of df/dy, reading the rows above and below in its field.
inline void gradient_row(const double* f, const double* x, const double* y, int64_t ny, int64_t nx,
                         int64_t m, double* dfdx, double* dfdy) {
  const int64_t j = m % ny;
  const double* row = f + m * nx;
  const bool has_up = j > 0;
  const bool has_down = j + 1 < ny;
  // A row beyond the field's edge stands in as the row itself: its flag keeps it from
  // counting, and no read leaves the field.
  const double* up = has_up ? row - nx : row;
  const double* down = has_down ? row + nx : row;
  const double y_up = has_up ? y[j - 1] : y[j];
  const double y_down = has_down ? y[j + 1] : y[j];
  const double y_here = y[j];

  for (int64_t i = 0; i < nx; ++i) {
    dfdy[i] = axis_derivative(up[i], row[i], down[i], has_up, has_down, y_up, y_here, y_down);
  }
  x_derivative_row(row, x, nx, dfdx);
}

}  // namespace bluster
