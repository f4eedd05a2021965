#include "filter.hpp"

#include "control.hpp"
#include "pool.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

// Why the bound holds. Write u = 2^-24 and g = gamma_{d+20} = (d+20)u / (1 -
// (d+20)u). Rows are x (the matrix's floats); the screen works on
// x' = (x - mu) / G in double (Euclidean: mu the mean row, G the largest
// centred norm, so that distances scale by G exactly in real arithmetic and
// no quantity underflows or overflows; cosine: mu = 0, G = 1). Each row
// gets a float scale s and integer codes q in [-m, m] (m = 127 for VNNI,
// 63 for AVX2) with x' = s q + e, and upward-rounded constants a >= |s q|,
// r >= |e| (which also absorbs the 2^-51 |x'| error of forming x' in double)
// and b >= |x'|. Q = q_x . q_y is an exact 32-bit integer: the biased codes
// q + m + 1 lie in [1, 2m + 1], d (2m + 1) m < 2^31, and AVX2's 16-bit pair
// sums stay within 2 * 127 * 63 < 2^15, so no step saturates. Hence
//   x'.y' = s_x s_y Q + s_x q_x . e_y + e_x . y' >= s_x s_y Q - E,
//   E = a_x r_y + r_x b_y                                  (Cauchy-Schwarz).
// The screen computes, in float,
//   V = c_x + c_y - 2 s_x s_y Q + 2 E,
// whose real value exceeds what the float evaluation can lose (eight
// roundings, each at most u times a sum of magnitudes below |c_x| + |c_y| +
// 3(A_x^2 + A_y^2) with A = max(a, b) + r, and underflows below 2^-110)
// by the part k_x + k_y of the offsets, k = 64u (A^2 + |c0|) + 2^-100.
// Euclidean: c = |x'|^2 + k, so V >= |x' - y'|^2 = |x - y|^2 / G^2. The exact
//   kernel gives S = fl(sum fl(x - y)^2) <= (1 + g)|x - y|^2 + eta
//   (each term meets at most 3 + ceil(d/16) + 16 roundings; eta = d 2^-140
//   covers underflow) and D = fl(sqrt S) <= sqrt(S)(1 + u). Hence D >= L > 0
//   implies V >= (L^2 / (1 + u)^2 - eta) / (1 + g) / G^2 = T.
// Cosine: c = 1/2 + g b^2 + k. The exact f = fl(x . y) >= x.y - g b_x b_y -
//   eta, and D >= L > 0 means D = min(fl(1 - f), 2) without the lower clamp,
//   so (1 - f)(1 + u) >= L and x.y <= 1 - L/(1 + u) + g b_x b_y + eta. With
//   2 b_x b_y <= b_x^2 + b_y^2 and eta inside k this gives
//   V >= 1 - 2 x.y + g(b_x^2 + b_y^2) >= 2L/(1 + u) - 1 = T.
// So V < T (strictly) proves D < L, and a pair is dropped only then; for
// L <= 0 nothing is dropped. T is formed in double and rounded down.
//
// The lower bound (screen_far) runs the same steps the other way:
//   x'.y' <= s_x s_y Q + E, and the screen computes in float
//   W = l_x + l_y - 2 s_x s_y Q - 2E,
// whose rounding loses less than k_x + k_y, which the per-row constants l
// already give away. Euclidean: l = |x'|^2 - k (rounded down), so
// W <= |x' - y'|^2; the exact S >= (1 - g)|x - y|^2 - eta and
// D >= sqrt(S)(1 - u), so W >= T' = (L^2 / (1 - u)^2 + eta) / (1 - g) / G^2
// proves D >= L. Cosine: l = -2(g b^2 / 2 + k) - 2^-99, so W <= -2 fl(x . y)
// by the bound on f above; for 0 < L <= 2, fl(1 - f) >= (1 - f)(1 - u) makes
// W >= T' = 2L / (1 - u) - 2 prove D >= L (no lower bound on D beyond 0 is
// ever proved for L > 2). For L <= 0, D >= L holds anyway. T' is formed in
// double with upward margins and rounded up.

