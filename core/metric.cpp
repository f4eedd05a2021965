#include "metric.hpp"

#include <cpuid.h>
#include <cstdlib>
#include <immintrin.h>

#include "simd.hpp"

namespace tarvex {
namespace {

constexpr std::size_t kLanes = 16;

template <bool Squared>
inline float term(float a, float b) noexcept {
  if constexpr (Squared) {
    const float e = a - b;
    return e * e;
  } else {
    return a * b;
  }
}

// Tail into acc[0..14], then the left-to-right horizontal sum from +0.0.
template <bool Squared>
inline float finish(float (&acc)[kLanes], const float* a, const float* b, std::size_t done,
                    std::size_t m) noexcept {
  for (std::size_t r = 0; done + r < m; ++r) acc[r] += term<Squared>(a[done + r], b[done + r]);
  float s = 0.0f;
  for (std::size_t l = 0; l < kLanes; ++l) s += acc[l];
  return s;
}

template <bool Squared>
float kernel_baseline(const float* a, const float* b, std::size_t m) noexcept {
  float acc[kLanes] = {};
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] += term<Squared>(a[c + l], b[c + l]);
  }
  return finish<Squared>(acc, a, b, whole, m);
}

#pragma GCC push_options
#pragma GCC target("avx,avx2")
// acc[0..7] in one register, acc[8..15] in the other; chunks in order.
template <bool Squared>
__attribute__((target("avx,avx2"))) float kernel_avx2(const float* a, const float* b,
                                                      std::size_t m) noexcept {
  __m256 lo = _mm256_setzero_ps();
  __m256 hi = _mm256_setzero_ps();
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    __m256 a0 = _mm256_loadu_ps(a + c), a1 = _mm256_loadu_ps(a + c + 8);
    __m256 b0 = _mm256_loadu_ps(b + c), b1 = _mm256_loadu_ps(b + c + 8);
    __m256 t0, t1;
    if constexpr (Squared) {
      const __m256 e0 = _mm256_sub_ps(a0, b0), e1 = _mm256_sub_ps(a1, b1);
      t0 = _mm256_mul_ps(e0, e0);
      t1 = _mm256_mul_ps(e1, e1);
    } else {
      t0 = _mm256_mul_ps(a0, b0);
      t1 = _mm256_mul_ps(a1, b1);
    }
    lo = _mm256_add_ps(lo, t0);
    hi = _mm256_add_ps(hi, t1);
  }
  float acc[kLanes];
  _mm256_storeu_ps(acc, lo);
  _mm256_storeu_ps(acc + 8, hi);
  return finish<Squared>(acc, a, b, whole, m);
}
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
// The sixteen accumulators are exactly one 16-lane register.
template <bool Squared>
__attribute__((target("avx512f"))) float kernel_avx512(const float* a, const float* b,
                                                       std::size_t m) noexcept {
  __m512 acc_v = _mm512_setzero_ps();
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    const __m512 av = _mm512_loadu_ps(a + c), bv = _mm512_loadu_ps(b + c);
    __m512 t;
    if constexpr (Squared) {
      const __m512 e = _mm512_sub_ps(av, bv);
      t = _mm512_mul_ps(e, e);
    } else {
      t = _mm512_mul_ps(av, bv);
    }
    acc_v = _mm512_add_ps(acc_v, t);
  }
  float acc[kLanes];
  _mm512_storeu_ps(acc, acc_v);
  return finish<Squared>(acc, a, b, whole, m);
}
#pragma GCC pop_options

std::uint64_t read_xcr0() noexcept {
  std::uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

struct Leaf7 {
  unsigned ebx = 0, ecx = 0;  // zero where the leaf is missing
};

const Leaf7& leaf7() noexcept {
  static const Leaf7 words = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return Leaf7{};
    return Leaf7{ebx, ecx};
  }();
  return words;
}

