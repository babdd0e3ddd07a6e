// Thread-sanitizer driver: runs every kernel body through its runner (parallel_blocks or
// parallel_rows) over generated inputs at several thread counts, without Python. Built with
// -fsanitize=thread, it fails on any data race the sanitizer sees; it also fails when a
// result differs by a single bit from the one-thread run.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../bluster/cold_pool.hpp"
#include "../../bluster/parallel_blocks.hpp"
#include "../../calibration/phidp_rays.hpp"
#include "../../calibration/rows.hpp"

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();
const int32_t kThreadCounts[] = {1, 2, 3, 4, 8, 0, -1};

// Uniform values in [lo, hi) with a share of NaN and infinities sprinkled in.
std::vector<double> generate(size_t n, double lo, double hi, double missing, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> value(lo, hi);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> v(n);
  for (auto& x : v) {
    const double u = unit(rng);
    x = u < missing / 2 ? kNan : u < missing ? std::numeric_limits<double>::infinity() : value(rng);
  }
  return v;
}

// A (rows, samples) view with the accessors Optional2D reads from a NumPy array.
struct Plain2D {
  const std::vector<double>& values;
  int64_t rows;
  int64_t samples;
  int64_t ndim() const { return 2; }
  int64_t shape(int i) const { return i == 0 ? rows : samples; }
  int64_t size() const { return rows * samples; }
  const double* data() const { return values.data(); }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

int failures = 0;

// Runs `compute(n_threads)` for every thread count and compares with one thread.
void check(const std::string& name, const std::function<std::vector<double>(int32_t)>& compute) {
  const std::vector<double> reference = compute(1);
  for (const int32_t n : kThreadCounts) {
    if (!same_bits(compute(n), reference)) {
      std::fprintf(stderr, "%s: n_threads=%d differs from one thread\n", name.c_str(), n);
      ++failures;
    }
  }
  std::printf("%-20s %zu values, %zu thread counts\n", name.c_str(), reference.size(),
              sizeof(kThreadCounts) / sizeof(kThreadCounts[0]));
}

void run_cold_pool() {
  const int64_t rows = 1000, levels = 20;
  std::vector<double> z = generate(rows * levels, 0.0, 3000.0, 0.05, 1);
  const std::vector<double> b = generate(rows * levels, -0.05, 0.02, 0.05, 2);
  for (int64_t r = 0; r < rows; ++r) {  // heights increase upward in each column
    for (int64_t j = 1; j < levels; ++j) {
      z[r * levels + j] = std::fabs(z[r * levels + j]) / levels + z[r * levels + j - 1];
    }
  }
  const std::vector<double> bottom = generate(rows, 0.0, 200.0, 0.5, 3);
  const std::vector<double> top = generate(rows, 0.0, 2000.0, 0.5, 4);
  check("cold_pool", [&](int32_t n_threads) {
    std::vector<double> out(3 * rows);
    bluster::parallel_blocks(rows, 64, n_threads, [&](int64_t r) {
      const auto res =
          bluster::cold_pool_column(&z[r * levels], &b[r * levels], levels, bottom[r], 0.0, top[r]);
      out[r] = res.intensity;
      out[rows + r] = res.depth;
      out[2 * rows + r] = res.open_top;
    });
    return out;
  });
}

void run_phidp_rays() {
  const int64_t rays = 500, gates = 200;
  const std::vector<double> phidp = generate(rays * gates, -180.0, 180.0, 0.1, 11);
  const std::vector<double> rhohv = generate(rays * gates, 0.7, 1.0, 0.05, 12);
  const std::vector<double> mask = generate(rays * gates, -0.5, 1.5, 0.0, 13);
  calibration::PhidpInputs in{};
  in.phidp = phidp.data();
  in.rhohv = calibration::Optional2D(Plain2D{rhohv, rays, gates}, rays, gates, "rhohv");
  in.mask = calibration::Optional2D(Plain2D{mask, rays, gates}, rays, gates, "mask");
  in.gates = gates;
  in.first_gate = 3;
  in.n_use = 40;
  in.rhohv_min = 0.9;
  in.min_count = 5;
  check("phidp_rays", [&](int32_t n_threads) {
    std::vector<double> out(3 * rays);
    calibration::parallel_rows(rays, n_threads,
                               [&](int64_t r) { calibration::phidp_ray(in, r, &out[r * 3]); });
    return out;
  });
}

}  // namespace

int main() {
  run_cold_pool();
  run_phidp_rays();
  if (failures != 0) {
    std::fprintf(stderr, "%d thread-count mismatches\n", failures);
    return 1;
  }
  std::puts("tsan driver: all kernels race-free and thread-count invariant");
  return 0;
}
