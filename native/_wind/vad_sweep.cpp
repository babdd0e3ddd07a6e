// vad_sweep: argument checks and the parallel run over pairs of adjacent gates.
#include "vad_sweep.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace wind {

namespace {

// Items (of eight adjacent gates) handed out at a time: 64 rings.
constexpr int64_t kItemsPerBlock = 8;

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

  // Item i is the rings of gates 8 i to 8 i + 7, and writes only their columns.
  const int64_t items = (gates + kSweepItemGates - 1) / kSweepItemGates;
  common::parallel_blocks_without_gil(
      items, kItemsPerBlock, n_threads, [&in, &row, outp, gates](int64_t i) {
        VadResult res[kSweepItemGates];
        const int64_t g = kSweepItemGates * i;
        const int rings = vad_sweep_item(in, row, g, res);
        for (int k = 0; k < rings; ++k) {
          const VadResult& r = res[k];
          common::write_column(outp, gates, g + k, r.u, r.v, r.offset, r.rms_residual, r.count,
                               r.harmonic_offset, r.sin2_coefficient, r.cos2_coefficient);
        }
      });
  return out;
}

}  // namespace wind