namespace tarvex {
namespace {

constexpr double kU = kFloatUnit;
constexpr std::size_t kPanel = QuantisedRows::kPanelRows;
// Rows are padded to this many, so that tiles of 4 rows and 4 panels never
// read past the codes.
constexpr std::size_t kRowPad = 64;

double gamma_of(std::size_t dim) noexcept { return rounding_gamma(dim + 20); }

template <class T>
T* allocate_aligned(std::size_t count) {
  return static_cast<T*>(::operator new[](count * sizeof(T), std::align_val_t{64}));
}

}  // namespace

void QuantisedRows::FreeAligned::operator()(void* p) const noexcept {
  ::operator delete[](p, std::align_val_t{64});
}

std::optional<QuantisedRows> QuantisedRows::build(const float* values, std::size_t n,
                                                  std::size_t dim, Metric metric, int code_limit) {
  // 32-bit sums stay exact and lane indices fit 32 bits.
  if (n < 2 || dim == 0 || dim > 65536 || n > (std::size_t{1} << 31) - kRowPad) return std::nullopt;
  if (code_limit < 1 || code_limit > 127) return std::nullopt;
  const auto max_over_rows = [n](auto row_value) {
    return pool::reduce(
        n, 0.0,
        [&row_value](std::size_t first, std::size_t last, double acc) {
          for (std::size_t i = first; i < last; ++i) acc = std::max(acc, row_value(i));
          return acc;
        },
        [](double x, double y) { return std::max(x, y); });
  };
  const double largest_sq = max_over_rows([&](std::size_t i) {
    const float* x = values + i * dim;
    double sq = 0.0;
    for (std::size_t k = 0; k < dim; ++k) sq += static_cast<double>(x[k]) * x[k];
    return sq;
  });
  // The exact kernel's partial sums stay below 4 |x|^2 (1 + g); keep them far
  // from float overflow, where the bound would not hold.
  if (!(4.0 * largest_sq * (1.0 + gamma_of(dim)) < 0x1p120)) return std::nullopt;
  // Serial, so that the codes do not depend on the pool's split.
  std::vector<double> mean(dim, 0.0);
  double spread = 1.0;
  if (metric == Metric::Euclidean) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t k = 0; k < dim; ++k) mean[k] += values[i * dim + k];
    for (double& m : mean) m /= static_cast<double>(n);
    const double widest = max_over_rows([&](std::size_t i) {
      const float* x = values + i * dim;
      double sq = 0.0;
      for (std::size_t k = 0; k < dim; ++k) sq += (x[k] - mean[k]) * (x[k] - mean[k]);
      return sq;
    });
    if (!(widest > 0.0)) return std::nullopt;  // all rows equal: nothing to screen
    spread = std::sqrt(widest);
  }

  QuantisedRows q;
  q.n_ = n;
  q.dim_ = dim;
  q.groups_ = (dim + 3) / 4;
  q.metric_ = metric;
  q.sq_scale_ = spread * spread;
  q.code_bias_ = code_limit + 1;
  const double limit = code_limit;
  const std::size_t padded = (n + kRowPad - 1) / kRowPad * kRowPad;
  const std::size_t width = q.groups_ * 4;
  q.panels_.reset(allocate_aligned<std::uint8_t>(padded * width));
  std::memset(q.panels_.get(), q.code_bias_, padded * width);
  const float ninf = -std::numeric_limits<float>::infinity();
  q.offset_.assign(padded, ninf);
  q.scale_.assign(padded, 0.0f);
  q.code_norm_.assign(padded, 0.0f);
  q.residual_.assign(padded, 0.0f);
  q.norm_.assign(padded, 0.0f);
  q.low_offset_.assign(padded, ninf);
  q.bias_.assign(padded, 0);

  const double g = gamma_of(dim);
  const double inflate = 1.0 + 0x1p-30;
  struct Scratch {
    std::vector<double> xs;
    std::vector<std::int8_t> codes;
  };
  const std::size_t width_of_codes = width;
  const auto scratch = [dim, width_of_codes] {
    return Scratch{std::vector<double>(dim), std::vector<std::int8_t>(width_of_codes, 0)};
  };
  pool::map_chunks(n, scratch, [&](Scratch& state, std::size_t i) {
    if (i % 256 == 0) control::poll();
    std::vector<double>& xs = state.xs;
    std::vector<std::int8_t>& codes = state.codes;
    const float* x = values + i * dim;
    double top = 0.0;
    for (std::size_t k = 0; k < dim; ++k) {
      xs[k] = (x[k] - mean[k]) / spread;
      top = std::max(top, std::abs(xs[k]));
    }
    float s = round_up(top / limit);
    if (s < 0x1p-100f) s = 0.0f;  // a row this small is all residual
    const double inv = s > 0.0f ? 1.0 / s : 0.0;  // any code is sound; these are near-best
    double aa = 0.0, rr = 0.0, bb = 0.0;
    std::int32_t sum = 0;
    for (std::size_t k = 0; k < dim; ++k) {
      int c = 0;
      if (s > 0.0f) c = static_cast<int>(std::clamp(std::nearbyint(xs[k] * inv), -limit, limit));
      codes[k] = static_cast<std::int8_t>(c);
      sum += c;
      const double sc = static_cast<double>(s) * c;
      aa += sc * sc;
      rr += (xs[k] - sc) * (xs[k] - sc);
      bb += xs[k] * xs[k];
    }
    const double a = std::sqrt(aa) * inflate, b = std::sqrt(bb) * inflate;
    const double r = std::sqrt(rr) * inflate + 0x1p-50 * b;
    const double big = std::max(a, b) + r;
    const double c0 = metric == Metric::Euclidean ? b * b : 0.5;
    const double exact_part = metric == Metric::Euclidean ? 0.0 : g * b * b;
    q.offset_[i] = round_up(c0 + exact_part + 64.0 * kU * (big * big + c0) + 0x1p-100);
    q.scale_[i] = s;
    q.code_norm_[i] = round_up(a);
    q.residual_[i] = round_up(r);
    q.norm_[i] = round_up(b);
    const double k = 64.0 * kU * (big * big + c0) + 0x1p-100;
    q.low_offset_[i] = metric == Metric::Euclidean
                           ? round_down(bb * (1.0 - 0x1p-30) - k)
                           : round_down(-2.0 * (0.5 * g * b * b + k) - 0x1p-99);
    q.bias_[i] = q.code_bias_ * sum;
    std::uint8_t* panel = q.panels_.get() + (i / kPanel) * width * kPanel;
    for (std::size_t k = 0; k < width; ++k)
      panel[(k / 4) * 64 + (i % kPanel) * 4 + k % 4] = static_cast<std::uint8_t>(codes[k] + q.code_bias_);
  });
  return q;
}

