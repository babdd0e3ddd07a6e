// thermo: argument checks and the parallel run over points.
#include "thermo.hpp"

#include <stdexcept>

#include "parallel_blocks.hpp"
#include "wrappers.hpp"

namespace bluster {

OutArray thermo_py(const InArray& t, const InArray& p, const InArray& td, int32_t n_threads) {
  // Only the sizes must agree: points are paired in flat order, whatever the shapes.
  if (p.size() != t.size()) {
    throw std::invalid_argument("size mismatch");
  }
  if (td.size() != t.size()) {
    throw std::invalid_argument("size mismatch");
  }
  const int64_t n = t.size();

  OutArray out({int64_t{4}, n});
  const double* tp = t.data();
  const double* pp = p.data();
  const double* tdp = td.data();
  double* outp = out.mutable_data();

  // Safe without the GIL: the workers use only the raw pointers and the count taken above,
  // the arrays stay alive through the references held by the caller's frame, and each point
  // writes only its own four result cells.
  {
    py::gil_scoped_release release;
    parallel_blocks(n, 4096, n_threads, [=](int64_t i) {
      const ThermoResult res = thermo_point(tp[i], pp[i], tdp[i]);
      outp[i] = res.mixing_ratio;
      outp[n + i] = res.theta;
      outp[2 * n + i] = res.theta_v;
      outp[3 * n + i] = res.theta_e;
    });
  }
  return out;
}

}  // namespace bluster
