// The sincos floor of vad: the library calls the retrieval makes, and nothing else.
//
// vad recomputes sines and cosines in each of its five passes instead of storing them: per
// valid sample sincos(az) in passes 1, 2, 3 and 5 and sincos(az + az) in passes 4 and 5, six
// calls in all. This program makes exactly those calls over the same samples, in the same
// pass structure and with the same blocks of 64 rings claimed from an atomic counter, and
// keeps each result alive with an empty asm statement rather than with arithmetic, so the
// time it reports is the cost of the calls alone.
//
// Usage: sincos_floor AZ_FILE ROWS SAMPLES THREADS REPEAT
// AZ_FILE holds ROWS x SAMPLES float64 azimuths, NaN where the sample is not valid. Prints the
// best wall-clock time in seconds over REPEAT runs (thread start and join included, as in
// the kernel).
#include <math.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

namespace {

inline bool is_present(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

inline void keep(double s, double c) { asm volatile("" : : "x"(s), "x"(c)); }

inline void single_angle_pass(const double* az, int64_t samples) {
  for (int64_t j = 0; j < samples; ++j) {
    if (!is_present(az[j])) {
      continue;
    }
    double s;
    double c;
    ::sincos(az[j], &s, &c);
    keep(s, c);
  }
}

inline void double_angle_pass(const double* az, int64_t samples) {
  for (int64_t j = 0; j < samples; ++j) {
    if (!is_present(az[j])) {
      continue;
    }
    double s2;
    double c2;
    ::sincos(az[j] + az[j], &s2, &c2);
    keep(s2, c2);
  }
}

inline void both_angles_pass(const double* az, int64_t samples) {
  for (int64_t j = 0; j < samples; ++j) {
    if (!is_present(az[j])) {
      continue;
    }
    double s;
    double c;
    double s2;
    double c2;
    ::sincos(az[j], &s, &c);
    ::sincos(az[j] + az[j], &s2, &c2);
    keep(s, c);
    keep(s2, c2);
  }
}

void ring_calls(const double* az, int64_t samples) {
  single_angle_pass(az, samples);  // count and means
  single_angle_pass(az, samples);  // centred sums
  single_angle_pass(az, samples);  // residual
  double_angle_pass(az, samples);  // double-angle means
  both_angles_pass(az, samples);   // 4 x 4 system
}

void run(const double* az, int64_t rows, int64_t samples, int threads) {
  const int64_t block = 64;
  std::atomic<int64_t> next{0};
  auto claim_loop = [&]() {
    for (;;) {
      const int64_t start = next.fetch_add(block);
      if (start >= rows) {
        return;
      }
      const int64_t end = rows - start < block ? rows : start + block;
      for (int64_t r = start; r < end; ++r) {
        ring_calls(az + r * samples, samples);
      }
    }
  };
  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) {
    workers.emplace_back(claim_loop);
  }
  claim_loop();
  for (auto& w : workers) {
    w.join();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s AZ_FILE ROWS SAMPLES THREADS REPEAT\n", argv[0]);
    return 2;
  }
  const int64_t rows = std::atoll(argv[2]);
  const int64_t samples = std::atoll(argv[3]);
  const int threads = std::atoi(argv[4]);
  const int repeat = std::atoi(argv[5]);
  std::vector<double> az(static_cast<size_t>(rows * samples));
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr || std::fread(az.data(), sizeof(double), az.size(), f) != az.size()) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::fclose(f);

  run(az.data(), rows, samples, threads);  // warm-up
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeat; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    run(az.data(), rows, samples, threads);
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = dt.count() < best ? dt.count() : best;
  }
  std::printf("%.9f\n", best);
  return 0;
}
