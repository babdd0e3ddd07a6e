// Horizontal derivatives of one grid row: plain C++ over raw pointers, free of Python types.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "common/presence.hpp"

namespace bluster {

using common::is_present;

// Two neighbouring points computed together, with a lane mask of all ones (true) or all
// zeros (false). GCC and Clang lower these to SSE2 on x86-64; every lane does the same IEEE
// operations as the scalar code, so a point gets the same bits alone or in a pair, and the
// masks replace branches that missing data would mispredict.
typedef double Pair __attribute__((vector_size(16)));
typedef int64_t PairMask __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_pair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

inline Pair pair_of(double v) { return Pair{v, v}; }

inline PairMask mask_of(bool b) { return PairMask{-int64_t{b}, -int64_t{b}}; }

inline bool present(double v) { return is_present(v); }

// The same magnitude test as is_present, lane by lane: NaN fails the comparison.
inline PairMask present(Pair v) {
  const PairMask magnitude_bits = {std::numeric_limits<int64_t>::max(),
                                   std::numeric_limits<int64_t>::max()};
  return reinterpret_cast<Pair>(reinterpret_cast<PairMask>(v) & magnitude_bits) <=
         pair_of(std::numeric_limits<double>::max());
}

inline double choose(bool m, double a, double b) { return m ? a : b; }

inline Pair choose(PairMask m, Pair a, Pair b) {
  return reinterpret_cast<Pair>((m & reinterpret_cast<PairMask>(a)) |
                                (~m & reinterpret_cast<PairMask>(b)));
}

// Derivative at one point (Value double, Mask bool) or two (Pair, PairMask) from the
// neighbours along one axis. A neighbour counts when it exists and is present; the quotient
// spans both neighbours when both count, otherwise it is one-sided between the point and the
// neighbour that does, since each side falls back to the point itself. Uneven spacing gets
// the plain quotient across the neighbours, and a repeated coordinate gives IEEE inf or NaN.
template <class Value, class Mask>
inline Value axis_derivative(Value before, Value here, Value after, Mask before_exists,
                             Mask after_exists, Value c_before, Value c_here, Value c_after) {
  const Mask left = before_exists & present(before);
  const Mask right = after_exists & present(after);
  const Value upper = choose(right, after, here);
  const Value lower = choose(left, before, here);
  const Value c_upper = choose(right, c_after, c_here);
  const Value c_lower = choose(left, c_before, c_here);
  const Value quotient = (upper - lower) / (c_upper - c_lower);
  const Mask defined = present(here) & (left | right);
  return choose(defined, quotient, Value{} + std::numeric_limits<double>::quiet_NaN());
}

// Derivative along the row at column i, whose neighbours may lie beyond either edge.
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
  const PairMask inside = mask_of(true);
  int64_t i = 1;
  for (; i + 2 < nx; i += 2) {  // columns i and i + 1 both have two neighbours
    store_pair(out + i, axis_derivative(load_pair(g + i - 1), load_pair(g + i),
                                        load_pair(g + i + 1), inside, inside, load_pair(x + i - 1),
                                        load_pair(x + i), load_pair(x + i + 1)));
  }
  for (; i < nx; ++i) {
    out[i] = x_derivative_at(g, x, nx, i);
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

  int64_t i = 0;
  for (; i + 2 <= nx; i += 2) {
    store_pair(dfdy + i, axis_derivative(load_pair(up + i), load_pair(row + i), load_pair(down + i),
                                         mask_of(has_up), mask_of(has_down), pair_of(y_up),
                                         pair_of(y_here), pair_of(y_down)));
  }
  for (; i < nx; ++i) {
    dfdy[i] = axis_derivative(up[i], row[i], down[i], has_up, has_down, y_up, y_here, y_down);
  }
  x_derivative_row(row, x, nx, dfdx);
}

}  // namespace bluster