// Tests what each build really executes, not a list of unrelated features:
// some hypervisors hide LZCNT while exposing full-width vector units.
KernelLevel detect_level() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return KernelLevel::Baseline;
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  if (!osxsave || !avx) return KernelLevel::Baseline;
  const std::uint64_t xcr0 = read_xcr0();
  if ((xcr0 & 0x6) != 0x6) return KernelLevel::Baseline;  // XMM and YMM state
  const bool avx2 = leaf7().ebx & (1u << 5);
  const bool avx512f = leaf7().ebx & (1u << 16);
  if (!avx2) return KernelLevel::Baseline;
  if (avx512f && (xcr0 & 0xe0) == 0xe0) return KernelLevel::Avx512;  // opmask, ZMM state
  return KernelLevel::Avx2;
}

using KernelFn = float (*)(const float*, const float*, std::size_t) noexcept;

struct KernelTable {
  KernelFn dot;
  KernelFn sq_euclid;
};

constexpr KernelTable kTables[] = {
    {kernel_baseline<false>, kernel_baseline<true>},
    {kernel_avx2<false>, kernel_avx2<true>},
    {kernel_avx512<false>, kernel_avx512<true>},
};

// The table of the process's one ARCH level; after the first call each kernel
// call pays one guard load and branch before the indirect call.
const KernelTable& active_table() noexcept {
  static const KernelTable& table = kTables[static_cast<int>(active_kernel_level())];
  return table;
}

}  // namespace

KernelLevel detected_kernel_level() noexcept {
  // ARCH: detected once per process; a function-local static is thread-safe.
  static const KernelLevel level = detect_level();
  return level;
}

bool has_avx512_vnni() noexcept { return (leaf7().ecx & (1u << 11)) != 0; }

bool has_avx512_byte_compress() noexcept {
  return (leaf7().ebx & (1u << 30)) != 0 && (leaf7().ecx & (1u << 6)) != 0;
}

std::optional<KernelLevel> kernel_level_named(std::string_view name) noexcept {
  for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512})
    if (name == kernel_level_name(level)) return level;
  return std::nullopt;
}

KernelLevel active_kernel_level() noexcept {
  static const KernelLevel level = [] {
    const KernelLevel detected = detected_kernel_level();
    const char* forced = std::getenv(kForceBuildVariable);
    if (forced == nullptr || *forced == '\0') return detected;
    const auto cap = kernel_level_named(forced);
    // A name this build does not know: the lowest, so a mistyped test run
    // still runs somewhere other than the top build rather than silently on it.
    const KernelLevel wanted = cap ? *cap : KernelLevel::Baseline;
    return static_cast<int>(wanted) < static_cast<int>(detected) ? wanted : detected;
  }();
  return level;
}

bool kernel_level_supported(KernelLevel level) noexcept {
  return static_cast<int>(level) <= static_cast<int>(detected_kernel_level());
}

const char* kernel_level_name(KernelLevel level) noexcept {
  switch (level) {
    case KernelLevel::Baseline: return "baseline";
    case KernelLevel::Avx2: return "avx2";
    case KernelLevel::Avx512: return "avx512";
  }
  return "unknown";
}

