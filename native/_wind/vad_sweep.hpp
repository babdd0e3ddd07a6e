// Velocity-azimuth display of every ring of one sweep, read straight from the sweep's (rays,
// gates) layout: plain C++ over raw pointers, free of Python types. The fits are those of
// _bluster's vad (the passes of vad_rings, "_bluster/vad.hpp") over rings whose samples are
// strided: ring g's sample j is vr[j * gates + g], so two adjacent gates are one 16-byte load
// for the pair of lanes. Every ring has the sweep's row of azimuths, so its tables and the sums
// of its full row are made once for the sweep and shared, read-only, by the threads.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "_bluster/vad.hpp"

namespace wind {

using bluster::VadPair;
using bluster::VadPairMask;
using bluster::VadResult;

// Ring g of a sweep: vr points at gate g of the first ray, the samples lie `gates` apart.
struct VadSweepRing {
  const double* vr;
  int64_t gates;
  const double* az;
  bool valid(int64_t j) const { return bluster::vad_sample_valid(vr[j * gates], az[j]); }
  double v(int64_t j) const { return vr[j * gates]; }
};

// Rings g and g + 1 of a sweep, one per lane: sample j of both is one load.
struct VadSweepRingPair {
  const double* vr;
  int64_t gates;
  const double* az;
  VadPair v(int64_t j) const { return bluster::vad_load<VadPair>(vr + j * gates); }
  VadPairMask valid(int64_t j) const { return bluster::vad_pair_valid(v(j), az[j]); }
};

// A sweep's rings: what every thread of the run reads.
struct VadSweepInputs {
  const double* vr;  // (rays, gates)
  const double* az;  // (rays,), radians
  int64_t rays;
  int64_t gates;
  double cos_el;
  int64_t min_gates;
  double min_spread;
};

// The sweep's azimuths in radians: as given (scale 1), or each times `scale` (the
// degrees-to-radians factor), the one multiply NumPy's conversion of units makes.
inline std::vector<double> vad_sweep_radians(const double* azimuth, int64_t rays, double scale) {
  std::vector<double> radians(azimuth, azimuth + rays);
  if (scale != 1.0) {
    for (double& a : radians) {
      a = a * scale;
    }
  }
  return radians;
}

// What the rings of a sweep share: the tables of sines and cosines of its azimuth row, and the
// sums of that row for rings whose samples are all valid. Filled once, before the threads
// start, and only read by them.
class VadSweepRow {
 public:
  VadSweepRow(const double* az, int64_t rays)
      : sin_(2 * static_cast<size_t>(rays)),
        cos_(sin_.size()),
        sin2_(sin_.size()),
        cos2_(sin_.size()) {
    bluster::vad_fill_tables(az, rays, sin_.data(), cos_.data(), sin2_.data(), cos2_.data());
    bluster::vad_fill_full_row(full_, az, rays, trig());
  }

  bluster::VadTableTrig trig() const {
    return {sin_.data(), cos_.data(), sin2_.data(), cos2_.data()};
  }
  const bluster::VadFullRow& full() const { return full_; }

