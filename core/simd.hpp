// AVX-512 and AVX2 helpers shared by the tile and column kernels.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>

namespace tarvex::simd {

// One term of a dot product, or of a squared distance, for sixteen lanes.
template <bool Squared>
__attribute__((target("avx512f"), always_inline)) inline __m512 term(__m512 x, __m512 y) noexcept {
  if constexpr (Squared) {
    const __m512 e = _mm512_sub_ps(x, y);
    return _mm512_mul_ps(e, e);
  } else {
    return _mm512_mul_ps(x, y);
  }
}

// t[l] lane p = rows[p] lane l: a 16 x 16 transpose.
__attribute__((target("avx512f"), always_inline)) inline void transpose16(
    const __m512 (&rows)[16], __m512 (&t)[16]) noexcept {
  // Interleave 32-bit, then 64-bit elements within 128-bit lanes: v[4k + e]
  // holds element 4q + e of rows 4k .. 4k + 3 in 128-bit lane q.
  __m512 u[16], v[16];
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    u[2 * k] = _mm512_unpacklo_ps(rows[2 * k], rows[2 * k + 1]);
    u[2 * k + 1] = _mm512_unpackhi_ps(rows[2 * k], rows[2 * k + 1]);
  }
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    const __m512d lo0 = _mm512_castps_pd(u[4 * k]), lo1 = _mm512_castps_pd(u[4 * k + 2]);
    const __m512d hi0 = _mm512_castps_pd(u[4 * k + 1]), hi1 = _mm512_castps_pd(u[4 * k + 3]);
    v[4 * k] = _mm512_castpd_ps(_mm512_unpacklo_pd(lo0, lo1));
    v[4 * k + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(lo0, lo1));
    v[4 * k + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(hi0, hi1));
    v[4 * k + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(hi0, hi1));
  }
  // Then a 4 x 4 transpose of 128-bit lanes.
#pragma GCC unroll 4
  for (int e = 0; e < 4; ++e) {
    const __m512 w0 = _mm512_shuffle_f32x4(v[e], v[4 + e], 0x44);
    const __m512 w1 = _mm512_shuffle_f32x4(v[e], v[4 + e], 0xEE);
    const __m512 w2 = _mm512_shuffle_f32x4(v[8 + e], v[12 + e], 0x44);
    const __m512 w3 = _mm512_shuffle_f32x4(v[8 + e], v[12 + e], 0xEE);
    t[e] = _mm512_shuffle_f32x4(w0, w2, 0x88);
    t[4 + e] = _mm512_shuffle_f32x4(w0, w2, 0xDD);
    t[8 + e] = _mm512_shuffle_f32x4(w1, w3, 0x88);
    t[12 + e] = _mm512_shuffle_f32x4(w1, w3, 0xDD);
  }
}

// Lane p of the result is acc[p][0] + acc[p][1] + ... + acc[p][15], added
// left to right from +0.0: a 16 x 16 transpose turns the sixteen horizontal
// sums into vector additions across pairs without changing any pair's order.
__attribute__((target("avx512f"), always_inline)) inline __m512 transposed_sums(
    const __m512 (&acc)[16]) noexcept {
  __m512 t[16];
  transpose16(acc, t);
  __m512 s = _mm512_setzero_ps();
#pragma GCC unroll 16
  for (int l = 0; l < 16; ++l) s = _mm512_add_ps(s, t[l]);
  return s;
}

// distance_from_sum for sixteen lanes, the same operations lane by lane.
template <bool Squared>
__attribute__((target("avx512f"), always_inline)) inline __m512 distances_from_sums(
    __m512 s) noexcept {
  if constexpr (Squared) {
    return _mm512_sqrt_ps(s);
  } else {
    const __m512 zero = _mm512_setzero_ps(), two = _mm512_set1_ps(2.0f);
    __m512 d = _mm512_sub_ps(_mm512_set1_ps(1.0f), s);
    d = _mm512_mask_mov_ps(d, _mm512_cmp_ps_mask(d, zero, _CMP_LT_OQ), zero);
    return _mm512_mask_mov_ps(d, _mm512_cmp_ps_mask(d, two, _CMP_GT_OQ), two);
  }
}