float dot(const float* a, const float* b, std::size_t m) noexcept {
  return active_table().dot(a, b, m);
}
float sq_euclid(const float* a, const float* b, std::size_t m) noexcept {
  return active_table().sq_euclid(a, b, m);
}
float dot(std::span<const float> a, std::span<const float> b) noexcept {
  return dot(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}
float sq_euclid(std::span<const float> a, std::span<const float> b) noexcept {
  return sq_euclid(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}

float dot_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept {
  return kTables[static_cast<int>(level)].dot(a, b, m);
}
float sq_euclid_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept {
  return kTables[static_cast<int>(level)].sq_euclid(a, b, m);
}

}  // namespace tarvex

// ---- Tiles of pairs ---------------------------------------------------------

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarvex {
namespace {

// The sixteen accumulators of the pairwise kernels.
constexpr std::size_t kAccLanes = 16;
constexpr std::size_t kTilePairs = kTileRows * kTileRows;
constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();
// Offsets inside one scan are kept in 32-bit lanes.
constexpr std::size_t kMaxScanSpan = std::size_t{1} << 30;

inline bool farther(float d, std::size_t i, std::size_t j, const BlockFarthest& best) noexcept {
  const auto k = total_order_key(d), kb = total_order_key(best.d);
  if (k != kb) return k > kb;
  return i != best.i ? i < best.i : j < best.j;
}

template <bool Squared>
void tile_baseline(const float* const* a, const float* const* b, std::size_t m,
                   float* out) noexcept {
  for (std::size_t p = 0; p < kTilePairs; ++p) {
    const float* x = a[p / kTileRows];
    const float* y = b[p % kTileRows];
    out[p] = Squared ? sq_euclid_with(KernelLevel::Baseline, x, y, m)
                     : dot_with(KernelLevel::Baseline, x, y, m);
  }
}

#pragma GCC push_options
#pragma GCC target("avx,avx2")
#ifdef __clang__
// Clang ignores GCC's target pragma; the tile's lambda needs the features too.
#pragma clang attribute push(__attribute__((target("avx,avx2"))), apply_to = function)
#endif

template <bool Squared>
__attribute__((target("avx,avx2"), always_inline)) inline __m256 term_avx2(__m256 x,
                                                                           __m256 y) noexcept {
  if constexpr (Squared) {
    const __m256 e = _mm256_sub_ps(x, y);
    return _mm256_mul_ps(e, e);
  } else {
    return _mm256_mul_ps(x, y);
  }
}

// Sixteen 8-lane registers cannot hold four by four pairs of two registers
// each, so the tile runs as four passes: two rows against all four columns,
// for accumulator lanes 0..7 and then 8..15. Each lane still receives its
// terms in chunk order, and the tail only ever adds to lanes below m mod 16.
template <bool Squared>
__attribute__((target("avx,avx2"))) void tile_avx2(const float* const* a, const float* const* b,
                                                   std::size_t m, float* out) noexcept {
  alignas(32) float lanes[kTilePairs][kAccLanes];
  const std::size_t whole = m / kAccLanes * kAccLanes;
  const int rest = static_cast<int>(m - whole);
  const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (std::size_t half = 0; half < kAccLanes; half += 8) {
    const __m256i tail_mask =
        _mm256_cmpgt_epi32(_mm256_set1_epi32(rest - static_cast<int>(half)), lane_index);
    for (std::size_t ra = 0; ra < kTileRows; ra += 2) {
      const float* x0 = a[ra] + half;
      const float* x1 = a[ra + 1] + half;
      const float* y0 = b[0] + half;
      const float* y1 = b[1] + half;
      const float* y2 = b[2] + half;
      const float* y3 = b[3] + half;
      __m256 acc[2][4];
      for (auto& r : acc)
        for (auto& c : r) c = _mm256_setzero_ps();
      const auto step = [&](__m256 u0, __m256 u1, const __m256 (&y)[4]) {
#pragma GCC unroll 4
        for (int q = 0; q < 4; ++q) {
          acc[0][q] = _mm256_add_ps(acc[0][q], term_avx2<Squared>(u0, y[q]));
          acc[1][q] = _mm256_add_ps(acc[1][q], term_avx2<Squared>(u1, y[q]));
        }
      };
      for (std::size_t c = 0; c < whole; c += kAccLanes) {
        const __m256 y[4] = {_mm256_loadu_ps(y0 + c), _mm256_loadu_ps(y1 + c),
                             _mm256_loadu_ps(y2 + c), _mm256_loadu_ps(y3 + c)};
        step(_mm256_loadu_ps(x0 + c), _mm256_loadu_ps(x1 + c), y);
      }
      if (rest > static_cast<int>(half)) {
        // Masked-off lanes load as zero and so add +0.0, which leaves every
        // value but -0.0 unchanged; a -0.0 turned +0.0 cannot change the
        // horizontal sum, which starts from +0.0.
        const __m256 y[4] = {
            _mm256_maskload_ps(y0 + whole, tail_mask), _mm256_maskload_ps(y1 + whole, tail_mask),
            _mm256_maskload_ps(y2 + whole, tail_mask), _mm256_maskload_ps(y3 + whole, tail_mask)};
        step(_mm256_maskload_ps(x0 + whole, tail_mask), _mm256_maskload_ps(x1 + whole, tail_mask),
             y);
      }
      for (int p = 0; p < 2; ++p)
        for (int q = 0; q < 4; ++q) _mm256_store_ps(lanes[(ra + p) * kTileRows + q] + half, acc[p][q]);
    }
  }
  // Each pair's horizontal sum left to right from +0.0; across pairs the
  // compiler may vectorise, which keeps every pair's order.
  float sums[kTilePairs] = {};
  for (std::size_t l = 0; l < kAccLanes; ++l) {
    for (std::size_t p = 0; p < kTilePairs; ++p) sums[p] += lanes[p][l];
  }
  for (std::size_t p = 0; p < kTilePairs; ++p) out[p] = sums[p];
}

#pragma GCC pop_options
#ifdef __clang__
#pragma clang attribute pop
#endif

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 flags the "undefined" pass-through operand inside its own unpack
// intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Lane p of the result is the sum of pair p = 4a + b, bit-identical to the
// pairwise kernel: sixteen accumulators of one 16-lane register each, then a
// 16 x 16 transpose so that the horizontal sums run as vector additions
// across pairs, lane 0 to 15 in order from +0.0.
template <bool Squared>
__attribute__((target("avx512f"), always_inline)) inline __m512 tile_sums_avx512(
    const float* a0, const float* a1, const float* a2, const float* a3, const float* const* b,
    std::size_t m) noexcept {
  __m512 acc[kTilePairs];
  for (auto& r : acc) r = _mm512_setzero_ps();
  const std::size_t whole = m / kAccLanes * kAccLanes;
  const float* b0 = b[0];
  const float* b1 = b[1];
  const float* b2 = b[2];
  const float* b3 = b[3];
  for (std::size_t c = 0; c < whole; c += kAccLanes) {
    const __m512 x0 = _mm512_loadu_ps(a0 + c), x1 = _mm512_loadu_ps(a1 + c);
    const __m512 x2 = _mm512_loadu_ps(a2 + c), x3 = _mm512_loadu_ps(a3 + c);
    const __m512 y[4] = {_mm512_loadu_ps(b0 + c), _mm512_loadu_ps(b1 + c),
                         _mm512_loadu_ps(b2 + c), _mm512_loadu_ps(b3 + c)};
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
      acc[0 + q] = _mm512_add_ps(acc[0 + q], simd::term<Squared>(x0, y[q]));
      acc[4 + q] = _mm512_add_ps(acc[4 + q], simd::term<Squared>(x1, y[q]));
      acc[8 + q] = _mm512_add_ps(acc[8 + q], simd::term<Squared>(x2, y[q]));
      acc[12 + q] = _mm512_add_ps(acc[12 + q], simd::term<Squared>(x3, y[q]));
    }
  }
  if (whole < m) {
    const auto mask = static_cast<__mmask16>((1u << (m - whole)) - 1);
    const __m512 x[4] = {_mm512_maskz_loadu_ps(mask, a0 + whole),
                         _mm512_maskz_loadu_ps(mask, a1 + whole),
                         _mm512_maskz_loadu_ps(mask, a2 + whole),
                         _mm512_maskz_loadu_ps(mask, a3 + whole)};
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
      const __m512 y = _mm512_maskz_loadu_ps(mask, b[q] + whole);
#pragma GCC unroll 4
      for (int p = 0; p < 4; ++p) {
        const __m512 t = simd::term<Squared>(x[p], y);
        acc[4 * p + q] = _mm512_mask_add_ps(acc[4 * p + q], mask, acc[4 * p + q], t);
      }
    }
  }
  return simd::transposed_sums(acc);
}

template <bool Squared>
__attribute__((target("avx512f"))) void tile_avx512(const float* const* a, const float* const* b,
                                                    std::size_t m, float* out) noexcept {
  _mm512_storeu_ps(out, tile_sums_avx512<Squared>(a[0], a[1], a[2], a[3], b, m));
}

// Offsets (a, b) of the sixteen lanes of a tile.
__attribute__((target("avx512f"), always_inline)) inline __m512i lane_rows() noexcept {
  return _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
}
__attribute__((target("avx512f"), always_inline)) inline __m512i lane_cols() noexcept {
  return _mm512_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
}

// Each lane keeps its own farthest pair (the first in row-then-column order
// on ties, since it only moves on a strictly larger key); the lanes are
// combined once at the end.
template <bool Squared>
__attribute__((target("avx512f"))) BlockFarthest scan_avx512(const float* values, std::size_t dim,
                                                             Metric metric, std::size_t ib,
                                                             std::size_t ie, std::size_t jb,
                                                             std::size_t je) noexcept {
  (void)metric;  // fixed by Squared
  const __m512i sign_free = _mm512_set1_epi32(0x7fffffff);
  __m512i best_key = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::min());
  __m512 best_d = _mm512_setzero_ps();
  __m512i best_i = _mm512_set1_epi32(-1), best_j = _mm512_set1_epi32(-1);
  const __m512i rows = lane_rows(), cols = lane_cols();
  const auto row = [&](std::size_t r) { return values + r * dim; };

  for (std::size_t i0 = ib; i0 < ie; i0 += kTileRows) {
    // Rows past the block repeat its last row; their lanes are masked off.
    const float* a0 = row(i0);
    const float* a1 = row(std::min(i0 + 1, ie - 1));
    const float* a2 = row(std::min(i0 + 2, ie - 1));
    const float* a3 = row(std::min(i0 + 3, ie - 1));
    const __m512i i_rel = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(i0 - ib)), rows);
    for (std::size_t j0 = std::max(jb, i0 + 1); j0 < je; j0 += kTileRows) {
      const float* b[4] = {row(j0), row(std::min(j0 + 1, je - 1)), row(std::min(j0 + 2, je - 1)),
                           row(std::min(j0 + 3, je - 1))};
      const __m512 d =
          simd::distances_from_sums<Squared>(tile_sums_avx512<Squared>(a0, a1, a2, a3, b, dim));
      const __m512i bits = _mm512_castps_si512(d);
      const __m512i key =
          _mm512_xor_si512(bits, _mm512_and_si512(_mm512_srai_epi32(bits, 31), sign_free));
      __mmask16 valid = 0xFFFF;
      if (j0 < i0 + kTileRows || j0 + kTileRows > je || i0 + kTileRows > ie) {
        valid = 0;
        for (unsigned p = 0; p < kTilePairs; ++p) {
          const std::size_t i = i0 + p / kTileRows, j = j0 + p % kTileRows;
          if (i < ie && j < je && i < j) valid = static_cast<__mmask16>(valid | (1u << p));
        }
      }
      const __mmask16 better = _mm512_mask_cmpgt_epi32_mask(valid, key, best_key);
      const __m512i j_rel = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(j0 - jb)), cols);
      best_key = _mm512_mask_mov_epi32(best_key, better, key);
      best_d = _mm512_mask_mov_ps(best_d, better, d);
      best_i = _mm512_mask_mov_epi32(best_i, better, i_rel);
      best_j = _mm512_mask_mov_epi32(best_j, better, j_rel);
    }
  }
  alignas(64) float d[kTilePairs];
  alignas(64) std::int32_t bi[kTilePairs], bj[kTilePairs];
  _mm512_store_ps(d, best_d);
  _mm512_store_si512(bi, best_i);
  _mm512_store_si512(bj, best_j);
  BlockFarthest best{-std::numeric_limits<float>::infinity(), kNoRow, kNoRow};
  for (std::size_t p = 0; p < kTilePairs; ++p) {
    if (bi[p] < 0) continue;
    const std::size_t i = ib + static_cast<std::size_t>(bi[p]);
    const std::size_t j = jb + static_cast<std::size_t>(bj[p]);
    if (farther(d[p], i, j, best)) best = {d[p], i, j};
  }
  return best;
}

