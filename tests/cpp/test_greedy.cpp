#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "fixtures.hpp"
#include "greedy.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

float diameter(const Points& p) {
  float d = 0.0f;
  for (std::size_t i = 0; i < p.n(); ++i) {
    for (std::size_t j = i + 1; j < p.n(); ++j) d = std::max(d, p.dist(i, j));
  }
  return d;
}

// What any correct run guarantees, whatever the variant: an independent set
// at threshold d that could not have grown, on a utility holding exactly it.
void expect_sound_run(const Points& p, const Utility& after, const Utility& pristine,
                      const Selection& s, std::size_t k, float d) {
  const std::size_t m = std::min(k, p.n());
  ASSERT_LE(s.size(), m);
  EXPECT_EQ(std::set<std::size_t>(s.begin(), s.end()).size(), s.size()) << "repeated row";
  for (std::size_t a = 0; a < s.size(); ++a) {
    for (std::size_t b = a + 1; b < s.size(); ++b) {
      EXPECT_FALSE(d > p.dist(s[a], s[b])) << "rows " << s[a] << ", " << s[b] << " closer than " << d;
    }
  }
  if (s.size() < m) {
    for (std::size_t i = 0; i < p.n(); ++i) {
      if (std::find(s.begin(), s.end(), i) != s.end()) continue;
      EXPECT_TRUE(std::any_of(s.begin(), s.end(), [&](std::size_t j) { return d > p.dist(i, j); }))
          << "row " << i << " was still admissible";
    }
  }
  auto replay = pristine.boxed_clone();
  replay->reset();
  for (std::size_t r : s) replay->commit(r, p);
  EXPECT_EQ(marginals(after, p), marginals(*replay, p)) << "committed state differs from selection";
}

// Small integer coordinates make ties in distances and gains common; some rows
// are exact duplicates of earlier ones.
std::vector<float> grid_values(std::mt19937& rng, std::size_t n, std::size_t dim) {
  std::uniform_int_distribution<int> coord(-2, 2), pick(0, 3);
  std::vector<float> v;
  for (std::size_t r = 0; r < n; ++r) {
    if (r > 0 && pick(rng) == 0) {
      const std::size_t src = std::uniform_int_distribution<std::size_t>(0, r - 1)(rng);
      for (std::size_t c = 0; c < dim; ++c) v.push_back(v[src * dim + c]);
      continue;
    }
    bool nonzero = false;
    for (std::size_t c = 0; c < dim; ++c) {
      const int x = coord(rng);
      nonzero |= x != 0;
      v.push_back(static_cast<float>(x));
    }
    if (!nonzero) v[r * dim] = 1.0f;  // cosine needs a non-zero norm
  }
  return v;
}

std::vector<float> thresholds_for(std::mt19937& rng, const Points& p) {
  const float diam = diameter(p);
  std::vector<float> t{0.0f, kNaN, diam, std::nextafter(diam, kInf), 2.0f * diam + 1.0f};
  std::uniform_int_distribution<std::size_t> row(0, p.n() - 1);
  for (int q = 0; q < 4; ++q) {
    const float between = p.dist(row(rng), row(rng));
    t.push_back(between);
    t.push_back(std::nextafter(between, 0.0f));
  }
  return t;
}

std::vector<std::unique_ptr<Utility>> utilities_for(std::mt19937& rng, const Points& p) {
  const std::size_t n = p.n();
  std::vector<double> w;
  std::uniform_int_distribution<int> level(0, 3);
  for (std::size_t i = 0; i < n; ++i) w.push_back(0.5 * level(rng));
  std::vector<std::vector<std::uint32_t>> sets(n);
  std::uniform_int_distribution<std::uint32_t> item(0, 5), count(0, 3);
  for (auto& s : sets) {
    for (std::uint32_t c = count(rng); c > 0; --c) s.push_back(item(rng));
  }
  std::vector<std::unique_ptr<Utility>> out;
  out.push_back(std::make_unique<Linear>(std::move(w)));
  out.push_back(std::make_unique<Coverage>(std::move(Coverage::create(std::move(sets), 6).value())));
  out.push_back(std::make_unique<FacilityLocation>(FacilityLocation::create(p)));
  return out;
}

TEST(GreedyVariants, ScanAndLazyAgreeOnRandomInstances) {
  std::mt19937 rng(20240521);
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 24)(rng);
    const std::size_t dim = std::uniform_int_distribution<std::size_t>(1, 3)(rng);
    const Metric metric = trial % 2 ? Metric::Cosine : Metric::Euclidean;
    const Matrix m(grid_values(rng, n, dim), dim, metric);
    const auto thresholds = thresholds_for(rng, m.points);
    for (const auto& base : utilities_for(rng, m.points)) {
      ASSERT_TRUE(base->validate(m.points).has_value());
      // Hiding linearity sends greedy_independent_set to the lazy greedy.
      Counting scan_u(base->boxed_clone(), true), lazy_u(base->boxed_clone(), false);
      for (float d : thresholds) {
        for (std::size_t k : {std::size_t{1}, std::size_t{3}, n + 2}) {
          SCOPED_TRACE(testing::Message() << "trial " << trial << " n " << n << " k " << k
                                          << " d " << d << " linear " << base->is_linear());
          const Selection a = run_scan(m.points, scan_u, k, d);
          const Selection b = greedy_independent_set(m.points, lazy_u, k, d);
          ASSERT_EQ(a, b);
          expect_sound_run(m.points, lazy_u, *base, b, k, d);
          if (d == 0.0f || std::isnan(d)) {
            EXPECT_EQ(a.size(), std::min(k, n));
          } else if (d > diameter(m.points)) {
            EXPECT_EQ(a.size(), 1u);
          }
        }
      }
    }
  }
}

