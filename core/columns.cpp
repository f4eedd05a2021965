#include "columns.hpp"

#include <immintrin.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <new>

#include "memory.hpp"
#include "simd.hpp"

namespace tarvex {
namespace {

constexpr std::size_t kLanes = 16;

float pair_distance(KernelLevel level, const float* x, const float* y, std::size_t dim,
                    Metric metric) noexcept {
  const float sum = metric == Metric::Euclidean ? sq_euclid_with(level, x, y, dim)
                                                : dot_with(level, x, y, dim);
  return distance_from_sum(metric, sum);
}

void column_pairwise(KernelLevel level, const float* values, std::size_t dim, Metric metric,
                     std::size_t c, std::size_t begin, std::size_t end, float* out) noexcept {
  for (std::size_t i = begin; i < end; ++i) {
    out[i - begin] = pair_distance(level, values + c * dim, values + i * dim, dim, metric);
  }
}

#pragma GCC push_options
#pragma GCC target("avx512f,popcnt")
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

using simd::term;

// Lane q of the result is the sum of row x[q] against row y[q] (x[0] against
// y[q] for every lane where OneRow), bit-identical to the pairwise kernel:
// one 16-lane accumulator per pair, then a 16 x 16 transpose so that the
// horizontal sums run as vector additions across pairs, lane 0 to 15 in
// order from +0.0. With one row, each loaded chunk of it serves sixteen pairs.
template <bool Squared, bool OneRow>
__attribute__((target("avx512f"))) __m512 sixteen_sums(const float* const* x, const float* const* y,
                                                      std::size_t m) noexcept {
  __m512 acc[kLanes];
  for (auto& r : acc) r = _mm512_setzero_ps();
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    const __m512 x0 = _mm512_loadu_ps(x[0] + c);
#pragma GCC unroll 16
    for (std::size_t q = 0; q < kLanes; ++q) {
      const __m512 xv = OneRow ? x0 : _mm512_loadu_ps(x[q] + c);
      acc[q] = _mm512_add_ps(acc[q], term<Squared>(xv, _mm512_loadu_ps(y[q] + c)));
    }
  }
  if (whole < m) {
    const auto mask = static_cast<__mmask16>((1u << (m - whole)) - 1);
    const __m512 x0 = _mm512_maskz_loadu_ps(mask, x[0] + whole);
#pragma GCC unroll 16
    for (std::size_t q = 0; q < kLanes; ++q) {
      const __m512 xv = OneRow ? x0 : _mm512_maskz_loadu_ps(mask, x[q] + whole);
      const __m512 t = term<Squared>(xv, _mm512_maskz_loadu_ps(mask, y[q] + whole));
      acc[q] = _mm512_mask_add_ps(acc[q], mask, acc[q], t);
    }
  }
  return simd::transposed_sums(acc);
}

template <bool Squared>
__attribute__((target("avx512f"))) void pairs_avx512(const float* values, std::size_t dim,
                                                    const std::uint32_t* cols,
                                                    const std::uint32_t* rows, std::size_t count,
                                                    float* out) noexcept {
  const float* x[kLanes];
  const float* y[kLanes];
  for (std::size_t k0 = 0; k0 < count; k0 += kLanes) {
    const std::size_t live = std::min(kLanes, count - k0);
    for (std::size_t q = 0; q < kLanes; ++q) {
      const std::size_t k = k0 + std::min(q, live - 1);
      x[q] = values + std::size_t{cols[k]} * dim;
      y[q] = values + std::size_t{rows[k]} * dim;
    }
    const __m512 d = simd::distances_from_sums<Squared>(sixteen_sums<Squared, false>(x, y, dim));
    _mm512_mask_storeu_ps(out + k0, static_cast<__mmask16>((1u << live) - 1), d);
  }
}

template <bool Squared>
__attribute__((target("avx512f"))) void column_avx512(const float* values, std::size_t dim,
                                                     std::size_t c, std::size_t begin,
                                                     std::size_t end, float* out) noexcept {
  const float* const x[1] = {values + c * dim};
  const float* y[kLanes];
  for (std::size_t i0 = begin; i0 < end; i0 += kLanes) {
    // Rows past the end repeat the last row; their lanes are not stored.
    for (std::size_t q = 0; q < kLanes; ++q) y[q] = values + std::min(i0 + q, end - 1) * dim;
    const __m512 d = simd::distances_from_sums<Squared>(sixteen_sums<Squared, true>(x, y, dim));
    const std::size_t count = std::min(kLanes, end - i0);
    _mm512_mask_storeu_ps(out + (i0 - begin), static_cast<__mmask16>((1u << count) - 1), d);
  }
}

__attribute__((target("avx512f"))) void below_masks_avx512(const float* a, const float* b,
                                                         std::size_t len,
                                                         std::uint64_t* masks) noexcept {
  std::size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    std::uint64_t m = 0;
#pragma GCC unroll 4
    for (std::size_t q = 0; q < 4; ++q) {
      const __m512 x = _mm512_loadu_ps(a + i + 16 * q), y = _mm512_loadu_ps(b + i + 16 * q);
      m |= static_cast<std::uint64_t>(_mm512_cmp_ps_mask(x, y, _CMP_LT_OQ)) << (16 * q);
    }
    masks[i / 64] = m;
  }
  if (i < len) {
    std::uint64_t m = 0;
    for (std::size_t q = 0; i + 16 * q < len; ++q) {
      const std::size_t left = len - i - 16 * q;
      const auto live = static_cast<__mmask16>(left >= 16 ? 0xFFFF : (1u << left) - 1);
      const __m512 x = _mm512_maskz_loadu_ps(live, a + i + 16 * q);
      const __m512 y = _mm512_maskz_loadu_ps(live, b + i + 16 * q);
      m |= static_cast<std::uint64_t>(_mm512_mask_cmp_ps_mask(live, x, y, _CMP_LT_OQ)) << (16 * q);
    }
    masks[i / 64] = m;
  }
}

