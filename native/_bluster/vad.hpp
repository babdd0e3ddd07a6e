// Velocity-azimuth display wind of one ring of samples: plain C++ over raw pointers, free of
// Python types. A ring on its own recomputes its sines and cosines in every pass rather than
// storing them, so it needs only a handful of running sums and allocates nothing. Rings that
// share their row of azimuths (the rings of a sweep: one per gate, all with the azimuths of its
// rays) read them from a table that the thread fills once per row, and go through the passes
// two at a time, one per lane of a vector (VadThread).
#pragma once

#include <math.h>  // sincos, a GNU extension that <cmath> does not put into std

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/presence.hpp"

namespace bluster {

using common::is_present;

// Number of results per ring, the fields of VadResult in the order of the output rows.
constexpr int kVadComponents = 8;

// The results of one ring; every one but the count is NaN until its fit is accepted.
struct VadResult {
  // The fit of vr = offset + a sin az + b cos az, with u = a / cos_el and v = b / cos_el.
  double u;
  double v;
  double offset;
  double rms_residual;
  double count;  // valid samples
  // The fit that adds sin(2 az) and cos(2 az).
  double harmonic_offset;
  double sin2_coefficient;
  double cos2_coefficient;
};

inline VadResult vad_empty_result() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return VadResult{.u = nan,
                   .v = nan,
                   .offset = nan,
                   .rms_residual = nan,
                   .count = 0.0,
                   .harmonic_offset = nan,
                   .sin2_coefficient = nan,
                   .cos2_coefficient = nan};
}

// A sample takes part only when both its velocity and its azimuth are finite.
inline bool vad_sample_valid(double v, double az) { return is_present(v) && is_present(az); }

// Sine and cosine of one angle from a single library call.
inline void vad_sincos(double angle, double& s, double& c) { ::sincos(angle, &s, &c); }

// --- lanes ---------------------------------------------------------------------------------
//
// The passes are written once for a Value that is one ring's double or a VadPair of two rings'
// values, each lane doing the scalar IEEE operations of its ring in the same order (GCC and
// Clang lower the pairs to SSE2 on x86-64; -ffp-contract=off keeps products and sums apart).
// A lane skips an invalid sample by adding +0.0 instead of its term: a running sum starts at
// +0.0 and so is never -0.0, and adding +0.0 to anything else changes no bit.

typedef double VadPair __attribute__((vector_size(16)));
typedef int64_t VadPairMask __attribute__((vector_size(16)));

template <class Value>
Value vad_broadcast(double x) {
  if constexpr (std::is_same_v<Value, double>) {
    return x;
  } else {
    return Value{x, x};
  }
}

inline bool vad_any(bool valid) { return valid; }
inline bool vad_any(VadPairMask valid) { return (valid[0] | valid[1]) != 0; }
inline bool vad_all(bool valid) { return valid; }
inline bool vad_all(VadPairMask valid) { return (valid[0] & valid[1]) != 0; }

// The term where the sample is valid. A single ring never reaches an invalid sample (the pass
// skips it), so its term is taken as it is.
inline double vad_only(bool /*valid*/, double term) { return term; }
inline VadPair vad_only(VadPairMask valid, VadPair term) {
  return reinterpret_cast<VadPair>(reinterpret_cast<VadPairMask>(term) & valid);
}

inline double vad_lane(double x, int /*k*/) { return x; }
inline double vad_lane(VadPair x, int k) { return x[k]; }

// The samples of one ring.
struct VadRing {
  const double* vr;
  const double* az;
  bool valid(int64_t j) const { return vad_sample_valid(vr[j], az[j]); }
  double v(int64_t j) const { return vr[j]; }
};

// Which lanes of a pair of samples at one azimuth are valid: the magnitude test of is_present
// lane by lane (NaN fails the comparison), and the azimuth's.
inline VadPairMask vad_pair_valid(VadPair v, double az) {
  const VadPairMask magnitude_bits = {std::numeric_limits<int64_t>::max(),
                                      std::numeric_limits<int64_t>::max()};
  const VadPairMask finite =
      reinterpret_cast<VadPair>(reinterpret_cast<VadPairMask>(v) & magnitude_bits) <=
      vad_broadcast<VadPair>(std::numeric_limits<double>::max());
  return is_present(az) ? finite : VadPairMask{0, 0};
}

