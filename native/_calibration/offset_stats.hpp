// ZDR offset statistics of one row of samples: plain C++ over raw pointers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "_calibration/median.hpp"
#include "_calibration/optional_array.hpp"
#include "_calibration/table_lookup.hpp"
#include "common/presence.hpp"

namespace calibration {

using common::is_present;

struct OffsetInputs {
  const double* zdr;
  Optional2D dbz;
  Optional2D rhohv;
  Optional2D snr;
  Optional2D mask;
  const double* elev;
  const double* ref_z;
  const double* ref_v;
  int64_t table_size;
  int64_t samples;
  // Reflectivity window; a limit that is not finite is widened to the infinity on its side,
  // so it excludes nothing.
  double z_low;
  double z_high;
  double rhohv_min;
  double snr_min;
  // A one-entry table gives ref_v[0] for every sample and is never searched.
  bool table_in_use;
};

inline double reflectivity_low_limit(double z_min) {
  return is_present(z_min) ? z_min : -std::numeric_limits<double>::infinity();
}

inline double reflectivity_high_limit(double z_max) {
  return is_present(z_max) ? z_max : std::numeric_limits<double>::infinity();
}

// Squared sine and cosine of the row's elevation; `on` is false for a NaN or infinite angle,
// whose expected values stay as the table gives them.
struct ElevationFactors {
  bool on = false;
  double s2 = 0.0;
  double c2 = 0.0;
};

inline ElevationFactors elevation_factors(double elev_degrees) {
  constexpr double pi = 3.141592653589793;
  const double theta = (pi * elev_degrees) / 180.0;
  ElevationFactors f;
  if (!is_present(theta)) {
    return f;
  }
  // Same argument for both: the compiler joins them into one sincos call.
  const double s = std::sin(theta);
  const double c = std::cos(theta);
  f.on = true;
  f.s2 = s * s;
  f.c2 = c * c;
  return f;
}

// The table holds ZDR at horizontal incidence. Tilting the beam shows the drops more end-on,
// so the linear ZDR tends to 1 (0 dB) at vertical incidence; 10^(0.05 e) is the square root
// of the linear value.
inline double zdr_at_elevation(double e, const ElevationFactors& f) {
  return e - 20.0 * std::log10(std::pow(10.0, 0.05 * e) * f.s2 + f.c2);
}

// The window is closed at both ends; a present dbz that is NaN or infinite drops the sample
// even when no limit is set.
inline bool reflectivity_in_window(const OffsetInputs& in, double dbz) {
  return is_present(dbz) & (dbz >= in.z_low) & (dbz <= in.z_high);
}

// Every test is evaluated and the outcomes joined with & instead of &&: where the screens pass
// at random, one branch on the joint outcome mispredicts far less often than one per test.
inline bool sample_used(const OffsetInputs& in, int64_t r, int64_t j, double measured) {
  bool used = is_present(measured);
  used &= passes_min(in.rhohv, r, j, in.rhohv_min);
  used &= passes_min(in.snr, r, j, in.snr_min);
  used &= passes_mask(in.mask, r, j);
  if (in.dbz.present()) {
    used &= reflectivity_in_window(in, in.dbz.at(r, j));
  }
  return used;
}

// Writes [k, mean, standard deviation, median, mean expected ZDR] from the first k
// differences; the median comes last because it reorders the buffer.
inline void write_offset_row(double* diffs, int64_t k, double expected_sum, double first_expected,
                             double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  out[0] = static_cast<double>(k);
  if (k == 0) {
    out[1] = nan;
    out[2] = nan;
    out[3] = nan;
    out[4] = nan;
    return;
  }
  if (k == 1) {
    out[1] = diffs[0];
    out[2] = nan;
    out[3] = diffs[0];
    out[4] = first_expected;
    return;
  }
  const double count = static_cast<double>(k);
  double sum = 0.0;
  for (int64_t i = 0; i < k; ++i) {
    sum += diffs[i];
  }
  const double mean = sum / count;
  double squares = 0.0;
  for (int64_t i = 0; i < k; ++i) {
    const double dev = diffs[i] - mean;
    squares += dev * dev;
  }
  out[1] = mean;
  out[2] = std::sqrt(squares / (count - 1.0));
  out[3] = median_of(diffs, k);
  out[4] = expected_sum / count;
}

// Gathers the used samples of row r into measured (their ZDR) and, when the table is searched,
// dbz_used (their reflectivity), in sample order, and returns their count. There is no branch
// on the screens' outcome: every sample is written at the next free place, and the place
// advances only when the sample is used. The screens pass at random in real sweeps (about half
// of the samples in the benchmark), where a branch on them mispredicts on every other sample.
inline int64_t gather_used_samples(const OffsetInputs& in, int64_t r, double* measured,
                                   double* dbz_used) {
  const double* zdr = in.zdr + r * in.samples;
  int64_t k = 0;
  if (dbz_used != nullptr) {
    const double* dbz = in.dbz.row(r);
    for (int64_t j = 0; j < in.samples; ++j) {
      measured[k] = zdr[j];
      dbz_used[k] = dbz[j];
      k += static_cast<int64_t>(sample_used(in, r, j, zdr[j]));
    }
  } else {
    for (int64_t j = 0; j < in.samples; ++j) {
      measured[k] = zdr[j];
      k += static_cast<int64_t>(sample_used(in, r, j, zdr[j]));
    }
  }
  return k;
}

// The table's ZDR e as the row's elevation sees it (as the table gives it for an angle that is
// not a number).
inline double at_row_elevation(double e, const ElevationFactors& elevation) {
  return elevation.on ? zdr_at_elevation(e, elevation) : e;
}

// The expected ZDR at reflectivity dbz under the row's elevation.
inline double expected_zdr(const OffsetInputs& in, const ElevationFactors& elevation, double dbz) {
  return at_row_elevation(interp(in.ref_z, in.ref_v, in.table_size, dbz), elevation);
}

// The expected ZDR of each reflectivity seen last at its slot. Decoded moments take few
// distinct values (a reflectivity stored as 8- or 16-bit codes has a few hundred inside a
// 10 dB window), so most samples find theirs and skip the table search, the pow and the
// log10. A value found is the one the same formula gave for the same bits: the results are
// those of computing every sample.
class ExpectedZdrCache {
 public:
  static constexpr int kBits = 13;  // 128 kB: within the core's second-level cache
  static constexpr size_t kSlots = size_t{1} << kBits;

