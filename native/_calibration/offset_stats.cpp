// offset_stats: argument checks and the parallel run over rows.
#include "offset_stats.hpp"

#include <stdexcept>

#include "wrappers.hpp"

namespace calibration {

OutArray offset_stats_py(const InArray& zdr, const InArray& dbz, const InArray& rhohv,
                         const InArray& snr, const InArray& mask, const InArray& elev,
                         const InArray& ref_z, const InArray& ref_v, double z_min, double z_max,
                         double rhohv_min, double snr_min, int32_t n_threads) {
  if (zdr.ndim() != 2) {
    throw std::invalid_argument("zdr must be 2-D (rows, samples)");
  }
  const int64_t rows = zdr.shape(0);
  const int64_t samples = zdr.shape(1);
  const Optional2D dbz_in(dbz, rows, samples, "dbz");
  const Optional2D rhohv_in(rhohv, rows, samples, "rhohv");
  const Optional2D snr_in(snr, rows, samples, "snr");
  const Optional2D mask_in(mask, rows, samples, "mask");
  if (elev.ndim() != 1 || elev.shape(0) != rows) {
    throw std::invalid_argument("elev must have one value per row");
  }
  if (ref_z.ndim() != 1 || ref_v.ndim() != 1 || ref_z.shape(0) != ref_v.shape(0) ||
      ref_z.shape(0) < 1) {
    throw std::invalid_argument("ref_z and ref_v must be 1-D with the same size");
  }
  const int64_t table_size = ref_z.shape(0);
  const bool table_in_use = table_size != 1;
  if (!dbz_in.present() && (table_in_use || is_present(z_min) || is_present(z_max))) {
    throw std::invalid_argument("dbz is needed for the reflectivity limits or a table");
  }
  const OffsetInputs in{.zdr = zdr.data(),
                        .dbz = dbz_in,
                        .rhohv = rhohv_in,
                        .snr = snr_in,
                        .mask = mask_in,
                        .elev = elev.data(),
                        .ref_z = ref_z.data(),
                        .ref_v = ref_v.data(),
                        .table_size = table_size,
                        .samples = samples,
                        .z_low = reflectivity_low_limit(z_min),
                        .z_high = reflectivity_high_limit(z_max),
                        .rhohv_min = rhohv_min,
                        .snr_min = snr_min,
                        .table_in_use = table_in_use};

  OutArray out({rows, int64_t{5}});
  double* outp = out.mutable_data();
  // Each row keeps its scratch buffer to itself.
  common::parallel_rows_without_gil(rows, n_threads,
                                    [&in, outp](int64_t r) { offset_row(in, r, outp + r * 5); });
  return out;
}

}  // namespace calibration
