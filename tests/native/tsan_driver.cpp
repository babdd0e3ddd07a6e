// Thread-sanitizer driver: runs every kernel body through its runner (parallel_blocks or
// parallel_rows) over generated inputs at several thread counts, without Python. Built with
// -fsanitize=thread, it fails on any data race the sanitizer sees; it also fails when a
// result differs by a single bit from the one-thread run.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "_bluster/cold_pool.hpp"
#include "_bluster/gradient.hpp"
#include "_bluster/profile.hpp"
#include "_bluster/thermo.hpp"
#include "_bluster/vad.hpp"
#include "_calibration/consistency_stats.hpp"
#include "_calibration/offset_stats.hpp"
#include "_calibration/optional_array.hpp"
#include "_calibration/phidp_rays.hpp"
#include "_nexrad/level2.hpp"
#include "_phase/kdp_rays.hpp"
#include "_readers/inflate_decode.hpp"
#include "_wind/vad_sweep.hpp"
#include "common/parallel_blocks.hpp"

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
    common::parallel_blocks(rows, 64, n_threads, [&](int64_t r) {
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
    common::parallel_rows(rays, n_threads,
                          [&](int64_t r) { calibration::phidp_ray(in, r, &out[r * 3]); });
    return out;
  });
}

void run_kdp_rays() {
  const int64_t rays = 501, gates = 300;  // pairs of rays and the last alone
  const std::vector<double> phidp = generate(rays * gates, 0.0, 360.0, 0.1, 14);
  const std::vector<double> rhohv = generate(rays * gates, 0.7, 1.0, 0.05, 15);
  phase::KdpInputs in{};
  in.phidp = phidp.data();
  in.rhohv = calibration::Optional2D(Plain2D{rhohv, rays, gates}, rays, gates, "rhohv");
  in.gates = gates;
  in.system_phase = 30.0;
  in.gate_spacing = 0.25;
  in.half_window = 4;
  in.min_gates = 5;
  in.rhohv_min = 0.9;
  check("kdp_rays", [&](int32_t n_threads) {
    std::vector<double> out(2 * rays * gates);
    common::parallel_rows(phase::kdp_items(rays), n_threads, [&](int64_t k) {
      phase::kdp_item(in, k, rays, out.data(), out.data() + rays * gates);
    });
    return out;
  });
}

// A record of NEXRAD Level II radials (message 31) with an 8-bit REF and a 16-bit PHI block
// of pseudo-random codes, big-endian as in the files.
std::vector<uint8_t> level2_record(int radials, int gates, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  auto put = [&out](uint64_t value, int bytes) {
    for (int b = bytes - 1; b >= 0; --b) out.push_back(static_cast<uint8_t>(value >> (8 * b)));
  };
  auto moment = [&](const char* name, int word) {
    out.push_back('D');
    out.insert(out.end(), name, name + 3);
    put(0, 4);
    put(gates, 2);
    put(2125, 2);
    put(250, 2);
    put(0, 4);
    put(0, 1);
    put(word, 1);
    put(0x40000000, 4);  // scale 2.0
    put(0x42840000, 4);  // offset 66.0
    for (int g = 0; g < gates; ++g) put(rng() % (word == 8 ? 256 : 1024), word / 8);
  };
  for (int r = 0; r < radials; ++r) {
    const int body = 32 + 8 + 2 * 28 + 3 * gates;
    put(0, 12);
    put((16 + body) / 2, 2);
    put(0, 1);
    put(31, 1);
    put(0, 12);
    put(0, 4);
    put(43200000 + 50 * r, 4);
    put(19845, 2);
    put(r + 1, 2);
    put(0x43000000, 4);  // azimuth 128.0
    put(0, 4);
    put(r == 0 ? 0 : 1, 1);
    put(1, 1);
    put(0, 2);
    put(0x3F000000, 4);  // elevation 0.5
    put(0, 2);
    put(2, 2);
    put(40, 4);
    put(40 + 28 + gates, 4);
    moment("REF", 8);
    moment("PHI", 16);
  }
  return out;
}

