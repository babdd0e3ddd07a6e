// cold_pool: argument checks and the parallel run over columns.
#include "cold_pool.hpp"

#include <stdexcept>

#include "parallel_blocks.hpp"
#include "wrappers.hpp"

namespace bluster {

OutArray cold_pool_py(const InArray& z, const InArray& b, const InArray& bottom, double threshold,
                      const InArray& top, int32_t n_threads) {
  if (b.ndim() != 2 || z.ndim() != 2) {
    throw std::invalid_argument("z and b must be 2-D");
  }
  if (z.shape(0) != b.shape(0) || z.shape(1) != b.shape(1)) {
    throw std::invalid_argument("shape mismatch");
  }
  const int64_t rows = b.shape(0);
  const int64_t levels = b.shape(1);
  if (bottom.size() != rows || top.size() != rows) {
    throw std::invalid_argument("shape mismatch");
  }

  OutArray out({int64_t{3}, rows});
  const double* zp = z.data();
  const double* bp = b.data();
  const double* bottom_p = bottom.data();
  const double* top_p = top.data();
  double* outp = out.mutable_data();

  // Safe without the GIL: the workers use only the raw pointers and values taken above,
  // the arrays stay alive through the references held by the caller's frame, and each
  // column writes only its own three result cells.
  {
    py::gil_scoped_release release;
    parallel_blocks(rows, 64, n_threads, [=](int64_t r) {
      const ColdPoolResult res = cold_pool_column(zp + r * levels, bp + r * levels, levels,
                                                  bottom_p[r], threshold, top_p[r]);
      outp[r] = res.intensity;
      outp[rows + r] = res.depth;
      outp[2 * rows + r] = res.open_top;
    });
  }
  return out;
}

}  // namespace bluster
