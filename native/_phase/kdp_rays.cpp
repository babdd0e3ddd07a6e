// kdp_rays: argument checks and the parallel run over rays.
#include "kdp_rays.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace phase {

OutArray kdp_rays_py(const InArray& phidp, const InArray& rhohv, double system_phase,
                     double gate_spacing, int64_t half_window, int64_t min_gates, double rhohv_min,
                     int32_t n_threads) {
  if (phidp.ndim() != 2) {
    throw std::invalid_argument("phidp must be 2-D (rays, gates)");
  }
  const int64_t rays = phidp.shape(0);
  const int64_t gates = phidp.shape(1);
  const Optional2D rhohv_in(rhohv, rays, gates, "rhohv");
  if (!(gate_spacing > 0.0) || !is_present(gate_spacing)) {
    throw std::invalid_argument("gate_spacing must be positive and finite");
  }
  if (half_window < 1) {
    throw std::invalid_argument("half_window must be at least 1");
  }
  const KdpInputs in{.phidp = phidp.data(),
                     .rhohv = rhohv_in,
                     .gates = gates,
                     .system_phase = system_phase,
                     .gate_spacing = gate_spacing,
                     .half_window = half_window,
                     .min_gates = min_gates,
                     .rhohv_min = rhohv_min};

  OutArray out({int64_t{2}, rays, gates});
  double* outp = out.mutable_data();
  const int64_t plane = rays * gates;
  // Rays without gates write nothing, so none is run: there may be 2^48 of them.
  const int64_t items = plane > 0 ? kdp_items(rays) : 0;
  // Each item writes its rays' cells of both planes; its scratch buffer is its own.
  common::parallel_rows_without_gil(items, n_threads, [&in, outp, plane, rays](int64_t k) {
    kdp_item(in, k, rays, outp, outp + plane);
  });
  return out;
}

}  // namespace phase