std::size_t QuantisedRows::bytes_for(std::size_t n, std::size_t dim) noexcept {
  const std::size_t padded = (n + kRowPad - 1) / kRowPad * kRowPad;
  return padded * ((dim + 3) / 4 * 4 + 6 * sizeof(float) + sizeof(std::int32_t));
}

float QuantisedRows::threshold(float best) const noexcept {
  if (!(best > 0.0f)) return -std::numeric_limits<float>::infinity();
  const double l = best;
  const double g = gamma_of(dim_);
  double t;
  if (metric_ == Metric::Euclidean) {
    const double eta = static_cast<double>(dim_) * 0x1p-140;
    t = (l * l / ((1.0 + kU) * (1.0 + kU)) - eta) / (1.0 + g) / sq_scale_;
    t -= std::abs(t) * 0x1p-40;
  } else {
    t = 2.0 * l / (1.0 + kU) - 1.0 - 0x1p-40;
  }
  return round_down(t);
}

namespace {

// The signed codes of rows [ib, ib + rows) in row order, for broadcasting.
void unpack_rows(const QuantisedRows& q, std::size_t ib, std::size_t rows,
                 std::vector<std::int8_t>& out) {
  const std::size_t groups = q.groups(), width = groups * 4;
  const int bias = q.code_bias();
  out.resize(rows * width);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t i = ib + r;
    const std::uint8_t* from = q.panel(i / kPanel) + (i % kPanel) * 4;
    for (std::size_t g = 0; g < groups; ++g)
      for (std::size_t k = 0; k < 4; ++k)
        out[r * width + g * 4 + k] = static_cast<std::int8_t>(from[g * 64 + k] - bias);
  }
}

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vnni")