__attribute__((target("avx512f,popcnt"))) std::size_t kept_below_avx512(
    const std::uint64_t* support, const float* packed, const float* b, std::size_t len,
    std::uint32_t* rows, float* values) noexcept {
  const __m512i lanes_up = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  std::size_t m = 0;
  for (std::size_t w = 0; w * 64 < len; ++w) {
    const std::uint64_t kept = support[w];
#pragma GCC unroll 4
    for (std::size_t q = 0; q < 4; ++q) {
      const auto lanes = static_cast<__mmask16>(kept >> (16 * q));
      const std::size_t base = w * 64 + 16 * q;
      // Each kept value goes to its row's lane; the others stay out of the test.
      const __m512 x = _mm512_maskz_expand_ps(lanes, _mm512_loadu_ps(packed));
      const __m512 y = _mm512_maskz_loadu_ps(lanes, b + base);
      const __mmask16 below = _mm512_mask_cmp_ps_mask(lanes, x, y, _CMP_LT_OQ);
      const __m512i at = _mm512_add_epi32(lanes_up, _mm512_set1_epi32(static_cast<int>(base)));
      _mm512_storeu_ps(values + m, _mm512_maskz_compress_ps(below, x));
      _mm512_storeu_si512(rows + m, _mm512_maskz_compress_epi32(below, at));
      m += static_cast<std::size_t>(_mm_popcnt_u32(below));
      packed += _mm_popcnt_u32(lanes);
    }
  }
  return m;
}

// A word of 64 rows at a time: the positions of its kept rows come from one
// byte compression, and their bounds are picked out of the word's 64 by two
// permutes, so the work follows the kept values rather than the rows (about
// twice as fast where a tenth of the rows are kept). With `Sum` it adds
// b[row] - value over those rows in lanes of doubles instead of listing them
// (kept_gain_below), and reports whether one was tiny.
template <bool Sum>
__attribute__((target("avx512f,avx512bw,avx512dq,avx512vbmi2,popcnt"))) std::size_t
kept_below_words(const std::uint64_t* support, const float* packed, const float* b,
                 std::size_t len, std::uint32_t* rows, float* values, float tiny,
                 double* sum) noexcept {
  const __m512i positions =
      _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                      44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                      25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                      5, 4, 3, 2, 1, 0);
  const __m512i upper = _mm512_set1_epi32(32);
  const __m512 floor = _mm512_set1_ps(tiny);
  __m512d acc[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  __mmask16 tiny_seen = 0;
  std::size_t m = 0;
  for (std::size_t w = 0; w * 64 < len; ++w) {
    const std::uint64_t kept = support[w];
    const std::size_t count = static_cast<std::size_t>(std::popcount(kept));
    const float* bw = b + w * 64;
    __m512 b0, b1, b2, b3;
    if (w * 64 + 64 <= len) {
      b0 = _mm512_loadu_ps(bw);
      b1 = _mm512_loadu_ps(bw + 16);
      b2 = _mm512_loadu_ps(bw + 32);
      b3 = _mm512_loadu_ps(bw + 48);
    } else {  // the bounds end with the rows
      const std::uint64_t live = (std::uint64_t{1} << (len - w * 64)) - 1;
      b0 = _mm512_maskz_loadu_ps(static_cast<__mmask16>(live), bw);
      b1 = _mm512_maskz_loadu_ps(static_cast<__mmask16>(live >> 16), bw + 16);
      b2 = _mm512_maskz_loadu_ps(static_cast<__mmask16>(live >> 32), bw + 32);
      b3 = _mm512_maskz_loadu_ps(static_cast<__mmask16>(live >> 48), bw + 48);
    }
    // In a register rather than through memory: a 16-byte load of a 64-byte
    // store waits for it (about a tenth of this kernel's time).
    const __m512i at = _mm512_maskz_compress_epi8(kept, positions);
    const __m512i base = _mm512_set1_epi32(static_cast<int>(w * 64));
    for (std::size_t g = 0; g < count; g += 16) {
      const __m128i quarter = g == 0    ? _mm512_castsi512_si128(at)
                              : g == 16 ? _mm512_extracti32x4_epi32(at, 1)
                              : g == 32 ? _mm512_extracti32x4_epi32(at, 2)
                                        : _mm512_extracti32x4_epi32(at, 3);
      const __m512i idx = _mm512_cvtepu8_epi32(quarter);
      const auto live =
          static_cast<__mmask16>(count - g >= 16 ? 0xFFFFu : (1u << (count - g)) - 1);
      const __m512 lo = _mm512_permutex2var_ps(b0, idx, b1);
      const __m512 hi = _mm512_permutex2var_ps(b2, idx, b3);
      const __m512 y = _mm512_mask_blend_ps(_mm512_test_epi32_mask(idx, upper), lo, hi);
      const __m512 x = _mm512_loadu_ps(packed + g);
      const __mmask16 below = _mm512_mask_cmp_ps_mask(live, x, y, _CMP_LT_OQ);
      if constexpr (Sum) {
        tiny_seen |= simd::add_gain_terms(acc, below, y, x, floor);
      } else {
        _mm512_storeu_ps(values + m, _mm512_maskz_compress_ps(below, x));
        _mm512_storeu_si512(rows + m,
                            _mm512_maskz_compress_epi32(below, _mm512_add_epi32(idx, base)));
        m += static_cast<std::size_t>(_mm_popcnt_u32(below));
      }
    }
    packed += count;
  }
  if constexpr (Sum) {
    *sum = _mm512_reduce_add_pd(_mm512_add_pd(acc[0], acc[1]));
    return tiny_seen == 0 ? 1 : 0;
  }
  return m;
}

std::size_t kept_below_bytes(const std::uint64_t* support, const float* packed, const float* b,
                             std::size_t len, std::uint32_t* rows, float* values) noexcept {
  return kept_below_words<false>(support, packed, b, len, rows, values, 0.0f, nullptr);
}

#pragma GCC pop_options

// ---- Cosine distances from above

constexpr std::size_t kAboveColumns = FusedDistances::kColumns;
// Listed rows per pass over V vectors of sixteen columns: for V = 4, their
// 6 x 4 accumulators, the four column vectors and a broadcast take 29 of the
// 32 registers; fewer vectors leave room for more rows, which keeps enough
// sums in flight.
template <std::size_t V>
constexpr std::size_t kAboveRowsFor = V >= 3 ? 6 : 8;

