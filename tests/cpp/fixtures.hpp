// Small helpers shared by the utility, greedy and concurrency tests.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "points.hpp"
#include "utility.hpp"

namespace tarvex::testing_support {

// Owns the values for as long as a Euclidean matrix borrows them.
struct Matrix {
  Matrix(std::vector<float> v, std::size_t dim, Metric metric)
      : values(std::move(v)), points(std::move(Points::borrowed(values, dim, metric).value())) {}
  Matrix(const Matrix&) = delete;
  std::vector<float> values;
  Points points;
};

inline std::vector<float> random_values(std::size_t n, std::size_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(n * dim);
  for (auto& x : v) x = normal(rng);
  return v;
}

// Every row's gain against the utility's committed rows.
inline std::vector<double> marginals(const Utility& u, const Points& points) {
  std::vector<double> out;
  for (std::size_t i = 0; i < points.n(); ++i) out.push_back(u.marginal(i, points));
  return out;
}

// Forwards to a real utility, counts gain evaluations, and can hide linearity
// so that the lazy greedy runs on a linear utility too.
class Counting final : public Utility {
 public:
  Counting(std::unique_ptr<Utility> inner, bool linear) : inner_(std::move(inner)), linear_(linear) {}

  double marginal(std::size_t index, const Points& points) const override {
    ++evaluations;
    return inner_->marginal(index, points);
  }
  void commit(std::size_t index, const Points& points) override { inner_->commit(index, points); }
  void reset() override { inner_->reset(); }
  bool is_linear() const override { return linear_; }
  Status validate(const Points& points) const override { return inner_->validate(points); }
  std::unique_ptr<Utility> boxed_clone() const override {
    return std::make_unique<Counting>(inner_->boxed_clone(), linear_);
  }

  mutable std::size_t evaluations = 0;

 private:
  std::unique_ptr<Utility> inner_;
  bool linear_;
};

}  // namespace tarvex::testing_support