// Tiles of R rows against C panels: R * C accumulators, each lane one pair,
// summing (q_j + bias) q_i; the strip's own signed codes are unpacked once.
template <std::size_t R, std::size_t C>
__attribute__((target("avx512f,avx512vnni"))) bool screen_vnni(
    const QuantisedRows& q, std::size_t ib, std::size_t ie, std::size_t jb, std::size_t je,
    float threshold, Candidates& out) noexcept {
  const std::size_t groups = q.groups();
  const __m512 t = _mm512_set1_ps(threshold);
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const std::size_t p_end = (je + kPanel * C - 1) / (kPanel * C) * C;
  const float* off = q.offset();
  const float* scale = q.scale();
  const float* code_norm = q.code_norm();
  const float* res = q.residual();
  const float* norm = q.norm();
  const std::int32_t* bias = q.bias();
  const std::size_t width = groups * 4;
  unpack_rows(q, ib, (ie - ib + R - 1) / R * R, out.scratch);
  for (std::size_t i0 = ib; i0 < ie; i0 += R) {
    const std::int8_t* a[R];
    for (std::size_t r = 0; r < R; ++r) a[r] = out.scratch.data() + (i0 - ib + r) * width;
    // The first group of panels holding a j above i0.
    const std::size_t p_first = std::max(jb / kPanel, (i0 + 1) / kPanel / C * C);
    for (std::size_t p = p_first; p < p_end; p += C) {
      __m512i acc[R][C];
      for (auto& row : acc)
        for (auto& v : row) v = _mm512_setzero_si512();
      const std::uint8_t* b[C];
      for (std::size_t c = 0; c < C; ++c) b[c] = q.panel(p + c);
      for (std::size_t g = 0; g < groups; ++g) {
        __m512i y[C];
#pragma GCC unroll 4
        for (std::size_t c = 0; c < C; ++c) y[c] = _mm512_load_si512(b[c] + g * 64);
#pragma GCC unroll 16
        for (std::size_t r = 0; r < R; ++r) {
          std::int32_t word;
          std::memcpy(&word, a[r] + g * 4, 4);
          const __m512i x = _mm512_set1_epi32(word);
#pragma GCC unroll 4
          for (std::size_t c = 0; c < C; ++c) acc[r][c] = _mm512_dpbusd_epi32(acc[r][c], y[c], x);
        }
      }
      for (std::size_t c = 0; c < C; ++c) {
        const std::size_t j0 = (p + c) * kPanel;
        const __m512 cj = _mm512_loadu_ps(off + j0), sj = _mm512_loadu_ps(scale + j0);
        const __m512 rj = _mm512_loadu_ps(res + j0), bj = _mm512_loadu_ps(norm + j0);
        for (std::size_t r = 0; r < R; ++r) {
          const std::size_t i = i0 + r;
          const __m512 qf = _mm512_cvtepi32_ps(_mm512_sub_epi32(acc[r][c], _mm512_set1_epi32(bias[i])));
          __m512 v = _mm512_add_ps(_mm512_set1_ps(off[i]), cj);
          v = _mm512_add_ps(v, _mm512_mul_ps(qf, _mm512_mul_ps(sj, _mm512_set1_ps(-2.0f * scale[i]))));
          const __m512 e = _mm512_add_ps(_mm512_mul_ps(rj, _mm512_set1_ps(2.0f * code_norm[i])),
                                         _mm512_mul_ps(bj, _mm512_set1_ps(2.0f * res[i])));
          v = _mm512_add_ps(v, e);
          __mmask16 pass = _mm512_cmp_ps_mask(v, t, _CMP_NLT_UQ);
          if (pass == 0) continue;
          if (i >= ie) continue;
          const __m512i j = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(j0)), lane);
          pass &= _mm512_cmpgt_epu32_mask(j, _mm512_set1_epi32(static_cast<int>(i)));
          pass &= _mm512_cmplt_epu32_mask(j, _mm512_set1_epi32(static_cast<int>(je)));
          if (out.i.size() + static_cast<std::size_t>(__builtin_popcount(pass)) > out.capacity)
            return false;
          for (; pass != 0; pass = static_cast<__mmask16>(pass & (pass - 1))) {
            out.i.push_back(static_cast<std::uint32_t>(i));
            out.j.push_back(static_cast<std::uint32_t>(j0 + __builtin_ctz(pass)));
          }
        }
      }
    }
  }
  return true;
}

#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")

