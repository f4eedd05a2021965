#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "gist.hpp"
#include "points.hpp"
#include "utility.hpp"

namespace tarvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kMinEps = 1.1920929e-7f;  // 2^-23

Points make_points(const std::vector<float>& values, std::size_t dim,
                   Metric metric = Metric::Euclidean) {
  auto made = Points::borrowed(values, dim, metric);
  EXPECT_TRUE(made.has_value());
  return std::move(*made);
}

using Ladder = std::vector<float>;

TEST(ThresholdLadder, ReproducesTheTable) {
  EXPECT_EQ(thresholds_with_bound(1.0f, 1.0f, 2.0), (Ladder{0.5f, 1.0f}));
  EXPECT_EQ(thresholds_with_bound(1.0f, 1.0f, 4.0), (Ladder{0.5f, 1.0f, 2.0f}));
  EXPECT_EQ(thresholds_with_bound(1.0f, 0.5f, 4.0), (Ladder{0.25f, 0.375f, 0.5625f, 0.84375f}));
  EXPECT_EQ(thresholds_with_bound(2.0f, 0.25f, 8.0),
            (Ladder{0.25f, 0.3125f, 0.390625f, 0.48828125f, 0.6103515625f, 0.762939453125f,
                    0.95367431640625f, 1.1920928955078125f, 1.4901161193847656f,
                    1.862645149230957f}));

  // The default eps, with the bounds the driver passes for exact and approx.
  const float eps = 0.1f;
  const Ladder exact = thresholds_with_bound(1.0f, eps, 2.0 / static_cast<double>(eps));
  ASSERT_EQ(exact.size(), 32u);
  EXPECT_EQ(exact.front(), 0.05f);
  EXPECT_NEAR(exact.back(), 0.9597f, 1e-4f);
  EXPECT_LE(exact.back(), 1.0f);
  const Ladder approx = thresholds_with_bound(1.0f, eps, 4.0 / static_cast<double>(eps));
  ASSERT_EQ(approx.size(), 39u);
  EXPECT_EQ(approx.front(), 0.05f);
  EXPECT_NEAR(approx.back(), 1.8702f, 1e-4f);
  // The first 32 entries are the same ladder.
  EXPECT_EQ(Ladder(approx.begin(), approx.begin() + 32), exact);
  for (std::size_t k = 1; k < approx.size(); ++k) EXPECT_LT(approx[k - 1], approx[k]);
}

TEST(ThresholdLadder, BoundIsComparedWithTheRepeatedProduct) {
  // (1 + 0.3f)^4 as four multiplications in doubles is 2.8561001047611247,
  // one unit in the last place below pow(1 + 0.3f, 4): a bound of exactly the
  // product admits the fifth threshold.
  const double product = 2.8561001047611247;
  EXPECT_EQ(thresholds_with_bound(1.0f, 0.3f, product).size(), 5u);
  EXPECT_EQ(thresholds_with_bound(1.0f, 0.3f, std::nextafter(product, 0.0)).size(), 4u);
}

TEST(ThresholdLadder, TopEqualsDiameterWhenTheProductLandsOnTheBound) {
  for (float d_max : {1.0f, 0.7f, 3e-20f, 12345.678f}) {
    EXPECT_EQ(thresholds_with_bound(d_max, 1.0f, 2.0), (Ladder{d_max / 2, d_max}));
    EXPECT_EQ(thresholds_with_bound(d_max, 1.0f, 4.0), (Ladder{d_max / 2, d_max, 2 * d_max}));
  }
}

TEST(ThresholdLadder, GuardsGiveAnEmptyLadder) {
  EXPECT_TRUE(thresholds_with_bound(1.0f, 0.5f, 0.5).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, 0.5f, std::nan("")).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, 0.5f, -4.0).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, 0.0f, 4.0).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, -0.5f, 4.0).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, kNan, 4.0).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, kInf, 4.0).empty());
  EXPECT_TRUE(thresholds_with_bound(1.0f, std::nextafter(kMinEps, 0.0f), 4.0).empty());
  // The smallest accepted eps, and a bound of exactly 1: one entry.
  EXPECT_EQ(thresholds_with_bound(1.0f, kMinEps, 1.0), (Ladder{kMinEps / 2}));
  EXPECT_EQ(thresholds_with_bound(1.0f, 0.5f, 1.0), (Ladder{0.25f}));
  // Just below the next product: still one entry.
  EXPECT_EQ(thresholds_with_bound(1.0f, 0.5f, 1.4999999), (Ladder{0.25f}));
}

