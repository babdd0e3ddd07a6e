// phidp_rays: argument checks and the parallel run over rays.
#include "phidp_rays.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace calibration {

OutArray phidp_rays_py(const InArray& phidp, const InArray& rhohv, const InArray& snr,
                       const InArray& mask, int64_t first_gate, int64_t n_use, double rhohv_min,
                       double snr_min, int64_t min_count, int32_t n_threads) {
  if (phidp.ndim() != 2) {
    throw std::invalid_argument("phidp must be 2-D (rays, gates)");
  }
  const int64_t rays = phidp.shape(0);
  const int64_t gates = phidp.shape(1);
  // The optional arrays are checked in this order: rhohv, snr, mask.
  const PhidpInputs in{.phidp = phidp.data(),
                       .rhohv = Optional2D(rhohv, rays, gates, "rhohv"),
                       .snr = Optional2D(snr, rays, gates, "snr"),
                       .mask = Optional2D(mask, rays, gates, "mask"),
                       .gates = gates,
                       .first_gate = first_gate,
                       .n_use = n_use,
                       .rhohv_min = rhohv_min,
                       .snr_min = snr_min,
                       .min_count = min_count};

  OutArray out({rays, int64_t{3}});
  double* outp = out.mutable_data();
  common::parallel_rows_without_gil(rays, n_threads,
                                    [&in, outp](int64_t r) { phidp_ray(in, r, outp + r * 3); });
  return out;
}

}  // namespace calibration