// Rows [begin, end) against four fixed rows, finished in vector lanes:
// out[(r - begin) * stride + q] = the distance of row r (or of listed[r -
// begin], given a list) to b[q], 0 where the row is that one itself (`cols`
// names the four).
template <bool Squared>
__attribute__((target("avx512f"))) void rows4_avx512(const float* values, std::size_t dim,
                                                    const std::size_t* cols, std::size_t begin,
                                                    std::size_t end, const std::uint32_t* listed,
                                                    float* out, std::size_t stride) noexcept {
  const float* b[kTileRows];
  for (std::size_t q = 0; q < kTileRows; ++q) b[q] = values + cols[q] * dim;
  const auto index = [&](std::size_t r) -> std::size_t {
    r = std::min(r, end - 1);
    return listed != nullptr ? listed[r - begin] : r;
  };
  const auto row = [&](std::size_t r) { return values + index(r) * dim; };
  for (std::size_t i0 = begin; i0 < end; i0 += kTileRows) {
    __m512 d = simd::distances_from_sums<Squared>(
        tile_sums_avx512<Squared>(row(i0), row(i0 + 1), row(i0 + 2), row(i0 + 3), b, dim));
    unsigned self = 0;
    if (listed == nullptr) {
      for (std::size_t q = 0; q < kTileRows; ++q) {
        if (cols[q] >= i0 && cols[q] < i0 + kTileRows) self |= 1u << ((cols[q] - i0) * kTileRows + q);
      }
    } else {
      for (std::size_t p = 0; p < kTileRows; ++p) {
        for (std::size_t q = 0; q < kTileRows; ++q) {
          if (index(i0 + p) == cols[q]) self |= 1u << (p * kTileRows + q);
        }
      }
    }
    d = _mm512_mask_mov_ps(d, static_cast<__mmask16>(self), _mm512_setzero_ps());
    float* o = out + (i0 - begin) * stride;
    const std::size_t rows = std::min(kTileRows, end - i0);
    _mm_storeu_ps(o, _mm512_castps512_ps128(d));
    if (rows > 1) _mm_storeu_ps(o + stride, _mm512_extractf32x4_ps(d, 1));
    if (rows > 2) _mm_storeu_ps(o + 2 * stride, _mm512_extractf32x4_ps(d, 2));
    if (rows > 3) _mm_storeu_ps(o + 3 * stride, _mm512_extractf32x4_ps(d, 3));
  }
}

