// profile: argument checks and the parallel run over columns.
#include "profile.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace bluster {

// How many columns ahead of the one being computed are brought into the cache.
constexpr int64_t kPrefetchRows = 4;

OutArray profile_py(const InArray& z, const InArray& u, const InArray& v, const InArray& ground,
                    double bottom, double top, const InArray& cu, const InArray& cv,
                    int32_t n_threads) {
  if (u.ndim() != 2) {
    throw std::invalid_argument("u must be 2-D");
  }
  const int64_t rows = u.shape(0);
  const int64_t levels = u.shape(1);
  // Only element counts are compared: z and v may come flat or in any shape, and the
  // per-column arrays as (rows,), (rows, 1) or (1, rows).
  if (z.size() != rows * levels) {
    throw std::invalid_argument("shape mismatch");
  }
  if (v.size() != rows * levels) {
    throw std::invalid_argument("shape mismatch");
  }
  if (ground.size() != rows) {
    throw std::invalid_argument("shape mismatch");
  }
  if (cu.size() != rows) {
    throw std::invalid_argument("shape mismatch");
  }
  if (cv.size() != rows) {
    throw std::invalid_argument("shape mismatch");
  }

  OutArray out({int64_t{7}, rows});
  const double* zp = z.data();
  const double* up = u.data();
  const double* vp = v.data();
  const double* ground_p = ground.data();
  const double* cu_p = cu.data();
  const double* cv_p = cv.data();
  double* outp = out.mutable_data();

  common::parallel_blocks_without_gil(rows, 64, n_threads, [=](int64_t r) {
    const auto column_of = [=](int64_t row) {
      const int64_t offset = row * levels;
      return ProfileColumn{zp + offset, up + offset, vp + offset, levels};
    };
    if (r + kPrefetchRows < rows) {
      prefetch_column(column_of(r + kPrefetchRows));
    }
    const ProfileColumn col = column_of(r);
    const ProfileResult res = profile_column(col, ground_p[r], bottom, top, cu_p[r], cv_p[r]);
    common::write_column(outp, rows, r, res.u_bottom, res.v_bottom, res.u_top, res.v_top,
                         res.helicity, res.u_mean, res.v_mean);
  });
  return out;
}

}  // namespace bluster