// Gamma for the roundings any product meets on its way through the exact
// tiles (its own, ceil(dim / 16) lane sums and sixteen horizontal ones) and
// through the fused kernel (dim fused steps), with room to spare: both
// kernels' sums lie within it of each other, relative to |x| |y|.
double rounding_share(std::size_t dim) noexcept {
  return rounding_gamma(dim + (dim + 15) / 16 + 40);
}

// The sum of squares in doubles, within dim * 2^-53 of its own: the factors
// 1 +- 2^-32 cover that for every dim the kernel takes.
__attribute__((target("avx512f"))) double squares_of(const float* x, std::size_t dim) noexcept {
  __m512d acc = _mm512_setzero_pd();
  std::size_t k = 0;
  for (; k + 8 <= dim; k += 8) {
    const __m512d v = _mm512_cvtps_pd(_mm256_loadu_ps(x + k));
    acc = _mm512_fmadd_pd(v, v, acc);
  }
  if (k < dim) {
    const auto mask = static_cast<__mmask16>((1u << (dim - k)) - 1);
    const __m512d v = _mm512_cvtps_pd(_mm512_castps512_ps256(_mm512_maskz_loadu_ps(mask, x + k)));
    acc = _mm512_fmadd_pd(v, v, acc);
  }
  return _mm512_reduce_add_pd(acc);
}

// From a row's sum of squares (squares_of): its length from above, and
// the float bounds of the sum itself.
double length_above(double squares) noexcept { return std::sqrt(squares) * (1.0 + 0x1p-32); }
float squares_above(double squares) noexcept { return round_up(squares * (1.0 + 0x1p-32)); }
float squares_below(double squares) noexcept { return round_down(squares * (1.0 - 0x1p-32)); }

// What the kernel knows of its columns.
struct FusedColumns {
  const float* turned;
  const float* norms;       // lengths from above
  const float* squares_up;  // squared lengths, under Euclidean distance
  const float* squares_down;
  const double* row_squares;  // the listed rows' squares_of, or null
};

#pragma GCC push_options
#pragma GCC target("avx512f,popcnt")

// The fused sum lies within share * |x| |y| of the exact product x.y, and
// so does the exact tiles' sum. Cosine: 1 - sum and the clamps round by at
// most a unit of 1 + |x| |y|. Euclidean: the squared distance lies between
// |x|^2 + |y|^2 - 2 sum -+ 2 share |x| |y|, and the exact tiles' sum of
// squares within share of it, relative (and a little, absolute, below the
// normal floats), before its square root. The bound of that from above
// (Up) or below, with every operation rounded that way, the margin's own
// always up. Only the first 16 V columns are computed.
template <bool Up, bool Euclidean, std::size_t V>
__attribute__((target("avx512f"))) void fused_avx512(const float* values, std::size_t dim,
                                                    const FusedColumns& columns,
                                                    const std::uint32_t* rows, std::size_t count,
                                                    float* out, std::size_t stride) noexcept {
  constexpr std::size_t kAboveRows = kAboveRowsFor<V>;
  constexpr int kUp = _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC;
  constexpr int kDown = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
  constexpr int kWay = Up ? kUp : kDown;
  const float* t = columns.turned;
  const double margin = rounding_share(dim) + 4.0 * kFloatUnit;
  const __m512 one = _mm512_set1_ps(1.0f), zero = _mm512_setzero_ps(), two = _mm512_set1_ps(2.0f);
  const __m512 margin_up = _mm512_set1_ps(round_up(margin));
  const __m512 inf = _mm512_set1_ps(std::numeric_limits<float>::infinity());
  // Past what dim products and squares lose below the normal floats (each at
  // most 2^-149), as a squared distance.
  const __m512 tiny = _mm512_set1_ps(0x1p-100f);
  // The exact tiles' sum of squares over the true one, from above or below.
  const __m512 share = _mm512_set1_ps(Up ? round_up(1.0 + 2.0 * margin) : round_down(1.0 - 2.0 * margin));
  for (std::size_t k0 = 0; k0 < count; k0 += kAboveRows) {
    const std::size_t live = std::min(kAboveRows, count - k0);
    // Rows past the count repeat the last one; their sums are not stored.
    const float* a[kAboveRows];
    for (std::size_t r = 0; r < kAboveRows; ++r) {
      a[r] = values + std::size_t{rows[k0 + std::min(r, live - 1)]} * dim;
    }
    // The listed rows lie anywhere in the matrix: the next pass's are
    // fetched while this pass reads its own, or their misses cost about a
    // sixth of the time.
    const float* ahead[kAboveRows];
    for (std::size_t r = 0; r < kAboveRows; ++r) {
      ahead[r] = values + std::size_t{rows[std::min(k0 + kAboveRows + r, count - 1)]} * dim;
    }
    __m512 acc[kAboveRows][V];
    for (auto& sums : acc) {
      for (auto& v : sums) v = _mm512_setzero_ps();
    }
    for (std::size_t k = 0; k < dim; ++k) {
      // Step k fetches line k / rows (wrapping) of row k % rows, which
      // reaches every line of every row within the pass.
      _mm_prefetch(reinterpret_cast<const char*>(ahead[k % kAboveRows] + (k / kAboveRows * 16) % dim),
                   _MM_HINT_T0);
      const float* tk = t + k * kAboveColumns;
      __m512 y[V];
#pragma GCC unroll 4
      for (std::size_t v = 0; v < V; ++v) y[v] = _mm512_load_ps(tk + 16 * v);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kAboveRows; ++r) {
        const __m512 x = _mm512_set1_ps(a[r][k]);
#pragma GCC unroll 4
        for (std::size_t v = 0; v < V; ++v) acc[r][v] = _mm512_fmadd_ps(x, y[v], acc[r][v]);
      }
    }
    for (std::size_t r = 0; r < live; ++r) {
      float* o = out + (k0 + r) * stride;
      // A row's own chain of products, finished after the pass, costs about
      // a sixth of a follow's kernel where few columns share the row.
      const double squares =
          columns.row_squares != nullptr ? columns.row_squares[rows[k0 + r]] : squares_of(a[r], dim);
      const __m512 by = _mm512_set1_ps(round_up(margin * length_above(squares)));
      __m512 own = zero;  // the row's squared length, under Euclidean distance
      if constexpr (Euclidean) own = _mm512_set1_ps(Up ? squares_above(squares) : squares_below(squares));
      for (std::size_t v = 0; v < V; ++v) {
        const __m512 lengths = _mm512_loadu_ps(columns.norms + 16 * v);
        if constexpr (Euclidean) {
          // No absolute margin but for products that leave the normal
          // floats, whose roundings the relative ones do not cover: every
          // length scales the bounds alike.
          const __m512 e = _mm512_fmadd_round_ps(by, lengths, tiny, kUp);
          const __m512 theirs = _mm512_loadu_ps((Up ? columns.squares_up : columns.squares_down) + 16 * v);
          const __m512 twice = _mm512_mul_ps(two, acc[r][v]);  // exact, or infinite
          const __m512 near = _mm512_sub_round_ps(_mm512_add_round_ps(own, theirs, kWay), twice, kWay);
          const __m512 wide = _mm512_mul_ps(two, e);
          __m512 sq = Up ? _mm512_add_round_ps(near, wide, kUp)
                         : _mm512_sub_round_ps(_mm512_sub_round_ps(near, wide, kDown), tiny, kDown);
          // A NaN (from infinite lengths) bounds nothing: +inf above, 0 below.
          sq = Up ? _mm512_mask_mov_ps(sq, _mm512_cmp_ps_mask(sq, sq, _CMP_UNORD_Q), inf)
                  : _mm512_max_ps(sq, zero);
          const __m512 d = _mm512_sqrt_round_ps(_mm512_mul_round_ps(sq, share, kWay), kWay);
          _mm512_storeu_ps(o + 16 * v, d);
        } else {
          const __m512 e = _mm512_fmadd_round_ps(by, lengths, margin_up, kUp);
          const __m512 near = _mm512_sub_round_ps(one, acc[r][v], kWay);
          const __m512 d = Up ? _mm512_add_round_ps(near, e, kUp) : _mm512_sub_round_ps(near, e, kWay);
          _mm512_storeu_ps(o + 16 * v, _mm512_min_ps(_mm512_max_ps(d, zero), two));
        }
      }
    }
  }
}

