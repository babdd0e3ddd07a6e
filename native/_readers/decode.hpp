// Packed moments of radar files to float64: plain C++ over raw pointers, free of Python types.
// One pass per gate, fused: the conversion, the test against the format's codes (no data,
// undetect, range folded: NaN) and the linear unpacking (value * scale + offset).
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// 8- and 16-bit codes, the common packing of radar moments, are widened to 32-bit integers
// eight at a time in SSE2 registers and converted to doubles there: converting them one by one
// costs more than the rest of the decoding. The doubles are the same (every such integer is
// exact in a double), and so is everything done with them afterwards.
#if defined(__SSE2__)
template <class Stored>
constexpr bool kWidenedEightAtOnce =
    std::is_same_v<Stored, uint8_t> || std::is_same_v<Stored, int8_t> ||
    std::is_same_v<Stored, uint16_t> || std::is_same_v<Stored, int16_t>;

// The stored values in[0 .. 7] as four pairs of doubles.
template <class Stored>
inline void widened_eight(const Stored* in, __m128d (&x)[4]) {
  const __m128i zero = _mm_setzero_si128();
  __m128i halves;  // eight 16-bit integers
  if constexpr (sizeof(Stored) == 1) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
    halves = std::is_signed_v<Stored> ? _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8)
                                      : _mm_unpacklo_epi8(bytes, zero);
  } else {
    halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  }
  constexpr bool kSigned = std::is_signed_v<Stored>;
  const __m128i low = kSigned ? _mm_srai_epi32(_mm_unpacklo_epi16(halves, halves), 16)
                              : _mm_unpacklo_epi16(halves, zero);
  const __m128i high = kSigned ? _mm_srai_epi32(_mm_unpackhi_epi16(halves, halves), 16)
                               : _mm_unpackhi_epi16(halves, zero);
  x[0] = _mm_cvtepi32_pd(low);
  x[1] = _mm_cvtepi32_pd(_mm_srli_si128(low, 8));
  x[2] = _mm_cvtepi32_pd(high);
  x[3] = _mm_cvtepi32_pd(_mm_srli_si128(high, 8));
}

// unpack() of a pair of gates in SSE2 registers: the same operations in the same order.
template <bool Scale, bool Offset>
inline __m128d unpacked_pair(__m128d x, const __m128d (&codes)[kFastCodes], __m128d scale,
                             __m128d offset, __m128d nan) {
  const __m128d coded = _mm_or_pd(_mm_or_pd(_mm_cmpeq_pd(x, codes[0]), _mm_cmpeq_pd(x, codes[1])),
                                  _mm_or_pd(_mm_cmpeq_pd(x, codes[2]), _mm_cmpeq_pd(x, codes[3])));
  __m128d y = x;
  if (Scale) {
    y = _mm_mul_pd(y, scale);
  }
  if (Offset) {
    y = _mm_add_pd(y, offset);
  }
  return _mm_or_pd(_mm_and_pd(coded, nan), _mm_andnot_pd(coded, y));
}

// Row gates [0, 8 k) of decode_row for 8- and 16-bit codes; returns 8 k.
template <class Stored, bool Scale, bool Offset>
int64_t decode_eights(const Stored* in, int64_t gates, const Unpacking& u,
                      const double (&codes)[kFastCodes], double* out) {
  const __m128d sse_codes[kFastCodes] = {_mm_set1_pd(codes[0]), _mm_set1_pd(codes[1]),
                                         _mm_set1_pd(codes[2]), _mm_set1_pd(codes[3])};
  const __m128d scale = _mm_set1_pd(u.scale);
  const __m128d offset = _mm_set1_pd(u.offset);
  const __m128d nan = _mm_set1_pd(std::numeric_limits<double>::quiet_NaN());
  int64_t g = 0;
  for (; g + 8 <= gates; g += 8) {
    __m128d x[4];
    widened_eight(in + g, x);
    // written out: GCC at -O2 keeps a loop over the four pairs, at twice the cost
    _mm_storeu_pd(out + g, unpacked_pair<Scale, Offset>(x[0], sse_codes, scale, offset, nan));
    _mm_storeu_pd(out + g + 2, unpacked_pair<Scale, Offset>(x[1], sse_codes, scale, offset, nan));
    _mm_storeu_pd(out + g + 4, unpacked_pair<Scale, Offset>(x[2], sse_codes, scale, offset, nan));
    _mm_storeu_pd(out + g + 6, unpacked_pair<Scale, Offset>(x[3], sse_codes, scale, offset, nan));
  }
  return g;
}
#endif

// A row of `gates` stored values to out, with the first kFastCodes codes of u (NaN-padded
// in `codes`); the codes beyond them are tested in a second pass over the row.
template <class Stored, bool Scale, bool Offset>
void decode_row(const Stored* in, int64_t gates, const Unpacking& u,
                const double (&codes)[kFastCodes], double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Pair pair_codes[kFastCodes] = {pair_of(codes[0]), pair_of(codes[1]), pair_of(codes[2]),
                                       pair_of(codes[3])};
  int64_t g = 0;
#if defined(__SSE2__)
  if constexpr (kWidenedEightAtOnce<Stored>) {
    g = decode_eights<Stored, Scale, Offset>(in, gates, u, codes, out);
  }
#endif
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

// `count` consecutive stored values unpacked by u into out: a row of a moment, or the part of a
// row that one stored chunk holds (each gate's bits do not depend on where the span starts).
template <class Stored>
void decode_span(const Stored* in, int64_t count, const Unpacking& u, double* out) {
  double codes[kFastCodes];
  for (int k = 0; k < kFastCodes; ++k) {
    codes[k] = k < u.n_codes ? u.codes[k] : std::numeric_limits<double>::quiet_NaN();
  }
  if (u.has_scale && u.has_offset) {
    decode_row<Stored, true, true>(in, count, u, codes, out);
  } else if (u.has_scale) {
    decode_row<Stored, true, false>(in, count, u, codes, out);
  } else if (u.has_offset) {
    decode_row<Stored, false, true>(in, count, u, codes, out);
  } else {
    decode_row<Stored, false, false>(in, count, u, codes, out);
  }
}

// Output row r of a moment: stored row `source` of `gates` values, unpacked by u.
template <class Stored>
void decode_moment_row(const Stored* stored, int64_t gates, int64_t source, const Unpacking& u,
                       double* out_row) {
  decode_span(stored + source * gates, gates, u, out_row);
}

}  // namespace readers
