// Layer winds, storm-relative helicity and layer-mean wind of one column: plain C++ over raw
// pointers, free of Python types.
#pragma once

#include <cstdint>
#include <limits>

#include "common/presence.hpp"

namespace bluster {

using common::is_present;

// Heights closer than this (in the units of z) count as the same height when the layer's
// bottom or top lies just outside the column's data.
constexpr double kProfileHeightTolerance = 1e-6;

struct Wind {
  double u;
  double v;
};

struct ProfileResult {
  double u_bottom;
  double v_bottom;
  double u_top;
  double v_top;
  double helicity;
  double u_mean;
  double v_mean;
};

// Column view: the levels of one row of z, u and v.
struct ProfileColumn {
  const double* z;
  const double* u;
  const double* v;
  int64_t levels;

  bool usable(int64_t k) const { return is_present(z[k]) && is_present(u[k]) && is_present(v[k]); }
};

// Asks the cache for a column that will be needed soon. A layer near the ground reads only the
// first part of each row, a pattern the hardware prefetcher does not follow from row to row, so
// without this every column waits for memory. Always inlined: as a call of its own, GCC takes
// it for a function without effects and drops it.
[[gnu::always_inline]] inline void prefetch_column(const ProfileColumn& col) {
  constexpr int64_t kDoublesPerLine = 8;
  for (int64_t k = 0; k < col.levels; k += kDoublesPerLine) {
    __builtin_prefetch(col.z + k);
    __builtin_prefetch(col.u + k);
    __builtin_prefetch(col.v + k);
  }
}

// Wind at height h, linear in height between the last usable level below h and the first
// usable level at or above it. Returns false when h cannot be placed in the data: outside the
// usable levels by more than the tolerance, or h not finite (every comparison with NaN fails,
// so a NaN h ends at the last branch with a NaN distance).
inline bool profile_wind_at(const ProfileColumn& col, double h, Wind& wind) {
  bool below_seen = false;
  double zl = 0.0;
  double ul = 0.0;
  double vl = 0.0;
  for (int64_t k = 0; k < col.levels; ++k) {
    if (!col.usable(k)) {
      continue;
    }
    const double zk = col.z[k];
    if (zk == h) {
      wind = {col.u[k], col.v[k]};
      return true;
    }
    if (zk > h) {
      if (below_seen) {
        const double w = (h - zl) / (zk - zl);
        wind = {(col.u[k] - ul) * w + ul, (col.v[k] - vl) * w + vl};
        return true;
      }
      if (zk - h > kProfileHeightTolerance) {
        return false;
      }
      wind = {col.u[k], col.v[k]};
      return true;
    }
    below_seen = true;
    zl = zk;
    ul = col.u[k];
    vl = col.v[k];
  }
  // The highest usable level stands in for h when it lies within the tolerance below it.
  if (!below_seen || !(h - zl <= kProfileHeightTolerance)) {
    return false;
  }
  wind = {ul, vl};
  return true;
}

// Ground height of the column: the given value when finite, else the first usable level.
inline bool profile_ground(const ProfileColumn& col, double ground, double& g) {
  if (is_present(ground)) {
    g = ground;
    return true;
  }
  for (int64_t k = 0; k < col.levels; ++k) {
    if (col.usable(k)) {
      g = col.z[k];
      return true;
    }
  }
  return false;
}

// One column: the layer runs from bottom to top above the column's ground; (cu, cv) is the
// storm motion against which the helicity is measured.
inline ProfileResult profile_column(const ProfileColumn& col, double ground, double bottom,
                                    double top, double cu, double cv) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ProfileResult res{nan, nan, nan, nan, nan, nan, nan};
  double g = 0.0;
  if (col.levels == 0 || !profile_ground(col, ground, g)) {
    return res;
  }
  const double zb = bottom + g;
  const double zt = top + g;
  Wind wb{};
  Wind wt{};
  if (!profile_wind_at(col, zb, wb) || !profile_wind_at(col, zt, wt)) {
    return res;
  }
  res.u_bottom = wb.u;
  res.v_bottom = wb.v;
  res.u_top = wt.u;
  res.v_top = wt.v;

  // Hodograph walk from the bottom wind through the interior levels; the segment to the top
  // wind is closed below. Each term is formed first and then added, in level order.
  double zp = zb;
  double up = wb.u;
  double vp = wb.v;
  double sh = 0.0;
  double iu = 0.0;
  double iv = 0.0;
  for (int64_t k = 0; k < col.levels; ++k) {
    if (!col.usable(k) || col.z[k] <= zb) {
      continue;
    }
    const double zk = col.z[k];
    if (zk >= zt) {
      break;
    }
    const double uk = col.u[k];
    const double vk = col.v[k];
    const double turn = (vp - cv) * (uk - cu) - (up - cu) * (vk - cv);
    sh = turn + sh;
    const double du = 0.5 * (up + uk) * (zk - zp);
    iu = du + iu;
    const double dv = 0.5 * (vp + vk) * (zk - zp);
    iv = dv + iv;
    zp = zk;
    up = uk;
    vp = vk;
  }

  if (is_present(cu) && is_present(cv)) {
    const double closing = (wt.u - cu) * (vp - cv) - (wt.v - cv) * (up - cu);
    res.helicity = closing + sh;
  }
  if (zt > zb) {
    const double depth = zt - zb;
    const double last_u = 0.5 * (up + wt.u) * (zt - zp);
    const double last_v = 0.5 * (vp + wt.v) * (zt - zp);
    res.u_mean = (last_u + iu) / depth;
    res.v_mean = (last_v + iv) / depth;
  } else {
    // An empty or inverted layer has no height to average over: its mean is the bottom wind.
    res.u_mean = wb.u;
    res.v_mean = wb.v;
  }
  return res;
}

}  // namespace bluster