// For the lanes in `gains`: adds bound - value, in doubles, to acc[0] (lanes
// 0 to 7) and acc[1] (8 to 15), and returns those whose bound, or whose value
// if not zero, lies below `tiny` (the sums of facility-location gains).
__attribute__((target("avx512f,avx512dq"), always_inline)) inline __mmask16 add_gain_terms(
    __m512d* acc, __mmask16 gains, __m512 bound, __m512 value, __m512 tiny) noexcept {
  for (int h = 0; h < 2; ++h) {
    const __m512d b = _mm512_cvtps_pd(h == 0 ? _mm512_castps512_ps256(bound)
                                             : _mm512_extractf32x8_ps(bound, 1));
    const __m512d v = _mm512_cvtps_pd(h == 0 ? _mm512_castps512_ps256(value)
                                             : _mm512_extractf32x8_ps(value, 1));
    const auto half = static_cast<__mmask8>(gains >> (8 * h));
    acc[h] = _mm512_mask_add_pd(acc[h], half, acc[h], _mm512_sub_pd(b, v));
  }
  return _mm512_mask_cmp_ps_mask(gains, bound, tiny, _CMP_LT_OQ) |
         (_mm512_mask_cmp_ps_mask(gains, value, tiny, _CMP_LT_OQ) &
          _mm512_mask_cmp_ps_mask(gains, value, _mm512_setzero_ps(), _CMP_NEQ_OQ));
}

// t[l] lane p = rows[p] lane l: an 8 x 8 transpose.
__attribute__((target("avx2"), always_inline)) inline void transpose8(const __m256 (&r)[8],
                                                                      __m256 (&t)[8]) {
  __m256 u[8], v[8];
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    u[2 * k] = _mm256_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    u[2 * k + 1] = _mm256_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
#pragma GCC unroll 2
  for (int k = 0; k < 2; ++k) {
    v[4 * k] = _mm256_shuffle_ps(u[4 * k], u[4 * k + 2], 0x44);
    v[4 * k + 1] = _mm256_shuffle_ps(u[4 * k], u[4 * k + 2], 0xEE);
    v[4 * k + 2] = _mm256_shuffle_ps(u[4 * k + 1], u[4 * k + 3], 0x44);
    v[4 * k + 3] = _mm256_shuffle_ps(u[4 * k + 1], u[4 * k + 3], 0xEE);
  }
#pragma GCC unroll 4
  for (int e = 0; e < 4; ++e) {
    t[e] = _mm256_permute2f128_ps(v[e], v[4 + e], 0x20);
    t[4 + e] = _mm256_permute2f128_ps(v[e], v[4 + e], 0x31);
  }
}

// ---- 256-bit vectors, which have no masks: lane tables by an 8-bit mask m.
struct LaneTables {
  // Lane l reads element popcount(m & ((1 << l) - 1)) of a packed run: the
  // run spread back to the set lanes (an expand).
  alignas(32) std::int32_t expand[256][8];
  // Lane j reads the lane of the j-th set bit (a compress; later lanes 0).
  alignas(32) std::int32_t compress[256][8];
  constexpr LaneTables() : expand{}, compress{} {
    for (int m = 0; m < 256; ++m) {
      int j = 0;
      for (int l = 0; l < 8; ++l) {
        expand[m][l] = std::popcount(static_cast<unsigned>(m & ((1 << l) - 1)));
        if ((m >> l) & 1) compress[m][j++] = l;
      }
    }
  }
};
inline constexpr LaneTables kLaneTables;

__attribute__((target("avx2"), always_inline)) inline __m256i lane_table(
    const std::int32_t (&table)[256][8], unsigned m) noexcept {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(table[m]));
}

// add_gain_terms for eight lanes, `gains` all ones where a lane gains: adds
// bound - value in doubles to acc[0] (lanes 0 to 3) and acc[1], and returns
// all ones where a gaining bound, or a gaining value if not zero, lies below
// `tiny`.
__attribute__((target("avx2"), always_inline)) inline __m256 add_gain_terms8(
    __m256d* acc, __m256 gains, __m256 bound, __m256 value, __m256 tiny) noexcept {
#pragma GCC unroll 2
  for (int h = 0; h < 2; ++h) {
    const __m128 b = h == 0 ? _mm256_castps256_ps128(bound) : _mm256_extractf128_ps(bound, 1);
    const __m128 v = h == 0 ? _mm256_castps256_ps128(value) : _mm256_extractf128_ps(value, 1);
    const __m128i g =
        _mm_castps_si128(h == 0 ? _mm256_castps256_ps128(gains) : _mm256_extractf128_ps(gains, 1));
    const __m256d keep = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(g));
    acc[h] = _mm256_add_pd(
        acc[h], _mm256_and_pd(keep, _mm256_sub_pd(_mm256_cvtps_pd(b), _mm256_cvtps_pd(v))));
  }
  const __m256 small =
      _mm256_or_ps(_mm256_cmp_ps(bound, tiny, _CMP_LT_OQ),
                   _mm256_and_ps(_mm256_cmp_ps(value, tiny, _CMP_LT_OQ),
                                 _mm256_cmp_ps(value, _mm256_setzero_ps(), _CMP_NEQ_OQ)));
  return _mm256_and_ps(gains, small);
}

// The sum of acc[0] and acc[1]'s lanes, in any order.
__attribute__((target("avx2"), always_inline)) inline double lane_sum(const __m256d* acc) noexcept {
  const __m256d s = _mm256_add_pd(acc[0], acc[1]);
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

}  // namespace tarvex::simd