void run_nexrad() {
  const int n_records = 24, radials = 40, gates = 300;
  std::vector<std::vector<uint8_t>> bytes;
  std::vector<nexrad::Span> records;
  for (int r = 0; r < n_records; ++r) bytes.push_back(level2_record(radials, gates, 50 + r));
  for (const auto& b : bytes) records.push_back({b.data(), static_cast<int64_t>(b.size())});
  check("nexrad", [&](int32_t n_threads) {
    const std::vector<nexrad::RecordScan> scans = nexrad::scan_records(records, 0, n_threads);
    std::vector<double> out(n_records * radials * 2 * gates);
    std::vector<nexrad::Row> rows;
    for (const auto& scan : scans) {
      if (!scan.error.empty() || scan.radials.size() != radials) {
        std::fprintf(stderr, "nexrad: the synthetic record does not scan: %s\n",
                     scan.error.c_str());
        ++failures;
        return out;
      }
      for (const auto& radial : scan.radials) {
        for (int m : {0, 4}) {  // REF, PHI
          const uint8_t* src = records[radial.record].data + radial.data[m];
          rows.push_back({src, &out[rows.size() * gates], radial.ngates[m], gates,
                          1.0 / radial.scale[m], -radial.offset[m] / radial.scale[m],
                          m == 4 ? 0x3FFu : 0xFFu, radial.word[m]});
        }
      }
    }
    nexrad::decode_rows(rows, n_threads);
    return out;
  });
}

// A zlib stream of `raw` in stored (uncompressed) deflate blocks, as a writer at level 0 makes.
std::vector<uint8_t> stored_zlib(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> z = {0x78, 0x01};
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(raw.size() - at, 65535);
    const bool last = at + n == raw.size();
    z.insert(z.end(),
             {static_cast<uint8_t>(last), static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
              static_cast<uint8_t>(~n), static_cast<uint8_t>(~n >> 8)});
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
    at += n;
  } while (at < raw.size());
  uint32_t a = 1, b = 0;  // Adler-32, big-endian after the blocks
  for (const uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  const uint32_t sum = b << 16 | a;
  z.insert(z.end(), {static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16),
                     static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)});
  return z;
}

// Two moments of uint16 codes in chunks that do not divide them, the second byte-shuffled and
// its rays reversed, all their chunks inflated and decoded over the threads.
void run_inflate_decode() {
  const int64_t rows = 90, gates = 250, chunk_rows = 20, chunk_gates = 60;
  std::vector<uint8_t> image;
  std::vector<std::vector<int64_t>> addresses(2), sizes(2), starts(2);
  std::mt19937 rng(7);
  for (int k = 0; k < 2; ++k) {
    for (int64_t r = 0; r < rows; r += chunk_rows) {
      for (int64_t g = 0; g < gates; g += chunk_gates) {
        std::vector<uint8_t> raw(chunk_rows * chunk_gates * 2);
        for (size_t e = 0; e < raw.size() / 2; ++e) {
          const uint16_t code = static_cast<uint16_t>(rng() % 300);
          const size_t low = k == 1 ? e : 2 * e, high = k == 1 ? raw.size() / 2 + e : 2 * e + 1;
          raw[low] = static_cast<uint8_t>(code);
          raw[high] = static_cast<uint8_t>(code >> 8);
        }
        const std::vector<uint8_t> z = stored_zlib(raw);
        addresses[k].push_back(static_cast<int64_t>(image.size()));
        sizes[k].push_back(static_cast<int64_t>(z.size()));
        starts[k].insert(starts[k].end(), {r, g});
        image.insert(image.end(), z.begin(), z.end());
      }
    }
  }
  std::vector<int64_t> reversed(rows);
  for (int64_t r = 0; r < rows; ++r) reversed[r] = rows - 1 - r;
  const double codes[] = {0.0, 299.0};
  check("inflate_decode", [&](int32_t n_threads) {
    std::vector<double> out(2 * rows * gates, kNan);
    std::vector<readers::ChunkedMoment> moments;
    for (int k = 0; k < 2; ++k) {
      moments.push_back({.image = image.data(),
                         .addresses = addresses[k].data(),
                         .sizes = sizes[k].data(),
                         .starts = starts[k].data(),
                         .n_chunks = static_cast<int64_t>(sizes[k].size()),
                         .rows = rows,
                         .gates = gates,
                         .chunk_rows = chunk_rows,
                         .chunk_gates = chunk_gates,
                         .shuffled = k == 1,
                         .source = k == 1 ? reversed.data() : nullptr,
                         .out_rows = rows,
                         .unpacking = {.has_scale = true,
                                       .scale = 0.5,
                                       .has_offset = true,
                                       .offset = -32.0,
                                       .codes = codes,
                                       .n_codes = 2},
                         .out = out.data() + k * rows * gates,
                         .inflate_decode = readers::inflate_decode_chunk<uint16_t>});
    }
    const int64_t failed =
        readers::inflate_decode_moments(moments, chunk_rows * chunk_gates * 2, true, n_threads);
    if (failed != 2 * static_cast<int64_t>(sizes[0].size())) {
      std::fprintf(stderr, "inflate_decode: chunk %lld does not inflate\n",
                   static_cast<long long>(failed));
      ++failures;
    }
    return out;
  });
}

