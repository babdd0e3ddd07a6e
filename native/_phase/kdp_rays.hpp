// Specific differential phase of one ray: the system phase removed, the 0/360 wrap unfolded and
// a straight line fitted by least squares to the differential phase around every gate. Plain
// C++ over raw pointers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "_calibration/optional_array.hpp"
#include "common/presence.hpp"

namespace phase {

using calibration::Optional2D;
using common::is_present;

struct KdpInputs {
  const double* phidp;
  Optional2D rhohv;
  int64_t gates;
  double system_phase;  // degrees
  double gate_spacing;  // km
  int64_t half_window;  // gates on each side of the centre, at least 1
  int64_t min_gates;    // fewest usable gates in a window, at least 2
  double rhohv_min;
};

// A step of the wrapped phase between consecutive usable gates larger than this is a wrap, in
// degrees: a wrap steps by about 360 degrees, while noise, a gate of random phase or the 180
// degree ambiguity of some radars step by less and are left as they are.
constexpr double kWrapStep = 270.0;

// The differential phase of gate p relative to the system phase, in [-180, 180).
inline double wrapped(double p, double system_phase) {
  const double relative = p - system_phase;
  return relative - 360.0 * std::floor((relative + 180.0) / 360.0);
}

// Least-squares sums of the usable gates of a window: n, and the sums of x, x^2, y and x y
// with x the gate's index minus an origin and y its unfolded phase minus a reference phase.
struct WindowSums {
  double n = 0.0;
  double sx = 0.0;
  double sxx = 0.0;
  double sy = 0.0;
  double sxy = 0.0;

  // Adds (sign 1) or removes (sign -1) gate j of phase u about the origin and reference.
  void update(int64_t j, double u, int64_t origin, double reference, double sign) {
    if (std::isnan(u)) {
      return;
    }
    const double x = static_cast<double>(j - origin);
    const double y = u - reference;
    n += sign;
    sx += sign * x;
    sxx += sign * (x * x);
    sy += sign * y;
    sxy += sign * (x * y);
  }
};

// The window sums are restarted from scratch about a new origin every this many gates: the
// integer sums (n, x, x^2) are exact in any case, and the phase sums gather the rounding of
// at most this many additions and removals.
constexpr int64_t kRestartGates = 64;

// Unfolds the differential phase of ray r into unfolded[g * stride] (NaN where the gate is not
// usable): see kdp_ray.
inline void unfold_ray(const KdpInputs& in, int64_t r, double* unfolded, int64_t stride) {
  const int64_t gates = in.gates;
  const double* phase = in.phidp + r * gates;
  const double* rhohv = in.rhohv.row(r);  // null without the screen
  for (int64_t g = 0; g < gates; ++g) {
    unfolded[g * stride] = std::numeric_limits<double>::quiet_NaN();
  }
  bool seen = false;
  double previous = 0.0;
  double turns = 0.0;  // whole turns removed so far
  for (int64_t g = 0; is_present(in.system_phase) && g < gates; ++g) {
    const double p = phase[g];
    if (!is_present(p) || (rhohv != nullptr && !(rhohv[g] >= in.rhohv_min))) {
      continue;
    }
    const double w = wrapped(p, in.system_phase);
    if (seen && std::fabs(w - previous) > kWrapStep) {
      turns += std::nearbyint((w - previous) / 360.0);
    }
    unfolded[g * stride] = w - 360.0 * turns;
    previous = w;
    seen = true;
  }
}

// The gates low..high of the window around gate i, and the fewest usable gates it needs.
struct Window {
  int64_t half;
  double need;

