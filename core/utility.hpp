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
  virtual double marginal(std::size_t index, std::span<const std::size_t> selected,
                          const Points& points) const = 0;
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
  explicit Linear(std::vector<double> weights)
      : weights_(std::make_shared<const std::vector<double>>(std::move(weights))) {}
  static Linear uniform(std::size_t n) { return Linear(std::vector<double>(n, 1.0)); }

  double marginal(std::size_t index, std::span<const std::size_t> selected,
                  const Points& points) const override;
  void commit(std::size_t, const Points&) override {}
  void reset() override {}
  bool is_linear() const override { return true; }
  Status validate(const Points& points) const override;
  std::unique_ptr<Utility> boxed_clone() const override;

  const std::vector<double>& weights() const noexcept { return *weights_; }

 private:
  std::shared_ptr<const std::vector<double>> weights_;
};

class Coverage final : public Utility {
 public:
  // Sorts and de-duplicates every list; fails on an item >= universe.
  static Result<Coverage> create(std::vector<std::vector<std::uint32_t>> sets,
                                 std::size_t universe);

  double marginal(std::size_t index, std::span<const std::size_t> selected,
                  const Points& points) const override;
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

class FacilityLocation final : public Utility {
 public:
  static FacilityLocation create(const Points& points);

  double marginal(std::size_t index, std::span<const std::size_t> selected,
                  const Points& points) const override;
  void commit(std::size_t index, const Points& points) override;
  void reset() override;
  Status validate(const Points& points) const override;
  std::unique_ptr<Utility> boxed_clone() const override;

  float scale() const noexcept { return scale_; }
  std::span<const double> best() const noexcept { return best_; }

 private:
  FacilityLocation(float scale, std::size_t n) : best_(n, 0.0), scale_(scale) {}
  double similarity(std::size_t i, std::size_t c, const Points& points) const;
  void check_points(const Points& points) const;

  std::vector<double> best_;
  float scale_;
};

}  // namespace tarvex