 private:
  std::vector<double> sin_;
  std::vector<double> cos_;
  std::vector<double> sin2_;
  std::vector<double> cos2_;
  bluster::VadFullRow full_;
};

// The rings of gates g and g + 1 (one lane each) when both exist, else ring g alone; res[k] is
// ring g + k's result. A sweep of one gate fits its ring by sincos itself, as vad does a ring
// that shares its row with no other.
inline int vad_sweep_rings(const VadSweepInputs& in, const VadSweepRow& row, int64_t g,
                           VadResult res[2]) {
  const double cos_el[2] = {in.cos_el, in.cos_el};
  if (g + 1 < in.gates) {
    bluster::vad_rings<VadPair>(VadSweepRingPair{in.vr + g, in.gates, in.az}, in.rays, cos_el,
                                in.min_gates, in.min_spread, row.trig(), res, &row.full());
    return 2;
  }
  const VadSweepRing ring{in.vr + g, in.gates, in.az};
  if (in.gates == 1) {
    bluster::vad_rings<double>(ring, in.rays, cos_el, in.min_gates, in.min_spread,
                               bluster::VadDirectTrig{in.az}, res);
  } else {
    bluster::vad_rings<double>(ring, in.rays, cos_el, in.min_gates, in.min_spread, row.trig(), res,
                               &row.full());
  }
  return 1;
}

// --- eight adjacent rings with every sample valid --------------------------------------------
//
// In a dense sweep most rings have every sample valid, and take the sums of their azimuths from
// the row's (VadFullRow). Their passes then sum only what involves their velocities, each sum a
// chain of dependent additions; eight adjacent rings (four pairs of lanes: 64 adjacent bytes of
// each ray) in one loop give the processor four independent chains where vad_rings has one, and
// read each line of the sweep once per pass. Every lane does the operations of vad_rings for a
// whole ring in the same order, so the bits are the same: pass 1 the sum of the velocities;
// pass 2 the products of the centred sines, cosines and double angles with the centred
// velocities (the sums ssv and scv of the first fit are y[0] and y[1] of the second, the same
// products of the same values, so each is summed once); pass 3 the squared residuals of the
// first fit.

constexpr int64_t kWholePairs = 4;

// The sums of pass 2 of one pair of lanes.
struct VadWholeSums {
  VadPair y[4];
};

// Pass 1 of the rings from gate g: their velocity sums, or false when a sample of one of them
// is not valid. The validity is checked every 64 samples rather than at each: rings with an
// invalid sample go through vad_rings instead, so what their sums became does not matter.
inline bool vad_whole_sums(const VadSweepInputs& in, int64_t g, VadPair sum[kWholePairs]) {
  const VadPairMask magnitude_bits = {std::numeric_limits<int64_t>::max(),
                                      std::numeric_limits<int64_t>::max()};
  const VadPair largest = bluster::vad_broadcast<VadPair>(std::numeric_limits<double>::max());
  VadPairMask all = {-1, -1};
  VadPair s[kWholePairs] = {};
  const double* vr = in.vr + g;
  for (int64_t j = 0; j < in.rays; ++j) {
#pragma GCC unroll 4
    for (int64_t p = 0; p < kWholePairs; ++p) {
      const VadPair v = bluster::vad_load<VadPair>(vr + j * in.gates + 2 * p);
      // is_present lane by lane, as vad_pair_valid tests it (every azimuth is present)
      all &=
          reinterpret_cast<VadPair>(reinterpret_cast<VadPairMask>(v) & magnitude_bits) <= largest;
      s[p] = s[p] + v;
    }
    if (j % 64 == 63 && !bluster::vad_all(all)) {
      return false;
    }
  }
  for (int64_t p = 0; p < kWholePairs; ++p) {
    sum[p] = s[p];
  }
  return bluster::vad_all(all);
}

// Pass 2 of whole rings about their mean velocities mv.
inline void vad_whole_products(const VadSweepInputs& in, int64_t g, const bluster::VadFullRow& row,
                               const VadPair mv[kWholePairs], VadWholeSums sums[kWholePairs]) {
  const double* g0 = row.g[0].data();
  const double* g1 = row.g[1].data();
  const double* g2 = row.g[2].data();
  const double* g3 = row.g[3].data();
  VadPair y0[kWholePairs] = {};
  VadPair y1[kWholePairs] = {};
  VadPair y2[kWholePairs] = {};
  VadPair y3[kWholePairs] = {};
  const double* vr = in.vr + g;
  for (int64_t j = 0; j < in.rays; ++j) {
    const VadPair d0 = bluster::vad_load<VadPair>(g0 + 2 * j);
    const VadPair d1 = bluster::vad_load<VadPair>(g1 + 2 * j);
    const VadPair d2 = bluster::vad_load<VadPair>(g2 + 2 * j);
    const VadPair d3 = bluster::vad_load<VadPair>(g3 + 2 * j);
#pragma GCC unroll 4
    for (int64_t p = 0; p < kWholePairs; ++p) {
      const VadPair dv = bluster::vad_load<VadPair>(vr + j * in.gates + 2 * p) - mv[p];
      y0[p] = y0[p] + d0 * dv;
      y1[p] = y1[p] + d1 * dv;
      y2[p] = y2[p] + d2 * dv;
      y3[p] = y3[p] + d3 * dv;
    }
  }
  for (int64_t p = 0; p < kWholePairs; ++p) {
    sums[p] = {{y0[p], y1[p], y2[p], y3[p]}};
  }
}

// Pass 3 of whole rings: the sums of the squared residuals of their first fits.
inline void vad_whole_residuals(const VadSweepInputs& in, int64_t g,
                                const bluster::VadTableTrig& trig,
                                const bluster::VadFirstFit<VadPair> fit[kWholePairs],
                                VadPair ssr[kWholePairs]) {
  VadPair sum[kWholePairs] = {};
  const double* vr = in.vr + g;
  for (int64_t j = 0; j < in.rays; ++j) {
    VadPair s;
    VadPair c;
    trig.single(j, s, c);
#pragma GCC unroll 4
    for (int64_t p = 0; p < kWholePairs; ++p) {
      const VadPair v = bluster::vad_load<VadPair>(vr + j * in.gates + 2 * p);
      const VadPair r = ((v - fit[p].c0) - fit[p].a * s) - fit[p].b * c;
      sum[p] = sum[p] + r * r;
    }
  }
  for (int64_t p = 0; p < kWholePairs; ++p) {
    ssr[p] = sum[p];
  }
}

// The rings of gates g to g + 7 when every sample of each is valid (and the row's azimuths are
// all present): their results in res, as vad_rings gives them. False, with nothing written,
// otherwise.
inline bool vad_sweep_whole_rings(const VadSweepInputs& in, const VadSweepRow& sweep_row, int64_t g,
                                  VadResult res[2 * kWholePairs]) {
  const bluster::VadFullRow& row = sweep_row.full();
  if (!row.usable || in.rays == 0) {
    return false;
  }
  VadPair sum_v[kWholePairs];
  if (!vad_whole_sums(in, g, sum_v)) {
    return false;
  }
  const double n = row.n;
  const VadPair n2 = bluster::vad_broadcast<VadPair>(n);
  for (int k = 0; k < 2 * kWholePairs; ++k) {
    res[k] = bluster::vad_empty_result();
    res[k].count = n;
  }
  if (!bluster::vad_enough(n, in.min_gates)) {
    return true;
  }
  VadPair mv[kWholePairs];
  for (int64_t p = 0; p < kWholePairs; ++p) {
    mv[p] = sum_v[p] / n2;
  }
  VadWholeSums sums[kWholePairs];
  vad_whole_products(in, g, row, mv, sums);
  // The first fit, lane by lane (every lane has the row's azimuth sums, so all or none fit).
  const double det = row.sss * row.scc - row.ssc * row.ssc;
  if (!(det / (n * n) >= in.min_spread)) {
    return true;
  }
  bluster::VadFirstFit<VadPair> fit[kWholePairs] = {};
  for (int64_t p = 0; p < kWholePairs; ++p) {
    for (int k = 0; k < 2; ++k) {
      const double ssv = sums[p].y[0][k];
      const double scv = sums[p].y[1][k];
      const double a = (row.scc * ssv - row.ssc * scv) / det;
      const double b = (row.sss * scv - row.ssc * ssv) / det;
      const double c0 = (mv[p][k] - row.ms * a) - row.mc * b;
      fit[p].a[k] = a;
      fit[p].b[k] = b;
      fit[p].c0[k] = c0;
    }
  }
  VadPair ssr[kWholePairs];
  vad_whole_residuals(in, g, sweep_row.trig(), fit, ssr);
  const bluster::VadDoubleAngleMeans<double> m2{row.ms2, row.mc2};
  for (int64_t p = 0; p < kWholePairs; ++p) {
    for (int k = 0; k < 2; ++k) {
      VadResult& r = res[2 * p + k];
      r.u = fit[p].a[k] / in.cos_el;
      r.v = fit[p].b[k] / in.cos_el;
      r.offset = fit[p].c0[k];
      r.rms_residual = std::sqrt(ssr[p][k] / n);
      bluster::VadSystem system{};
      for (int i = 0; i < 4; ++i) {
        for (int q = i; q < 4; ++q) {
          system.a[i][q] = row.a[i][q];
        }
        system.y[i] = sums[p].y[i][k];
      }
      for (int i = 1; i < 4; ++i) {
        for (int q = 0; q < i; ++q) {
          system.a[i][q] = system.a[q][i];
        }
      }
      const bluster::VadMeans<double> m{n, row.ms, row.mc, mv[p][k]};
      bluster::vad_second_harmonic(system, m, m2, in.min_spread, r);
    }
  }
  return true;
}

// Gates handed to a thread's item: eight adjacent rings.
constexpr int64_t kSweepItemGates = 2 * kWholePairs;

// The rings of gates g to g + 7 (fewer at the end of the sweep): res[k] is ring g + k's
// result; returns how many rings there were.
inline int vad_sweep_item(const VadSweepInputs& in, const VadSweepRow& row, int64_t g,
                          VadResult res[kSweepItemGates]) {
  if (g + kSweepItemGates <= in.gates && vad_sweep_whole_rings(in, row, g, res)) {
    return static_cast<int>(kSweepItemGates);
  }
  int done = 0;
  while (done < kSweepItemGates && g + done < in.gates) {
    done += vad_sweep_rings(in, row, g + done, res + done);
  }
  return done;
}

}  // namespace wind
