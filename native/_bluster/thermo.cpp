// thermo: argument checks and the parallel run over points.
#include "thermo.hpp"

#include <stdexcept>

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

  common::parallel_blocks_without_gil(n, 4096, n_threads, [=](int64_t i) {
    const ThermoResult res = thermo_point(tp[i], pp[i], tdp[i]);
    common::write_column(outp, n, i, res.mixing_ratio, res.theta, res.theta_v, res.theta_e);
  });
  return out;
}

}  // namespace bluster
