// The runner both modules build on: items are claimed in fixed blocks from one atomic counter
// by the calling thread and the workers it starts. Free of Python types.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace common {

// Number of threads to use for `blocks` blocks: n_threads >= 1 is taken as given,
// anything else means one per hardware thread; never more threads than blocks.
inline int64_t runner_thread_count(int32_t n_threads, int64_t blocks) {
  int64_t count = n_threads;
  if (n_threads < 1) {
    const unsigned hw = std::thread::hardware_concurrency();
    count = hw == 0 ? 1 : static_cast<int64_t>(hw);
  }
  return blocks < count ? blocks : count;
}

// Runs body(i, state) exactly once for every i in [0, n), in blocks of `block` consecutive
// items. Every thread makes its own state with make_state() before it claims its first block
// and hands it to each of its items: scratch that an item may fill and a later item on the same
// thread may reuse (the state is never shared, so nothing in it needs a lock).
//
// A worker that cannot be started is not fatal: the threads already running (the
// calling thread among them) share out every block, so the result is still complete.
// Only when not a single worker could be started is the failure raised, before any
// item has run. An exception thrown by a body or by make_state (a per-item allocation that
// fails) is caught on its thread, the other threads stop claiming, everyone is joined and the
// first exception is re-raised here, so no partial result is ever returned as a success.
template <class MakeState, class Body>
void parallel_blocks_with_state(int64_t n, int64_t block, int32_t n_threads,
                                const MakeState& make_state, const Body& body) {
  if (n <= 0) {
    return;
  }
  const int64_t blocks = n / block + (n % block != 0 ? 1 : 0);
  const int64_t count = runner_thread_count(n_threads, blocks);

  std::atomic<int64_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;

  auto claim_loop = [&]() noexcept {
    try {
      auto state = make_state();
      while (!failed.load(std::memory_order_relaxed)) {
        const int64_t start = next.fetch_add(block);
        if (start >= n) {
          break;
        }
        const int64_t end = n - start < block ? n : start + block;
        for (int64_t i = start; i < end; ++i) {
          body(i, state);
        }
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
    claim_loop();
  } else {
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(count - 1));
    for (int64_t t = 1; t < count; ++t) {
      try {
        workers.emplace_back(claim_loop);
      } catch (...) {
        if (workers.empty()) {
          throw;  // nothing has run yet: report the failure to start
        }
        break;  // the workers already running finish every block with us
      }
    }
    claim_loop();
    for (auto& worker : workers) {
      worker.join();
    }
  }
  if (first_error) {
    std::rethrow_exception(first_error);
  }
}

// The state of items that keep none.
struct NoState {};

// Runs body(i) exactly once for every i in [0, n), in blocks of `block` consecutive items:
// parallel_blocks_with_state for items without a state of their own.
template <class Body>
void parallel_blocks(int64_t n, int64_t block, int32_t n_threads, const Body& body) {
  parallel_blocks_with_state(
      n, block, n_threads, [] { return NoState{}; },
      [&body](int64_t i, NoState& /*unused*/) { body(i); });
}

// The calibration statistics' runner: rows are handed out one at a time, since a row there
// is a long scan of its own.
template <class RowBody>
void parallel_rows(int64_t n, int32_t n_threads, const RowBody& row_body) {
  parallel_blocks(n, 1, n_threads, row_body);
}

}  // namespace common