#pragma GCC diagnostic pop
#pragma GCC pop_options

// ---- The same bounds with 256-bit vectors, which have no per-operation
// rounding: each bound is formed to nearest and then widened past what those
// roundings can lose, so it stays a bound (a little looser, never tighter).

__attribute__((target("avx2,fma"))) double squares_of_avx2(const float* x,
                                                           std::size_t dim) noexcept {
  __m256d acc = _mm256_setzero_pd();
  std::size_t k = 0;
  for (; k + 4 <= dim; k += 4) {
    const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
    acc = _mm256_fmadd_pd(v, v, acc);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, acc);
  double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  for (; k < dim; ++k) sum = std::fma(double(x[k]), double(x[k]), sum);
  return sum;
}

// Float bits one step up (Up) or down from a non-negative finite value
// where the nearest float `f` of `r` lies on the wrong side of it.
template <bool Up>
__attribute__((target("avx2,fma"), always_inline)) inline __m128 directed_floats(
    __m256d r) noexcept {
  const __m128 f = _mm256_cvtpd_ps(r);
  const __m256d back = _mm256_cvtps_pd(f);
  const __m256d wrong =
      Up ? _mm256_cmp_pd(back, r, _CMP_LT_OQ) : _mm256_cmp_pd(back, r, _CMP_GT_OQ);
  // The four 64-bit comparisons narrowed to four 32-bit ones (all ones or zero).
  const __m128i step =
      _mm_castps_si128(_mm256_cvtpd_ps(_mm256_and_pd(wrong, _mm256_set1_pd(-1.0))));
  const __m128i one = _mm_srli_epi32(step, 31);  // 1 where wrong
  const __m128i bits = _mm_castps_si128(f);
  return _mm_castsi128_ps(Up ? _mm_add_epi32(bits, one) : _mm_sub_epi32(bits, one));
}

