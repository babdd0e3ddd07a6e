// NEXRAD Level II message stream: the walk over one record's messages (radial headers and
// moment blocks of message 31 located and checked) and the decode of moment gates to float64.
// Plain C++ over raw bytes, free of Python types; every read is bounds-checked against the
// record, so damaged or hostile bytes give an error text, never a read outside the buffer.
//
// Layout (Interface Control Documents 2620002 and 2620010): a record is a run of messages,
// each a 12-byte prefix, a 16-byte message header (big-endian: size in halfwords counting
// the header, channel, type, sequence, date, milliseconds, segments, segment number) and its
// body. A message 31 occupies exactly its size; any other message a slot of at least 2,432
// bytes. Message 31 holds a fixed header with up to ten block pointers (offsets from the
// start of the body) to data blocks: "R" blocks of constants (VOL, ELV, RAD) and "D" blocks
// of one moment each, a 28-byte descriptor followed by the gates as 8- or 16-bit codes.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/parallel_blocks.hpp"

namespace nexrad {

// The moments of message 31, in the order of their data names; the index is the moment's
// number in Radial and in the decode rows.
constexpr int kMoments = 7;
constexpr const char* kMomentNames[kMoments] = {"REF", "VEL", "SW ", "ZDR", "PHI", "RHO", "CFP"};

constexpr int64_t kPrefixBytes = 12;      // before every message header
constexpr int64_t kHeaderBytes = 16;      // the message header
constexpr int64_t kSlotBytes = 2432;      // the least room a message other than 31 takes
constexpr int64_t kRadialHeadBytes = 32;  // message 31 body up to and with the block count
constexpr int64_t kMomentHeadBytes = 28;  // a "D" block's descriptor before its gates
constexpr int64_t kVolumeBytes = 20;      // the VOL block up to the feedhorn height
constexpr int64_t kMaxBlocks = 10;        // pointers message 31 has room for

// One radial (message 31): where it is and what it holds. Positions are byte offsets in the
// record; -1 where a block is absent.
struct Radial {
  int64_t message;               // the message's prefix
  int64_t vol;                   // the VOL block
  int64_t data[kMoments];        // the first gate code of each moment
  int32_t record;                // index of the record in the call
  uint32_t collect_ms;           // milliseconds of the day
  uint16_t collect_date;         // days since 1969-12-31 (1 is 1970-01-01)
  uint16_t azimuth_number;       // ray number in the sweep
  float azimuth;                 // degrees
  float elevation;               // degrees
  uint8_t azimuth_resolution;    // 1: 0.5 degrees, 2: 1 degree
  uint8_t radial_status;         // 0 start of elevation, 1 intermediate, 2 end, 3 start of
                                 // volume, 4 end of volume, 5 start of the last elevation
  uint8_t elevation_number;      // cut number in the volume coverage pattern, from 1
  uint8_t word[kMoments];        // bits per gate code (8 or 16), 0 where absent
  uint16_t ngates[kMoments];     // gates of each moment
  int16_t first_gate[kMoments];  // range to the centre of the first gate, m
  int16_t gate_spacing[kMoments];
  float scale[kMoments];   // value = (code - offset) / scale
  float offset[kMoments];  // named `offset` in the format
};

// Any other message: its kind and place (the volume coverage pattern, the status).
struct Message {
  int64_t position;
  int32_t record;
  uint16_t size;  // halfwords, header included
  uint8_t type;
};

struct RecordScan {
  std::vector<Radial> radials;
  std::vector<Message> others;
  std::string error;  // empty when the record is sound
};

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Any NaN, signalling ones included, is read as the quiet NaN: a damaged block must not raise
// a floating-point exception where its values are converted.
inline float be_float(const uint8_t* p) {
  const float value = std::bit_cast<float>(be32(p));
  return std::isnan(value) ? std::numeric_limits<float>::quiet_NaN() : value;
}

inline std::string where(int32_t record, int64_t offset) {
  char text[64];
  std::snprintf(text, sizeof text, "record %d, message at byte %lld: ", record,
                static_cast<long long>(offset));
  return text;
}

// Moment number of a "D" block's three-letter name, or -1 for a name this reader does not
// decode (skipped like any unknown block).
inline int moment_index(const uint8_t* name) {
  for (int m = 0; m < kMoments; ++m) {
    if (std::memcmp(name, kMomentNames[m], 3) == 0) {
      return m;
    }
  }
  return -1;
}

// Reads the blocks of the message 31 whose body starts at `body` (body_bytes long) into
// radial; an error text on a block that does not fit, empty otherwise.
inline std::string read_blocks(const uint8_t* record_start, int64_t body, int64_t body_bytes,
                               Radial& radial) {
  const uint8_t* b = record_start + body;
  const int64_t count = be16(b + 30);
  if (count > kMaxBlocks || kRadialHeadBytes + 4 * count > body_bytes) {
    return "message 31 declares " + std::to_string(count) + " data blocks; its " +
           std::to_string(body_bytes) + "-byte body has room for at most " +
           std::to_string(std::min<int64_t>(kMaxBlocks, (body_bytes - kRadialHeadBytes) / 4));
  }
  for (int64_t k = 0; k < count; ++k) {
    const int64_t pointer = be32(b + kRadialHeadBytes + 4 * k);
    if (pointer == 0) {
      continue;  // an unused pointer
    }
    if (pointer < kRadialHeadBytes || pointer + 4 > body_bytes) {
      return "block pointer " + std::to_string(k + 1) + " (" + std::to_string(pointer) +
             ") points outside the " + std::to_string(body_bytes) + "-byte message body";
    }
    const uint8_t* block = b + pointer;
    if (block[0] == 'R' && std::memcmp(block + 1, "VOL", 3) == 0) {
      if (pointer + kVolumeBytes > body_bytes) {
        return "the VOL block at " + std::to_string(pointer) + " runs past the message body";
      }
      if (radial.vol < 0) {
        radial.vol = body + pointer;
      }
      continue;
    }
    if (block[0] != 'D') {
      continue;  // the other constant blocks (ELV, RAD) are not needed
    }
    const int m = moment_index(block + 1);
    if (m < 0 || radial.data[m] >= 0) {
      continue;  // an unknown moment, or a repeat: the first block of a name counts
    }
    if (pointer + kMomentHeadBytes > body_bytes) {
      return std::string("the ") + kMomentNames[m] + " block at " + std::to_string(pointer) +
             " runs past the message body";
    }
    const uint16_t ngates = be16(block + 8);
    const uint8_t word = block[19];
    if (word != 8 && word != 16) {
      return std::string("moment ") + kMomentNames[m] + " has " + std::to_string(word) +
             "-bit gate codes (expected 8 or 16)";
    }
    const int64_t end = pointer + kMomentHeadBytes + int64_t{ngates} * (word / 8);
    if (end > body_bytes) {
      return std::string("moment ") + kMomentNames[m] + ": " + std::to_string(ngates) +
             " gates of " + std::to_string(word) + " bits run past the " +
             std::to_string(body_bytes) + "-byte message body";
    }
    radial.data[m] = body + pointer + kMomentHeadBytes;
    radial.ngates[m] = ngates;
    radial.word[m] = word;
    radial.first_gate[m] = static_cast<int16_t>(be16(block + 10));
    radial.gate_spacing[m] = static_cast<int16_t>(be16(block + 12));
    radial.scale[m] = be_float(block + 20);
    radial.offset[m] = be_float(block + 24);
  }
  return {};
}

// Walks the messages of one record. A trailing piece shorter than a message header is
// padding and ends the walk; a message that runs past the end of the record is an error.
inline RecordScan scan_record(const uint8_t* p, int64_t n, int32_t record) {
  RecordScan scan;
  int64_t pos = 0;
  while (n - pos >= kPrefixBytes + kHeaderBytes) {
    const uint8_t* header = p + pos + kPrefixBytes;
    const uint16_t size = be16(header);
    const uint8_t type = header[3];
    const int64_t bytes = kPrefixBytes + int64_t{size} * 2;
    if (type == 0) {
      pos += std::min(std::max(bytes, kSlotBytes), n - pos);  // an empty slot
      continue;
    }
    if (bytes > n - pos) {
      scan.error = where(record, pos) + "message type " + std::to_string(type) + " declares " +
                   std::to_string(bytes) + " bytes, " + std::to_string(n - pos) +
                   " are left in the record (truncated or damaged)";
      return scan;
    }
    if (type != 31) {
      scan.others.push_back(Message{pos, record, size, type});
      pos += std::min(std::max(bytes, kSlotBytes), n - pos);
      continue;
    }
    const int64_t body = pos + kPrefixBytes + kHeaderBytes;
    const int64_t body_bytes = bytes - kPrefixBytes - kHeaderBytes;
    if (body_bytes < kRadialHeadBytes) {
      scan.error = where(record, pos) + "message 31 of " + std::to_string(bytes) +
                   " bytes is too short for its radial header";
      return scan;
    }
    const uint8_t* b = p + body;
    Radial radial{};
    radial.message = pos;
    radial.vol = -1;
    for (int m = 0; m < kMoments; ++m) {
      radial.data[m] = -1;
    }
    radial.record = record;
    radial.collect_ms = be32(b + 4);
    radial.collect_date = be16(b + 8);
    radial.azimuth_number = be16(b + 10);
    radial.azimuth = be_float(b + 12);
    radial.azimuth_resolution = b[20];
    radial.radial_status = b[21];
    radial.elevation_number = b[22];
    radial.elevation = be_float(b + 24);
    const std::string problem = read_blocks(p, body, body_bytes, radial);
    if (!problem.empty()) {
      scan.error = where(record, pos) + problem;
      return scan;
    }
    scan.radials.push_back(radial);
    pos += bytes;
  }
  return scan;
}

// One row of decoded gates: `ngates` codes of `word` bits from src, masked with `mask`, to
// out[0, width): code 0 (below threshold) and 1 (range folded) give NaN, any other code
// code * scale_factor + add_offset (two roundings, in this order), gates past ngates NaN.
struct Row {
  const uint8_t* src;
  double* out;
  int64_t ngates;
  int64_t width;
  double scale_factor;
  double add_offset;
  uint32_t mask;
  int32_t word;
};

inline double decoded(uint32_t code, double scale_factor, double add_offset) {
  const double value = static_cast<double>(code) * scale_factor + add_offset;
  return code <= 1 ? std::numeric_limits<double>::quiet_NaN() : value;
}

// The values of the 256 codes of an 8-bit row: a table look-up per gate, no branch on the
// data. `table` is the caller's and is rebuilt only when the decoding changes.
struct Table8 {
  double value[256];
  double scale_factor = std::numeric_limits<double>::quiet_NaN();
  double add_offset = std::numeric_limits<double>::quiet_NaN();
  uint32_t mask = 0x100;  // no 8-bit row has this mask: the first row builds the table