// R rows against one panel (two registers of 8 rows): vpmaddubsw multiplies
// the biased 7-bit codes of the panel by the row's signed ones into 16-bit
// pair sums, vpmaddwd adds those pairs into 32-bit lanes.
template <std::size_t R>
__attribute__((target("avx2"))) bool screen_avx2(const QuantisedRows& q, std::size_t ib,
                                                  std::size_t ie, std::size_t jb, std::size_t je,
                                                  float threshold, Candidates& out) noexcept {
  const std::size_t groups = q.groups();
  const __m256 t = _mm256_set1_ps(threshold);
  const __m256i ones = _mm256_set1_epi16(1);
  const std::size_t p_end = (je + kPanel - 1) / kPanel;
  const float* off = q.offset();
  const float* scale = q.scale();
  const float* code_norm = q.code_norm();
  const float* res = q.residual();
  const float* norm = q.norm();
  const std::int32_t* bias = q.bias();
  const std::size_t width = groups * 4;
  unpack_rows(q, ib, (ie - ib + R - 1) / R * R, out.scratch);
  for (std::size_t i0 = ib; i0 < ie; i0 += R) {
    const std::int8_t* a[R];
    for (std::size_t r = 0; r < R; ++r) a[r] = out.scratch.data() + (i0 - ib + r) * width;
    for (std::size_t p = std::max(jb / kPanel, (i0 + 1) / kPanel); p < p_end; ++p) {
      __m256i acc[R][2];
      for (auto& row : acc) row[0] = row[1] = _mm256_setzero_si256();
      const std::uint8_t* b = q.panel(p);
      for (std::size_t g = 0; g < groups; ++g) {
        const __m256i y0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(b + g * 64));
        const __m256i y1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(b + g * 64 + 32));
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
          std::int32_t word;
          std::memcpy(&word, a[r] + g * 4, 4);
          const __m256i x = _mm256_set1_epi32(word);
          acc[r][0] = _mm256_add_epi32(acc[r][0], _mm256_madd_epi16(_mm256_maddubs_epi16(y0, x), ones));
          acc[r][1] = _mm256_add_epi32(acc[r][1], _mm256_madd_epi16(_mm256_maddubs_epi16(y1, x), ones));
        }
      }
      for (std::size_t h = 0; h < 2; ++h) {
        const std::size_t j0 = p * kPanel + h * 8;
        const __m256 cj = _mm256_loadu_ps(off + j0), sj = _mm256_loadu_ps(scale + j0);
        const __m256 rj = _mm256_loadu_ps(res + j0), bj = _mm256_loadu_ps(norm + j0);
        for (std::size_t r = 0; r < R; ++r) {
          const std::size_t i = i0 + r;
          if (i >= ie) break;
          // The same operations in the same order as the AVX-512 build.
          const __m256 qf = _mm256_cvtepi32_ps(_mm256_sub_epi32(acc[r][h], _mm256_set1_epi32(bias[i])));
          __m256 v = _mm256_add_ps(_mm256_set1_ps(off[i]), cj);
          v = _mm256_add_ps(v, _mm256_mul_ps(qf, _mm256_mul_ps(sj, _mm256_set1_ps(-2.0f * scale[i]))));
          const __m256 e = _mm256_add_ps(_mm256_mul_ps(rj, _mm256_set1_ps(2.0f * code_norm[i])),
                                         _mm256_mul_ps(bj, _mm256_set1_ps(2.0f * res[i])));
          v = _mm256_add_ps(v, e);
          unsigned pass = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, t, _CMP_NLT_UQ)));
          for (; pass != 0; pass &= pass - 1) {
            const std::size_t j = j0 + static_cast<std::size_t>(__builtin_ctz(pass));
            if (j <= i || j >= je) continue;
            if (out.i.size() >= out.capacity) return false;
            out.i.push_back(static_cast<std::uint32_t>(i));
            out.j.push_back(static_cast<std::uint32_t>(j));
          }
        }
      }
    }
  }
  return true;
}

#pragma GCC pop_options

// T' for a limit L (see the proof above), formed in doubles and rounded up
// to float (infinities and NaN as they are).
float far_threshold(const QuantisedRows& q, float limit) noexcept {
  const double l = limit;
  double t;
  if (q.metric() == Metric::Euclidean) {
    const double g = gamma_of(q.dim()), up = (1.0 + 0x1p-40) * (1.0 + 2.0 * g) / q.sq_scale();
    t = (l * l * ((1.0 + 3.0 * kU) * up) + static_cast<double>(q.dim()) * 0x1p-140 * up) *
        (1.0 + 0x1p-40);
  } else {
    if (!(l <= 2.0)) return std::numeric_limits<float>::infinity();
    t = (l * (2.0 * (1.0 + 2.0 * kU)) - 2.0) + 0x1p-40;
  }
  return std::isfinite(t) ? round_up(t) : static_cast<float>(t);
}

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vnni")

// far_threshold for sixteen limits.
__attribute__((target("avx512f"))) __m512 far_thresholds(const QuantisedRows& q,
                                                         __m512 limit) noexcept {
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, limit);
  for (float& l : lanes) l = far_threshold(q, l);
  return _mm512_load_ps(lanes);
}