// Sixteen columns a block (two vectors), six listed rows a pass: their
// twelve accumulators, two column vectors and a broadcast take 15 of the 16
// registers. Cosine bounds are widened by 2^-21 (1 + |x| |y|), past the three
// roundings to nearest of 1 - sum and its margin (each at most 2^-24 of a
// value within 1 + |x| |y|); Euclidean ones are finished in doubles, widened
// by 2^-45 of every magnitude they met, and rounded outwards to float.
template <bool Up, bool Euclidean>
__attribute__((target("avx2,fma"))) void fused_avx2(const float* values, std::size_t dim,
                                                    const FusedColumns& columns, std::size_t blocks,
                                                    const std::uint32_t* rows, std::size_t count,
                                                    float* out, std::size_t stride) noexcept {
  constexpr std::size_t kRows = 6;
  const float* t = columns.turned;
  const double margin = rounding_share(dim) + 4.0 * kFloatUnit;
  const double widened = margin + 0x1p-21;
  const __m256 one = _mm256_set1_ps(1.0f), zero = _mm256_setzero_ps(), two = _mm256_set1_ps(2.0f);
  const __m256 margin_up = _mm256_set1_ps(round_up(widened));
  const __m256d inf = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  const __m256d zero_d = _mm256_setzero_pd(), tiny = _mm256_set1_pd(0x1p-100);
  const __m256d share = _mm256_set1_pd(Up ? 1.0 + 2.0 * margin : 1.0 - 2.0 * margin);
  const __m256d slack = _mm256_set1_pd(0x1p-45);
  const __m256d scale = _mm256_set1_pd(Up ? 1.0 + 0x1p-45 : 1.0 - 0x1p-45);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d most = _mm256_set1_pd(std::numeric_limits<float>::max());
  for (std::size_t k0 = 0; k0 < count; k0 += kRows) {
    const std::size_t live = std::min(kRows, count - k0);
    const float* a[kRows];
    for (std::size_t r = 0; r < kRows; ++r) {
      a[r] = values + std::size_t{rows[k0 + std::min(r, live - 1)]} * dim;
    }
    const float* ahead[kRows];
    for (std::size_t r = 0; r < kRows; ++r) {
      ahead[r] = values + std::size_t{rows[std::min(k0 + kRows + r, count - 1)]} * dim;
    }
    double squares[kRows];
    float by[kRows];
    for (std::size_t r = 0; r < live; ++r) {
      squares[r] = columns.row_squares != nullptr ? columns.row_squares[rows[k0 + r]]
                                                  : squares_of_avx2(a[r], dim);
      by[r] = round_up((Euclidean ? margin : widened) * length_above(squares[r]));
    }
    for (std::size_t b = 0; b < blocks; ++b) {
      __m256 acc[kRows][2];
      for (auto& sums : acc) sums[0] = sums[1] = _mm256_setzero_ps();
      for (std::size_t k = 0; k < dim; ++k) {
        if (b == 0) {
          _mm_prefetch(reinterpret_cast<const char*>(ahead[k % kRows] + (k / kRows * 16) % dim),
                       _MM_HINT_T0);
        }
        const float* tk = t + k * kAboveColumns + 16 * b;
        const __m256 y0 = _mm256_load_ps(tk), y1 = _mm256_load_ps(tk + 8);
#pragma GCC unroll 6
        for (std::size_t r = 0; r < kRows; ++r) {
          const __m256 x = _mm256_broadcast_ss(a[r] + k);
          acc[r][0] = _mm256_fmadd_ps(x, y0, acc[r][0]);
          acc[r][1] = _mm256_fmadd_ps(x, y1, acc[r][1]);
        }
      }
      // Read back by runtime row below: only constant indices keep the
      // accumulators in registers through the pass.
      alignas(32) float sums[kRows][16];
#pragma GCC unroll 6
      for (std::size_t r = 0; r < kRows; ++r) {
        _mm256_store_ps(sums[r], acc[r][0]);
        _mm256_store_ps(sums[r] + 8, acc[r][1]);
      }
      for (std::size_t r = 0; r < live; ++r) {
        float* o = out + (k0 + r) * stride + 16 * b;
        for (std::size_t v = 0; v < 2; ++v) {
          const std::size_t q = 16 * b + 8 * v;
          if constexpr (Euclidean) {
            const __m256d own = _mm256_set1_pd(squares[r] * (Up ? 1.0 + 0x1p-32 : 1.0 - 0x1p-32));
            for (std::size_t h = 0; h < 2; ++h) {
              const float* from = Up ? columns.squares_up : columns.squares_down;
              const __m256d sum = _mm256_cvtps_pd(_mm_load_ps(sums[r] + 8 * v + 4 * h));
              const __m256d e =
                  _mm256_fmadd_pd(_mm256_set1_pd(by[r]),
                                  _mm256_cvtps_pd(_mm_loadu_ps(columns.norms + q + 4 * h)), tiny);
              const __m256d theirs = _mm256_cvtps_pd(_mm_loadu_ps(from + q + 4 * h));
              const __m256d twice = _mm256_add_pd(sum, sum);
              const __m256d wide = _mm256_add_pd(e, e);
              const __m256d near = _mm256_sub_pd(_mm256_add_pd(own, theirs), twice);
              const __m256d met = _mm256_add_pd(
                  _mm256_add_pd(_mm256_add_pd(own, theirs), _mm256_andnot_pd(sign, twice)), wide);
              const __m256d off = _mm256_fmadd_pd(met, slack, tiny);
              __m256d sq = Up ? _mm256_add_pd(_mm256_add_pd(near, wide), off)
                              : _mm256_sub_pd(_mm256_sub_pd(near, wide), off);
              sq = Up ? _mm256_blendv_pd(sq, inf, _mm256_cmp_pd(sq, sq, _CMP_UNORD_Q))
                      : _mm256_max_pd(sq, zero_d);
              sq = _mm256_mul_pd(sq, share);
              // The exact tiles' float sum may overflow where this does not.
              if constexpr (Up) sq = _mm256_blendv_pd(sq, inf, _mm256_cmp_pd(sq, most, _CMP_GE_OQ));
              const __m256d d = _mm256_mul_pd(_mm256_sqrt_pd(sq), scale);
              _mm_storeu_ps(o + 8 * v + 4 * h, directed_floats<Up>(d));
            }
          } else {
            const __m256 lengths = _mm256_loadu_ps(columns.norms + q);
            const __m256 e = _mm256_fmadd_ps(_mm256_set1_ps(by[r]), lengths, margin_up);
            const __m256 near = _mm256_sub_ps(one, _mm256_load_ps(sums[r] + 8 * v));
            const __m256 d = Up ? _mm256_add_ps(near, e) : _mm256_sub_ps(near, e);
            _mm256_storeu_ps(o + 8 * v, _mm256_min_ps(_mm256_max_ps(d, zero), two));
          }
        }
      }
    }
  }
}

}  // namespace

namespace {

template <KernelLevel Level>
void column_at(const float* values, std::size_t dim, Metric metric, std::size_t c,
               std::size_t begin, std::size_t end, float* out) noexcept {
  if constexpr (Level == KernelLevel::Avx512) {
    if (metric == Metric::Euclidean) {
      column_avx512<true>(values, dim, c, begin, end, out);
    } else {
      column_avx512<false>(values, dim, c, begin, end, out);
    }
  } else {
    column_pairwise(Level, values, dim, metric, c, begin, end, out);
  }
}

void below_masks_plain(const float* a, const float* b, std::size_t len,
                       std::uint64_t* masks) noexcept {
  for (std::size_t w = 0; w * 64 < len; ++w) {
    std::uint64_t m = 0;
    const std::size_t end = std::min(len, w * 64 + 64);
    for (std::size_t i = w * 64; i < end; ++i) m |= static_cast<std::uint64_t>(a[i] < b[i]) << (i % 64);
    masks[w] = m;
  }
}

std::size_t kept_below_plain(const std::uint64_t* support, const float* packed, const float* b,
                             std::size_t len, std::uint32_t* rows, float* values) noexcept {
  std::size_t m = 0;
  for (std::size_t w = 0; w * 64 < len; ++w) {
    for (std::uint64_t kept = support[w]; kept != 0; kept &= kept - 1) {
      const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(kept));
      const float x = *packed++;
      if (x < b[i]) {
        rows[m] = static_cast<std::uint32_t>(i);
        values[m++] = x;
      }
    }
  }
  return m;
}

