// The monotone submodular utility g of the objective, behind one interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error.hpp"
#include "points.hpp"

namespace tarvex {

class Utility {
 public:
  virtual ~Utility() = default;
  // g(C + {index}) - g(C) for the committed rows C.
  virtual double marginal(std::size_t index, const Points& points) const = 0;
  // out[q] = marginal(rows[q], points) for every q.
  virtual void marginals(std::span<const std::size_t> rows, const Points& points,
                         std::span<double> out) const {
    for (std::size_t q = 0; q < rows.size(); ++q) out[q] = marginal(rows[q], points);
  }
  // bounds[q] bounds rows[q]'s gain as it was once the first stamps[q] of
  // the committed rows were, and so its gain now: replaces it by a bound of
  // the gain now, never larger, or by the gain itself, which exact[q] tells.
  // The default computes every gain.
  virtual void tighten(std::span<const std::size_t> rows, std::span<const std::size_t> stamps,
                       const Points& points, std::span<double> bounds,
                       std::span<std::uint8_t> exact) const {
    (void)stamps;
    marginals(rows, points, bounds);
    for (auto& e : exact) e = 1;
  }
  // bounds[q] bounds row begin + q's gain, or is the gain, which exact[q]
  // tells: a lazy greedy's first entries, asked for with nothing committed.
  // The default computes every gain.
  virtual void first_bounds(const Points& points, std::size_t begin, std::span<double> bounds,
                            std::span<std::uint8_t> exact) const;
  virtual void commit(std::size_t index, const Points& points) = 0;
  virtual void reset() = 0;
  virtual bool is_linear() const { return false; }
  virtual Status validate(const Points& points) const = 0;
  // Safe to call from several threads at once on one object.
  virtual std::unique_ptr<Utility> boxed_clone() const = 0;
};

// Copies made by boxed_clone share the immutable per-row data (weights, item
// lists) and own their committed state, so cloning per sweep chunk stays cheap.
class Linear final : public Utility {
 public:
  explicit Linear(std::vector<double> weights);
  static Linear uniform(std::size_t n) { return Linear(std::vector<double>(n, 1.0)); }

  double marginal(std::size_t index, const Points& points) const override;
  void commit(std::size_t, const Points&) override {}
  void reset() override {}
  bool is_linear() const override { return true; }
  Status validate(const Points& points) const override;
  std::unique_ptr<Utility> boxed_clone() const override;

  const std::vector<double>& weights() const noexcept;
  // The rows by weight, greatest first in the total order, lower index first
  // among equals: the order in which a plain greedy takes them. Sorted once
  // on first use and shared by all copies.
  std::span<const std::size_t> order() const;

  struct Data;

 private:
  std::shared_ptr<Data> data_;
};

class Coverage final : public Utility {
 public:
  // Sorts and de-duplicates every list; fails on an item >= universe.
  static Result<Coverage> create(std::vector<std::vector<std::uint32_t>> sets,
                                 std::size_t universe);

  double marginal(std::size_t index, const Points& points) const override;
  void commit(std::size_t index, const Points& points) override;
  void reset() override;
  Status validate(const Points& points) const override;
  std::unique_ptr<Utility> boxed_clone() const override;

  // The sorted, de-duplicated item ids of one row.
  std::vector<std::uint32_t> items(std::size_t row) const;
  std::size_t universe() const noexcept;
  std::size_t list_count() const noexcept;
  // Number of coverage flags: the universe when it is small or dense, else one
  // per distinct item id that occurs.
  std::size_t flag_count() const noexcept { return covered_.size(); }

  struct Data;

