// gradient: argument checks and the parallel run over the grid rows of the field stack.
#include "gradient.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace bluster {

OutArray gradient_py(const InArray& f, const InArray& x, const InArray& y, int32_t n_threads) {
  if (f.ndim() != 3) {
    throw std::invalid_argument("f must be 3-D (batch, y, x)");
  }
  const int64_t batch = f.shape(0);
  const int64_t ny = f.shape(1);
  const int64_t nx = f.shape(2);
  if (x.size() != nx) {
    throw std::invalid_argument("coordinate size");
  }
  if (y.size() != ny) {
    throw std::invalid_argument("coordinate size");
  }

  OutArray out({int64_t{2}, batch, ny, nx});
  const double* fp = f.data();
  const double* xp = x.data();
  const double* yp = y.data();
  double* outp = out.mutable_data();
  const int64_t rows = batch * ny;
  const int64_t stack = rows * nx;
  // Rows without columns write nothing, so none is run: an empty stack may still have
  // 2^48 of them, and visiting those one by one would take days.
  const int64_t items = stack > 0 ? rows : 0;

  // Row m writes its own nx cells of each component; neighbouring rows are only read.
  common::parallel_blocks_without_gil(items, 8, n_threads, [=](int64_t m) {
    gradient_row(fp, xp, yp, ny, nx, m, outp + m * nx, outp + stack + m * nx);
  });
  return out;
}

}  // namespace bluster
