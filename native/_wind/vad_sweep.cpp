// vad_sweep: argument checks and the parallel run over pairs of adjacent gates.
#include "vad_sweep.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace wind {

namespace {

// Pairs of adjacent gates handed out at a time: 64 rings, whose samples share cache lines.
constexpr int64_t kPairsPerBlock = 32;

}  // namespace

OutArray vad_sweep_py(const InArray& velocity, const InArray& azimuth, double azimuth_scale,
                      double cos_elevation, int64_t min_gates, double min_spread,
                      int32_t n_threads) {
  if (velocity.ndim() != 2) {
    throw std::invalid_argument("velocity must be 2-D (rays, gates)");
  }
  const int64_t rays = velocity.shape(0);
  const int64_t gates = velocity.shape(1);
  if (azimuth.ndim() != 1 || azimuth.shape(0) != rays) {
    throw std::invalid_argument("azimuth must be 1-D with one value per ray");
  }
  if (!(azimuth_scale > 0.0) || !common::is_present(azimuth_scale)) {
    throw std::invalid_argument("azimuth_scale must be positive and finite");
  }

  OutArray out({int64_t{bluster::kVadComponents}, gates});
  double* outp = out.mutable_data();
  // The row's radians, tables and sums, made once here and only read by the threads.
  const std::vector<double> radians = vad_sweep_radians(azimuth.data(), rays, azimuth_scale);
  const VadSweepRow row(radians.data(), rays);
  const VadSweepInputs in{.vr = velocity.data(),
                          .az = radians.data(),
                          .rays = rays,
                          .gates = gates,
                          .cos_el = cos_elevation,
                          .min_gates = min_gates,
                          .min_spread = min_spread};

  // Item p is the rings of gates 2 p and 2 p + 1, and writes only their columns.
  common::parallel_blocks_without_gil(
      (gates + 1) / 2, kPairsPerBlock, n_threads, [&in, &row, outp, gates](int64_t p) {
        VadResult res[2];
        const int64_t g = 2 * p;
        const int lanes = vad_sweep_rings(in, row, g, res);
        for (int k = 0; k < lanes; ++k) {
          const VadResult& r = res[k];
          common::write_column(outp, gates, g + k, r.u, r.v, r.offset, r.rms_residual, r.count,
                               r.harmonic_offset, r.sin2_coefficient, r.cos2_coefficient);
        }
      });
  return out;
}

}  // namespace wind