  explicit Window(const KdpInputs& in)
      : half(in.half_window < in.gates ? in.half_window : in.gates),
        need(static_cast<double>(in.min_gates < 2 ? 2 : in.min_gates)) {}
  int64_t low(int64_t i) const { return i > half ? i - half : 0; }
  int64_t high(int64_t i, int64_t gates) const {
    return gates - 1 - i > half ? i + half : gates - 1;
  }
};

// The window sums about gate i itself (x = j - i, y = unfolded phase minus gate i's), from
// those about the origin: d is i minus the origin, c gate i's phase minus the reference.
template <class Value>
struct SumsAboutGate {
  Value n;
  Value sx;
  Value sxx;
  Value sy;
  Value sxy;
};

template <class Sums, class Value>
SumsAboutGate<Value> about_gate(const Sums& sums, Value d, Value c) {
  const Value n = sums.n;
  return {n, sums.sx - d * n, sums.sxx - 2.0 * d * sums.sx + d * d * n, sums.sy - c * n,
          sums.sxy - d * sums.sy - c * sums.sx + d * c * n};
}

// Moves the window sums from the gates first..last to the gates low..high: the gates that enter
// added and those that leave removed, or, on a restart, the sums made anew from the window's
// gates about the new origin and reference.
template <class Sums, class At, class Value>
void slide_window(Sums& sums, const At& at, bool restart, int64_t low, int64_t high, int64_t first,
                  int64_t last, int64_t origin, Value reference) {
  if (restart) {
    sums = Sums{};
    for (int64_t j = low; j <= high; ++j) {
      sums.update(j, at(j), origin, reference, 1.0);
    }
    return;
  }
  for (int64_t j = last + 1; j <= high; ++j) {
    sums.update(j, at(j), origin, reference, 1.0);
  }
  for (int64_t j = first; j < low; ++j) {
    sums.update(j, at(j), origin, reference, -1.0);
  }
}

// Writes the KDP (deg/km) of every gate of ray r to kdp[0..gates) and the fitted differential
// phase (degrees above the system phase, unfolded) to fit[0..gates); NaN where the gate is not
// usable or its window holds fewer than min_gates usable gates.
//
// A gate is usable when its phase and the system phase are finite and it passes the rhohv
// screen. The unfolding walks the usable gates in range order; where the wrapped phase steps
// by more than kWrapStep from the gate before, it adds the multiple of 360 degrees that brings
// the gate within 180 degrees of it. The window slides along the
// ray with running sums; each gate's fit is taken about the gate itself (its index and phase),
// so that no large terms cancel.
inline void kdp_ray(const KdpInputs& in, int64_t r, double* kdp, double* fit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const int64_t gates = in.gates;
  std::vector<double> unfolded(static_cast<size_t>(gates));
  unfold_ray(in, r, unfolded.data(), 1);
  const auto at = [&unfolded](int64_t j) { return unfolded[static_cast<size_t>(j)]; };

  const Window window(in);
  WindowSums sums;
  int64_t first = 0;  // the window held by sums: gates first..last
  int64_t last = -1;
  int64_t origin = 0;
  double reference = 0.0;
  for (int64_t i = 0; i < gates; ++i) {
    const int64_t low = window.low(i);
    const int64_t high = window.high(i, gates);
    const double centre = at(i);
    const bool restart = i % kRestartGates == 0;
    if (restart) {
      origin = i;
      reference = std::isnan(centre) ? reference : centre;
    }
    slide_window(sums, at, restart, low, high, first, last, origin, reference);
    first = low;
    last = high;
    kdp[i] = nan;
    fit[i] = nan;
    if (std::isnan(centre) || sums.n < window.need) {
      continue;
    }
    const auto [n, sx, sxx, sy, sxy] =
        about_gate(sums, static_cast<double>(i - origin), centre - reference);
    const double denominator = n * sxx - sx * sx;
    if (!(denominator > 0.0)) {
      continue;
    }
    const double slope = (n * sxy - sx * sy) / denominator;  // degrees per gate
    kdp[i] = (0.5 * slope) / in.gate_spacing;
    fit[i] = centre + (sy - slope * sx) / n;
  }
}

// Several rays at once, one per lane of a vector of doubles: each lane does the scalar IEEE
// operations of kdp_ray in the same order, so that a ray gets the same bits alone or in a
// group. Pairs are SSE2, which every x86-64 processor has (GCC and Clang lower the 16-byte
// vectors to it); groups of four run only where the processor has AVX2, in a copy of the code
// compiled for it (kdp_quad_avx2): the same operations on 32-byte registers, whose additions,
// multiplications and divisions round each lane exactly as SSE2 does (contraction into fused
// multiply-adds stays off), at about half the instructions per ray.
typedef double RayPair __attribute__((vector_size(16)));
typedef int64_t RayPairMask __attribute__((vector_size(16)));
typedef double RayQuad __attribute__((vector_size(32)));
typedef int64_t RayQuadMask __attribute__((vector_size(32)));

template <class V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

template <class V>
V lanes_of(double v) {
  V out;
  for (int l = 0; l < kLanes<V>; ++l) {
    out[l] = v;
  }
  return out;
}

// v where the mask is set, +0.0 elsewhere: the terms of a gate that is not usable. The sums
// start at +0.0 and so are never -0.0 (x + -x is +0.0), and adding +0.0 leaves them as they
// are, as skipping the gate does.
template <class V, class M>
V kept(M m, V v) {
  return reinterpret_cast<V>(m & reinterpret_cast<M>(v));
}

template <class V, class M>
V chosen(M m, V a, V b) {
  return reinterpret_cast<V>((m & reinterpret_cast<M>(a)) | (~m & reinterpret_cast<M>(b)));
}

template <class V, class M>
struct WindowSumsLanes {
  V n{};
  V sx{};
  V sxx{};
  V sy{};
  V sxy{};

