#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "fixtures.hpp"
#include "utility.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Coverage coverage(std::vector<std::vector<std::uint32_t>> sets, std::size_t universe) {
  auto c = Coverage::create(std::move(sets), universe);
  EXPECT_TRUE(c.has_value());
  return std::move(c.value());
}

// ---------------------------------------------------------------- Linear

TEST(LinearValidate, CountThenFirstBadWeightNegativeZeroAllowed) {
  const Matrix m({0, 1, 2}, 1, Metric::Euclidean);
  EXPECT_TRUE(Linear({1.0, -0.0, 2.5}).validate(m.points).has_value());

  for (double bad : {-1e-320, -0.5, kNaN, kInf, -kInf}) {
    SCOPED_TRACE(bad);
    const auto s = Linear({1.0, bad, 2.5}).validate(m.points);
    ASSERT_FALSE(s.has_value());
    const auto* e = s.error().get_if<errors::InvalidWeight>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->index, 1u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(e->value), std::bit_cast<std::uint64_t>(bad));
  }

  const auto two_bad = Linear({1.0, -2.0, kNaN}).validate(m.points);
  ASSERT_FALSE(two_bad.has_value());
  EXPECT_EQ(two_bad.error().to_string(),
            "the weight -2 at index 1 must be finite and non-negative");

  // The count is checked before any weight.
  const auto count = Linear({kNaN, 1.0, 1.0, 1.0}).validate(m.points);
  ASSERT_FALSE(count.has_value());
  EXPECT_EQ(count.error().to_string(), "expected 3 weights, one per point, but got 4");
}

// ---------------------------------------------------------------- Coverage

TEST(CoverageWorked, SortsDeduplicatesAndCountsFreshItems) {
  const Matrix m({0, 1, 2}, 1, Metric::Euclidean);
  Coverage c = coverage({{3, 1, 3, 7}, {9, 3}, {}}, 10);
  EXPECT_EQ(c.items(0), (std::vector<std::uint32_t>{1, 3, 7}));
  EXPECT_EQ(c.items(1), (std::vector<std::uint32_t>{3, 9}));
  EXPECT_FALSE(c.is_linear());
  ASSERT_TRUE(c.validate(m.points).has_value());

  EXPECT_EQ(c.marginal(0, m.points), 3.0);
  c.commit(1, m.points);
  EXPECT_EQ(c.marginal(0, m.points), 2.0);
  EXPECT_EQ(c.marginal(1, m.points), 0.0);
  EXPECT_EQ(c.marginal(2, m.points), 0.0);
  c.reset();
  EXPECT_EQ(c.marginal(0, m.points), 3.0);
  EXPECT_EQ(c.marginal(1, m.points), 2.0);
}

TEST(CoverageErrors, FirstItemOutsideTheUniverseThenListCount) {
  auto c = Coverage::create({{4, 12, 11}, {15}}, 10);
  ASSERT_FALSE(c.has_value());
  const auto* e = c.error().get_if<errors::CoverageItemOutOfUniverse>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->item, 12u);
  EXPECT_EQ(e->row, 0u);
  EXPECT_EQ(e->universe, 10u);

  const Matrix m({0, 1, 2}, 1, Metric::Euclidean);
  const auto s = coverage({{1}, {2}}, 3).validate(m.points);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(), "expected 3 coverage lists, one per point, but got 2");

  // An empty universe is fine as long as nothing refers to it.
  Coverage empty = coverage({{}, {}, {}}, 0);
  EXPECT_TRUE(empty.validate(m.points).has_value());
  EXPECT_EQ(empty.flag_count(), 0u);
  EXPECT_EQ(empty.marginal(1, m.points), 0.0);
}

