// Horizontal derivatives of one grid row: plain C++ over raw pointers, free of Python types.
#pragma once

#include <cstdint>
#include <limits>

#include "finite.hpp"

namespace bluster {

// Derivative at one point from its neighbours along one axis. A neighbour counts when it
// exists and is present; the difference spans both neighbours when both count, otherwise
// it is one-sided towards the one that does. Uneven spacing gets the plain quotient across
// the neighbours, and a repeated coordinate gives the IEEE infinity or NaN.
inline double axis_derivative(double before, double here, double after, bool before_exists,
                              bool after_exists, double c_before, double c_here, double c_after) {
  if (!is_present(here)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const bool left = before_exists && is_present(before);
  const bool right = after_exists && is_present(after);
  if (left && right) {
    return (after - before) / (c_after - c_before);
  }
  if (right) {
    return (after - here) / (c_after - c_here);
  }
  if (left) {
    return (here - before) / (c_here - c_before);
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// Item m of the field stack f (batch, ny, nx): row j = m mod ny of field m div ny. Writes
// the row's nx values of df/dx and of df/dy, reading the rows above and below in its field.
inline void gradient_row(const double* f, const double* x, const double* y, int64_t ny, int64_t nx,
                         int64_t m, double* dfdx, double* dfdy) {
  const int64_t j = m % ny;
  const double* row = f + m * nx;
  const bool has_up = j > 0;
  const bool has_down = j + 1 < ny;
  // A missing row above or below stands in as the row itself; its flag keeps it from
  // counting, and no read leaves the field.
  const double* up = has_up ? row - nx : row;
  const double* down = has_down ? row + nx : row;
  const double y_up = has_up ? y[j - 1] : y[j];
  const double y_down = has_down ? y[j + 1] : y[j];

  for (int64_t i = 0; i < nx; ++i) {
    const bool has_left = i > 0;
    const bool has_right = i + 1 < nx;
    const int64_t left = has_left ? i - 1 : i;
    const int64_t right = has_right ? i + 1 : i;
    dfdx[i] = axis_derivative(row[left], row[i], row[right], has_left, has_right, x[left], x[i],
                              x[right]);
    dfdy[i] = axis_derivative(up[i], row[i], down[i], has_up, has_down, y_up, y[j], y_down);
  }
}

}  // namespace bluster
