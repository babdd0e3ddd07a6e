// The moments of a volume stored in deflated chunks, inflated and decoded chunk by chunk
// straight into their float64 rows: plain C++ over raw pointers, free of Python types. A chunk
// is inflated into a scratch of one chunk (a few kilobytes, in cache), its bytes unshuffled
// there when the byte shuffle was applied, and the part of each of its rows inside the moment
// decoded into the output row that takes that stored row. Chunks are independent (each writes
// its own gates of the output), so the chunks of all the moments are shared out over threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/parallel_blocks.hpp"
#include "decode.hpp"
#include "inflate.hpp"

namespace readers {

struct ChunkScratch;

// Where a moment's chunks are in the file's bytes and how they tile the moment. The wrapper
// checks before the GIL is released that each chunk lies inside the bytes, on the grid of
// chunks and inside the moment, and that every cell of the grid has exactly one chunk: so
// every output gate is written exactly once.
struct ChunkedMoment {
  const uint8_t* image;      // the file's bytes
  const int64_t* addresses;  // of each chunk in image
  const int64_t* sizes;      // of each chunk as stored
  const int64_t* starts;     // first row and gate of each chunk, (n, 2)
  int64_t n_chunks;
  int64_t rows, gates;              // the moment as stored
  int64_t chunk_rows, chunk_gates;  // a chunk
  bool shuffled;                    // byte k of every element stored together, for each k
  const int64_t* source;            // output row i is stored row source[i]; nullptr: row i
  int64_t out_rows;
  Unpacking unpacking;
  double* out;  // out_rows x gates
  // inflate_decode_chunk of the stored type
  bool (*inflate_decode)(const struct ChunkedMoment&, int64_t, ChunkScratch&);
};

// What a thread keeps from one chunk to the next: its decompressor and two scratches of the
// largest chunk (the second for unshuffling). Storage from operator new holds objects of any
// trivial type written into it (C++20's implicit object creation), read back as the stored
// type.
struct ChunkScratch {
  Decompressor decompressor;
  std::vector<unsigned char> inflated;
  std::vector<unsigned char> unshuffled;
};

// Byte k of element j of a shuffled chunk is at k * n + j: put back in element order.
inline void unshuffle(const unsigned char* shuffled, int64_t n, size_t itemsize,
                      unsigned char* out) {
  for (size_t k = 0; k < itemsize; ++k) {
    const unsigned char* plane = shuffled + k * static_cast<size_t>(n);
    for (int64_t j = 0; j < n; ++j) {
      out[static_cast<size_t>(j) * itemsize + k] = plane[j];
    }
  }
}

// Inflates chunk c of m and decodes it into m.out: false when the chunk does not inflate to
// exactly one chunk's bytes (the output rows it holds are then left unspecified).
template <class Stored>
bool inflate_decode_chunk(const ChunkedMoment& m, int64_t c, ChunkScratch& scratch) {
  const int64_t elements = m.chunk_rows * m.chunk_gates;
  const size_t bytes = static_cast<size_t>(elements) * sizeof(Stored);
  unsigned char* raw = scratch.inflated.data();
  if (!inflate_exactly(scratch.decompressor.get(), m.image + m.addresses[c],
                       static_cast<size_t>(m.sizes[c]), raw, bytes)) {
    return false;
  }
  if (m.shuffled && sizeof(Stored) > 1) {
    unshuffle(raw, elements, sizeof(Stored), scratch.unshuffled.data());
    raw = scratch.unshuffled.data();
  }
  const auto* values = reinterpret_cast<const Stored*>(raw);
  const int64_t first_row = m.starts[2 * c];
  const int64_t first_gate = m.starts[2 * c + 1];
  const int64_t end_row = std::min(first_row + m.chunk_rows, m.rows);
  const int64_t count = std::min(m.chunk_gates, m.gates - first_gate);
  for (int64_t i = 0; i < m.out_rows; ++i) {
    const int64_t row = m.source != nullptr ? m.source[i] : i;
    if (row >= first_row && row < end_row) {
      decode_span(values + (row - first_row) * m.chunk_gates, count, m.unpacking,
                  m.out + i * m.gates + first_gate);
    }
  }
  return true;
}

// Chunks handed to a thread at a time: a chunk is some kilobytes to inflate and decode.
constexpr int64_t kChunkBlock = 4;

// Every chunk of every moment inflated and decoded on n_threads threads (common's runner), each
// thread with a scratch of `largest` bytes (and a second one when a moment is `shuffled`): the
// index, counting the chunks of the moments one after the other, of the first chunk that does
// not inflate to its size, or their number when all do. A chunk after one that failed is
// skipped and every chunk before it runs, so the index is the same for every thread count.
inline int64_t inflate_decode_moments(const std::vector<ChunkedMoment>& moments, size_t largest,
                                      bool shuffled, int32_t n_threads) {
  std::vector<int64_t> first{0};  // of each moment's chunks
  for (const ChunkedMoment& m : moments) {
    first.push_back(first.back() + m.n_chunks);
  }
  const int64_t items = first.back();
  std::atomic<int64_t> failed{items};
  const auto make_state = [largest, shuffled] {
    return ChunkScratch{make_decompressor(), std::vector<unsigned char>(largest),
                        std::vector<unsigned char>(shuffled ? largest : 0)};
  };
  common::parallel_blocks_with_state(
      items, kChunkBlock, n_threads, make_state, [&](int64_t i, ChunkScratch& scratch) {
        if (i > failed.load(std::memory_order_relaxed)) {
          return;
        }
        const auto k = static_cast<size_t>(std::upper_bound(first.begin(), first.end(), i) -
                                           first.begin() - 1);
        const ChunkedMoment& m = moments[k];
        if (!m.inflate_decode(m, i - first[k], scratch)) {
          int64_t seen = failed.load(std::memory_order_relaxed);
          while (i < seen && !failed.compare_exchange_weak(seen, i)) {
          }
        }
      });
  return failed.load();
}

}  // namespace readers