// The samples of two rings on one row of azimuths.
struct VadRingPair {
  const double* vr0;
  const double* vr1;
  const double* az;
  VadPair v(int64_t j) const { return VadPair{vr0[j], vr1[j]}; }
  VadPairMask valid(int64_t j) const { return vad_pair_valid(v(j), az[j]); }
};

// A lane value from memory: one double, or two consecutive ones.
template <class Value>
Value vad_load(const double* p) {
  Value v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Where a pass takes the sine and cosine of each sample's azimuth and of its double: from
// sincos itself (VadDirectTrig, one ring), or from a table filled once for a row of azimuths
// that several rings share (VadTableTrig). Both give the same bits: the table holds sincos's
// own results, each twice in a row, so that one load gives it to both lanes of a pair.
struct VadDirectTrig {
  const double* az;
  void single(int64_t j, double& s, double& c) const { vad_sincos(az[j], s, c); }
  void twice(int64_t j, double& s2, double& c2) const { vad_sincos(az[j] + az[j], s2, c2); }
};

struct VadTableTrig {
  const double* sin;  // sin az[j] at 2 j and 2 j + 1
  const double* cos;
  const double* sin2;
  const double* cos2;
  template <class Value>
  void single(int64_t j, Value& s, Value& c) const {
    s = vad_load<Value>(sin + 2 * j);
    c = vad_load<Value>(cos + 2 * j);
  }
  template <class Value>
  void twice(int64_t j, Value& s2, Value& c2) const {
    s2 = vad_load<Value>(sin2 + 2 * j);
    c2 = vad_load<Value>(cos2 + 2 * j);
  }
};

// --- the three passes ------------------------------------------------------------------------

// Sample count and the sums of sin az, cos az and vr.
template <class Value>
struct VadSums {
  Value n;
  Value s;
  Value c;
  Value v;
};

template <class Value, class Rings, class Trig>
VadSums<Value> vad_sums(const Rings& rings, int64_t samples, const Trig& trig) {
  const Value one = vad_broadcast<Value>(1.0);
  VadSums<Value> sums{};
  for (int64_t j = 0; j < samples; ++j) {
    const auto valid = rings.valid(j);
    if (!vad_any(valid)) {
      continue;
    }
    Value s;
    Value c;
    trig.single(j, s, c);
    sums.n = sums.n + vad_only(valid, one);
    sums.s = sums.s + vad_only(valid, s);
    sums.c = sums.c + vad_only(valid, c);
    sums.v = sums.v + vad_only(valid, rings.v(j));
  }
  return sums;
}

// Count and means of the valid samples.
template <class Value>
struct VadMeans {
  Value n;
  Value ms;
  Value mc;
  Value mv;
};

// The centred 2 x 2 normal equations of v = c0 + a sin az + b cos az.
template <class Value>
struct VadCentredSums {
  Value sss;
  Value scc;
  Value ssc;
  Value ssv;
  Value scv;
};

// Means of sin(2 az) and cos(2 az).
template <class Value>
struct VadDoubleAngleMeans {
  Value ms2;
  Value mc2;
};

// The second pass: the centred sums of the first fit, and beside them the sums of sin(2 az) and
// cos(2 az) that the fit with the second harmonic needs (each sum runs over the valid samples
// in order on its own, so sharing the pass changes no bit; they go unused when the first fit is
// refused).
template <class Value, class Rings, class Trig>
VadCentredSums<Value> vad_centred_sums(const Rings& rings, int64_t samples,
                                       const VadMeans<Value>& m, const Trig& trig,
                                       VadDoubleAngleMeans<Value>& m2) {
  VadCentredSums<Value> t{};
  Value sum_s2{};
  Value sum_c2{};
  for (int64_t j = 0; j < samples; ++j) {
    const auto valid = rings.valid(j);
    if (!vad_any(valid)) {
      continue;
    }
    Value s;
    Value c;
    Value s2;
    Value c2;
    trig.single(j, s, c);
    trig.twice(j, s2, c2);
    const Value ds = s - m.ms;
    const Value dc = c - m.mc;
    const Value dv = rings.v(j) - m.mv;
    t.sss = t.sss + vad_only(valid, ds * ds);
    t.scc = t.scc + vad_only(valid, dc * dc);
    t.ssc = t.ssc + vad_only(valid, ds * dc);
    t.ssv = t.ssv + vad_only(valid, ds * dv);
    t.scv = t.scv + vad_only(valid, dc * dv);
    sum_s2 = sum_s2 + vad_only(valid, s2);
    sum_c2 = sum_c2 + vad_only(valid, c2);
  }
  m2 = {sum_s2 / m.n, sum_c2 / m.n};
  return t;
}

// The centred 4 x 4 normal equations A x = y of the fit with the second harmonic.
template <class Value>
struct VadSystemOf {
  Value a[4][4];
  Value y[4];
};
using VadSystem = VadSystemOf<double>;

// Adds one valid sample's products to the upper triangle of A and to y. Written out rather
// than looped: the loop version is measurably slower here.
template <class Value, class Valid>
void vad_add_sample(VadSystemOf<Value>& sys, Valid valid, const Value g[4], Value dv) {
  auto& a = sys.a;
  a[0][0] = a[0][0] + vad_only(valid, g[0] * g[0]);
  a[0][1] = a[0][1] + vad_only(valid, g[0] * g[1]);
  a[0][2] = a[0][2] + vad_only(valid, g[0] * g[2]);
  a[0][3] = a[0][3] + vad_only(valid, g[0] * g[3]);
  a[1][1] = a[1][1] + vad_only(valid, g[1] * g[1]);
  a[1][2] = a[1][2] + vad_only(valid, g[1] * g[2]);
  a[1][3] = a[1][3] + vad_only(valid, g[1] * g[3]);
  a[2][2] = a[2][2] + vad_only(valid, g[2] * g[2]);
  a[2][3] = a[2][3] + vad_only(valid, g[2] * g[3]);
  a[3][3] = a[3][3] + vad_only(valid, g[3] * g[3]);
  sys.y[0] = sys.y[0] + vad_only(valid, g[0] * dv);
  sys.y[1] = sys.y[1] + vad_only(valid, g[1] * dv);
  sys.y[2] = sys.y[2] + vad_only(valid, g[2] * dv);
  sys.y[3] = sys.y[3] + vad_only(valid, g[3] * dv);
}

// The first fit's coefficients and offset.
template <class Value>
struct VadFirstFit {
  Value a;
  Value b;
  Value c0;
};

// The third pass: the sum of squared residuals of the first-harmonic fit, and the system of the
// fit with the second harmonic (its upper triangle: see vad_lane_system).
template <class Value, class Rings, class Trig>
VadSystemOf<Value> vad_residuals_and_harmonic_system(const Rings& rings, int64_t samples,
                                                     const VadMeans<Value>& m,
                                                     const VadDoubleAngleMeans<Value>& m2,
                                                     const VadFirstFit<Value>& fit,
                                                     const Trig& trig, Value& ssr) {
  VadSystemOf<Value> sys{};
  Value sum_r2{};
  for (int64_t j = 0; j < samples; ++j) {
    const auto valid = rings.valid(j);
    if (!vad_any(valid)) {
      continue;
    }
    Value s;
    Value c;
    Value s2;
    Value c2;
    trig.single(j, s, c);
    trig.twice(j, s2, c2);
    const Value v = rings.v(j);
    const Value r = ((v - fit.c0) - fit.a * s) - fit.b * c;
    sum_r2 = sum_r2 + vad_only(valid, r * r);
    const Value g[4] = {s - m.ms, c - m.mc, s2 - m2.ms2, c2 - m2.mc2};
    vad_add_sample(sys, valid, g, v - m.mv);
  }
  ssr = sum_r2;
  return sys;
}

// Lane k of a pair's system (or a single ring's), with A's lower triangle mirrored from the
// upper: the same bits as summing both halves, since g_p g_q and g_q g_p are the same product.
template <class Value>
VadSystem vad_lane_system(const VadSystemOf<Value>& sys, int k) {
  VadSystem lane{};
  for (int p = 0; p < 4; ++p) {
    for (int q = p; q < 4; ++q) {
      lane.a[p][q] = vad_lane(sys.a[p][q], k);
    }
    lane.y[p] = vad_lane(sys.y[p], k);
  }
  for (int p = 1; p < 4; ++p) {
    for (int q = 0; q < p; ++q) {
      lane.a[p][q] = lane.a[q][p];
    }
  }
  return lane;
}

// Forward elimination with partial pivoting; d collects the determinant of A up to its last
// pivot. False when a pivot is exactly zero. A NaN pivot is never replaced (every comparison
// with it fails) and does not stop the elimination.
inline bool vad_eliminate(VadSystem& sys, double& d) {
  auto& a = sys.a;
  auto& y = sys.y;
  for (int k = 0; k < 3; ++k) {
    int pivot = k;
    double largest = std::fabs(a[k][k]);
    for (int r = k + 1; r < 4; ++r) {
      if (std::fabs(a[r][k]) > largest) {  // ties keep the earlier row
        pivot = r;
        largest = std::fabs(a[r][k]);
      }
    }
    if (a[pivot][k] == 0.0) {
      return false;
    }
    if (pivot != k) {
      for (int q = 0; q < 4; ++q) {
        const double t = a[k][q];
        a[k][q] = a[pivot][q];
        a[pivot][q] = t;
      }
      const double t = y[k];
      y[k] = y[pivot];
      y[pivot] = t;
      d = -d;
    }
    d = d * a[k][k];
    for (int r = k + 1; r < 4; ++r) {
      const double f = a[r][k] / a[k][k];
      for (int q = k; q < 4; ++q) {
        a[r][q] = a[r][q] - a[k][q] * f;
      }
      y[r] = y[r] - f * y[k];
    }
  }
  return true;
}

// Back-substitution on the upper-triangular system left by vad_eliminate (A[3][3] != 0).
inline void vad_back_substitute(const VadSystem& sys, double x[4]) {
  const auto& a = sys.a;
  const auto& y = sys.y;
  x[3] = y[3] / a[3][3];
  x[2] = (y[2] - a[2][3] * x[3]) / a[2][2];
  x[1] = ((y[1] - a[1][2] * x[2]) - a[1][3] * x[3]) / a[1][1];
  x[0] = (((y[0] - a[0][1] * x[1]) - a[0][2] * x[2]) - a[0][3] * x[3]) / a[0][0];
}

// Fit with the second harmonic, from its system: writes its three results unless the system is
// singular or its azimuths are too bunched. d4 / N^4 is at most 1/16, a quarter of the 2 x 2
// bound, hence the factor 0.25 on min_spread.
inline void vad_second_harmonic(VadSystem& sys, const VadMeans<double>& m,
                                const VadDoubleAngleMeans<double>& m2, double min_spread,
                                VadResult& res) {
  double d = 1.0;
  if (!vad_eliminate(sys, d) || sys.a[3][3] == 0.0) {
    return;
  }
  double x[4];
  vad_back_substitute(sys, x);
  const double d4 = d * sys.a[3][3];
  const double n = m.n;
  if (d4 == 0.0 || !(d4 / (((n * n) * n) * n) >= min_spread * 0.25)) {
    return;
  }
  res.harmonic_offset = (((m.mv - m.ms * x[0]) - m.mc * x[1]) - m2.ms2 * x[2]) - m2.mc2 * x[3];
  res.sin2_coefficient = x[2];
  res.cos2_coefficient = x[3];
}

// --- rings with every sample valid -----------------------------------------------------------
//
// The sums of a ring that involve only its azimuths (the count, the means of the angles and
// double angles, the centred sums of sines and cosines, the matrix A of the second fit) depend
// only on which samples are valid. Every ring on a row of azimuths whose samples are all valid
// has the same ones, bit for bit: the thread computes them once per row, by the same
// operations in the same order as a ring's passes, and such a ring's passes sum only what
// involves its velocities.

struct VadFullRow {
  bool usable = false;  // every azimuth of the row is present
  double n = 0.0;
  double ms = 0.0;
  double mc = 0.0;
  double ms2 = 0.0;
  double mc2 = 0.0;
  double sss = 0.0;
  double scc = 0.0;
  double ssc = 0.0;
  double a[4][4] = {};  // the upper triangle of A
  // per sample, each twice in a row as in the tables: s - ms, c - mc, s2 - ms2, c2 - mc2
  std::vector<double> g[4];
};

// The row's sums, from its table of sines and cosines (each value at 2 j).
inline void vad_fill_full_row(VadFullRow& row, const double* az, int64_t samples,
                              const VadTableTrig& trig) {
  row.usable = false;
  for (int64_t j = 0; j < samples; ++j) {
    if (!is_present(az[j])) {
      return;  // no ring on this row has all its samples valid
    }
  }
  double n = 0.0;
  double sum_s = 0.0;
  double sum_c = 0.0;
  for (int64_t j = 0; j < samples; ++j) {  // the first pass's
    n = n + 1.0;
    sum_s = sum_s + trig.sin[2 * j];
    sum_c = sum_c + trig.cos[2 * j];
  }
  const double ms = sum_s / n;
  const double mc = sum_c / n;
  double sss = 0.0;
  double scc = 0.0;
  double ssc = 0.0;
  double sum_s2 = 0.0;
  double sum_c2 = 0.0;
  for (int64_t j = 0; j < samples; ++j) {  // the second pass's
    const double ds = trig.sin[2 * j] - ms;
    const double dc = trig.cos[2 * j] - mc;
    sss = sss + ds * ds;
    scc = scc + dc * dc;
    ssc = ssc + ds * dc;
    sum_s2 = sum_s2 + trig.sin2[2 * j];
    sum_c2 = sum_c2 + trig.cos2[2 * j];
  }
  const double ms2 = sum_s2 / n;
  const double mc2 = sum_c2 / n;
  for (auto& g : row.g) {
    g.resize(2 * static_cast<size_t>(samples));
  }
  VadSystem sys{};
  for (int64_t j = 0; j < samples; ++j) {  // the third pass's
    const double g[4] = {trig.sin[2 * j] - ms, trig.cos[2 * j] - mc, trig.sin2[2 * j] - ms2,
                         trig.cos2[2 * j] - mc2};
    vad_add_sample(sys, true, g, 0.0);
    for (int p = 0; p < 4; ++p) {
      const auto at = 2 * static_cast<size_t>(j);
      row.g[p][at] = g[p];
      row.g[p][at + 1] = g[p];
    }
  }
  row.usable = true;
  row.n = n;
  row.ms = ms;
  row.mc = mc;
  row.ms2 = ms2;
  row.mc2 = mc2;
  row.sss = sss;
  row.scc = scc;
  row.ssc = ssc;
  for (int p = 0; p < 4; ++p) {
    for (int q = p; q < 4; ++q) {
      row.a[p][q] = sys.a[p][q];
    }
  }
}

// The first pass of rings whose samples may all be valid: the sum of their velocities, or false
// at the first sample that is not valid in every lane.
template <class Value, class Rings>
bool vad_full_sum(const Rings& rings, int64_t samples, Value& sum_v) {
  Value sum{};
  for (int64_t j = 0; j < samples; ++j) {
    if (!vad_all(rings.valid(j))) {
      return false;
    }
    sum = sum + rings.v(j);
  }
  sum_v = sum;
  return true;
}

// The second pass of rings whose samples are all valid: the sums with their velocities.
template <class Value, class Rings>
VadCentredSums<Value> vad_full_centred_sums(const Rings& rings, int64_t samples,
                                            const VadMeans<Value>& m, const VadFullRow& row,
                                            VadDoubleAngleMeans<Value>& m2) {
  Value ssv{};
  Value scv{};
  const double* ds = row.g[0].data();
  const double* dc = row.g[1].data();
  for (int64_t j = 0; j < samples; ++j) {
    const Value dv = rings.v(j) - m.mv;
    ssv = ssv + vad_load<Value>(ds + 2 * j) * dv;
    scv = scv + vad_load<Value>(dc + 2 * j) * dv;
  }
  m2 = {vad_broadcast<Value>(row.ms2), vad_broadcast<Value>(row.mc2)};
  return {vad_broadcast<Value>(row.sss), vad_broadcast<Value>(row.scc),
          vad_broadcast<Value>(row.ssc), ssv, scv};
}

// The third pass of rings whose samples are all valid.
template <class Value, class Rings>
VadSystemOf<Value> vad_full_residuals_and_harmonic_system(const Rings& rings, int64_t samples,
                                                          const VadMeans<Value>& m,
                                                          const VadFirstFit<Value>& fit,
                                                          const VadTableTrig& trig,
                                                          const VadFullRow& row, Value& ssr) {
  VadSystemOf<Value> sys{};
  for (int p = 0; p < 4; ++p) {
    for (int q = p; q < 4; ++q) {
      sys.a[p][q] = vad_broadcast<Value>(row.a[p][q]);
    }
  }
  Value sum_r2{};
  Value y[4] = {};
  const double* g[4] = {row.g[0].data(), row.g[1].data(), row.g[2].data(), row.g[3].data()};
  for (int64_t j = 0; j < samples; ++j) {
    const Value v = rings.v(j);
    Value s;
    Value c;
    trig.single(j, s, c);
    const Value r = ((v - fit.c0) - fit.a * s) - fit.b * c;
    sum_r2 = sum_r2 + r * r;
    const Value dv = v - m.mv;
    y[0] = y[0] + vad_load<Value>(g[0] + 2 * j) * dv;  // written out: GCC keeps a loop here
    y[1] = y[1] + vad_load<Value>(g[1] + 2 * j) * dv;
    y[2] = y[2] + vad_load<Value>(g[2] + 2 * j) * dv;
    y[3] = y[3] + vad_load<Value>(g[3] + 2 * j) * dv;
  }
  for (int p = 0; p < 4; ++p) {
    sys.y[p] = y[p];
  }
  ssr = sum_r2;
  return sys;
}

inline void vad_set_lane(double& x, int /*k*/, double value) { x = value; }
inline void vad_set_lane(VadPair& x, int k, double value) { x[k] = value; }

// --- rings ---------------------------------------------------------------------------------

// What a ring's first pass decided: whether the first fit is tried.
inline bool vad_enough(double n, int64_t min_gates) {
  return n >= static_cast<double>(min_gates) && n >= 3.0;
}

// The rings of Rings (one, or a pair on one azimuth row) through the three passes, with the
// sines and cosines of trig; res[k] is lane k's result. Everything but the count stays NaN when
// a ring has fewer than max(3, min_gates) valid samples or its azimuths do not spread enough.
// The passes run while a lane needs them; a lane that is done keeps the results it has. With
// the sums of its azimuth row (full, from the row's table), rings whose samples are all valid
// take them from there.
template <class Value, class Rings, class Trig>
void vad_rings(const Rings& rings, int64_t samples, const double* cos_el, int64_t min_gates,
               double min_spread, const Trig& trig, VadResult* res,
               const VadFullRow* full = nullptr) {
  constexpr int kLanes = std::is_same_v<Value, double> ? 1 : 2;  // double or VadPair
  for (int k = 0; k < kLanes; ++k) {
    res[k] = vad_empty_result();
  }
  if (samples == 0) {
    return;
  }
  // Rings with every sample valid take the sums of their azimuths from the row's; the others
  // go through the first pass.
  Value sum_v{};
  const bool whole = full != nullptr && full->usable && vad_full_sum(rings, samples, sum_v);
  const VadSums<Value> sums = whole ? VadSums<Value>{vad_broadcast<Value>(full->n), {}, {}, sum_v}
                                    : vad_sums<Value>(rings, samples, trig);
  bool fitting[static_cast<std::size_t>(kLanes)] = {};
  bool any = false;
  for (int k = 0; k < kLanes; ++k) {
    res[k].count = vad_lane(sums.n, k);
    fitting[k] = vad_enough(res[k].count, min_gates);
    any = any || fitting[k];
  }
  if (!any) {
    return;
  }
  // the means of the angles of whole rings are the row's, by the same operations
  const VadMeans<Value> m =
      whole ? VadMeans<Value>{sums.n, vad_broadcast<Value>(full->ms),
                              vad_broadcast<Value>(full->mc), sums.v / sums.n}
            : VadMeans<Value>{sums.n, sums.s / sums.n, sums.c / sums.n, sums.v / sums.n};

  VadDoubleAngleMeans<Value> m2{};
  const VadCentredSums<Value> t = whole ? vad_full_centred_sums(rings, samples, m, *full, m2)
                                        : vad_centred_sums(rings, samples, m, trig, m2);
  VadFirstFit<Value> fit{};
  any = false;
  for (int k = 0; k < kLanes; ++k) {
    if (!fitting[k]) {
      continue;
    }
    const double n = vad_lane(sums.n, k);
    const double sss = vad_lane(t.sss, k);
    const double scc = vad_lane(t.scc, k);
    const double ssc = vad_lane(t.ssc, k);
    const double ssv = vad_lane(t.ssv, k);
    const double scv = vad_lane(t.scv, k);
    // D / N^2 is the determinant of the covariance of (sin az, cos az): 0 for a single
    // azimuth, 0.25 for azimuths spread evenly round the circle.
    const double det = sss * scc - ssc * ssc;
    fitting[k] = det / (n * n) >= min_spread;
    if (!fitting[k]) {
      continue;
    }
    const double a = (scc * ssv - ssc * scv) / det;
    const double b = (sss * scv - ssc * ssv) / det;
    const double c0 = (vad_lane(m.mv, k) - vad_lane(m.ms, k) * a) - vad_lane(m.mc, k) * b;
    vad_set_lane(fit.a, k, a);
    vad_set_lane(fit.b, k, b);
    vad_set_lane(fit.c0, k, c0);
    any = true;
  }
  if (!any) {
    return;
  }
  Value ssr{};
  VadSystemOf<Value> sys{};
  if constexpr (std::is_same_v<Trig, VadTableTrig>) {
    if (whole) {
      sys = vad_full_residuals_and_harmonic_system(rings, samples, m, fit, trig, *full, ssr);
    }
  }
  if (!whole) {
    sys = vad_residuals_and_harmonic_system(rings, samples, m, m2, fit, trig, ssr);
  }
  for (int k = 0; k < kLanes; ++k) {
    if (!fitting[k]) {
      continue;
    }
    const double n = vad_lane(sums.n, k);
    res[k].u = vad_lane(fit.a, k) / cos_el[k];
    res[k].v = vad_lane(fit.b, k) / cos_el[k];
    res[k].offset = vad_lane(fit.c0, k);
    res[k].rms_residual = std::sqrt(vad_lane(ssr, k) / n);
    VadSystem lane = vad_lane_system(sys, k);
    const VadMeans<double> mk{n, vad_lane(m.ms, k), vad_lane(m.mc, k), vad_lane(m.mv, k)};
    const VadDoubleAngleMeans<double> m2k{vad_lane(m2.ms2, k), vad_lane(m2.mc2, k)};
    vad_second_harmonic(lane, mk, m2k, min_spread, res[k]);
  }
}

// One ring, each sine and cosine from sincos.
inline VadResult vad_row(const double* vr, const double* az, int64_t samples, double cos_el,
                         int64_t min_gates, double min_spread) {
  VadResult res;
  vad_rings<double>(VadRing{vr, az}, samples, &cos_el, min_gates, min_spread, VadDirectTrig{az},
                    &res);
  return res;
}

// The tables of a row of azimuths (each of 2 samples entries): every present azimuth's sincos
// results, each twice (a missing azimuth's entries are never read: its samples are not valid).
inline void vad_fill_tables(const double* az, int64_t samples, double* sin, double* cos,
                            double* sin2, double* cos2) {
  const auto size = static_cast<size_t>(samples);
  for (size_t j = 0; j < size; ++j) {
    if (is_present(az[j])) {
      vad_sincos(az[j], sin[2 * j], cos[2 * j]);
      vad_sincos(az[j] + az[j], sin2[2 * j], cos2[2 * j]);
      sin[2 * j + 1] = sin[2 * j];
      cos[2 * j + 1] = cos[2 * j];
      sin2[2 * j + 1] = sin2[2 * j];
      cos2[2 * j + 1] = cos2[2 * j];
    }
  }
}

// A run of vad over rows of rings: what each thread of the run reads.
struct VadInputs {
  const double* vr;      // (rows, samples)
  const double* az;      // (rows, samples)
  const double* cos_el;  // (rows,)
  int64_t rows;
  int64_t samples;
  int64_t min_gates;
  double min_spread;
};

// One thread's rings. A ring whose azimuth row is the same as the previous ring's, or as the
// next one's, reads the sines and cosines of the row from a table the thread fills once for
// the row; an even ring whose next ring has its row goes through the passes with it, one per
// lane, and hands the next ring its result when the runner comes to it (the runner gives a
// thread blocks of consecutive rings, so the next ring is always the same thread's). Tables
// are allocated on the first shared row only: rings that share nothing allocate nothing.
class VadThread {
 public:
  explicit VadThread(const VadInputs& in) : in_(in) {}

  VadResult ring(int64_t r) {
    if (r == pending_) {
      pending_ = -1;
      return pending_result_;
    }
    const int64_t samples = in_.samples;
    const double* vr = in_.vr + r * samples;
    const double* az = in_.az + r * samples;
    const bool repeats = last_az_ != nullptr && same_azimuths(last_az_, az);
    const bool pairs = r % 2 == 0 && r + 1 < in_.rows && same_azimuths(az, az + samples);
    if (!repeats && !pairs) {
      filled_ = false;
      last_az_ = az;
      return vad_row(vr, az, samples, in_.cos_el[r], in_.min_gates, in_.min_spread);
    }
    if (!(repeats && filled_)) {
      fill(az);
    }
    last_az_ = az;
    const VadTableTrig trig = table();
    if (!pairs) {
      VadResult res;
      vad_rings<double>(VadRing{vr, az}, samples, in_.cos_el + r, in_.min_gates, in_.min_spread,
                        trig, &res, &full_);
      return res;
    }
    VadResult res[2];
    vad_rings<VadPair>(VadRingPair{vr, vr + samples, az}, samples, in_.cos_el + r, in_.min_gates,
                       in_.min_spread, trig, res, &full_);
    pending_ = r + 1;
    pending_result_ = res[1];
    return res[0];
  }

 private:
  // Bit for bit, so that a table filled from one row serves exactly the rows it was made from.
  bool same_azimuths(const double* a, const double* b) const {
    return a == b || std::memcmp(a, b, static_cast<size_t>(in_.samples) * sizeof(double)) == 0;
  }

  // The tables of the row az (vad_fill_tables).
  void fill(const double* az) {
    for (auto* table : {&sin_, &cos_, &sin2_, &cos2_}) {
      table->resize(2 * static_cast<size_t>(in_.samples));
    }
    vad_fill_tables(az, in_.samples, sin_.data(), cos_.data(), sin2_.data(), cos2_.data());
    filled_ = true;
    vad_fill_full_row(full_, az, in_.samples, table());
  }

  VadTableTrig table() const { return {sin_.data(), cos_.data(), sin2_.data(), cos2_.data()}; }

  VadInputs in_;
  const double* last_az_ = nullptr;
  bool filled_ = false;  // the tables hold the row of last_az_
  int64_t pending_ = -1;
  VadResult pending_result_{};
  std::vector<double> sin_;
  std::vector<double> cos_;
  std::vector<double> sin2_;
  std::vector<double> cos2_;
  VadFullRow full_;  // the sums of the row of the tables, for rings with every sample valid
};

}  // namespace bluster
