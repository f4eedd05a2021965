// Distance kernels: dot products and squared Euclidean distances with one fixed
// accumulation order, so every processor and every build gives the same bits.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

namespace tarvex {

enum class Metric : std::uint8_t { Cosine = 0, Euclidean = 1 };

// Instruction-set builds of the kernels, from least to most capable.
enum class KernelLevel : std::uint8_t { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// Both kernels work on the common length of their inputs.
float dot(std::span<const float> a, std::span<const float> b) noexcept;
float sq_euclid(std::span<const float> a, std::span<const float> b) noexcept;

// Raw-pointer forms for the hot loops (both rows hold m values).
float dot(const float* a, const float* b, std::size_t m) noexcept;
float sq_euclid(const float* a, const float* b, std::size_t m) noexcept;

// The best build this processor and OS can run (detected once, thread-safe).
KernelLevel detected_kernel_level() noexcept;
// Extensions some AVX-512 kernels also need, from CPUID leaf 7 (read once);
// only meaningful where the level is KernelLevel::Avx512.
bool has_avx512_vnni() noexcept;
bool has_avx512_byte_compress() noexcept;  // VBMI2, with BW's 64-bit masks
// The build every kernel family uses in this process: the detected one,
// capped by the test-only environment variable TARVEX_FORCE_BUILD
// ("baseline", "avx2", "avx512"; read once), which runs the whole pipeline
// at a lower build on one machine.
KernelLevel active_kernel_level() noexcept;
inline constexpr const char* kForceBuildVariable = "TARVEX_FORCE_BUILD";
// Whether this processor and OS can run a build.
bool kernel_level_supported(KernelLevel level) noexcept;
const char* kernel_level_name(KernelLevel level) noexcept;
std::optional<KernelLevel> kernel_level_named(std::string_view name) noexcept;

// Runs a named build; for tests and benchmarks that compare builds. The level
// must be supported.
float dot_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept;
float sq_euclid_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept;

// A distance from its kernel sum, the one way every path finishes it: the
// square root of a squared Euclidean distance, or 1 - dot of unit rows
// clamped into [0, 2] (rounding can leave a dot just outside [-1, 1]).
inline float distance_from_sum(Metric metric, float sum) noexcept {
  if (metric == Metric::Euclidean) return std::sqrt(sum);
  float c = 1.0f - sum;
  if (c < 0.0f) c = 0.0f;
  if (c > 2.0f) c = 2.0f;
  return c;
}

// For bounds of what the kernels compute: float's unit roundoff, and
// Higham's gamma_k, within which, relative, a sum whose every term meets at
// most k roundings lies of the exact sum of its terms' magnitudes.
inline constexpr double kFloatUnit = 0x1p-24;
inline double rounding_gamma(std::size_t k) noexcept {
  const double ku = static_cast<double>(k) * kFloatUnit;
  return ku / (1.0 - ku);
}
// The least float not below v, and the greatest not above it (past float's
// range, an infinity or the largest finite float; a NaN stays one).
inline float round_up(double v) noexcept {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::max();
  float f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}
inline float round_down(double v) noexcept {
  return -round_up(-v);
}

// IEEE 754 total order keys: compare the results as signed integers.
inline std::int32_t total_order_key(float x) noexcept {
  auto bits = std::bit_cast<std::int32_t>(x);
  return bits < 0 ? bits ^ 0x7fffffff : bits;
}
inline std::int64_t total_order_key(double x) noexcept {
  auto bits = std::bit_cast<std::int64_t>(x);
  return bits < 0 ? bits ^ 0x7fffffffffffffffLL : bits;
}

}  // namespace tarvex

// ---- Tiles of pairs: several rows against several rows at once -------------
// Every pair keeps exactly the accumulation order of dot and sq_euclid, so each
// value is bit-identical to the pairwise kernels; a tile only reuses each
// loaded vector for several pairs.
namespace tarvex {

inline constexpr std::size_t kTileRows = 4;

// out[kTileRows * a + b] = dot(a_rows[a], b_rows[b], m) for a, b < kTileRows;
// likewise sq_euclid.
void dot_tile_with(KernelLevel level, const float* const* a_rows, const float* const* b_rows,
                   std::size_t m, float* out) noexcept;
void sq_euclid_tile_with(KernelLevel level, const float* const* a_rows,
                         const float* const* b_rows, std::size_t m, float* out) noexcept;

// Where the build has one: rows [begin, end) of `values` (or the rows
// listed[0 .. end - begin), given a list) against the four rows `cols`,
// out[(i - begin) * stride + q] = their distance as dist() gives it (0 for a
// row and itself), finished in vector lanes; else false.
bool rows4_with(KernelLevel level, const float* values, std::size_t dim, Metric metric,
                const std::size_t* cols, std::size_t begin, std::size_t end,
                const std::uint32_t* listed, float* out, std::size_t stride) noexcept;

// A farthest pair (d, i, j), or d = -infinity and i = j = the largest word
// when the block holds no pair.
struct BlockFarthest {
  float d;
  std::size_t i;
  std::size_t j;
};

// The farthest pair i < j with i in [i_begin, i_end) and j in [j_begin, j_end)
// of the row-major matrix `values` (rows of `dim` floats, all indices valid),
// by the metric's distance exactly as the point matrix computes it (sqrt of
// sq_euclid, or 1 - dot clamped into [0, 2]). Ties go to the smaller i, then
// the smaller j.
BlockFarthest farthest_in_block(const float* values, std::size_t dim, Metric metric,
                                std::size_t i_begin, std::size_t i_end, std::size_t j_begin,
                                std::size_t j_end) noexcept;
BlockFarthest farthest_in_block_with(KernelLevel level, const float* values, std::size_t dim,
                                     Metric metric, std::size_t i_begin, std::size_t i_end,
                                     std::size_t j_begin, std::size_t j_end) noexcept;

}  // namespace tarvex