bool kept_gain_below_plain(const std::uint64_t* support, const float* packed, const float* b,
                           std::size_t len, float tiny, double* sum) noexcept {
  double acc = 0.0;
  bool fine = true;
  for (std::size_t w = 0; w * 64 < len; ++w) {
    for (std::uint64_t kept = support[w]; kept != 0; kept &= kept - 1) {
      const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(kept));
      const float x = *packed++;
      if (x < b[i]) {
        fine = fine && gain_term_fits(b[i], x, tiny);
        acc += static_cast<double>(b[i]) - static_cast<double>(x);
      }
    }
  }
  *sum = acc;
  return fine;
}

bool kept_gain_below_words(const std::uint64_t* support, const float* packed, const float* b,
                           std::size_t len, float tiny, double* sum) noexcept {
  return kept_below_words<true>(support, packed, b, len, nullptr, nullptr, tiny, sum) != 0;
}

// The gain terms of the first `count` (a multiple of 8) hits gathered.
__attribute__((target("avx2"), always_inline)) inline __m256 add_hits(__m256d* acc, const float* y,
                                                                      const float* x,
                                                                      std::size_t count,
                                                                      __m256 floor) noexcept {
  const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
  __m256 seen = _mm256_setzero_ps();
  for (std::size_t g = 0; g < count; g += 8) {
    seen = _mm256_or_ps(
        seen, simd::add_gain_terms8(acc, all, _mm256_load_ps(y + g), _mm256_load_ps(x + g), floor));
  }
  return seen;
}

// Eight rows at a time: their kept values spread back to their own lanes by
// one permutation, their bounds loaded as they lie, and the hits packed
// together by another. Listed, as kept_below gives them; or, with `Sum`,
// gathered a few hundred at a time and their terms added in lanes of
// doubles (few kept values gain, so only those pay for the doubles).
template <bool Sum>
__attribute__((target("avx2,fma,popcnt"))) std::size_t kept_below_avx2_lanes(
    const std::uint64_t* support, const float* packed, const float* b, std::size_t len,
    std::uint32_t* rows, float* values, float tiny, double* sum) noexcept {
  constexpr std::size_t kFlush = 512;
  const __m256i bit = _mm256_set_epi32(128, 64, 32, 16, 8, 4, 2, 1);
  const __m256i step = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  const __m256 floor = _mm256_set1_ps(tiny);
  __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
  __m256 tiny_seen = _mm256_setzero_ps();
  alignas(32) float hit_x[kFlush + 72], hit_y[kFlush + 72];
  std::size_t held = 0;
  std::size_t m = 0;
  for (std::size_t w = 0; w * 64 < len; ++w) {
    const std::uint64_t kept = support[w];
    if (kept == 0) continue;
    for (std::size_t j = 0; j < 8; ++j) {
      const auto bits = static_cast<unsigned>(kept >> (8 * j)) & 0xFFu;
      if (bits == 0) continue;
      const __m256i lanes =
          _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), bit), bit);
      // Only kept rows' bounds are read where the rows end: they lie below len.
      const float* bj = b + w * 64 + 8 * j;
      const __m256 y = w * 64 + 64 <= len ? _mm256_loadu_ps(bj) : _mm256_maskload_ps(bj, lanes);
      const __m256 x = _mm256_permutevar8x32_ps(_mm256_loadu_ps(packed),
                                                simd::lane_table(simd::kLaneTables.expand, bits));
      packed += std::popcount(bits);
      const __m256 below =
          _mm256_and_ps(_mm256_castsi256_ps(lanes), _mm256_cmp_ps(x, y, _CMP_LT_OQ));
      const auto hits = static_cast<unsigned>(_mm256_movemask_ps(below));
      const __m256i order = simd::lane_table(simd::kLaneTables.compress, hits);
      if constexpr (Sum) {
        _mm256_storeu_ps(hit_x + held, _mm256_permutevar8x32_ps(x, order));
        _mm256_storeu_ps(hit_y + held, _mm256_permutevar8x32_ps(y, order));
        held += static_cast<std::size_t>(std::popcount(hits));
      } else {
        _mm256_storeu_ps(values + m, _mm256_permutevar8x32_ps(x, order));
        const __m256i at =
            _mm256_add_epi32(step, _mm256_set1_epi32(static_cast<int>(w * 64 + 8 * j)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + m),
                            _mm256_permutevar8x32_epi32(at, order));
        m += static_cast<std::size_t>(std::popcount(hits));
      }
    }
    if constexpr (Sum) {
      if (held >= kFlush) {
        const std::size_t whole = held / 8 * 8;
        tiny_seen = _mm256_or_ps(tiny_seen, add_hits(acc, hit_y, hit_x, whole, floor));
        for (std::size_t k = whole; k < held; ++k) {
          hit_x[k - whole] = hit_x[k];
          hit_y[k - whole] = hit_y[k];
        }
        held -= whole;
      }
    }
  }
  if constexpr (Sum) {
    // Padding of 1 - 1: a term of +0.0 that is not tiny.
    for (std::size_t k = held; k % 8 != 0; ++k) hit_x[k] = hit_y[k] = 1.0f;
    tiny_seen = _mm256_or_ps(tiny_seen, add_hits(acc, hit_y, hit_x, (held + 7) / 8 * 8, floor));
    *sum = simd::lane_sum(acc);
    return _mm256_movemask_ps(tiny_seen) == 0 ? 1 : 0;
  }
  return m;
}

bool kept_gain_below_avx2(const std::uint64_t* support, const float* packed, const float* b,
                          std::size_t len, float tiny, double* sum) noexcept {
  return kept_below_avx2_lanes<true>(support, packed, b, len, nullptr, nullptr, tiny, sum) != 0;
}

std::size_t kept_below_avx2(const std::uint64_t* support, const float* packed, const float* b,
                            std::size_t len, std::uint32_t* rows, float* values) noexcept {
  return kept_below_avx2_lanes<false>(support, packed, b, len, rows, values, 0.0f, nullptr);
}

