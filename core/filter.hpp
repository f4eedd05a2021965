// A cheap, rigorous screen for the exact farthest pair: rows quantised to
// 8-bit integers give every pair an upper bound on the distance that the exact
// kernel would return, so only pairs whose bound reaches the best distance
// found so far need the exact kernel. The screen never computes a reported
// distance; it only decides which pairs are worth one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "metric.hpp"

namespace tarvex {

// Builds of the screen, from least to most capable; Exact means no screen
// (every pair goes to the exact tiles). A build runs only where the kernels'
// own level allows its registers: Avx2 needs the AVX2 kernels, Avx512Vnni the
// AVX-512 ones.
enum class FilterLevel : std::uint8_t { Exact = 0, Avx2 = 1, Avx512Vnni = 2 };

// Rows of one matrix prepared for the screen: 8-bit codes in the two layouts
// the integer dot products read, and per-row constants of the bound.
class QuantisedRows {
 public:
  // Rows are screened in groups of this many (one accumulator lane each).
  static constexpr std::size_t kPanelRows = 16;

  // Codes lie in [-code_limit, code_limit] (at most 127; a build's integer
  // products fix it). nullopt when no bound can be trusted for these rows
  // (sums of squares that could overflow, or too many coordinates for exact
  // 32-bit sums); the caller then computes every pair exactly.
  static std::optional<QuantisedRows> build(const float* values, std::size_t n, std::size_t dim,
                                            Metric metric, int code_limit);

  // The screen's threshold for a best distance `best` so far: a pair whose
  // exact distance is at least `best` has a bound at least this.
  float threshold(float best) const noexcept;

  // The bytes the codes and constants of n rows of `dim` coordinates take.
  static std::size_t bytes_for(std::size_t n, std::size_t dim) noexcept;

  std::size_t n() const noexcept { return n_; }
  std::size_t groups() const noexcept { return groups_; }

  // Panel p: for each group of 4 coordinates, 16 rows' codes plus
  // code_bias(), as unsigned bytes (64 bytes a group); the only copy of the codes.
  const std::uint8_t* panel(std::size_t p) const noexcept { return panels_.get() + p * groups_ * 64; }
  int code_bias() const noexcept { return code_bias_; }

  // Per-row constants, indexed by row (rows past n are padding that no pair
  // passes): see the proof in filter.cpp.
  const float* offset() const noexcept { return offset_.data(); }
  const float* scale() const noexcept { return scale_.data(); }
  const float* code_norm() const noexcept { return code_norm_.data(); }
  const float* residual() const noexcept { return residual_.data(); }
  const float* norm() const noexcept { return norm_.data(); }
  // The constant of the lower bound that screen_far uses.
  const float* low_offset() const noexcept { return low_offset_.data(); }
  Metric metric() const noexcept { return metric_; }
  std::size_t dim() const noexcept { return dim_; }
  double sq_scale() const noexcept { return sq_scale_; }
  // code_bias() times the sum of the row's codes, which removes the other
  // row's bias.
  const std::int32_t* bias() const noexcept { return bias_.data(); }

 private:
  struct FreeAligned {
    void operator()(void* p) const noexcept;
  };

  QuantisedRows() = default;

  std::size_t n_ = 0, dim_ = 0, groups_ = 0;
  int code_bias_ = 128;
  Metric metric_ = Metric::Euclidean;
  double sq_scale_ = 1.0;  // squared distances of the screen times this are real ones
  std::unique_ptr<std::uint8_t[], FreeAligned> panels_;
  std::vector<float> offset_, scale_, code_norm_, residual_, norm_, low_offset_;
  std::vector<std::int32_t> bias_;
};

// Pairs (i, j) that the screen lets through.
struct Candidates {
  std::vector<std::uint32_t> i, j;
  std::size_t capacity = 0;
  std::vector<std::int8_t> scratch;  // the screen's own, kept between calls
  void clear() noexcept {
    i.clear();
    j.clear();
  }
};

// Appends to `out` every pair i < j with i in [ib, ie), j in [jb, je) whose
// bound is not below `threshold` (ib and jb multiples of kPanelRows). Returns
// false, with `out` incomplete, as soon as more than out.capacity pairs pass.
using ScreenFn = bool (*)(const QuantisedRows& rows, std::size_t ib, std::size_t ie,
                          std::size_t jb, std::size_t je, float threshold,
                          Candidates& out) noexcept;

// One build of the screen; `screen` is null for Exact.
struct FilterTable {
  FilterLevel level;
  const char* name;
  ScreenFn screen;
  int code_limit;  // what QuantisedRows::build needs for this build
};

// The most capable build that this processor and the kernels' level allow
// (processor features read once, thread-safe), unless forced.
const FilterTable& active_filter() noexcept;
bool filter_level_supported(FilterLevel level) noexcept;
const char* filter_level_name(FilterLevel level) noexcept;

// The other direction, for facility location's columns: for each column
// cols[q] (q < count) and row i in [rb, re) (rb a multiple of kPanelRows, at
// most 64 * words rows), bit i - rb of masks[q * words ..] is cleared where
// the screen proves that the exact kernel's dist(i, cols[q]) is at least
// L_i = max(limit[i], also[i]) (`also` may be null; `uniform` for every row
// when `limit` is null), or col_limit[q] where that is larger (given), and
// set elsewhere, always for i == cols[q]. False, with masks untouched, where
// the active build has no such screen.
bool screen_far(const QuantisedRows& rows, const std::size_t* cols, std::size_t count,
                std::size_t rb, std::size_t re, const float* limit, const float* also,
                float uniform, std::uint64_t* masks, std::size_t words,
                const float* col_limit = nullptr) noexcept;

namespace testing {
// For tests and benchmarks only: makes active_filter() return `level` (which
// must be supported) for the whole process until reset; nullopt restores the
// detected build. Not for use while a diameter is being computed.
void force_filter_level(std::optional<FilterLevel> level) noexcept;
}  // namespace testing

}  // namespace tarvex
