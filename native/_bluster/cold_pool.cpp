// cold_pool: argument checks and the parallel run over columns.
#include "cold_pool.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace bluster {

namespace {

// How far ahead of the current column its successors are asked for.
constexpr int64_t kPrefetchRows = 4;

// Asks the cache for a column that will be needed soon. A cold pool usually ends in the lower
// part of the column, so each column reads only the start of its rows: a pattern the hardware
// prefetcher does not follow from row to row, which leaves every column waiting for memory.
// Always inlined: as a call of its own, GCC takes it for a function without effects.
[[gnu::always_inline]] inline void prefetch_column(const double* z, const double* b,
                                                   int64_t levels) {
  constexpr int64_t kDoublesPerLine = 8;
  for (int64_t k = 0; k < levels; k += kDoublesPerLine) {
    __builtin_prefetch(z + k);
    __builtin_prefetch(b + k);
  }
}

}  // namespace

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

  common::parallel_blocks_without_gil(rows, 64, n_threads, [=](int64_t r) {
    if (r + kPrefetchRows < rows) {
      prefetch_column(zp + (r + kPrefetchRows) * levels, bp + (r + kPrefetchRows) * levels, levels);
    }
    const ColdPoolResult res = cold_pool_column(zp + r * levels, bp + r * levels, levels,
                                                bottom_p[r], threshold, top_p[r]);
    common::write_column(outp, rows, r, res.intensity, res.depth, res.open_top);
  });
  return out;
}

}  // namespace bluster
