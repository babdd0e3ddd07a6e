// Velocity-azimuth display of every ring of one sweep, read straight from the sweep's (rays,
// gates) layout: plain C++ over raw pointers, free of Python types. The fits are those of
// _bluster's vad (the passes of vad_rings, "_bluster/vad.hpp") over rings whose samples are
// strided: ring g's sample j is vr[j * gates + g], so two adjacent gates are one 16-byte load
// for the pair of lanes. Every ring has the sweep's row of azimuths, so its tables and the sums
// of its full row are made once for the sweep and shared, read-only, by the threads.
#pragma once

#include <cstdint>
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
    bluster::vad_rings<double>(ring, in.rays, cos_el, in.min_gates, in.min_spread, row.trig(),
                               res, &row.full());
  }
  return 1;
}

}  // namespace wind