void run_thermo() {
  const int64_t n = 3 * 4096 + 17;
  const std::vector<double> t = generate(n, 220.0, 310.0, 0.02, 21);
  const std::vector<double> p = generate(n, 10000.0, 105000.0, 0.02, 22);
  const std::vector<double> td = generate(n, 200.0, 310.0, 0.05, 23);
  check("thermo", [&](int32_t n_threads) {
    std::vector<double> out(4 * n);
    common::parallel_blocks(n, 4096, n_threads, [&](int64_t i) {
      const auto res = bluster::thermo_point(t[i], p[i], td[i]);
      out[i] = res.mixing_ratio;
      out[n + i] = res.theta;
      out[2 * n + i] = res.theta_v;
      out[3 * n + i] = res.theta_e;
    });
    return out;
  });
}

void run_profile() {
  const int64_t rows = 400, levels = 30;
  std::vector<double> z = generate(rows * levels, 50.0, 150.0, 0.03, 71);
  for (int64_t r = 0; r < rows; ++r) {  // heights increase upward in each column
    for (int64_t j = 1; j < levels; ++j) {
      z[r * levels + j] = std::fabs(z[r * levels + j]) + z[r * levels + j - 1];
    }
  }
  const std::vector<double> u = generate(rows * levels, -10.0, 30.0, 0.03, 72);
  const std::vector<double> v = generate(rows * levels, -10.0, 30.0, 0.03, 73);
  const std::vector<double> ground = generate(rows, 0.0, 100.0, 0.2, 74);
  const std::vector<double> cu = generate(rows, 0.0, 10.0, 0.05, 75);
  const std::vector<double> cv = generate(rows, 0.0, 10.0, 0.05, 76);
  check("profile", [&](int32_t n_threads) {
    std::vector<double> out(7 * rows);
    common::parallel_blocks(rows, 64, n_threads, [&](int64_t r) {
      const bluster::ProfileColumn col{&z[r * levels], &u[r * levels], &v[r * levels], levels};
      const auto res = bluster::profile_column(col, ground[r], 0.0, 1000.0, cu[r], cv[r]);
      const double values[7] = {res.u_bottom, res.v_bottom, res.u_top, res.v_top,
                                res.helicity, res.u_mean,   res.v_mean};
      for (int k = 0; k < 7; ++k) out[k * rows + r] = values[k];
    });
    return out;
  });
}

void run_gradient() {
  const int64_t batch = 3, ny = 50, nx = 40, rows = batch * ny, stack = rows * nx;
  const std::vector<double> f = generate(stack, -10.0, 10.0, 0.05, 31);
  std::vector<double> x(nx), y(ny);
  for (int64_t i = 0; i < nx; ++i) x[i] = i * 1.5 + (i % 3) * 0.25;
  for (int64_t j = 0; j < ny; ++j) y[j] = j * 2.0 - (j % 2) * 0.5;
  check("gradient", [&](int32_t n_threads) {
    std::vector<double> out(2 * stack);
    common::parallel_blocks(rows, 8, n_threads, [&](int64_t m) {
      bluster::gradient_row(f.data(), x.data(), y.data(), ny, nx, m, &out[m * nx],
                            &out[stack + m * nx]);
    });
    return out;
  });
}

std::vector<double> vad_columns(const bluster::VadResult& res) {
  return {res.u,
          res.v,
          res.offset,
          res.rms_residual,
          res.count,
          res.harmonic_offset,
          res.sin2_coefficient,
          res.cos2_coefficient};
}

