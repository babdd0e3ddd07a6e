// The cost of the elevation conversion's pow and log10 calls alone, over the expected values
// of the samples offset_stats uses: the floor under which that kernel cannot go.
//
// Usage: pow_log10_floor INPUT N_THREADS REPEATS. INPUT holds, as native int64 and float64:
// rows, then rows counts, rows s2, rows c2, then the expected values of every row in turn.
// Prints the best wall-clock time of one pass over all rows, in seconds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace {

struct Rows {
  std::vector<int64_t> count;
  std::vector<int64_t> start;
  std::vector<double> s2;
  std::vector<double> c2;
  std::vector<double> values;
};

template <class T>
void read_into(std::ifstream& in, std::vector<T>& v, int64_t n) {
  v.resize(static_cast<size_t>(n));
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(T)));
}

Rows load(const char* path) {
  std::ifstream in(path, std::ios::binary);
  int64_t rows = 0;
  in.read(reinterpret_cast<char*>(&rows), sizeof rows);
  Rows r;
  read_into(in, r.count, rows);
  read_into(in, r.s2, rows);
  read_into(in, r.c2, rows);
  int64_t total = 0;
  for (int64_t c : r.count) {
    r.start.push_back(total);
    total += c;
  }
  read_into(in, r.values, total);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  return r;
}

// The same expression as the kernel; the sum keeps the compiler from dropping the calls.
double convert_row(const Rows& r, int64_t row) {
  const double* e = r.values.data() + r.start[row];
  const double s2 = r.s2[row];
  const double c2 = r.c2[row];
  double sum = 0.0;
  for (int64_t j = 0; j < r.count[row]; ++j) {
    sum += e[j] - 20.0 * std::log10(std::pow(10.0, 0.05 * e[j]) * s2 + c2);
  }
  return sum;
}

// Rows claimed one at a time from a shared counter, as the kernel's runner does.
double one_pass(const Rows& r, int threads) {
  const int64_t rows = static_cast<int64_t>(r.count.size());
  std::atomic<int64_t> next{0};
  std::vector<double> sums(static_cast<size_t>(threads), 0.0);
  auto work = [&](int t) {
    for (int64_t row = next.fetch_add(1); row < rows; row = next.fetch_add(1)) {
      sums[static_cast<size_t>(t)] += convert_row(r, row);
    }
  };
  std::vector<std::thread> started;
  for (int t = 1; t < threads; ++t) {
    started.emplace_back(work, t);
  }
  work(0);
  for (auto& s : started) {
    s.join();
  }
  double total = 0.0;
  for (double s : sums) {
    total += s;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INPUT N_THREADS REPEATS\n", argv[0]);
    return 2;
  }
  const Rows r = load(argv[1]);
  const int threads = std::max(1, std::atoi(argv[2]));
  const int repeats = std::max(1, std::atoi(argv[3]));
  volatile double sink = one_pass(r, threads);  // warm-up
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    sink = one_pass(r, threads);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  (void)sink;
  std::printf("%.9f\n", best);
  return 0;
}