// Four panels of rows against four columns at a time: sixteen independent
// accumulators, each loaded panel and broadcast column word serving four.
__attribute__((target("avx512f,avx512vnni"))) void screen_far_vnni(
    const QuantisedRows& q, const std::size_t* cols, std::size_t count, std::size_t rb,
    std::size_t re, const float* limit, const float* also, float uniform,
    std::uint64_t* masks, std::size_t words, const float* col_limit) noexcept {
  constexpr std::size_t kCols = 4, kPanels = 4;
  const std::size_t groups = q.groups();
  const float* lo = q.low_offset();
  const float* scale = q.scale();
  const float* code_norm = q.code_norm();
  const float* res = q.residual();
  const float* norm = q.norm();
  const std::int32_t* bias = q.bias();
  // The columns' codes as signed words, one group after another.
  thread_local std::vector<std::uint32_t> room;
  room.resize(kCols * groups);
  std::uint32_t* signed_words = room.data();
  const __m512 uniform_t = far_thresholds(q, _mm512_set1_ps(uniform));
  for (std::size_t w = 0; w < count * words; ++w) masks[w] = 0;
  // Each panel's thresholds, formed once for all columns.
  thread_local std::vector<float> limits;
  limits.resize((re - rb + kPanel - 1) / kPanel * kPanel);
  for (std::size_t r0 = rb; r0 < re; r0 += kPanel) {
    __m512 t = uniform_t;
    if (limit != nullptr) {
      const std::size_t live = std::min(kPanel, re - r0);
      const auto valid = static_cast<__mmask16>(live == kPanel ? 0xFFFF : (1u << live) - 1);
      __m512 l = _mm512_maskz_loadu_ps(valid, limit + r0);
      if (also != nullptr) l = _mm512_max_ps(_mm512_maskz_loadu_ps(valid, also + r0), l);
      t = far_thresholds(q, l);
    }
    _mm512_storeu_ps(limits.data() + (r0 - rb), t);
  }
  for (std::size_t q0 = 0; q0 < count; q0 += kCols) {
    std::size_t c[kCols];
    // The thresholds only grow with the limit, so the larger of a row's and a
    // column's is that of the larger limit.
    __m512 col_t[kCols];
    for (std::size_t k = 0; k < kCols; ++k) {
      col_t[k] = col_limit != nullptr
                     ? far_thresholds(q, _mm512_set1_ps(col_limit[std::min(q0 + k, count - 1)]))
                     : _mm512_set1_ps(-std::numeric_limits<float>::infinity());
      c[k] = cols[std::min(q0 + k, count - 1)];
      const std::uint8_t* from = q.panel(c[k] / kPanel) + (c[k] % kPanel) * 4;
      for (std::size_t g = 0; g < groups; ++g) {
        std::uint32_t word;
        std::memcpy(&word, from + g * 64, 4);
        signed_words[g * kCols + k] = word ^ 0x80808080u;  // biased codes back to signed
      }
    }
    for (std::size_t i0 = rb; i0 < re; i0 += kPanel * kPanels) {
      __m512i acc[kPanels][kCols];
      for (auto& row : acc)
        for (auto& v : row) v = _mm512_setzero_si512();
      const std::uint8_t* panel = q.panel(i0 / kPanel);
      for (std::size_t g = 0; g < groups; ++g) {
        __m512i y[kPanels];
#pragma GCC unroll 4
        for (std::size_t p = 0; p < kPanels; ++p) y[p] = _mm512_load_si512(panel + p * groups * 64 + g * 64);
#pragma GCC unroll 4
        for (std::size_t k = 0; k < kCols; ++k) {
          const __m512i x = _mm512_set1_epi32(static_cast<int>(signed_words[g * kCols + k]));
#pragma GCC unroll 4
          for (std::size_t p = 0; p < kPanels; ++p) acc[p][k] = _mm512_dpbusd_epi32(acc[p][k], y[p], x);
        }
      }
      for (std::size_t p = 0; p < kPanels; ++p) {
        const std::size_t r0 = i0 + p * kPanel;
        if (r0 >= re) break;
        const std::size_t live = std::min(kPanel, re - r0);
        const auto valid = static_cast<__mmask16>(live == kPanel ? 0xFFFF : (1u << live) - 1);
        const __m512 t = _mm512_loadu_ps(limits.data() + (r0 - rb));
        const __m512 li = _mm512_loadu_ps(lo + r0), si = _mm512_loadu_ps(scale + r0);
        const __m512 ai = _mm512_loadu_ps(code_norm + r0), ri = _mm512_loadu_ps(res + r0);
        const std::size_t bit = r0 - rb;
        for (std::size_t k = 0; k < kCols && q0 + k < count; ++k) {
          const std::size_t j = c[k];
          const __m512 qf =
              _mm512_cvtepi32_ps(_mm512_sub_epi32(acc[p][k], _mm512_set1_epi32(bias[j])));
          __m512 v = _mm512_add_ps(li, _mm512_set1_ps(lo[j]));
          v = _mm512_add_ps(v, _mm512_mul_ps(qf, _mm512_mul_ps(si, _mm512_set1_ps(-2.0f * scale[j]))));
          const __m512 e = _mm512_add_ps(_mm512_mul_ps(ai, _mm512_set1_ps(2.0f * res[j])),
                                         _mm512_mul_ps(ri, _mm512_set1_ps(2.0f * norm[j])));
          v = _mm512_sub_ps(v, e);
          // (Where either is NaN, the row's threshold holds.)
          __mmask16 keep =
              _mm512_mask_cmp_ps_mask(valid, v, _mm512_max_ps(col_t[k], t), _CMP_NGE_UQ);
          if (j >= r0 && j < r0 + live) keep |= static_cast<__mmask16>(1u << (j - r0));
          masks[(q0 + k) * words + bit / 64] |= static_cast<std::uint64_t>(keep) << (bit % 64);
        }
      }
    }
  }
}