void run_vad() {
  const int64_t rows = 300, samples = 90;
  const std::vector<double> vr = generate(rows * samples, -30.0, 30.0, 0.2, 41);
  const std::vector<double> az = generate(rows * samples, 0.0, 6.283185307179586, 0.05, 42);
  const std::vector<double> cos_el = generate(rows, 0.5, 1.0, 0.0, 43);
  check("vad", [&](int32_t n_threads) {
    std::vector<double> out(8 * rows);
    common::parallel_blocks(rows, 64, n_threads, [&](int64_t r) {
      const auto res =
          bluster::vad_row(&vr[r * samples], &az[r * samples], samples, cos_el[r], 10, 0.5);
      const auto values = vad_columns(res);
      for (int k = 0; k < 8; ++k) out[k * rows + r] = values[k];
    });
    return out;
  });
  // The rings of a sweep: one row of azimuths (all present) repeated for every ring, with a
  // few rings of their own, through the per-thread tables of the module's wrapper; most rings
  // have every sample valid. The tables and the row's sums must give the bits of the rings
  // computed alone.
  std::vector<double> shared(rows * samples);
  std::vector<double> row(az.begin(), az.begin() + samples);
  for (auto& a : row) {
    a = std::isfinite(a) ? a : 0.25;
  }
  std::vector<double> vr_full = vr;
  for (int64_t r = 0; r < rows; ++r) {
    const bool own = r % 37 == 5;
    std::memcpy(&shared[r * samples], own ? &az[r * samples] : row.data(),
                samples * sizeof(double));
    for (int64_t j = 0; r % 5 != 0 && j < samples; ++j) {
      double& v = vr_full[r * samples + j];
      v = std::isfinite(v) ? v : 1.0;
    }
  }
  std::vector<double> direct(8 * rows);
  for (int64_t r = 0; r < rows; ++r) {
    const auto values = vad_columns(
        bluster::vad_row(&vr_full[r * samples], &shared[r * samples], samples, cos_el[r], 10, 0.5));
    for (int k = 0; k < 8; ++k) direct[k * rows + r] = values[k];
  }
  check("vad, shared azimuths", [&](int32_t n_threads) {
    std::vector<double> out(8 * rows);
    const bluster::VadInputs inputs{.vr = vr_full.data(),
                                    .az = shared.data(),
                                    .cos_el = cos_el.data(),
                                    .rows = rows,
                                    .samples = samples,
                                    .min_gates = 10,
                                    .min_spread = 0.5};
    common::parallel_blocks_with_state(
        rows, 64, n_threads, [&] { return bluster::VadThread(inputs); },
        [&](int64_t r, bluster::VadThread& thread) {
          const auto values = vad_columns(thread.ring(r));
          for (int k = 0; k < 8; ++k) out[k * rows + r] = values[k];
        });
    if (!same_bits(out, direct)) {
      std::fprintf(stderr, "vad: the shared tables differ from sincos (n_threads=%d)\n", n_threads);
      ++failures;
    }
    return out;
  });
}

// The rings of a sweep read from its (rays, gates) layout, pairs of adjacent gates per item
// as the _wind module runs them, against every ring fitted alone from a transposed copy with
// the azimuths (degrees, some missing) converted and repeated: the same bits at every thread
// count. An odd number of gates leaves the last ring alone; most gates have every sample.
// Run once with a missing azimuth (every ring through vad_rings) and once without (runs of
// eight whole rings through the whole-ring passes).
void run_vad_sweep(double missing_azimuths) {
  const int64_t rays = 90, gates = 301;
  const double scale = 0.017453292519943295;
  std::vector<double> vr = generate(rays * gates, -30.0, 30.0, 0.2, 44);
  for (int64_t g = 0; g < gates; ++g) {
    for (int64_t j = 0; g % 37 != 5 && j < rays; ++j) {
      double& v = vr[j * gates + g];
      v = std::isfinite(v) ? v : 1.0;
    }
  }
  const std::vector<double> degrees = generate(rays, 0.0, 360.0, missing_azimuths, 45);
  const std::vector<double> az = wind::vad_sweep_radians(degrees.data(), rays, scale);
  const double cos_el = 0.75;
  std::vector<double> direct(8 * gates);
  std::vector<double> ring(rays);
  for (int64_t g = 0; g < gates; ++g) {
    for (int64_t j = 0; j < rays; ++j) ring[j] = vr[j * gates + g];
    const auto values =
        vad_columns(bluster::vad_row(ring.data(), az.data(), rays, cos_el, 10, 0.1));
    for (int k = 0; k < 8; ++k) direct[k * gates + g] = values[k];
  }
  const wind::VadSweepRow row(az.data(), rays);
  const wind::VadSweepInputs in{.vr = vr.data(),
                                .az = az.data(),
                                .rays = rays,
                                .gates = gates,
                                .cos_el = cos_el,
                                .min_gates = 10,
                                .min_spread = 0.1};
  check("vad_sweep", [&](int32_t n_threads) {
    std::vector<double> out(8 * gates);
    common::parallel_blocks((gates + 7) / 8, 8, n_threads, [&](int64_t i) {
      bluster::VadResult res[wind::kSweepItemGates];
      const int rings = wind::vad_sweep_item(in, row, 8 * i, res);
      for (int lane = 0; lane < rings; ++lane) {
        const auto values = vad_columns(res[lane]);
        for (int k = 0; k < 8; ++k) out[k * gates + 8 * i + lane] = values[k];
      }
    });
    if (!same_bits(out, direct)) {
      std::fprintf(stderr, "vad_sweep: differs from the rings fitted alone (n_threads=%d)\n",
                   n_threads);
      ++failures;
    }
    return out;
  });
}