  ExpectedZdrCache() {
    // a NaN's bits: a used sample's reflectivity is a number, so an empty slot never matches
    std::fill(keys_, keys_ + kSlots, empty_);
  }

  // The expected value at dbz, computed only when its slot holds another reflectivity.
  double at(const OffsetInputs& in, const ElevationFactors& elevation, double dbz) {
    uint64_t bits = 0;
    std::memcpy(&bits, &dbz, sizeof bits);
    const size_t slot = static_cast<size_t>((bits * 0x9E3779B97F4A7C15ULL) >> (64 - kBits));
    if (keys_[slot] != bits) {
      keys_[slot] = bits;
      values_[slot] = expected_zdr(in, elevation, dbz);
      ++misses_;
    }
    return values_[slot];
  }

  int64_t misses() const { return misses_; }

 private:
  static constexpr uint64_t empty_ = 0x7FF8DEADBEEF0001ULL;
  uint64_t keys_[kSlots];
  double values_[kSlots];
  int64_t misses_ = 0;
};

// Rows of fewer used samples than this compute every expected value: filling the cache would
// cost more than it saves.
inline constexpr int64_t kCachedRowSamples = 4096;

// A row stops looking values up when more than half of its first kProbeSamples missed: its
// reflectivities are not quantised (16-bit codes of 0.01 dB take 4,000 values over 40 dB).
inline constexpr int64_t kProbeSamples = 16384;

// Replaces diffs[i] by diffs[i] minus expected(i) for i from `from` to `to` - 1, adding the
// expected values to `sum` in sample order; the first sample's expected value into `first`.
template <class Expected>
void subtract_expected(double* diffs, int64_t from, int64_t to, double& sum, double& first,
                       const Expected& expected) {
  for (int64_t i = from; i < to; ++i) {
    const double e = expected(i);
    if (i == 0) {
      first = e;
    }
    diffs[i] = diffs[i] - e;
    sum += e;
  }
}

// Statistics of row r into out[0..4]. The screening runs first, over all samples; the expected
// values follow in a loop over the used samples alone. Without a table every sample expects
// the same value. With one, a long row looks its values up in a cache while most of its first
// samples find theirs there (quantised reflectivities); otherwise it computes every sample in
// a loop with no branch that depends on the data, so that the processor overlaps the library
// calls of successive samples.
inline void offset_row(const OffsetInputs& in, int64_t r, double* out) {
  const ElevationFactors elevation = elevation_factors(in.elev[r]);
  const bool lookup = in.dbz.present() && in.table_in_use;
  // The row's scratch: the measured values (replaced by the differences), then the
  // reflectivities. Left uninitialised: only what the gathering writes is read.
  const auto samples = static_cast<size_t>(in.samples);
  const std::unique_ptr<double[]> scratch(new double[lookup ? 2 * samples : samples]);
  double* diffs = scratch.get();
  const double* dbz_used = lookup ? diffs + samples : nullptr;
  const int64_t k = gather_used_samples(in, r, diffs, lookup ? diffs + samples : nullptr);

  double expected_sum = 0.0;
  double first_expected = 0.0;
  const auto computed = [&in, &elevation, dbz_used](int64_t i) {
    return expected_zdr(in, elevation, dbz_used[i]);
  };
  if (!lookup) {
    const double e = at_row_elevation(in.ref_v[0], elevation);
    const auto constant = [e](int64_t) { return e; };
    subtract_expected(diffs, 0, k, expected_sum, first_expected, constant);
  } else if (k < kCachedRowSamples) {
    subtract_expected(diffs, 0, k, expected_sum, first_expected, computed);
  } else {
    const auto cache = std::make_unique<ExpectedZdrCache>();
    const auto cached = [&in, &elevation, dbz_used, &cache](int64_t i) {
      return cache->at(in, elevation, dbz_used[i]);
    };
    const int64_t probed = std::min(k, kProbeSamples);
    subtract_expected(diffs, 0, probed, expected_sum, first_expected, cached);
    // a row whose first samples mostly differ (reflectivities not quantised) goes on without
    if (cache->misses() > kProbeSamples / 2) {
      subtract_expected(diffs, probed, k, expected_sum, first_expected, computed);
    } else {
      subtract_expected(diffs, probed, k, expected_sum, first_expected, cached);
    }
  }
  write_offset_row(diffs, k, expected_sum, first_expected, out);
}

}  // namespace calibration