#pragma GCC pop_options

// screen_far_vnni with 256-bit vectors: one panel (two registers of eight
// rows) against four columns, vpmaddubsw and vpmaddwd in place of vpdpbusd,
// on codes of at most 63 (whose pair sums cannot saturate).
__attribute__((target("avx2"))) void screen_far_avx2(
    const QuantisedRows& q, const std::size_t* cols, std::size_t count, std::size_t rb,
    std::size_t re, const float* limit, const float* also, float uniform, std::uint64_t* masks,
    std::size_t words, const float* col_limit) noexcept {
  constexpr std::size_t kCols = 4;
  const std::size_t groups = q.groups();
  const int code_bias = q.code_bias();
  const float* lo = q.low_offset();
  const float* scale = q.scale();
  const float* code_norm = q.code_norm();
  const float* res = q.residual();
  const float* norm = q.norm();
  const std::int32_t* bias = q.bias();
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i step = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  thread_local std::vector<std::int32_t> room;
  room.resize(kCols * groups);
  std::int32_t* signed_words = room.data();
  for (std::size_t w = 0; w < count * words; ++w) masks[w] = 0;
  thread_local std::vector<float> limits;
  limits.resize((re - rb + kPanel - 1) / kPanel * kPanel);
  const float uniform_t = far_threshold(q, uniform);
  for (std::size_t i = rb; i < rb + limits.size(); ++i) {
    float t = uniform_t;
    if (limit != nullptr) {
      // The larger as vmaxps(also, limit) takes it: limit wherever either is NaN.
      float l = 0.0f;
      if (i < re) l = also != nullptr && also[i] > limit[i] ? also[i] : limit[i];
      t = far_threshold(q, l);
    }
    limits[i - rb] = t;
  }
  for (std::size_t q0 = 0; q0 < count; q0 += kCols) {
    std::size_t c[kCols];
    float col_t[kCols];
    for (std::size_t k = 0; k < kCols; ++k) {
      col_t[k] = col_limit != nullptr ? far_threshold(q, col_limit[std::min(q0 + k, count - 1)])
                                      : -std::numeric_limits<float>::infinity();
      c[k] = cols[std::min(q0 + k, count - 1)];
      const std::uint8_t* from = q.panel(c[k] / kPanel) + (c[k] % kPanel) * 4;
      for (std::size_t g = 0; g < groups; ++g) {
        std::uint8_t bytes[4];
        for (int e = 0; e < 4; ++e)
          bytes[e] = static_cast<std::uint8_t>(from[g * 64 + e] - code_bias);
        std::memcpy(&signed_words[g * kCols + k], bytes, 4);
      }
    }
    for (std::size_t r0 = rb; r0 < re; r0 += kPanel) {
      __m256i acc[2][kCols];
      for (auto& half : acc)
        for (auto& v : half) v = _mm256_setzero_si256();
      const std::uint8_t* panel = q.panel(r0 / kPanel);
      for (std::size_t g = 0; g < groups; ++g) {
        const __m256i y0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(panel + g * 64));
        const __m256i y1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(panel + g * 64 + 32));
#pragma GCC unroll 4
        for (std::size_t k = 0; k < kCols; ++k) {
          const __m256i x = _mm256_set1_epi32(signed_words[g * kCols + k]);
          acc[0][k] =
              _mm256_add_epi32(acc[0][k], _mm256_madd_epi16(_mm256_maddubs_epi16(y0, x), ones));
          acc[1][k] =
              _mm256_add_epi32(acc[1][k], _mm256_madd_epi16(_mm256_maddubs_epi16(y1, x), ones));
        }
      }
      const std::size_t live = std::min(kPanel, re - r0), bit = r0 - rb;
      for (std::size_t h = 0; h < 2; ++h) {
        const std::size_t i0 = r0 + 8 * h;
        if (i0 >= re) break;
        const __m256i valid =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(live - 8 * h)), step);
        const __m256 t = _mm256_loadu_ps(limits.data() + (i0 - rb));
        const __m256 li = _mm256_loadu_ps(lo + i0), si = _mm256_loadu_ps(scale + i0);
        const __m256 ai = _mm256_loadu_ps(code_norm + i0), ri = _mm256_loadu_ps(res + i0);
        for (std::size_t k = 0; k < kCols && q0 + k < count; ++k) {
          const std::size_t j = c[k];
          // The same operations in the same order as the 512-bit build.
          const __m256 qf =
              _mm256_cvtepi32_ps(_mm256_sub_epi32(acc[h][k], _mm256_set1_epi32(bias[j])));
          __m256 v = _mm256_add_ps(li, _mm256_set1_ps(lo[j]));
          v = _mm256_add_ps(v,
                            _mm256_mul_ps(qf, _mm256_mul_ps(si, _mm256_set1_ps(-2.0f * scale[j]))));
          const __m256 e = _mm256_add_ps(_mm256_mul_ps(ai, _mm256_set1_ps(2.0f * res[j])),
                                         _mm256_mul_ps(ri, _mm256_set1_ps(2.0f * norm[j])));
          v = _mm256_sub_ps(v, e);
          // (Where either is NaN, the row's threshold holds.)
          const __m256 bound = _mm256_max_ps(_mm256_set1_ps(col_t[k]), t);
          const __m256 keep =
              _mm256_and_ps(_mm256_castsi256_ps(valid), _mm256_cmp_ps(v, bound, _CMP_NGE_UQ));
          auto kept = static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_ps(keep)));
          if (j >= i0 && j < i0 + 8 && j < re) kept |= std::uint64_t{1} << (j - i0);
          masks[(q0 + k) * words + (bit + 8 * h) / 64] |= kept << ((bit + 8 * h) % 64);
        }
      }
    }
  }
}

