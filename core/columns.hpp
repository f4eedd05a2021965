// Columns of the distance matrix, dist(., c): computed many rows at a time,
// every value bit-identical to Points::dist, and cached per matrix within a
// memory budget.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "metric.hpp"

namespace tarvex {

// out[i - begin] = the distance between rows i and c of the row-major matrix
// `values` (rows of `dim` floats), exactly as the point matrix computes it:
// the square root of sq_euclid, or 1 - dot clamped into [0, 2], and 0 for i == c.
void distance_column(const float* values, std::size_t dim, Metric metric, std::size_t c,
                     std::size_t begin, std::size_t end, float* out) noexcept;
void distance_column_with(KernelLevel level, const float* values, std::size_t dim, Metric metric,
                          std::size_t c, std::size_t begin, std::size_t end, float* out) noexcept;

// Four columns at once, each row of the matrix read once for all four:
// out[(i - begin) * stride + q] = dist(i, cols[q]) for q < 4.
void distance_columns4(const float* values, std::size_t dim, Metric metric,
                       const std::size_t (&cols)[kTileRows], std::size_t begin, std::size_t end,
                       float* out, std::size_t stride) noexcept;

// The same for the rows listed: out[k * stride + q] = dist(rows[k], cols[q]).
void distance_columns4_listed(const float* values, std::size_t dim, Metric metric,
                              const std::size_t (&cols)[kTileRows], const std::uint32_t* rows,
                              std::size_t count, float* out, std::size_t stride) noexcept;

// out[k] = dist(rows[k], cols[k]) for k < count: pairs of their own, as
// distance_column gives each.
void distance_pairs(const float* values, std::size_t dim, Metric metric, const std::uint32_t* cols,
                    const std::uint32_t* rows, std::size_t count, float* out) noexcept;

// out[i] = the sum of squares of row i of `values` (n rows of `dim`) that
// FusedDistances takes for it; only where FusedDistances::available(dim).
void row_squares(const float* values, std::size_t n, std::size_t dim, double* out) noexcept;

// Bounds from above (or below) of the distances that
// distance_columns4_listed gives, for up to 64 columns against listed rows,
// from a kernel that fuses each product into its sum and has no horizontal
// sums to finish: about 2.5 times as fast as the exact tiles. Each bound
// covers the rounding of both kernels, so a cosine bound lies within about
// 2e-5 of the exact value at d = 128. A Euclidean one comes from the rows'
// squared lengths and their product, |x|^2 + |y|^2 - 2 x.y, within about
// 1.3e-5 of |x| + |y| on random rows (far rows near one another get loose
// bounds, which cost time and never a result). For bounds only: no value of
// it reaches a result.
class FusedDistances {
 public:
  static constexpr std::size_t kColumns = 64;
  // Whether the active build has the kernel for rows of `dim` values (under
  // either metric).
  static bool available(std::size_t dim) noexcept;
  // The columns cols[0 .. count), count <= kColumns, of the rows `values`
  // (of `dim` floats, of unit length under cosine); only when
  // available(dim).
  // The rows that above() and below() list are those of `rows`, where given
  // (a copy of rows in the order they are read, say), or else of `values`.
  // `squares`, where given, holds row_squares of those rows, by the same
  // index, which the kernel then need not sum again.
  FusedDistances(const float* values, std::size_t dim, Metric metric, const std::size_t* cols,
                 std::size_t count, const float* rows = nullptr, const double* squares = nullptr);
  // out[k * stride + q] >= dist(rows[k], cols[q]) for k < count and q below
  // the columns' count, at a cost that grows with it by sixteen; the lanes
  // past it up to kColumns are left alone or get values to ignore.
  void above(const std::uint32_t* rows, std::size_t count, float* out,
             std::size_t stride) const noexcept;
  // The same from below: out[k * stride + q] <= dist(rows[k], cols[q]).
  void below(const std::uint32_t* rows, std::size_t count, float* out,
             std::size_t stride) const noexcept;

