// Small helpers shared by the core tests: matrices that own their values,
// random GIST instances of every utility, gain tables.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "gist.hpp"
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

enum class Kind { Linear, Coverage, FacilityLocation };

// Small integer coordinates give duplicate rows and equal distances, where
// tie rules show; normal ones give distinct values.
inline std::vector<float> instance_values(std::mt19937_64& rng, std::size_t n, std::size_t dim,
                                          bool grid) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> coord(-2, 2);
  std::vector<float> v;
  for (std::size_t r = 0; r < n; ++r) {
    bool nonzero = false;
    for (std::size_t c = 0; c < dim; ++c) {
      const float x = grid ? static_cast<float>(coord(rng)) : normal(rng);
      nonzero = nonzero || x != 0.0f;
      v.push_back(x);
    }
    if (!nonzero) v.back() = 1.0f;  // cosine refuses zero rows
  }
  return v;
}

// Up to five random items of `universe` per row.
inline std::vector<std::vector<std::uint32_t>> instance_sets(std::mt19937_64& rng, std::size_t n,
                                                             std::size_t universe) {
  auto pick = [&](std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
  };
  std::vector<std::vector<std::uint32_t>> sets(n);
  for (auto& list : sets) {
    for (std::size_t m = pick(0, 5); m > 0; --m) {
      list.push_back(static_cast<std::uint32_t>(pick(0, universe - 1)));
    }
  }
  return sets;
}

// One GIST call's inputs; the values outlive the matrices made of them.
struct Instance {
  std::vector<float> values;
  std::size_t dim = 1;
  Metric metric = Metric::Cosine;
  Kind kind = Kind::Linear;
  std::vector<double> weights;
  std::vector<std::vector<std::uint32_t>> sets;
  std::size_t universe = 1;
  GistParams params;

  Points points() const { return std::move(Points::borrowed(values, dim, metric).value()); }
  std::unique_ptr<Utility> utility(const Points& p) const {
    switch (kind) {
      case Kind::Linear: return std::make_unique<Linear>(weights);
      case Kind::Coverage:
        return std::make_unique<Coverage>(std::move(Coverage::create(sets, universe).value()));
      case Kind::FacilityLocation: return std::make_unique<FacilityLocation>(FacilityLocation::create(p));
    }
    return nullptr;
  }
};

using InstanceMaker = std::function<Instance(std::uint64_t seed, Metric, Kind, bool approx,
                                             bool exhaustive)>;

// `reps` instances of every utility, both metrics, both diameter modes and
// both threshold lists, seeded from `seed` on.
inline std::vector<Instance> instance_bank(const InstanceMaker& make, int reps, std::uint64_t seed) {
  std::vector<Instance> bank;
  for (int rep = 0; rep < reps; ++rep) {
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      for (Kind kind : {Kind::Linear, Kind::Coverage, Kind::FacilityLocation}) {
        for (bool approx : {false, true}) {
          for (bool exhaustive : {false, true}) {
            bank.push_back(make(seed++, metric, kind, approx, exhaustive));
          }
        }
      }
    }
  }
  return bank;
}

// A selection's numbers from single gains and every pairwise distance.
struct Evaluated {
  double f, g;
  float div;
};

inline Evaluated evaluate_by_hand(const Points& p, Utility& u, const Selection& s, float d_max, double lam) {
  u.reset();
  double g = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    g += u.marginal(s[i], p);
    u.commit(s[i], p);
  }
  u.reset();
  float div = d_max;
  if (s.size() >= 2) {
    div = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < s.size(); ++i) {
      for (std::size_t j = i + 1; j < s.size(); ++j) {
        const float dd = p.dist(s[i], s[j]);
        if (dd < div) div = dd;
      }
    }
  }
  return {g + (lam == 0.0 ? 0.0 : lam * static_cast<double>(div)), g, div};
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