using KeptBelow = std::size_t (*)(const std::uint64_t*, const float*, const float*, std::size_t,
                                  std::uint32_t*, float*) noexcept;
using KeptGainBelow = bool (*)(const std::uint64_t*, const float*, const float*, std::size_t,
                               float, double*) noexcept;

KeptGainBelow kept_gain_below_for(KernelLevel level) noexcept {
  if (level == KernelLevel::Avx512 && has_avx512_byte_compress()) return kept_gain_below_words;
  return level == KernelLevel::Baseline ? kept_gain_below_plain : kept_gain_below_avx2;
}

KeptBelow kept_below_for(KernelLevel level, bool bytes) noexcept {
  if (level == KernelLevel::Baseline) return kept_below_plain;
  if (level == KernelLevel::Avx2) return kept_below_avx2;
  return bytes && has_avx512_byte_compress() ? kept_below_bytes : kept_below_avx512;
}

// The column family's builds, indexed by KernelLevel.
struct ColumnKernels {
  void (*column)(const float*, std::size_t, Metric, std::size_t, std::size_t, std::size_t,
                 float*) noexcept;
  void (*below)(const float*, const float*, std::size_t, std::uint64_t*) noexcept;
};

constexpr ColumnKernels kColumnKernels[] = {
    {column_at<KernelLevel::Baseline>, below_masks_plain},
    {column_at<KernelLevel::Avx2>, below_masks_plain},
    {column_at<KernelLevel::Avx512>, below_masks_avx512},
};

const ColumnKernels& kernels(KernelLevel level) noexcept {
  return kColumnKernels[static_cast<int>(level)];
}

const ColumnKernels& active_kernels() noexcept {
  static const ColumnKernels& table = kernels(active_kernel_level());
  return table;
}

}  // namespace

void distance_column_with(KernelLevel level, const float* values, std::size_t dim, Metric metric,
                          std::size_t c, std::size_t begin, std::size_t end, float* out) noexcept {
  if (begin >= end) return;
  kernels(level).column(values, dim, metric, c, begin, end, out);
  // A row's distance to itself is 0 by definition, not 1 - dot(x, x).
  if (c >= begin && c < end) out[c - begin] = 0.0f;
}

void distance_column(const float* values, std::size_t dim, Metric metric, std::size_t c,
                     std::size_t begin, std::size_t end, float* out) noexcept {
  if (begin >= end) return;
  active_kernels().column(values, dim, metric, c, begin, end, out);
  if (c >= begin && c < end) out[c - begin] = 0.0f;
}

void distance_pairs(const float* values, std::size_t dim, Metric metric, const std::uint32_t* cols,
                    const std::uint32_t* rows, std::size_t count, float* out) noexcept {
  if (count == 0) return;
  const KernelLevel level = active_kernel_level();
  if (level == KernelLevel::Avx512) {
    if (metric == Metric::Euclidean) {
      pairs_avx512<true>(values, dim, cols, rows, count, out);
    } else {
      pairs_avx512<false>(values, dim, cols, rows, count, out);
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) {
      out[k] = pair_distance(level, values + std::size_t{cols[k]} * dim,
                             values + std::size_t{rows[k]} * dim, dim, metric);
    }
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (rows[k] == cols[k]) out[k] = 0.0f;
  }
}

namespace {

void columns4(const float* values, std::size_t dim, Metric metric,
              const std::size_t (&cols)[kTileRows], std::size_t begin, std::size_t end,
              const std::uint32_t* listed, float* out, std::size_t stride) noexcept {
  const KernelLevel level = active_kernel_level();
  if (begin >= end || rows4_with(level, values, dim, metric, cols, begin, end, listed, out, stride)) {
    return;
  }
  const auto index = [&](std::size_t r) -> std::size_t {
    return listed != nullptr ? listed[r - begin] : r;
  };
  const float* b[kTileRows];
  for (std::size_t q = 0; q < kTileRows; ++q) b[q] = values + cols[q] * dim;
  const float* a[kTileRows];
  float sums[kTileRows * kTileRows];
  for (std::size_t i0 = begin; i0 < end; i0 += kTileRows) {
    for (std::size_t p = 0; p < kTileRows; ++p) a[p] = values + index(std::min(i0 + p, end - 1)) * dim;
    if (metric == Metric::Euclidean) {
      sq_euclid_tile_with(level, a, b, dim, sums);
    } else {
      dot_tile_with(level, a, b, dim, sums);
    }
    const std::size_t rows = std::min(kTileRows, end - i0);
    for (std::size_t p = 0; p < rows; ++p) {
      float* row = out + (i0 + p - begin) * stride;
      for (std::size_t q = 0; q < kTileRows; ++q) {
        row[q] = index(i0 + p) == cols[q] ? 0.0f : distance_from_sum(metric, sums[kTileRows * p + q]);
      }
    }
  }
}

}  // namespace

void distance_columns4(const float* values, std::size_t dim, Metric metric,
                       const std::size_t (&cols)[kTileRows], std::size_t begin, std::size_t end,
                       float* out, std::size_t stride) noexcept {
  columns4(values, dim, metric, cols, begin, end, nullptr, out, stride);
}

void distance_columns4_listed(const float* values, std::size_t dim, Metric metric,
                              const std::size_t (&cols)[kTileRows], const std::uint32_t* rows,
                              std::size_t count, float* out, std::size_t stride) noexcept {
  columns4(values, dim, metric, cols, 0, count, rows, out, stride);
}

bool FusedDistances::available(std::size_t dim) noexcept {
  return active_kernel_level() != KernelLevel::Baseline && dim > 0 && dim <= (std::size_t{1} << 16);
}

namespace {
double squares_for(const float* x, std::size_t dim) noexcept {
  static const auto chosen =
      active_kernel_level() == KernelLevel::Avx512 ? squares_of : squares_of_avx2;
  return chosen(x, dim);
}
}  // namespace

void row_squares(const float* values, std::size_t n, std::size_t dim, double* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = squares_for(values + i * dim, dim);
}

