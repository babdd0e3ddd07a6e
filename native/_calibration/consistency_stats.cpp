// consistency_stats: argument checks, the bin count and the parallel run over rows.
#include "consistency_stats.hpp"

#include <stdexcept>
#include <string>

#include "wrappers.hpp"

namespace calibration {

namespace {

// Limits that pass the ordering test can still give no usable bin count; they are refused
// here, before anything is allocated.
int64_t checked_bin_count(double z_min, double z_max, double bin_width) {
  if (!(bin_width > 0.0 && z_max > z_min)) {
    throw std::invalid_argument("need bin_width > 0 and z_max > z_min");
  }
  const BinCount count = reflectivity_bin_count(z_min, z_max, bin_width);
  if (count.status == BinCountStatus::not_finite) {
    throw std::invalid_argument("need finite z_min, z_max, bin_width and z_max - z_min");
  }
  if (count.status == BinCountStatus::too_many) {
    throw std::invalid_argument("need bin_width giving at most " + std::to_string(max_bins) +
                                " bins between z_min and z_max");
  }
  return count.bins;
}

}  // namespace

OutArray consistency_stats_py(const InArray& z, const InArray& zdr, const InArray& kdp,
                              const InArray& rhohv, const InArray& snr, const InArray& mask,
                              const InArray& gz, const InArray& glg, double zdr_offset,
                              double z_min, double z_max, double bin_width, double rhohv_min,
                              double snr_min, double kdp_min, int64_t min_bin_count,
                              int32_t n_threads) {
  if (z.ndim() != 2) {
    throw std::invalid_argument("z must be 2-D (rows, samples)");
  }
  const int64_t rows = z.shape(0);
  const int64_t samples = z.shape(1);
  const Optional2D zdr_in(zdr, rows, samples, "zdr");
  const Optional2D kdp_in(kdp, rows, samples, "kdp");
  const Optional2D rhohv_in(rhohv, rows, samples, "rhohv");
  const Optional2D snr_in(snr, rows, samples, "snr");
  const Optional2D mask_in(mask, rows, samples, "mask");
  // An empty z has nothing to bin, and zdr and kdp of its empty shape are indistinguishable
  // from absent ones: the empty result is returned instead of asking for them.
  if (z.size() > 0 && (!zdr_in.present() || !kdp_in.present())) {
    throw std::invalid_argument("zdr and kdp are needed");
  }
  if (gz.ndim() != 1 || glg.ndim() != 1 || gz.shape(0) != glg.shape(0) || gz.shape(0) < 2) {
    throw std::invalid_argument("gz and glg must be 1-D with the same size, at least 2");
  }
  const int64_t bins = checked_bin_count(z_min, z_max, bin_width);

  const ConsistencyInputs in{.z = z.data(),
                             .zdr = zdr_in,
                             .kdp = kdp_in,
                             .rhohv = rhohv_in,
                             .snr = snr_in,
                             .mask = mask_in,
                             .gz = gz.data(),
                             .glg = glg.data(),
                             .table_size = gz.shape(0),
                             .samples = samples,
                             .zdr_offset = zdr_offset,
                             .z_min = z_min,
                             .z_max = z_max,
                             .bin_width = bin_width,
                             .rhohv_min = rhohv_min,
                             .snr_min = snr_min,
                             .kdp_min = kdp_min,
                             .min_bin_count = min_bin_count,
                             .bins = bins};

  OutArray out({rows, int64_t{5}});
  double* outp = out.mutable_data();
  // A failed per-row allocation comes back here as an exception.
  common::parallel_rows_without_gil(
      rows, n_threads, [&in, outp](int64_t r) { consistency_row(in, r, outp + r * 5); });
  return out;
}

}  // namespace calibration
