// The floor of thermo: per point, only the two pow, two exp and one log the kernel calls, on
// the very arguments the kernel hands them. bench_thermo.py builds this into a small shared
// library with g++ -O2 -ffp-contract=off and times floor_run beside the kernel.
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

#include "_bluster/thermo.hpp"

namespace {

// The results are summed, not stored, so that nothing but the five calls (and one add each)
// costs time, while the compiler still cannot drop a call.
double sum_of_calls(const double* q, const double* x, const double* a_e, const double* a_f,
                    const double* ratio, int64_t begin, int64_t end) {
  double sum = 0.0;
  for (int64_t i = begin; i < end; ++i) {
    sum += std::pow(q[i], bluster::kDryPoissonExponent);
    sum += std::exp(a_e[i]);
    sum += std::log(ratio[i]);
    sum += std::pow(q[i], x[i]);
    sum += std::exp(a_f[i]);
  }
  return sum;
}

}  // namespace

extern "C" {

// Untimed set-up: the argument of every library call of the kernel, computed as it does.
void floor_arguments(const double* t, const double* p, const double* td, int64_t n, double* q,
                     double* x, double* a_e, double* a_f, double* ratio) {
  using namespace bluster;
  for (int64_t i = 0; i < n; ++i) {
    const double d = effective_dew_point(t[i], td[i]);
    q[i] = kReferencePressure / p[i];
    const double c = d - 273.15;
    a_e[i] = 17.67 * c / (c + 243.5);
    const double e = std::exp(a_e[i]) * 611.2;
    const double r = (kVapourMassRatio * e) / (p[i] - e);
    ratio[i] = t[i] / d;
    const double g = 1000.0 * r;
    x[i] = (1.0 - 0.00028 * g) * 0.2854;
    const double tl = condensation_temperature(std::log(ratio[i]), d);
    a_f[i] = ((3.376 / tl) - 0.00254) * g * (g * 0.00081 + 1.0);
  }
}

// The timed part: the points split in equal contiguous shares, the calling thread taking one.
double floor_run(const double* q, const double* x, const double* a_e, const double* a_f,
                 const double* ratio, int64_t n, int32_t n_threads) {
  const int64_t share = (n + n_threads - 1) / n_threads;
  std::vector<double> sums(static_cast<size_t>(n_threads), 0.0);
  std::vector<std::thread> workers;
  for (int32_t k = 1; k < n_threads; ++k) {
    workers.emplace_back([=, &sums] {
      const int64_t begin = k * share < n ? k * share : n;
      const int64_t end = begin + share < n ? begin + share : n;
      sums[static_cast<size_t>(k)] = sum_of_calls(q, x, a_e, a_f, ratio, begin, end);
    });
  }
  sums[0] = sum_of_calls(q, x, a_e, a_f, ratio, 0, share < n ? share : n);
  for (auto& worker : workers) {
    worker.join();
  }
  double total = 0.0;
  for (const double s : sums) {
    total += s;
  }
  return total;
}

}  // extern "C"
