// Reflectivity bias of one row from the self-consistency of Z, ZDR and KDP: plain C++ over
// raw pointers, free of Python types.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "_calibration/median.hpp"
#include "_calibration/optional_array.hpp"
#include "_calibration/table_lookup.hpp"
#include "common/presence.hpp"

namespace calibration {

using common::is_present;

// Upper limit on the bin count: the four accumulators of every bin are allocated once per
// row on every worker, so a million bins already costs 32 MiB per thread, and no reflectivity
// range is usefully split finer.
constexpr int64_t max_bins = int64_t{1} << 20;

// Outcome of turning the reflectivity limits into a bin count.
enum class BinCountStatus { ok, not_finite, too_many };

struct BinCount {
  BinCountStatus status;
  int64_t bins;  // valid when status is ok
};

// Number of bins ceil((z_max - z_min) / bin_width) for limits with bin_width > 0 and
// z_max > z_min. Infinite limits, a span that overflows and quotients beyond max_bins are
// refused here, so the conversion to an integer only ever sees a value in [0, max_bins].
inline BinCount reflectivity_bin_count(double z_min, double z_max, double bin_width) {
  const double span = z_max - z_min;
  if (!is_present(z_min) || !is_present(z_max) || !is_present(bin_width) || !is_present(span)) {
    return {BinCountStatus::not_finite, 0};
  }
  const double quotient = std::ceil(span / bin_width);
  if (!(quotient <= static_cast<double>(max_bins))) {
    return {BinCountStatus::too_many, 0};
  }
  // A positive span over a finite width is at least one bin even when the quotient
  // underflows to 0.
  const int64_t bins = static_cast<int64_t>(quotient);
  return {BinCountStatus::ok, bins < 1 ? 1 : bins};
}

struct ConsistencyInputs {
  const double* z;
  Optional2D zdr;
  Optional2D kdp;
  Optional2D rhohv;
  Optional2D snr;
  Optional2D mask;
  const double* gz;
  const double* glg;
  int64_t table_size;  // rows of the table (gz, glg)
  int64_t samples;
  double zdr_offset;
  double z_min;
  double z_max;
  double bin_width;
  double rhohv_min;
  double snr_min;
  double kdp_min;
  int64_t min_bin_count;
  int64_t bins;
};

// The four accumulators of one reflectivity bin, kept together so a sample touches one line.
struct BinSums {
  double count = 0.0;
  double z = 0.0;
  double zdr = 0.0;
  double kdp = 0.0;
};

// Samples that fail a test are added to slots after the real bins instead of being skipped,
// so the scan has no branch that depends on the data (the tests pass or fail at random in
// real sweeps). Several slots keep those additions from forming one chain of dependent stores.
constexpr int64_t discard_slots = 4;

// One row's arrays (null when an optional one is absent) and the sample limits, gathered so
// that the scan keeps them in registers.
struct RowScan {
  const double* z;
  const double* zdr;
  const double* kdp;
  const double* rhohv;
  const double* snr;
  const double* mask;
  double z_min;
  double z_max;
  double bin_width;
  double rhohv_min;
  double snr_min;
  double last_bin;
  int64_t bins;
};

inline RowScan row_scan(const ConsistencyInputs& in, int64_t r) {
  return {.z = in.z + r * in.samples,
          .zdr = in.zdr.row(r),
          .kdp = in.kdp.row(r),
          .rhohv = in.rhohv.row(r),
          .snr = in.snr.row(r),
          .mask = in.mask.row(r),
          .z_min = in.z_min,
          .z_max = in.z_max,
          .bin_width = in.bin_width,
          .rhohv_min = in.rhohv_min,
          .snr_min = in.snr_min,
          .last_bin = static_cast<double>(in.bins - 1),
          .bins = in.bins};
}

// The tests of sample j, combined without short-circuits so that all of them are evaluated
// and no branch depends on the data (only on which optional arrays are present).
inline bool sample_is_used(const RowScan& s, int64_t j, double z, double zdr, double kdp) {
  // The limits are finite, so the range test also refuses a NaN or infinite z.
  const bool in_range = (z >= s.z_min) & (z < s.z_max);
  const bool finite = is_present(zdr) & is_present(kdp);
  const bool rhohv_ok = s.rhohv == nullptr || s.rhohv[j] >= s.rhohv_min;
  const bool snr_ok = s.snr == nullptr || s.snr[j] >= s.snr_min;
  const bool mask_ok = s.mask == nullptr || s.mask[j] != 0.0;
  return finite & in_range & rhohv_ok & snr_ok & mask_ok;
}

// x when keep is true, else +0.0, by masking the bits so that no branch is taken.
inline double keep_or_zero(double x, bool keep) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  bits &= -static_cast<uint64_t>(keep);
  std::memcpy(&x, &bits, sizeof bits);
  return x;
}

