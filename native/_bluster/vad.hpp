// Velocity-azimuth display wind of one ring of samples: plain C++ over raw pointers, free of
// Python types. A ring on its own recomputes its sines and cosines in every pass rather than
// storing them, so it needs only a handful of running sums and allocates nothing; rings that
// share their row of azimuths with the ring before them read them from a table that the
// thread fills once (VadTrigReuse).
#pragma once

#include <math.h>  // sincos, a GNU extension that <cmath> does not put into std

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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

// A sample takes part only when both its velocity and its azimuth are finite.
inline bool vad_sample_valid(double v, double az) { return is_present(v) && is_present(az); }

// Sine and cosine of one angle from a single library call.
inline void vad_sincos(double angle, double& s, double& c) { ::sincos(angle, &s, &c); }

// Where a pass takes the sine and cosine of each sample's azimuth and of its double: from
// sincos itself (VadDirectTrig), or from a table filled once for a row of azimuths that several
// rings share (VadTableTrig). Both give the same bits: the table holds sincos's own results.
struct VadDirectTrig {
  const double* az;
  void single(int64_t j, double& s, double& c) const { vad_sincos(az[j], s, c); }
  void twice(int64_t j, double& s2, double& c2) const { vad_sincos(az[j] + az[j], s2, c2); }
};

struct VadTableTrig {
  const double* sin;
  const double* cos;
  const double* sin2;
  const double* cos2;
  void single(int64_t j, double& s, double& c) const {
    s = sin[j];
    c = cos[j];
  }
  void twice(int64_t j, double& s2, double& c2) const {
    s2 = sin2[j];
    c2 = cos2[j];
  }
};

// Sample count and the sums of sin az, cos az and vr.
struct VadSums {
  double n;
  double s;
  double c;
  double v;
};

template <class Trig>
VadSums vad_sums(const double* vr, const double* az, int64_t samples, const Trig& trig) {
  double n = 0.0;
  double sum_s = 0.0;
  double sum_c = 0.0;
  double sum_v = 0.0;
  for (int64_t j = 0; j < samples; ++j) {
    if (!vad_sample_valid(vr[j], az[j])) {
      continue;
    }
    double s;
    double c;
    trig.single(j, s, c);
    n = n + 1.0;
    sum_s = sum_s + s;
    sum_c = sum_c + c;
    sum_v = sum_v + vr[j];
  }
  return {n, sum_s, sum_c, sum_v};
}

// Count and means of the valid samples.
struct VadMeans {
  double n;
  double ms;
  double mc;
  double mv;
};

// The centred 2 x 2 normal equations of v = c0 + a sin az + b cos az.
struct VadCentredSums {
  double sss;
  double scc;
  double ssc;
  double ssv;
  double scv;
};

// Means of sin(2 az) and cos(2 az).
struct VadDoubleAngleMeans {
  double ms2;
  double mc2;
};

// The second pass: the centred sums of the first fit, and beside them the sums of sin(2 az) and
// cos(2 az) that the fit with the second harmonic needs (each sum runs over the valid samples
// in order on its own, so sharing the pass changes no bit; they go unused when the first fit is
// refused).
template <class Trig>
VadCentredSums vad_centred_sums(const double* vr, const double* az, int64_t samples,
                                const VadMeans& m, const Trig& trig, VadDoubleAngleMeans& m2) {
  VadCentredSums t{0.0, 0.0, 0.0, 0.0, 0.0};
  double sum_s2 = 0.0;
  double sum_c2 = 0.0;
  for (int64_t j = 0; j < samples; ++j) {
    if (!vad_sample_valid(vr[j], az[j])) {
      continue;
    }
    double s;
    double c;
    double s2;
    double c2;
    trig.single(j, s, c);
    trig.twice(j, s2, c2);
    const double ds = s - m.ms;
    const double dc = c - m.mc;
    const double dv = vr[j] - m.mv;
    t.sss = t.sss + ds * ds;
    t.scc = t.scc + dc * dc;
    t.ssc = t.ssc + ds * dc;
    t.ssv = t.ssv + ds * dv;
    t.scv = t.scv + dc * dv;
    sum_s2 = sum_s2 + s2;
    sum_c2 = sum_c2 + c2;
  }
  m2 = {sum_s2 / m.n, sum_c2 / m.n};
  return t;
}