constexpr FilterTable kFilters[] = {
    {FilterLevel::Exact, "exact", nullptr, 0},
    {FilterLevel::Avx2, "avx2", screen_avx2<4>, 63},
    {FilterLevel::Avx512Vnni, "avx512vnni", screen_vnni<4, 4>, 127},
};

// The best build the kernels' level allows: their detection already checked
// the registers' OS state (YMM, and ZMM with opmasks). Read on every call, so
// that a forced kernel level also limits the screen.
FilterLevel best_filter() noexcept {
  const KernelLevel kernels = active_kernel_level();
  if (kernels == KernelLevel::Avx512 && has_avx512_vnni()) return FilterLevel::Avx512Vnni;
  if (kernels >= KernelLevel::Avx2) return FilterLevel::Avx2;
  return FilterLevel::Exact;
}

// -1 when not forced.
std::atomic<int> forced_filter{-1};

}  // namespace

bool filter_level_supported(FilterLevel level) noexcept {
  return static_cast<int>(level) <= static_cast<int>(best_filter());
}

const FilterTable& active_filter() noexcept {
  const int forced = forced_filter.load(std::memory_order_relaxed);
  const int best = static_cast<int>(best_filter());
  return kFilters[forced < 0 ? best : std::min(forced, best)];
}

const char* filter_level_name(FilterLevel level) noexcept {
  return kFilters[static_cast<int>(level)].name;
}

namespace testing {
void force_filter_level(std::optional<FilterLevel> level) noexcept {
  if (level && !filter_level_supported(*level)) std::abort();
  forced_filter.store(level ? static_cast<int>(*level) : -1, std::memory_order_relaxed);
}
}  // namespace testing

bool screen_far(const QuantisedRows& rows, const std::size_t* cols, std::size_t count,
                std::size_t rb, std::size_t re, const float* limit, const float* also,
                float uniform, std::uint64_t* masks, std::size_t words,
                const float* col_limit) noexcept {
  const FilterTable& filter = active_filter();
  const FilterLevel level = filter.level;
  if (level == FilterLevel::Exact || rows.code_bias() != filter.code_limit + 1) return false;
  if (rb % kRowPad != 0 || re <= rb || re - rb > 64 * words || re > rows.n()) return false;
  if (level == FilterLevel::Avx512Vnni) {
    screen_far_vnni(rows, cols, count, rb, re, limit, also, uniform, masks, words, col_limit);
  } else {
    screen_far_avx2(rows, cols, count, rb, re, limit, also, uniform, masks, words, col_limit);
  }
  return true;
}

}  // namespace tarvex