// Hashed ids spread over the whole 32-bit range must cost one flag per
// distinct id, with results identical to the same structure on small ids.
TEST(CoverageLargeIds, RenumberedFlagsGiveTheSameGains) {
  constexpr std::uint32_t kTop = 4294967295u;
  const std::vector<std::vector<std::uint32_t>> big{
      {kTop, kTop - 1, 4000000000u, kTop}, {4000000000u, 17}, {kTop - 1}, {}, {17, kTop, 3000000000u}};
  // Same structure, ids renamed order-preservingly into a small universe.
  const std::vector<std::vector<std::uint32_t>> small{{4, 3, 2, 4}, {2, 0}, {3}, {}, {0, 4, 1}};

  Coverage a = coverage(big, std::size_t{kTop} + 1);
  Coverage b = coverage(small, 5);
  EXPECT_EQ(a.flag_count(), 5u);
  EXPECT_EQ(a.universe(), std::size_t{kTop} + 1);
  EXPECT_EQ(a.items(0), (std::vector<std::uint32_t>{4000000000u, kTop - 1, kTop}));
  EXPECT_EQ(a.items(4), (std::vector<std::uint32_t>{17, 3000000000u, kTop}));

  const Matrix m({0, 1, 2, 3, 4}, 1, Metric::Euclidean);
  for (std::size_t step : {4u, 2u, 0u, 1u}) {
    EXPECT_EQ(marginals(a, m.points), marginals(b, m.points));
    a.commit(step, m.points);
    b.commit(step, m.points);
  }
  EXPECT_EQ(marginals(a, m.points), (std::vector<double>(5, 0.0)));
  auto copy = a.boxed_clone();
  copy->reset();
  EXPECT_EQ(marginals(*copy, m.points), (std::vector<double>{3, 2, 1, 0, 3}));

  // The caller's universe is still what an item is checked against.
  auto out = Coverage::create({{1}, {kTop}}, kTop);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().to_string(),
            "coverage item 4294967295 at row 1 is outside the universe of 4294967295 items");
}

// ---------------------------------------------------------------- FacilityLocation

TEST(FacilityLocationCosine, FirstGainSumsClampedCosinesThenVanishes) {
  // 2-D rows at assorted angles; some pairs have negative cosine.
  const std::vector<float> raw{1, 0, 0, 2, -1, 0, 1, 1, 0.5f, -2, -3, 1};
  const Matrix m(raw, 2, Metric::Cosine);
  const std::size_t n = m.points.n();
  FacilityLocation fl = FacilityLocation::create(m.points);
  EXPECT_EQ(fl.scale(), 1.0f);
  ASSERT_TRUE(fl.validate(m.points).has_value());

  for (std::size_t c = 0; c < n; ++c) {
    double exact = 0.0, cosines = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      exact += std::max(0.0, 1.0 - static_cast<double>(m.points.dist(i, c)));
      const double ax = raw[2 * i], ay = raw[2 * i + 1], bx = raw[2 * c], by = raw[2 * c + 1];
      cosines += std::max(0.0, (ax * bx + ay * by) / (std::hypot(ax, ay) * std::hypot(bx, by)));
    }
    EXPECT_EQ(fl.marginal(c, m.points), exact) << "row " << c;
    EXPECT_NEAR(fl.marginal(c, m.points), cosines, 1e-6) << "row " << c;
    EXPECT_GE(exact, 1.0);  // the row itself
  }

  const std::vector<double> first = marginals(fl, m.points);
  fl.commit(3, m.points);
  EXPECT_EQ(fl.marginal(3, m.points), 0.0);
  EXPECT_EQ(fl.best()[3], 1.0);
  EXPECT_EQ(fl.best()[2], 0.0);  // (-1, 0) against (1, 1): negative cosine
  for (std::size_t c = 0; c < n; ++c) {
    // Rows already represented better than c would do contribute nothing.
    double expected = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double own = std::max(0.0, 1.0 - static_cast<double>(m.points.dist(i, 3)));
      const double via_c = std::max(0.0, 1.0 - static_cast<double>(m.points.dist(i, c)));
      expected += std::max(0.0, via_c - own);
    }
    EXPECT_EQ(fl.marginal(c, m.points), expected) << "row " << c;
    EXPECT_LE(fl.marginal(c, m.points), first[c]) << "row " << c;
  }
}