  // WindowSums::update in each lane.
  void update(int64_t j, V u, int64_t origin, V reference, double sign) {
    const M usable = u == u;  // NOLINT(misc-redundant-expression): false where u is NaN
    const V x = lanes_of<V>(static_cast<double>(j - origin));
    const V y = u - reference;
    n += kept(usable, lanes_of<V>(sign));
    sx += kept(usable, sign * x);
    sxx += kept(usable, sign * (x * x));
    sy += kept(usable, sign * y);
    sxy += kept(usable, sign * (x * y));
  }
};

// kdp_ray of the rays r .. r + lanes - 1, whose planes start at kdp and fit.
template <class V, class M>
void kdp_ray_lanes(const KdpInputs& in, int64_t r, double* kdp, double* fit) {
  constexpr int lanes = kLanes<V>;
  const V nan = lanes_of<V>(std::numeric_limits<double>::quiet_NaN());
  const int64_t gates = in.gates;
  std::vector<double> unfolded(lanes * static_cast<size_t>(gates));  // the rays' gates interleaved
  for (int l = 0; l < lanes; ++l) {
    unfold_ray(in, r + l, unfolded.data() + l, lanes);
  }
  const auto at = [&unfolded](int64_t j) {
    V v;
    std::memcpy(&v, unfolded.data() + lanes * j, sizeof v);
    return v;
  };

  const Window window(in);
  WindowSumsLanes<V, M> sums;
  int64_t first = 0;
  int64_t last = -1;
  int64_t origin = 0;
  V reference = lanes_of<V>(0.0);
  for (int64_t i = 0; i < gates; ++i) {
    const int64_t low = window.low(i);
    const int64_t high = window.high(i, gates);
    const V centre = at(i);
    const M present = centre == centre;  // NOLINT(misc-redundant-expression): NaN test
    const bool restart = i % kRestartGates == 0;
    if (restart) {
      origin = i;
      reference = chosen(present, centre, reference);
    }
    slide_window(sums, at, restart, low, high, first, last, origin, reference);
    first = low;
    last = high;
    const auto [n, sx, sxx, sy, sxy] =
        about_gate(sums, lanes_of<V>(static_cast<double>(i - origin)), centre - reference);
    const V denominator = n * sxx - sx * sx;
    const V slope = (n * sxy - sx * sy) / denominator;
    const M fitted = present & (n >= window.need) & (denominator > 0.0);
    const V k = chosen(fitted, (0.5 * slope) / in.gate_spacing, nan);
    const V f = chosen(fitted, centre + (sy - slope * sx) / n, nan);
    for (int l = 0; l < lanes; ++l) {
      kdp[l * gates + i] = k[l];
      fit[l * gates + i] = f[l];
    }
  }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define BLUSTER_KDP_AVX2 1
// kdp_ray_lanes of four rays, every function it calls compiled into it for AVX2 (flatten).
__attribute__((target("avx2"), flatten)) inline void kdp_quad_avx2(const KdpInputs& in, int64_t r,
                                                                   double* kdp, double* fit) {
  kdp_ray_lanes<RayQuad, RayQuadMask>(in, r, kdp, fit);
}

inline bool has_avx2() {
  static const bool found = __builtin_cpu_supports("avx2") != 0;
  return found;
}
#endif

// Rays handed to a thread at a time: four, as one group where the processor has AVX2, else as
// two pairs; fewer at the end.
constexpr int64_t kRaysPerItem = 4;

// The items of a run over `rays` rays.
inline int64_t kdp_items(int64_t rays) {
  return rays / kRaysPerItem + (rays % kRaysPerItem != 0 ? 1 : 0);
}

// Item k of a run over `rays` rays, whose KDP and fitted phase planes are kdp and fit (rays x
// gates each): rays 4k to 4k + 3 (those of them that there are).
inline void kdp_item(const KdpInputs& in, int64_t k, int64_t rays, double* kdp, double* fit) {
  int64_t r = kRaysPerItem * k;
  const int64_t end = std::min(r + kRaysPerItem, rays);
#ifdef BLUSTER_KDP_AVX2
  if (end - r == 4 && has_avx2()) {
    kdp_quad_avx2(in, r, kdp + r * in.gates, fit + r * in.gates);
    return;
  }
#endif
  for (; end - r >= 2; r += 2) {
    kdp_ray_lanes<RayPair, RayPairMask>(in, r, kdp + r * in.gates, fit + r * in.gates);
  }
  if (r < end) {
    kdp_ray(in, r, kdp + r * in.gates, fit + r * in.gates);
  }
}

}  // namespace phase