// Both variants, so that every rule below holds for each of them.
std::vector<Selection> both(const Points& p, const Utility& u, std::size_t k, float d) {
  Counting scan_u(u.boxed_clone(), true), lazy_u(u.boxed_clone(), false);
  return {greedy_independent_set(p, scan_u, k, d), greedy_independent_set(p, lazy_u, k, d)};
}

TEST(GreedyThreshold, RowAtExactlyTheThresholdStaysAdmissible) {
  const Matrix m({0.0f, 1.5f}, 1, Metric::Euclidean);
  const Linear uniform = Linear::uniform(2);
  const Linear heavier_second({1.0, 2.0});
  for (const Selection& s : both(m.points, uniform, 2, 1.5f)) EXPECT_EQ(s, (Selection{0, 1}));
  for (const Selection& s : both(m.points, heavier_second, 2, 1.5f)) EXPECT_EQ(s, (Selection{1, 0}));
  const float above = std::nextafter(1.5f, kInf);
  for (const Selection& s : both(m.points, uniform, 2, above)) EXPECT_EQ(s, (Selection{0}));
  for (const Selection& s : both(m.points, heavier_second, 2, above)) EXPECT_EQ(s, (Selection{1}));
}

TEST(GreedyThreshold, ZeroOrNaNShutsNothingOutAndLargeOnesLeaveOneRow) {
  // Rows 1 and 3 duplicate rows 0 and 2.
  const Matrix m({0, 0, 0, 0, 3, 4, 3, 4, 1, 1}, 2, Metric::Euclidean);
  const Linear w({1.0, 3.0, 2.0, 3.0, 0.5});
  for (float d : {0.0f, kNaN}) {
    for (const Selection& s : both(m.points, w, 9, d)) EXPECT_EQ(s, (Selection{1, 3, 2, 0, 4}));
  }
  for (const Selection& s : both(m.points, w, 9, 5.0f)) EXPECT_EQ(s, (Selection{1, 3}));
  for (const Selection& s : both(m.points, w, 9, 5.5f)) EXPECT_EQ(s, (Selection{1}));
  for (const Selection& s : both(m.points, w, 9, 1e-30f)) EXPECT_EQ(s, (Selection{1, 3, 4}));
}

TEST(GreedyTies, NegativeZeroRanksBelowPositiveZeroAndIndexBreaksTies) {
  const Matrix m({0, 1, 2, 3}, 1, Metric::Euclidean);
  const Linear w({-0.0, 0.0, -0.0, 0.0});
  for (const Selection& s : both(m.points, w, 4, 0.0f)) EXPECT_EQ(s, (Selection{1, 3, 0, 2}));
  for (const Selection& s : both(m.points, w, 1, 0.0f)) EXPECT_EQ(s, (Selection{1}));
  for (const Selection& s : both(m.points, w, 4, 2.0f)) EXPECT_EQ(s, (Selection{1, 3}));
}

TEST(GreedyTies, ZeroGainRowsAreStillTakenLowestIndexFirst) {
  const Matrix m({0, 1, 2, 3, 4}, 1, Metric::Euclidean);
  const Coverage c = std::move(Coverage::create({{0}, {0, 1, 2}, {3, 4}, {1}, {2, 4}}, 5).value());
  for (const Selection& s : both(m.points, c, 5, 0.0f)) EXPECT_EQ(s, (Selection{1, 2, 0, 3, 4}));
  for (const Selection& s : both(m.points, c, 5, 2.0f)) EXPECT_EQ(s, (Selection{1, 4}));
}

TEST(GreedyLazy, EvaluatesEachRowOnceUpFrontAndNothingForZeroK) {
  std::mt19937 rng(5);
  const Matrix m(grid_values(rng, 20, 3), 3, Metric::Euclidean);
  Counting fl(std::make_unique<FacilityLocation>(FacilityLocation::create(m.points)), false);

  EXPECT_TRUE(greedy_independent_set(m.points, fl, 0, 0.0f).empty());
  EXPECT_TRUE(run_celf(m.points, fl, 0, 0.0f).empty());
  EXPECT_EQ(fl.evaluations, 0u);

  EXPECT_EQ(run_celf(m.points, fl, 1, 0.0f).size(), 1u);
  EXPECT_EQ(fl.evaluations, 20u);
}

}  // namespace
}  // namespace tarvex
