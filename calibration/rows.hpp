// Row-parallel runner and optional per-sample arrays of the calibration statistics.
// Free of Python types: the wrappers hand in raw pointers and sizes.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace calibration {

// An optional (rows, samples) array: data is null when the caller gave an array with no
// elements, which means "no condition from this array".
struct Optional2D {
  const double* data = nullptr;
  int64_t stride = 0;

  Optional2D() = default;

  // Array is anything with ndim(), shape(i), size() and data(), such as a NumPy array.
  template <class Array>
  Optional2D(const Array& array, int64_t rows, int64_t samples, const char* name) {
    if (array.ndim() >= 1 && array.size() == 0) {
      return;  // absent; a 0-dimensional array is a value and falls through to the test
    }
    if (array.ndim() != 2 || array.shape(0) != rows || array.shape(1) != samples) {
      throw std::invalid_argument(std::string(name) + " must have the shape (rows, samples)");
    }
    data = array.data();
    stride = samples;
  }

  bool present() const { return data != nullptr; }
  double at(int64_t row, int64_t sample) const { return data[row * stride + sample]; }
};

// Number of threads for n rows: n_threads > 0 as given, otherwise one per hardware thread;
// never more threads than rows.
inline int64_t rows_thread_count(int32_t n_threads, int64_t n) {
  int64_t count = n_threads;
  if (n_threads <= 0) {
    const unsigned hw = std::thread::hardware_concurrency();
    count = hw == 0 ? 1 : static_cast<int64_t>(hw);
  }
  return count > n ? n : count;
}

// Calls row_body(r) exactly once for every r in [0, n); rows are handed out one at a time
// from an atomic counter to the calling thread and the workers it starts.
//
// A row body that throws (a per-row allocation that fails) stops further claims; everyone
// is joined and the first exception is re-raised on the calling thread, so no partial
// result is ever returned as a success. A worker that cannot be started is not fatal when
// another one already runs: the running threads share out every row. When not a single
// worker starts, the failure is raised before any row has run.
template <class RowBody>
void parallel_rows(int64_t n, int32_t n_threads, const RowBody& row_body) {
  if (n <= 0) {
    return;
  }
  const int64_t count = rows_thread_count(n_threads, n);

  std::atomic<int64_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;

  auto worker_loop = [&]() noexcept {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const int64_t row = next.fetch_add(1);
        if (row >= n) {
          break;
        }
        row_body(row);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(error_mutex);
      if (!first_error) {
        first_error = std::current_exception();
      }
      failed.store(true);
    }
  };

  if (count <= 1) {
    worker_loop();
  } else {
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(count - 1));
    for (int64_t t = 1; t < count; ++t) {
      try {
        workers.emplace_back(worker_loop);
      } catch (...) {
        if (workers.empty()) {
          throw;  // nothing has run yet: report the failure to start
        }
        break;  // the workers already running finish every row with us
      }
    }
    worker_loop();
    for (auto& worker : workers) {
      worker.join();
    }
  }
  if (first_error) {
    std::rethrow_exception(first_error);
  }
}

}  // namespace calibration