// The centred 4 x 4 normal equations A x = y of the fit with the second harmonic.
struct VadSystem {
  double a[4][4];
  double y[4];
};

// Adds one sample's products to the upper triangle of A and to y. Written out rather than
// looped: the loop version is measurably slower here, and every cycle beside the sincos calls
// counts.
inline void vad_add_sample(VadSystem& sys, const double g[4], double dv) {
  auto& a = sys.a;
  a[0][0] = a[0][0] + g[0] * g[0];
  a[0][1] = a[0][1] + g[0] * g[1];
  a[0][2] = a[0][2] + g[0] * g[2];
  a[0][3] = a[0][3] + g[0] * g[3];
  a[1][1] = a[1][1] + g[1] * g[1];
  a[1][2] = a[1][2] + g[1] * g[2];
  a[1][3] = a[1][3] + g[1] * g[3];
  a[2][2] = a[2][2] + g[2] * g[2];
  a[2][3] = a[2][3] + g[2] * g[3];
  a[3][3] = a[3][3] + g[3] * g[3];
  for (int p = 0; p < 4; ++p) {
    sys.y[p] = sys.y[p] + g[p] * dv;
  }
}

// The third pass: the sum of squared residuals of the first-harmonic fit (c0, a, b), and the
// system of the fit with the second harmonic. A is symmetric: only the upper triangle is summed
// and then mirrored, which gives the same bits as summing both halves since g_p g_q and g_q g_p
// are the same product.
template <class Trig>
VadSystem vad_residuals_and_harmonic_system(const double* vr, const double* az, int64_t samples,
                                            const VadMeans& m, const VadDoubleAngleMeans& m2,
                                            double c0, double a, double b, const Trig& trig,
                                            double& ssr) {
  VadSystem sys{};
  double sum_r2 = 0.0;
  for (int64_t j = 0; j < samples; ++j) {
    if (!vad_sample_valid(vr[j], az[j])) {
      continue;
    }
    double s;
    double c;
    double s2;
    double c2;
    trig.single(j, s, c);
    trig.twice(j, s2, c2);
    const double r = ((vr[j] - c0) - a * s) - b * c;
    sum_r2 = sum_r2 + r * r;
    const double g[4] = {s - m.ms, c - m.mc, s2 - m2.ms2, c2 - m2.mc2};
    vad_add_sample(sys, g, vr[j] - m.mv);
  }
  for (int p = 1; p < 4; ++p) {
    for (int q = 0; q < p; ++q) {
      sys.a[p][q] = sys.a[q][p];
    }
  }
  ssr = sum_r2;
  return sys;
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
inline void vad_second_harmonic(VadSystem& sys, const VadMeans& m, const VadDoubleAngleMeans& m2,
                                double min_spread, VadResult& res) {
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

// One ring, with the sines and cosines of its azimuths from trig. Everything but the count stays
// NaN when the ring has fewer than max(3, min_gates) valid samples or its azimuths do not spread
// enough. Three passes over the samples: the sums and means, the centred sums (with the sums of
// the double angle), the residuals (with the system of the second fit).
template <class Trig>
VadResult vad_row_with(const double* vr, const double* az, int64_t samples, double cos_el,
                       int64_t min_gates, double min_spread, const Trig& trig) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  VadResult res{.u = nan,
                .v = nan,
                .offset = nan,
                .rms_residual = nan,
                .count = 0.0,
                .harmonic_offset = nan,
                .sin2_coefficient = nan,
                .cos2_coefficient = nan};
  if (samples == 0) {
    return res;
  }
  const VadSums sums = vad_sums(vr, az, samples, trig);
  const double n = sums.n;
  res.count = n;
  if (!(n >= static_cast<double>(min_gates) && n >= 3.0)) {
    return res;
  }
  const VadMeans m{n, sums.s / n, sums.c / n, sums.v / n};

  VadDoubleAngleMeans m2{};
  const VadCentredSums t = vad_centred_sums(vr, az, samples, m, trig, m2);
  // D / N^2 is the determinant of the covariance of (sin az, cos az): 0 for a single
  // azimuth, 0.25 for azimuths spread evenly round the circle.
  const double det = t.sss * t.scc - t.ssc * t.ssc;
  if (!(det / (n * n) >= min_spread)) {
    return res;
  }
  const double a = (t.scc * t.ssv - t.ssc * t.scv) / det;
  const double b = (t.sss * t.scv - t.ssc * t.ssv) / det;
  const double c0 = (m.mv - m.ms * a) - m.mc * b;
  double ssr = 0.0;
  VadSystem sys = vad_residuals_and_harmonic_system(vr, az, samples, m, m2, c0, a, b, trig, ssr);
  res.u = a / cos_el;
  res.v = b / cos_el;
  res.offset = c0;
  res.rms_residual = std::sqrt(ssr / n);

  vad_second_harmonic(sys, m, m2, min_spread, res);
  return res;
}

// One ring, each sine and cosine from sincos.
inline VadResult vad_row(const double* vr, const double* az, int64_t samples, double cos_el,
                         int64_t min_gates, double min_spread) {
  return vad_row_with(vr, az, samples, cos_el, min_gates, min_spread, VadDirectTrig{az});
}

// A thread's memory of the rings it fitted last: the azimuth row of its previous ring and, once
// a ring has repeated that row, the sines and cosines of the row's azimuths. The rings of a
// sweep share one row of azimuths (one per ray), so the row's sincos calls are made once for
// all of them instead of five times per valid sample of every ring. Tables are allocated on the
// first repeat only: rings that never repeat their predecessor's row allocate nothing.
class VadTrigReuse {
 public:
  // The ring of the azimuth row az (samples values, alive until the run ends), fitted.
  VadResult row(const double* vr, const double* az, int64_t samples, double cos_el,
                int64_t min_gates, double min_spread) {
    const bool repeats = last_az_ != nullptr && same_azimuths(last_az_, az, samples);
    last_az_ = az;
    if (!repeats) {
      filled_ = false;
      return vad_row(vr, az, samples, cos_el, min_gates, min_spread);
    }
    if (!filled_) {
      fill(az, samples);
    }
    const VadTableTrig trig{sin_.data(), cos_.data(), sin2_.data(), cos2_.data()};
    return vad_row_with(vr, az, samples, cos_el, min_gates, min_spread, trig);
  }

 private:
  // Bit for bit, so that a table filled from one row serves exactly the rows it was made from.
  static bool same_azimuths(const double* a, const double* b, int64_t samples) {
    return a == b || std::memcmp(a, b, static_cast<size_t>(samples) * sizeof(double)) == 0;
  }

  // The tables of the row az: every present azimuth's sincos results (a missing azimuth's
  // entries are never read: its samples are not valid).
  void fill(const double* az, int64_t samples) {
    const auto size = static_cast<size_t>(samples);
    sin_.resize(size);
    cos_.resize(size);
    sin2_.resize(size);
    cos2_.resize(size);
    for (size_t j = 0; j < size; ++j) {
      if (is_present(az[j])) {
        vad_sincos(az[j], sin_[j], cos_[j]);
        vad_sincos(az[j] + az[j], sin2_[j], cos2_[j]);
      }
    }
    filled_ = true;
  }

  const double* last_az_ = nullptr;
  bool filled_ = false;  // the tables hold the row last_az_
  std::vector<double> sin_;
  std::vector<double> cos_;
  std::vector<double> sin2_;
  std::vector<double> cos2_;
};

}  // namespace bluster
