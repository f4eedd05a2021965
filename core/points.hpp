// The validated, immutable point matrix and its distance.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <mutex>
#include <span>

#include "columns.hpp"
#include "control.hpp"
#include "error.hpp"
#include "metric.hpp"

namespace tarvex {

// A farthest-pair candidate: distance d between rows i < j.
struct FarPair {
  float d;
  std::size_t i;
  std::size_t j;
  friend bool operator==(const FarPair&, const FarPair&) = default;
};

inline constexpr FarPair kPairIdentity{-std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<std::size_t>::max(),
                                       std::numeric_limits<std::size_t>::max()};

// Larger d in the total order, then smaller i, then smaller j (a on a full tie).
inline FarPair better_pair(const FarPair& a, const FarPair& b) noexcept {
  const auto ka = total_order_key(a.d), kb = total_order_key(b.d);
  if (ka != kb) return ka > kb ? a : b;
  if (a.i != b.i) return a.i < b.i ? a : b;
  if (a.j != b.j) return a.j < b.j ? a : b;
  return a;
}

// The normalised copy starts on a cache line, so rows whose size is a
// multiple of 64 bytes never make a vector load straddle two lines.
struct AlignedValuesDelete {
  void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t{64}); }
};
using OwnedValues = std::unique_ptr<float[], AlignedValuesDelete>;

class Points {
 public:
  // Under Euclidean the result views `values` (which must outlive it and stay
  // unchanged); under cosine it owns one normalised copy.
  static Result<Points> borrowed(std::span<const float> values, std::size_t dim, Metric metric);

  Points(Points&&) noexcept = default;
  Points& operator=(Points&&) noexcept = default;
  Points(const Points&) = delete;
  Points& operator=(const Points&) = delete;

  std::size_t n() const noexcept { return n_; }
  std::size_t dim() const noexcept { return dim_; }
  std::size_t len() const noexcept { return n_ * dim_; }
  Metric metric() const noexcept { return metric_; }
  const float* values() const noexcept { return values_; }
  const float* row(std::size_t i) const noexcept { return values_ + i * dim_; }
  bool owns_values() const noexcept { return owned_ != nullptr; }

  // Throws ContractViolation for an index out of range (i before j).
  float dist(std::size_t i, std::size_t j) const {
    if (i == j) return 0.0f;
    if (i >= n_ || j >= n_) out_of_range(i, j);
    return dist_unchecked(i, j);
  }

  // For loops whose indices are below n by construction.
  float dist_unchecked(std::size_t i, std::size_t j) const noexcept {
    if (i == j) return 0.0f;
    return distance_of(row(i), row(j));
  }

  // The distance between two raw rows of this matrix's dimensionality.
  float distance_of(const float* a, const float* b) const noexcept;

  // The exact farthest pair, computed on the shared worker pool once per
  // matrix (facility location under Euclidean distance and the driver both
  // ask for it).
  FarPair diameter() const;

  // dist(i, c) for every row i, each value bit-identical to dist(i, c). A
  // matrix lives for one call, so it caches the columns that its callers ask
  // for, within a byte budget (default_column_budget()); beyond it every
  // request computes the column afresh. Safe from any number of threads.
  Column column(std::size_t c) const;
  // The cache behind column(), for callers that compute many columns at once.
  ColumnCache& columns() const noexcept { return data_->columns; }
  // The byte budget shared by everything derived from this matrix; a new
  // budget holds for what is charged from then on, what is held stays.
  MemoryLedger& ledger() const noexcept { return data_->ledger; }
  // Identifies this matrix to data built from it elsewhere (a memo holding it
  // can tell its matrix from another and refund its ledger after it is gone).
  const std::shared_ptr<MatrixData>& data() const noexcept { return data_; }

 private:
  Points(OwnedValues owned, const float* values, std::size_t n, std::size_t dim, Metric metric);

  [[noreturn]] void out_of_range(std::size_t i, std::size_t j) const;
  FarPair farthest_pair() const;

  struct DiameterMemo {
    control::Once once;
    FarPair pair{};
  };

  OwnedValues owned_;
  const float* values_;
  std::size_t n_;
  std::size_t dim_;
  Metric metric_;
  std::shared_ptr<MatrixData> data_;
  std::unique_ptr<DiameterMemo> diameter_;
};

}  // namespace tarvex