#pragma GCC diagnostic pop
#pragma GCC pop_options

using TileFn = void (*)(const float* const*, const float* const*, std::size_t, float*) noexcept;

// For builds without a vector scan: tiles of sums, finished pair by pair.
template <TileFn Tile>
BlockFarthest scan_generic(const float* values, std::size_t dim, Metric metric, std::size_t ib,
                           std::size_t ie, std::size_t jb, std::size_t je) noexcept {
  BlockFarthest best{-std::numeric_limits<float>::infinity(), kNoRow, kNoRow};
  const auto row = [&](std::size_t r) { return values + r * dim; };
  float sums[kTilePairs];
  for (std::size_t i0 = ib; i0 < ie; i0 += kTileRows) {
    const float* a[4];
    for (std::size_t r = 0; r < kTileRows; ++r) a[r] = row(std::min(i0 + r, ie - 1));
    for (std::size_t j0 = std::max(jb, i0 + 1); j0 < je; j0 += kTileRows) {
      const float* b[4];
      for (std::size_t r = 0; r < kTileRows; ++r) b[r] = row(std::min(j0 + r, je - 1));
      Tile(a, b, dim, sums);
      for (std::size_t p = 0; p < kTilePairs; ++p) {
        const std::size_t i = i0 + p / kTileRows, j = j0 + p % kTileRows;
        if (i >= ie || j >= je || j <= i) continue;
        const float d = distance_from_sum(metric, sums[p]);
        if (farther(d, i, j, best)) best = {d, i, j};
      }
    }
  }
  return best;
}