TEST(ThresholdLadder, RepeatsAfterRoundingAreDropped) {
  EXPECT_EQ(thresholds_with_bound(0.0f, 0.1f, 20.0), (Ladder{0.0f}));
  EXPECT_EQ(thresholds_with_bound(kInf, 0.5f, 4.0), (Ladder{kInf}));
  // On the smallest subnormal, 0.25, 0.375, 0.5625 and 0.84375 of it round
  // to 0, 0, 1 and 1 of it.
  const float tiny = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(thresholds_with_bound(tiny, 0.5f, 4.0), (Ladder{0.0f, tiny}));
}

TEST(ThresholdLadder, InfiniteBoundStillEnds) {
  const Ladder got = thresholds_with_bound(1.0f, 0.5f, std::numeric_limits<double>::infinity());
  ASSERT_FALSE(got.empty());
  for (std::size_t k = 1; k < got.size(); ++k) EXPECT_LT(got[k - 1], got[k]);
  // A step that outgrows the doubles before the bound ends the ladder too,
  // rather than adding NaN (infinity times a zero d_max).
  EXPECT_EQ(thresholds_with_bound(0.0f, 5.8e22f, 1e299), (Ladder{0.0f}));
}

TEST(ApproxDiameter, OneAndTwoRows) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::vector<float> one = {1.0f, 2.0f};
    for (std::size_t sweeps : {0u, 1u, 5u}) {
      EXPECT_EQ(approx_diameter(make_points(one, 2, metric), sweeps), (FarPair{0.0f, 0, 0}));
    }
    const std::vector<float> two = {1.0f, 2.0f, -3.0f, 0.5f};
    const Points p = make_points(two, 2, metric);
    for (std::size_t sweeps : {0u, 1u, 5u}) {
      EXPECT_EQ(approx_diameter(p, sweeps), (FarPair{p.dist(0, 1), 0, 1}));
    }
  }
}

TEST(ApproxDiameter, DoubleSweepOnALine) {
  // From row 0 the first sweep finds row 3, the second row 0 again: the pair
  // comes back ordered although the second sweep ends on the lower row.
  const std::vector<float> line = {0.0f, 1.0f, 2.0f, 10.0f};
  const Points p = make_points(line, 1);
  for (std::size_t sweeps : {0u, 1u, 2u, 3u, 4u, 100u}) {
    EXPECT_EQ(approx_diameter(p, sweeps), (FarPair{10.0f, 0, 3})) << sweeps;
  }
  EXPECT_EQ(p.diameter(), (FarPair{10.0f, 0, 3}));
}

TEST(ApproxDiameter, LaterPassesStartFromTheLastFarRow) {
  // Pass 1 from row 0 ends on (2, 4); pass 2 starts from row 4 and finds the
  // true diameter (3, 4).
  const std::vector<float> pts = {7, 3, 2, 6, -9, 6, -8, 0, 9, 9, 3, -4};
  const Points p = make_points(pts, 2);
  const FarPair one = approx_diameter(p, 1);
  EXPECT_EQ(one.i, 2u);
  EXPECT_EQ(one.j, 4u);
  EXPECT_EQ(one.d, p.dist(2, 4));
  EXPECT_EQ(approx_diameter(p, 0), one);
  const FarPair two = approx_diameter(p, 2);
  EXPECT_EQ(two, p.diameter());
  EXPECT_EQ(two.i, 3u);
  EXPECT_EQ(two.j, 4u);
  EXPECT_EQ(approx_diameter(p, 6), two);
  // Passes are capped at n: a huge count must still return at once.
  EXPECT_EQ(approx_diameter(p, std::numeric_limits<std::size_t>::max()), two);
}