 private:
  explicit Coverage(std::shared_ptr<const Data> data);
  std::shared_ptr<const Data> data_;
  std::vector<std::uint8_t> covered_;
};

// A gain or commit visits only the rows whose distance to the candidate lies
// below a bound kept per row (the smallest distance whose similarity no
// longer beats best[i]); every term it skips is +0.0, which leaves the sum in
// row order unchanged. What every run of a call needs alike is built once, on
// first use, and shared by all copies: the gains against an empty selection,
// and, when they all seem to fit the matrix's cache budget, each column's
// distances below the empty selection's bound (the columns a greedy run asks
// for first, greatest first gain, taking precedence). Otherwise (under
// cosine) the first gains are only bounded, from distances bounded from
// below, and computed in full where they reach a greedy run's top; and an
// object that no copy shares keeps the columns it computes afresh as far as the
// budget allows, and narrows the kept ones in place as it commits rows, to
// the distances that can still gain once those rows are committed, which
// frees room for more; once all fit, it makes narrower copies at doublings
// of its picks instead. Objects whose commits begin with those rows use them,
// and every other column is computed afresh, where the matrix's 8-bit codes
// (paid from the same budget) prove most distances too long to need computing
// once few rows can still gain. A stale gain is mostly not computed again but
// followed through the commits since: each commit notes the rows whose best
// it raised, and the gain falls by its terms' drop on those rows alone.
class FacilityLocation final : public Utility {
 public:
  static FacilityLocation create(const Points& points);

  double marginal(std::size_t index, const Points& points) const override;
  // On the pool when the rows are many and each gain is costly.
  void marginals(std::span<const std::size_t> rows, const Points& points,
                 std::span<double> out) const override;
  // Follows a stale gain through the commits since, from the distances of
  // the rows whose best they raised alone (or, under cosine, bounds of them
  // from above), when those are fewer than a column's; a margin covers the
  // rounding of both sums.
  void tighten(std::span<const std::size_t> rows, std::span<const std::size_t> stamps,
               const Points& points, std::span<double> bounds,
               std::span<std::uint8_t> exact) const override;
  // Under cosine, where no column is kept from the start, from above.
  void first_bounds(const Points& points, std::size_t begin, std::span<double> bounds,
                    std::span<std::uint8_t> exact) const override;
  void commit(std::size_t index, const Points& points) override;
  void reset() override;
  Status validate(const Points& points) const override;
  std::unique_ptr<Utility> boxed_clone() const override;

  float scale() const noexcept;
  std::span<const double> best() const noexcept { return best_; }

  struct Memo;
  struct Shared;

 private:
  FacilityLocation(std::shared_ptr<Shared> shared, std::size_t n);
  void check_points(const Points& points) const;
  // What all runs on `points` share, built on first use; nullptr when it
  // belongs to another matrix.
  const Memo* memo(const Points& points) const;
  // Calls visit(i, dist(i, c)) for the rows i, ascending, that would gain
  // from c: those whose distance lies below their bound.
  template <class Visit>
  void for_each_gaining_row(std::size_t c, const Points& points, Visit visit) const;
  // Whether column c's values are at hand, kept or cached, without
  // computing it.
  bool holds_column(const Memo* memo, std::size_t c, const Points& points) const;
  // Whether the columns that this object computes afresh, `count` of them,
  // would be kept: it grows the memo, which has room at this level.
  bool keeps_afresh(const Points& points, std::size_t count) const;
  // marginal() of up to 64 columns that are not at hand, computed together:
  // one pass of the tile kernel over the rows for all of them.
  void gains_afresh(std::span<const std::size_t> cols, const Points& points, double* out) const;

  std::shared_ptr<Shared> shared_;
  std::vector<double> best_;
  std::vector<float> below_;  // row i gains from c only while dist(i, c) < below_[i]
  std::size_t committed_ = 0;
  // What each commit since commit `history_from_` did: the rows whose best it
  // raised, with their best before. The oldest go first when they would
  // outgrow a few entries a row.
  struct Raised {
    std::vector<std::uint32_t> rows;
    std::vector<double> before;
    std::vector<float> below;  // below_ before the raise
  };
  std::vector<Raised> history_;
  std::size_t history_from_ = 0;
  std::size_t history_entries_ = 0;
  // How many of the first commits follow the memo's chain, whose levels
  // tell which kept columns hold every value that can still gain.
  std::size_t matched_ = 0;
};

}  // namespace tarvex