using ScanFn = BlockFarthest (*)(const float*, std::size_t, Metric, std::size_t, std::size_t,
                                 std::size_t, std::size_t) noexcept;

struct TileTable {
  TileFn dot;
  TileFn sq_euclid;
  ScanFn scan_cosine;
  ScanFn scan_euclidean;
};

constexpr TileTable kTileTables[] = {
    {tile_baseline<false>, tile_baseline<true>, scan_generic<tile_baseline<false>>,
     scan_generic<tile_baseline<true>>},
    {tile_avx2<false>, tile_avx2<true>, scan_generic<tile_avx2<false>>,
     scan_generic<tile_avx2<true>>},
    {tile_avx512<false>, tile_avx512<true>, scan_avx512<false>, scan_avx512<true>},
};

}  // namespace

bool rows4_with(KernelLevel level, const float* values, std::size_t dim, Metric metric,
                const std::size_t* cols, std::size_t begin, std::size_t end,
                const std::uint32_t* listed, float* out, std::size_t stride) noexcept {
  if (level != KernelLevel::Avx512) return false;
  if (metric == Metric::Euclidean) {
    rows4_avx512<true>(values, dim, cols, begin, end, listed, out, stride);
  } else {
    rows4_avx512<false>(values, dim, cols, begin, end, listed, out, stride);
  }
  return true;
}