TEST(FacilityLocationEuclidean, ScaleIsTheExactDiameterOrOne) {
  const Matrix line({0, 1, 3}, 1, Metric::Euclidean);
  FacilityLocation fl = FacilityLocation::create(line.points);
  EXPECT_EQ(fl.scale(), 3.0f);
  // Row 0 represents itself fully, row 1 partly, the far end not at all.
  EXPECT_EQ(fl.marginal(0, line.points), 0.0 + 1.0 + (1.0 - 1.0 / 3.0) + 0.0);

  const Matrix cloud(random_values(60, 5, 7), 5, Metric::Euclidean);
  float diameter = 0.0f;
  for (std::size_t i = 0; i < cloud.points.n(); ++i) {
    for (std::size_t j = 0; j < cloud.points.n(); ++j) diameter = std::max(diameter, cloud.points.dist(i, j));
  }
  EXPECT_EQ(FacilityLocation::create(cloud.points).scale(), diameter);

  const Matrix same({2, 5, 2, 5, 2, 5}, 2, Metric::Euclidean);
  EXPECT_EQ(FacilityLocation::create(same.points).scale(), 1.0f);
  const Matrix single({2, 5}, 2, Metric::Euclidean);
  FacilityLocation one = FacilityLocation::create(single.points);
  EXPECT_EQ(one.scale(), 1.0f);
  EXPECT_EQ(one.marginal(0, single.points), 1.0);
  // Finite coordinates whose distance overflows to infinity.
  const Matrix huge({0.0f, 3e38f, -3e38f}, 1, Metric::Euclidean);
  EXPECT_EQ(FacilityLocation::create(huge.points).scale(), 1.0f);
}

// ---------------------------------------------------------------- boxed_clone

TEST(BoxedClone, CopiesCommittedStateAndSharesNothingMutable) {
  const Matrix m(random_values(12, 3, 11), 3, Metric::Euclidean);
  FacilityLocation fl = FacilityLocation::create(m.points);
  Coverage cov = coverage({{0, 1}, {1, 2}, {2, 3}, {3}, {4, 5}, {5}, {0}, {6}, {}, {1, 6}, {7}, {2}}, 8);
  Linear lin({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});

  for (Utility* source : std::initializer_list<Utility*>{&fl, &cov, &lin}) {
    source->reset();
    const std::vector<double> fresh = marginals(*source, m.points);
    source->commit(4, m.points);
    const std::vector<double> after_one = marginals(*source, m.points);

    auto copy = source->boxed_clone();
    EXPECT_EQ(copy->is_linear(), source->is_linear());
    EXPECT_EQ(marginals(*copy, m.points), after_one);

    copy->reset();
    EXPECT_EQ(marginals(*source, m.points), after_one);
    EXPECT_EQ(marginals(*copy, m.points), fresh);

    copy->commit(9, m.points);
    const std::vector<double> copy_state = marginals(*copy, m.points);
    source->reset();
    EXPECT_EQ(marginals(*copy, m.points), copy_state);
    EXPECT_EQ(marginals(*source, m.points), fresh);
  }
}

// ---------------------------------------------------------------- contracts

TEST(UtilityContract, ViolationsThrowInsteadOfAborting) {
  const Matrix three({0, 1, 2}, 1, Metric::Euclidean);
  const Matrix four({0, 1, 2, 3}, 1, Metric::Euclidean);

  FacilityLocation fl = FacilityLocation::create(three.points);
  for (auto call : {0, 1}) {
    try {
      if (call == 0) {
        (void)fl.marginal(0, four.points);
      } else {
        fl.commit(0, four.points);
      }
      ADD_FAILURE() << "no contract violation";
    } catch (const ContractViolation& e) {
      EXPECT_NE(std::string(e.what()).find("facility-location cache was built for a different point set"),
                std::string::npos);
    }
  }
  const auto s = fl.validate(four.points);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().to_string(), "expected 4 weights, one per point, but got 3");

  EXPECT_THROW((void)fl.marginal(3, three.points), ContractViolation);
  EXPECT_THROW(fl.commit(7, three.points), ContractViolation);
  Coverage cov = coverage({{1}, {2}, {0}}, 3);
  EXPECT_THROW((void)cov.marginal(3, three.points), ContractViolation);
  EXPECT_THROW(cov.commit(3, three.points), ContractViolation);
  EXPECT_THROW((void)cov.items(3), ContractViolation);
  EXPECT_THROW((void)Linear::uniform(3).marginal(3, three.points), ContractViolation);
}

}  // namespace
}  // namespace tarvex
