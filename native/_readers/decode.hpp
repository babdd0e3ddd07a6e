// Packed moments of radar files to float64: plain C++ over raw pointers, free of Python types.
// One pass per gate, fused: the conversion, the test against the format's codes (no data,
// undetect, range folded: NaN) and the linear unpacking (value * scale + offset).
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace readers {

// The codes of one moment, at most kFastCodes of them tested without a loop; a code that is
// NaN matches nothing, which pads the unused ones.
constexpr int kFastCodes = 4;

// How one moment is unpacked. A step that is absent is skipped rather than done with 1 or 0:
// -0.0 + 0.0 is +0.0, so adding a zero offset is not the same as adding none.
struct Unpacking {
  bool has_scale;
  double scale;
  bool has_offset;
  double offset;
  const double* codes;  // compared with the stored value converted to double
  int64_t n_codes;
};

// Two gates at once, each lane doing the scalar IEEE operations (GCC and Clang lower these to
// SSE2 on x86-64), so that a gate gets the same bits alone or in a pair; the code test is a
// lane mask of all ones or all zeros instead of a branch.
typedef double Pair __attribute__((vector_size(16)));
typedef int64_t PairMask __attribute__((vector_size(16)));

inline Pair pair_of(double v) { return Pair{v, v}; }

inline Pair choose(PairMask m, Pair a, Pair b) {
  return reinterpret_cast<Pair>((m & reinterpret_cast<PairMask>(a)) |
                                (~m & reinterpret_cast<PairMask>(b)));
}

// One or two gates: the stored value x as double, unpacked (each step only when present, in
// this order), or NaN when x equals one of the codes.
template <bool Scale, bool Offset, class Value, class Mask>
Value unpack(Value x, const Value (&codes)[kFastCodes], Value scale, Value offset, Value nan) {
  const Mask coded = (x == codes[0]) | (x == codes[1]) | (x == codes[2]) | (x == codes[3]);
  Value y = x;
  if (Scale) {
    y = y * scale;
  }
  if (Offset) {
    y = y + offset;
  }
  if constexpr (std::is_same_v<Value, double>) {
    return coded ? nan : y;
  } else {
    return choose(coded, nan, y);
  }
}

// A row of `gates` stored values to out, with the first kFastCodes codes of u (NaN-padded
// in `codes`); the codes beyond them are tested in a second pass over the row.
template <class Stored, bool Scale, bool Offset>
void decode_row(const Stored* in, int64_t gates, const Unpacking& u,
                const double (&codes)[kFastCodes], double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Pair pair_codes[kFastCodes] = {pair_of(codes[0]), pair_of(codes[1]), pair_of(codes[2]),
                                       pair_of(codes[3])};
  int64_t g = 0;
  for (; g + 2 <= gates; g += 2) {
    const Pair x = {static_cast<double>(in[g]), static_cast<double>(in[g + 1])};
    const Pair y = unpack<Scale, Offset, Pair, PairMask>(x, pair_codes, pair_of(u.scale),
                                                         pair_of(u.offset), pair_of(nan));
    std::memcpy(out + g, &y, sizeof y);
  }
  for (; g < gates; ++g) {
    out[g] = unpack<Scale, Offset, double, bool>(static_cast<double>(in[g]), codes, u.scale,
                                                 u.offset, nan);
  }
  for (int64_t k = kFastCodes; k < u.n_codes; ++k) {
    for (g = 0; g < gates; ++g) {
      if (static_cast<double>(in[g]) == u.codes[k]) {
        out[g] = nan;
      }
    }
  }
}

// Output row r of a moment: stored row `source` of `gates` values, unpacked by u.
template <class Stored>
void decode_moment_row(const Stored* stored, int64_t gates, int64_t source, const Unpacking& u,
                       double* out_row) {
  double codes[kFastCodes];
  for (int k = 0; k < kFastCodes; ++k) {
    codes[k] = k < u.n_codes ? u.codes[k] : std::numeric_limits<double>::quiet_NaN();
  }
  const Stored* in = stored + source * gates;
  if (u.has_scale && u.has_offset) {
    decode_row<Stored, true, true>(in, gates, u, codes, out_row);
  } else if (u.has_scale) {
    decode_row<Stored, true, false>(in, gates, u, codes, out_row);
  } else if (u.has_offset) {
    decode_row<Stored, false, true>(in, gates, u, codes, out_row);
  } else {
    decode_row<Stored, false, false>(in, gates, u, codes, out_row);
  }
}

}  // namespace readers
