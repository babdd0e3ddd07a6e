// vad: argument checks and the parallel run over rings.
#include "vad.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace bluster {

OutArray vad_py(const InArray& vr, const InArray& az, const InArray& cos_el, int64_t min_gates,
                double min_spread, int32_t n_threads) {
  if (vr.ndim() != 2 || az.ndim() != 2) {
    throw std::invalid_argument("vr, az must be 2-D");
  }
  if (az.shape(0) != vr.shape(0) || az.shape(1) != vr.shape(1)) {
    throw std::invalid_argument("shape mismatch");
  }
  const int64_t rows = vr.shape(0);
  const int64_t samples = vr.shape(1);
  if (cos_el.size() != rows) {
    throw std::invalid_argument("shape mismatch");
  }

  OutArray out({int64_t{kVadComponents}, rows});
  const VadInputs inputs{.vr = vr.data(),
                         .az = az.data(),
                         .cos_el = cos_el.data(),
                         .rows = rows,
                         .samples = samples,
                         .min_gates = min_gates,
                         .min_spread = min_spread};
  double* outp = out.mutable_data();

  // Each thread keeps the tables of the azimuth row its rings share: a sweep's rings (one per
  // gate) all have the row of its rays' azimuths.
  common::parallel_blocks_with_state_without_gil(
      rows, 64, n_threads, [inputs] { return VadThread(inputs); },
      [outp, rows](int64_t r, VadThread& thread) {
        const VadResult res = thread.ring(r);
        common::write_column(outp, rows, r, res.u, res.v, res.offset, res.rms_residual, res.count,
                             res.harmonic_offset, res.sin2_coefficient, res.cos2_coefficient);
      });
  return out;
}

}  // namespace bluster