TEST(ApproxDiameter, SweepTiesGoToTheSmallestRow) {
  // Rows 1 and 2 are equally far from row 0; continuing from row 1 (the
  // smaller) reaches row 3 at 3.9, from row 2 only row 1 at 2.83.
  const std::vector<float> pts = {0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 2.0f, -1.9f, 0.0f};
  const Points p = make_points(pts, 2);
  const FarPair got = approx_diameter(p, 1);
  EXPECT_EQ(got, (FarPair{p.dist(1, 3), 1, 3}));
  EXPECT_FLOAT_EQ(got.d, 3.9f);
}

TEST(ApproxDiameter, AnActualPairBetweenHalfAndAllOfTheDiameter) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  for (int trial = 0; trial < 20; ++trial) {
    const std::size_t n = 2 + trial * 7, dim = 1 + trial % 5;
    std::vector<float> values(n * dim);
    for (auto& x : values) x = normal(rng);
    const Points p = make_points(values, dim);
    const FarPair exact = p.diameter();
    for (std::size_t sweeps : {1u, 3u}) {
      const FarPair got = approx_diameter(p, sweeps);
      ASSERT_LT(got.i, got.j);
      EXPECT_EQ(got.d, p.dist(got.i, got.j));
      EXPECT_LE(got.d, exact.d);
      EXPECT_GE(got.d, exact.d / 2);
    }
  }
}

TEST(ExhaustiveThresholds, HalvesOfEveryDistinctDistanceWithZero) {
  const std::vector<float> one = {1.0f, 2.0f, 3.0f};
  EXPECT_EQ(exhaustive_threshold_set(make_points(one, 3)), (Ladder{0.0f}));
  EXPECT_EQ(exhaustive_threshold_set(make_points(one, 3, Metric::Cosine)), (Ladder{0.0f}));

  const std::vector<float> two = {0.0f, 0.8f};
  EXPECT_EQ(exhaustive_threshold_set(make_points(two, 1)), (Ladder{0.0f, 0.4f}));

  // Distances 0.25, 0.25 and 0.5: the repeat collapses.
  const std::vector<float> three = {0.0f, 0.25f, 0.5f};
  EXPECT_EQ(exhaustive_threshold_set(make_points(three, 1)), (Ladder{0.0f, 0.125f, 0.25f}));
  // Unsorted input rows and distinct distances 3, 4 and 5.
  const std::vector<float> triangle = {3.0f, 0.0f, 0.0f, 4.0f, 0.0f, 0.0f};
  EXPECT_EQ(exhaustive_threshold_set(make_points(triangle, 2)), (Ladder{0.0f, 1.5f, 2.0f, 2.5f}));

  const std::vector<float> same(5 * 4, 1.5f);
  EXPECT_EQ(exhaustive_threshold_set(make_points(same, 4)), (Ladder{0.0f}));
}

TEST(ExhaustiveThresholds, CosineFollowsTheComputedDistances) {
  // Unit vectors with cosines 0.8, 0.8 and 0.4: distances about 0.2, 0.2 and
  // 0.6, each as the normalised rows give it.
  const std::vector<float> rows = {1.0f, 0.0f, 0.0f, 0.8f, 0.6f, 0.0f,
                                   0.4f, 0.8f, std::sqrt(0.2f)};
  const Points p = make_points(rows, 3, Metric::Cosine);
  const Ladder got = exhaustive_threshold_set(p);
  Ladder want = {0.0f, p.dist(0, 1) * 0.5f, p.dist(1, 2) * 0.5f, p.dist(0, 2) * 0.5f};
  std::sort(want.begin(), want.end());
  want.erase(std::unique(want.begin(), want.end()), want.end());
  EXPECT_EQ(got, want);
  EXPECT_NEAR(got[1], 0.1f, 1e-6f);
  EXPECT_NEAR(got.back(), 0.3f, 1e-6f);

  // Copies of one row: any entry past 0.0 is rounding noise of the
  // normalisation, and never below 0.
  const std::vector<float> copies = {0.3f, -1.7f, 2.9f, 0.3f, -1.7f, 2.9f, 0.3f, -1.7f, 2.9f};
  const Ladder noise = exhaustive_threshold_set(make_points(copies, 3, Metric::Cosine));
  ASSERT_FALSE(noise.empty());
  EXPECT_EQ(noise.front(), 0.0f);
  EXPECT_LT(noise.back(), 1e-7f);
}