// Accumulator slot of sample j: its bin floor((z - z_min) / bin_width), capped at bins - 1,
// when it is used, else a discard slot. The quotient of an unused sample (possibly NaN or
// infinite) is replaced by 0 before the conversion, so the conversion only ever sees a number
// in [0, bins - 1]; a used sample's quotient is not negative, so truncation is the floor.
inline int64_t slot_of(const RowScan& s, double z, bool used, int64_t j) {
  const double q = keep_or_zero((z - s.z_min) / s.bin_width, used);
  const int64_t bin = static_cast<int64_t>(q < s.last_bin ? q : s.last_bin);
  const int64_t keep = -static_cast<int64_t>(used);
  const int64_t discard = s.bins + (j & (discard_slots - 1));
  return (bin & keep) | (discard & ~keep);
}

// One pass over the row's samples fills every bin; sums grow in sample order. bins holds
// in.bins accumulators followed by the discard slots.
inline void bin_samples(const ConsistencyInputs& in, int64_t r, std::vector<BinSums>& bins) {
  const RowScan s = row_scan(in, r);
  BinSums* slots = bins.data();
  for (int64_t j = 0; j < in.samples; ++j) {
    const double z = s.z[j];
    const double zdr = s.zdr[j];
    const double kdp = s.kdp[j];
    BinSums& bin = slots[slot_of(s, z, sample_is_used(s, j, z, zdr, kdp), j)];
    bin.count += 1.0;
    bin.z += z;
    bin.zdr += zdr;
    bin.kdp += kdp;
  }
}

// Bias of a bin that holds at least the required count: measured mean Z minus the Z its mean
// KDP implies at its offset-corrected mean ZDR. Returns false when the bin is rejected.
inline bool bin_bias(const ConsistencyInputs& in, const BinSums& bin, double* beta) {
  const double k = bin.kdp / bin.count;
  if (!(k >= in.kdp_min && k > 0.0)) {
    return false;  // log10 needs a positive mean KDP, whatever kdp_min allows
  }
  const double d = bin.zdr / bin.count - in.zdr_offset;
  if (d < in.gz[0] || d > in.gz[in.table_size - 1]) {
    return false;  // outside the table; a NaN D passes on and gives a NaN bias
  }
  const double g = interp(in.gz, in.glg, in.table_size, d);
  *beta = bin.z / bin.count - 10.0 * (std::log10(k) - g);
  return true;
}

// Writes [N, H, median, count-weighted mean, standard deviation] from the accepted biases
// and their counts. The spread is about the unweighted mean: every bin counts once there.
inline void write_row_stats(const std::vector<double>& biases, const std::vector<double>& weights,
                            double n, double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const size_t h = biases.size();
  out[0] = n;
  out[1] = static_cast<double>(h);
  if (h == 0) {
    out[2] = nan;
    out[3] = nan;
    out[4] = nan;
    return;
  }
  double weighted = 0.0;
  double plain = 0.0;
  bool has_nan = false;
  for (size_t i = 0; i < h; ++i) {
    weighted += weights[i] * biases[i];
    plain += biases[i];
    has_nan = has_nan || std::isnan(biases[i]);
  }
  out[3] = weighted / n;
  if (h == 1) {
    out[2] = biases[0];
    out[4] = nan;
    return;
  }
  const double u = plain / static_cast<double>(h);
  double q = 0.0;
  for (size_t i = 0; i < h; ++i) {
    const double e = biases[i] - u;
    q += e * e;
  }
  out[4] = std::sqrt(q / static_cast<double>(h - 1));
  if (has_nan) {
    out[2] = nan;  // a NaN offset makes every bias NaN; the selection is not asked to order them
    return;
  }
  std::vector<double> copy(biases);
  out[2] = median_of(copy.data(), static_cast<int64_t>(h));
}

// Row body: bins the row's samples, screens the bins in increasing order and writes the five
// statistics of row r to out[0..4]. The accumulators and lists are the row's own; an allocation
// that fails throws std::bad_alloc, which the row runner carries to the calling thread.
inline void consistency_row(const ConsistencyInputs& in, int64_t r, double* out) {
  std::vector<BinSums> bins(static_cast<size_t>(in.bins + discard_slots));
  bin_samples(in, r, bins);

  const double need = static_cast<double>(in.min_bin_count < 1 ? 1 : in.min_bin_count);
  std::vector<double> biases;
  std::vector<double> weights;
  double n = 0.0;
  for (int64_t b = 0; b < in.bins; ++b) {
    const BinSums& bin = bins[static_cast<size_t>(b)];
    double beta = 0.0;
    if (bin.count < need || !bin_bias(in, bin, &beta)) {
      continue;
    }
    biases.push_back(beta);
    weights.push_back(bin.count);
    n += bin.count;
  }
  write_row_stats(biases, weights, n, out);
}

}  // namespace calibration