  void prepare(const Row& row) {
    if (std::bit_cast<uint64_t>(row.scale_factor) == std::bit_cast<uint64_t>(scale_factor) &&
        std::bit_cast<uint64_t>(row.add_offset) == std::bit_cast<uint64_t>(add_offset) &&
        row.mask == mask) {
      return;
    }
    for (uint32_t code = 0; code < 256; ++code) {
      value[code] = decoded(code & row.mask, row.scale_factor, row.add_offset);
    }
    scale_factor = row.scale_factor;
    add_offset = row.add_offset;
    mask = row.mask;
  }
};

inline void decode_row(const Row& row, Table8& table) {
  const int64_t n = std::max<int64_t>(0, std::min(row.ngates, row.width));
  if (row.word == 8) {
    table.prepare(row);
    for (int64_t g = 0; g < n; ++g) {
      row.out[g] = table.value[row.src[g]];
    }
  } else {
    for (int64_t g = 0; g < n; ++g) {
      row.out[g] = decoded(be16(row.src + 2 * g) & row.mask, row.scale_factor, row.add_offset);
    }
  }
  for (int64_t g = n; g < row.width; ++g) {
    row.out[g] = std::numeric_limits<double>::quiet_NaN();
  }
}

// A record's bytes.
struct Span {
  const uint8_t* data;
  int64_t size;
};

// Walks every record, one record per thread at a time; record r is numbered first_record + r.
inline std::vector<RecordScan> scan_records(const std::vector<Span>& records, int32_t first_record,
                                            int32_t n_threads) {
  std::vector<RecordScan> scans(records.size());
  common::parallel_blocks(static_cast<int64_t>(records.size()), 1, n_threads,
                          [&records, &scans, first_record](int64_t r) {
                            const Span& b = records[static_cast<size_t>(r)];
                            scans[static_cast<size_t>(r)] =
                                scan_record(b.data, b.size, first_record + static_cast<int32_t>(r));
                          });
  return scans;
}

// Decodes every row, in blocks of rows, each block with its own table of 8-bit values. The
// rows write disjoint outputs (the caller's guarantee), so the result is the same for every
// thread count.
inline void decode_rows(const std::vector<Row>& rows, int32_t n_threads) {
  constexpr int64_t kBlock = 32;
  const auto n = static_cast<int64_t>(rows.size());
  common::parallel_blocks((n + kBlock - 1) / kBlock, 1, n_threads, [&rows, n](int64_t block) {
    Table8 table;
    const int64_t end = std::min(n, (block + 1) * kBlock);
    for (int64_t i = block * kBlock; i < end; ++i) {
      decode_row(rows[static_cast<size_t>(i)], table);
    }
  });
}

}  // namespace nexrad