 private:
  const float* values_;
  const double* squares_;
  std::size_t dim_;
  std::size_t columns_;
  // Value k of column q at turned()[k * kColumns + q], zero past the count:
  // storage_ from its first 64-byte boundary on (derived, so copies stay whole).
  const float* turned() const noexcept;
  std::vector<float> storage_;
  bool euclidean_;
  float norms_[kColumns];  // from above
  // Squared lengths from above and below, under Euclidean distance.
  float squares_up_[kColumns], squares_down_[kColumns];
};

// Bit j of masks[w] tells whether a[64 w + j] < b[64 w + j], for positions
// below len (a NaN on either side never counts; bits past len are 0).
void below_masks(const float* a, const float* b, std::size_t len, std::uint64_t* masks) noexcept;
void below_masks_with(KernelLevel level, const float* a, const float* b, std::size_t len,
                      std::uint64_t* masks) noexcept;

// A column kept only where its distances lie below a cutoff: bit j of
// support[w] marks row 64 w + j as kept, and the kept values follow one
// another in row order in `packed`. Writes the kept rows below len whose value
// lies below b[row], in row order, to `rows`, and their values to `values`,
// and returns how many; both need sixteen entries of room past that count.
// `packed` starts at the first value of these rows and must have 16 readable
// floats past its last one.
std::size_t kept_below(const std::uint64_t* support, const float* packed, const float* b,
                       std::size_t len, std::uint32_t* rows, float* values) noexcept;
// The sum of b[row] - value, each term in doubles, over the kept rows below
// len whose value lies below b[row] (the layout of kept_below), added in any
// order. Returns false, the sum then being of no use, where such a row's
// b[row], or its value if not zero, lies below `tiny`.
bool kept_gain_below(const std::uint64_t* support, const float* packed, const float* b,
                     std::size_t len, float tiny, double* sum) noexcept;
bool kept_gain_below_with(KernelLevel level, const std::uint64_t* support, const float* packed,
                          const float* b, std::size_t len, float tiny, double* sum) noexcept;
// Whether a gaining term bound - value keeps such a sum exact: neither the
// bound nor a nonzero value lies below `tiny`.
inline bool gain_term_fits(float bound, float value, float tiny) noexcept {
  return !(bound < tiny) && (value == 0.0f || !(value < tiny));
}
// At KernelLevel::Avx512, `bytes` asks for the build with byte compression
// where the processor has it.
std::size_t kept_below_with(KernelLevel level, bool bytes, const std::uint64_t* support,
                            const float* packed, const float* b, std::size_t len,
                            std::uint32_t* rows, float* values) noexcept;

// The default budget of a column cache, a quarter of process_memory_limit():
// a smaller machine or cgroup keeps fewer columns and recomputes more.
std::size_t default_column_budget() noexcept;

// One column, either held by a cache or owned by this handle.
class Column {
 public:
  explicit Column(const float* cached, std::size_t n) noexcept : data_(cached), n_(n) {}
  Column(std::unique_ptr<float[]> owned, std::size_t n) noexcept
      : owned_(std::move(owned)), data_(owned_.get()), n_(n) {}
  std::span<const float> values() const noexcept { return {data_, n_}; }
  const float* data() const noexcept { return data_; }
  bool cached() const noexcept { return owned_ == nullptr; }

 private:
  std::unique_ptr<float[]> owned_;
  const float* data_;
  std::size_t n_;
};

// The bytes that everything derived from one matrix (its cached columns, the
// sweep's checkpoints, facility location's kept entries) may hold at once.
class MemoryLedger {
 public:
  explicit MemoryLedger(std::size_t budget) noexcept : budget_(budget) {}
  MemoryLedger(const MemoryLedger&) = delete;
  MemoryLedger& operator=(const MemoryLedger&) = delete;

  // Takes `bytes` from the budget if they fit; refund() gives them back.
  bool charge(std::size_t bytes) noexcept;
  void refund(std::size_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }

  void set_budget(std::size_t bytes) noexcept { budget_.store(bytes, std::memory_order_relaxed); }
  std::size_t budget() const noexcept { return budget_.load(std::memory_order_relaxed); }
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }
  // The most ever in use at once.
  std::size_t peak() const noexcept { return peak_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> peak_{0};
  std::atomic<std::size_t> budget_;
};

// Columns of one n-row matrix, paid for from its ledger, each filled once
// and then read by any thread without locks. A column that does not fit is
// left to the caller to compute.
class ColumnCache {
 public:
  ColumnCache(std::size_t n, MemoryLedger& ledger) noexcept;
  ~ColumnCache();
  ColumnCache(const ColumnCache&) = delete;
  ColumnCache& operator=(const ColumnCache&) = delete;

  const float* find(std::size_t c) const noexcept {
    return slots_[c].load(std::memory_order_acquire);
  }
  // Room for one column, or nullptr when the budget is spent.
  std::unique_ptr<float[]> reserve();
  // Publishes a filled column from reserve(); when another thread published
  // column c first, frees this one and returns the other.
  const float* publish(std::size_t c, std::unique_ptr<float[]> filled) noexcept;

 private:
  std::size_t n_;
  MemoryLedger& ledger_;
  std::unique_ptr<std::atomic<float*>[]> slots_;
};

// What a matrix derives from its values for the calls that use it. Whoever
// holds it keeps the ledger to refund; its address identifies the matrix.
struct MatrixData {
  MatrixData(std::size_t n, std::size_t budget) : ledger(budget), columns(n, ledger) {}
  MemoryLedger ledger;
  ColumnCache columns;
};

}  // namespace tarvex