void run_offset_stats() {
  const int64_t rows = 200, samples = 150;
  const std::vector<double> zdr = generate(rows * samples, -1.0, 2.0, 0.05, 51);
  const std::vector<double> dbz = generate(rows * samples, 0.0, 50.0, 0.05, 52);
  const std::vector<double> rhohv = generate(rows * samples, 0.85, 1.0, 0.05, 53);
  const std::vector<double> elev = generate(rows, 0.0, 30.0, 0.1, 54);
  const std::vector<double> ref_z = {10.0, 20.0, 30.0, 40.0};
  const std::vector<double> ref_v = {0.1, 0.3, 0.6, 1.0};
  calibration::OffsetInputs in{};
  in.zdr = zdr.data();
  in.dbz = calibration::Optional2D(Plain2D{dbz, rows, samples}, rows, samples, "dbz");
  in.rhohv = calibration::Optional2D(Plain2D{rhohv, rows, samples}, rows, samples, "rhohv");
  in.elev = elev.data();
  in.ref_z = ref_z.data();
  in.ref_v = ref_v.data();
  in.table_size = 4;
  in.samples = samples;
  in.z_low = 15.0;
  in.z_high = 45.0;
  in.rhohv_min = 0.9;
  in.snr_min = 0.0;
  in.table_in_use = true;
  check("offset_stats", [&](int32_t n_threads) {
    std::vector<double> out(5 * rows);
    common::parallel_rows(rows, n_threads,
                          [&](int64_t r) { calibration::offset_row(in, r, &out[r * 5]); });
    return out;
  });
}

void run_consistency_stats() {
  const int64_t rows = 200, samples = 150;
  const std::vector<double> z = generate(rows * samples, 15.0, 60.0, 0.05, 61);
  const std::vector<double> zdr = generate(rows * samples, 0.0, 3.0, 0.05, 62);
  const std::vector<double> kdp = generate(rows * samples, -0.2, 2.0, 0.05, 63);
  const std::vector<double> gz = {0.0, 1.0, 2.0, 3.0};
  const std::vector<double> glg = {-5.0, -4.8, -4.6, -4.5};
  calibration::ConsistencyInputs in{};
  in.z = z.data();
  in.zdr = calibration::Optional2D(Plain2D{zdr, rows, samples}, rows, samples, "zdr");
  in.kdp = calibration::Optional2D(Plain2D{kdp, rows, samples}, rows, samples, "kdp");
  in.gz = gz.data();
  in.glg = glg.data();
  in.table_size = 4;
  in.samples = samples;
  in.zdr_offset = 0.1;
  in.z_min = 20.0;
  in.z_max = 55.0;
  in.bin_width = 1.0;
  in.rhohv_min = 0.0;
  in.snr_min = 0.0;
  in.kdp_min = 0.05;
  in.min_bin_count = 2;
  in.bins = calibration::reflectivity_bin_count(in.z_min, in.z_max, in.bin_width).bins;
  check("consistency_stats", [&](int32_t n_threads) {
    std::vector<double> out(5 * rows);
    common::parallel_rows(rows, n_threads,
                          [&](int64_t r) { calibration::consistency_row(in, r, &out[r * 5]); });
    return out;
  });
}

}  // namespace

int main() {
  run_thermo();
  run_cold_pool();
  run_profile();
  run_gradient();
  run_vad();
  run_vad_sweep(0.03);
  run_vad_sweep(0.0);
  run_offset_stats();
  run_consistency_stats();
  run_phidp_rays();
  run_kdp_rays();
  run_nexrad();
  run_inflate_decode();
  if (failures != 0) {
    std::fprintf(stderr, "%d thread-count mismatches\n", failures);
    return 1;
  }
  std::puts("tsan driver: all kernels race-free and thread-count invariant");
  return 0;
}