FusedDistances::FusedDistances(const float* values, std::size_t dim, Metric metric,
                               const std::size_t* cols, std::size_t count, const float* rows,
                               const double* squares)
    : values_(rows != nullptr ? rows : values),
      squares_(squares),
      dim_(dim),
      columns_(std::min(count, kColumns)),
      storage_(dim * kColumns + 16, 0.0f),
      euclidean_(metric == Metric::Euclidean) {
  float* t = storage_.data() + (turned() - storage_.data());
  for (std::size_t q = 0; q < kColumns; ++q) {
    norms_[q] = squares_up_[q] = squares_down_[q] = 0.0f;
    if (q >= count) continue;
    const float* y = values + cols[q] * dim;
    for (std::size_t k = 0; k < dim; ++k) t[k * kColumns + q] = y[k];
    const double squares = squares_for(y, dim);
    norms_[q] = round_up(length_above(squares));
    squares_up_[q] = squares_above(squares);
    squares_down_[q] = squares_below(squares);
  }
}

const float* FusedDistances::turned() const noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(storage_.data());
  return storage_.data() + (64 - at % 64) % 64 / sizeof(float);
}

namespace {

// The kernel for as many vectors of sixteen as `columns` takes.
template <bool Up, bool Euclidean>
void fused_for(std::size_t columns, const float* values, std::size_t dim,
               const FusedColumns& from, const std::uint32_t* rows, std::size_t count, float* out,
               std::size_t stride) noexcept {
  static const bool wide = active_kernel_level() == KernelLevel::Avx512;
  if (!wide) {
    fused_avx2<Up, Euclidean>(values, dim, from, std::max<std::size_t>(1, (columns + 15) / 16),
                              rows, count, out, stride);
    return;
  }
  switch ((columns + 15) / 16) {
    case 0:
    case 1: fused_avx512<Up, Euclidean, 1>(values, dim, from, rows, count, out, stride); break;
    case 2: fused_avx512<Up, Euclidean, 2>(values, dim, from, rows, count, out, stride); break;
    case 3: fused_avx512<Up, Euclidean, 3>(values, dim, from, rows, count, out, stride); break;
    default: fused_avx512<Up, Euclidean, 4>(values, dim, from, rows, count, out, stride); break;
  }
}

}  // namespace

void FusedDistances::above(const std::uint32_t* rows, std::size_t count, float* out,
                           std::size_t stride) const noexcept {
  const FusedColumns from{turned(), norms_, squares_up_, squares_down_, squares_};
  if (euclidean_) {
    fused_for<true, true>(columns_, values_, dim_, from, rows, count, out, stride);
  } else {
    fused_for<true, false>(columns_, values_, dim_, from, rows, count, out, stride);
  }
}

void FusedDistances::below(const std::uint32_t* rows, std::size_t count, float* out,
                           std::size_t stride) const noexcept {
  const FusedColumns from{turned(), norms_, squares_up_, squares_down_, squares_};
  if (euclidean_) {
    fused_for<false, true>(columns_, values_, dim_, from, rows, count, out, stride);
  } else {
    fused_for<false, false>(columns_, values_, dim_, from, rows, count, out, stride);
  }
}

void below_masks(const float* a, const float* b, std::size_t len, std::uint64_t* masks) noexcept {
  active_kernels().below(a, b, len, masks);
}

void below_masks_with(KernelLevel level, const float* a, const float* b, std::size_t len,
                      std::uint64_t* masks) noexcept {
  kernels(level).below(a, b, len, masks);
}

std::size_t kept_below(const std::uint64_t* support, const float* packed, const float* b,
                       std::size_t len, std::uint32_t* rows, float* values) noexcept {
  static const KeptBelow chosen = kept_below_for(active_kernel_level(), true);
  return chosen(support, packed, b, len, rows, values);
}

bool kept_gain_below(const std::uint64_t* support, const float* packed, const float* b,
                     std::size_t len, float tiny, double* sum) noexcept {
  static const KeptGainBelow chosen = kept_gain_below_for(active_kernel_level());
  return chosen(support, packed, b, len, tiny, sum);
}

bool kept_gain_below_with(KernelLevel level, const std::uint64_t* support, const float* packed,
                          const float* b, std::size_t len, float tiny, double* sum) noexcept {
  return kept_gain_below_for(level)(support, packed, b, len, tiny, sum);
}

std::size_t kept_below_with(KernelLevel level, bool bytes, const std::uint64_t* support,
                            const float* packed, const float* b, std::size_t len,
                            std::uint32_t* rows, float* values) noexcept {
  return kept_below_for(level, bytes)(support, packed, b, len, rows, values);
}

std::size_t default_column_budget() noexcept {
  const std::uint64_t memory = process_memory_limit();
  if (memory == 0) return std::size_t{1} << 30;  // nothing known
  return static_cast<std::size_t>(std::min<std::uint64_t>(memory / 4, ~std::size_t{0}));
}

bool MemoryLedger::charge(std::size_t bytes) noexcept {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > budget() || used > budget() - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  std::size_t peak = peak_.load(std::memory_order_relaxed);
  while (peak < used + bytes &&
         !peak_.compare_exchange_weak(peak, used + bytes, std::memory_order_relaxed)) {
  }
  return true;
}

ColumnCache::ColumnCache(std::size_t n, MemoryLedger& ledger) noexcept
    : n_(n), ledger_(ledger), slots_(new std::atomic<float*>[n]) {
  for (std::size_t c = 0; c < n; ++c) slots_[c].store(nullptr, std::memory_order_relaxed);
}

ColumnCache::~ColumnCache() {
  for (std::size_t c = 0; c < n_; ++c) delete[] slots_[c].load(std::memory_order_relaxed);
}

std::unique_ptr<float[]> ColumnCache::reserve() {
  const std::size_t bytes = n_ * sizeof(float);
  if (!ledger_.charge(bytes)) return nullptr;
  try {
    return std::unique_ptr<float[]>(new float[n_]);
  } catch (const std::bad_alloc&) {
    ledger_.refund(bytes);
    return nullptr;
  }
}

const float* ColumnCache::publish(std::size_t c, std::unique_ptr<float[]> filled) noexcept {
  float* expected = nullptr;
  if (slots_[c].compare_exchange_strong(expected, filled.get(), std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
    return filled.release();
  }
  ledger_.refund(n_ * sizeof(float));
  return expected;
}

}  // namespace tarvex