void dot_tile_with(KernelLevel level, const float* const* a_rows, const float* const* b_rows,
                   std::size_t m, float* out) noexcept {
  kTileTables[static_cast<int>(level)].dot(a_rows, b_rows, m, out);
}
void sq_euclid_tile_with(KernelLevel level, const float* const* a_rows,
                         const float* const* b_rows, std::size_t m, float* out) noexcept {
  kTileTables[static_cast<int>(level)].sq_euclid(a_rows, b_rows, m, out);
}

BlockFarthest farthest_in_block_with(KernelLevel level, const float* values, std::size_t dim,
                                     Metric metric, std::size_t i_begin, std::size_t i_end,
                                     std::size_t j_begin, std::size_t j_end) noexcept {
  const TileTable& table = kTileTables[static_cast<int>(level)];
  const ScanFn scan = metric == Metric::Euclidean ? table.scan_euclidean : table.scan_cosine;
  BlockFarthest best{-std::numeric_limits<float>::infinity(), kNoRow, kNoRow};
  for (std::size_t ib = i_begin; ib < i_end; ib += kMaxScanSpan) {
    const std::size_t ie = i_end - ib > kMaxScanSpan ? ib + kMaxScanSpan : i_end;
    for (std::size_t jb = j_begin; jb < j_end; jb += kMaxScanSpan) {
      const std::size_t je = j_end - jb > kMaxScanSpan ? jb + kMaxScanSpan : j_end;
      if (je <= ib + 1) continue;
      const BlockFarthest part = scan(values, dim, metric, ib, ie, jb, je);
      if (part.i != kNoRow && farther(part.d, part.i, part.j, best)) best = part;
    }
  }
  return best;
}

BlockFarthest farthest_in_block(const float* values, std::size_t dim, Metric metric,
                                std::size_t i_begin, std::size_t i_end, std::size_t j_begin,
                                std::size_t j_end) noexcept {
  return farthest_in_block_with(active_kernel_level(), values, dim, metric, i_begin, i_end,
                                j_begin, j_end);
}

}  // namespace tarvex