// Refused before any distance is computed (the exact diameter of 200,000
// rows alone would take minutes), saying what was needed and what is not there.
TEST(ExhaustiveThresholds, ASetThatCannotFitIsRefusedFirst) {
  for (std::size_t n : {std::size_t{200000}, std::size_t{1} << 24}) {
    const std::vector<float> values(n, 0.5f);
    const Points p = make_points(values, 1);
    const std::string needs = "the exhaustive threshold set of " + std::to_string(n) + " points needs " +
                              std::to_string(n * (n + 1) / 2 * 4) + " bytes; ";
    for (bool whole_call : {false, true}) {
      try {
        if (whole_call) {
          Linear u = Linear::uniform(n);
          GistParams params;
          params.k = 2;
          params.exhaustive_thresholds = true;
          (void)gist(p, u, params);
        } else {
          (void)exhaustive_threshold_set(p);
        }
        ADD_FAILURE() << "no MemoryShortfall for " << n;
      } catch (const MemoryShortfall& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.substr(0, needs.size()), needs);
        EXPECT_TRUE(text.ends_with(" are available")) << text;
      }
    }
  }
}

// Sorted by a radix sort that polls; any sort gives the same list.
TEST(ExhaustiveThresholds, LargeSetsMatchAPlainSort) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> coord(-3, 3);
  for (bool grid : {false, true}) {
    const std::size_t n = 400, dim = 3;
    std::vector<float> values(n * dim);
    std::normal_distribution<float> normal;
    for (auto& x : values) x = grid ? static_cast<float>(coord(rng)) : normal(rng);
    const Points p = make_points(values, dim);
    Ladder want = {0.0f};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) want.push_back(p.dist(i, j) * 0.5f);
    }
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    EXPECT_EQ(exhaustive_threshold_set(p), want) << "grid " << grid;
  }
}

// The double sweep as written: every pass, however many repeat.
FarPair plain_double_sweep(const Points& p, std::size_t sweeps) {
  if (p.n() < 2) return FarPair{0.0f, 0, 0};
  const auto farthest = [&p](std::size_t from) {
    std::size_t best = from == 0 ? 1 : 0;
    for (std::size_t j = 0; j < p.n(); ++j) {
      if (j != from && total_order_key(p.dist(from, j)) > total_order_key(p.dist(from, best))) best = j;
    }
    return best;
  };
  FarPair best = kPairIdentity;
  std::size_t start = 0;
  for (std::size_t pass = 0; pass < (sweeps == 0 ? 1 : std::min(sweeps, p.n())); ++pass) {
    const std::size_t a = farthest(start), b = farthest(a);
    best = better_pair(best, FarPair{p.dist(a, b), std::min(a, b), std::max(a, b)});
    start = b;
  }
  return best;
}

TEST(ApproxDiameter, StoppingAtARepeatedStartChangesNothing) {
  std::mt19937 rng(12);
  std::uniform_int_distribution<int> coord(-2, 2);
  std::normal_distribution<float> normal;
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t n = 2 + trial * 3, dim = 1 + trial % 4;
    std::vector<float> values(n * dim);
    for (auto& x : values) x = trial % 2 ? static_cast<float>(coord(rng)) : normal(rng) + 3.0f;
    const Points p = make_points(values, dim, trial % 4 == 0 ? Metric::Cosine : Metric::Euclidean);
    for (std::size_t sweeps : {std::size_t{2}, std::size_t{5}, n, std::numeric_limits<std::size_t>::max()}) {
      EXPECT_EQ(approx_diameter(p, sweeps), plain_double_sweep(p, sweeps)) << trial << " " << sweeps;
    }
  }
}

}  // namespace
}  // namespace tarvex
