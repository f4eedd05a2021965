#include <gtest/gtest.h>

#include <vector>

#include "gist.hpp"

namespace tarvex {
namespace {

Points line_points(const std::vector<float>& xs) {
  return std::move(Points::borrowed(xs, 1, Metric::Euclidean).value());
}

GistParams params(std::size_t k, double lam, float eps, DiameterMode mode = DiameterExact{}) {
  GistParams p;
  p.k = k;
  p.lam = lam;
  p.eps = eps;
  p.diameter = mode;
  return p;
}

TEST(GistWorkedCase, ThreeRowsOnALine) {
  const std::vector<float> xs{0.0f, 1.0f, 3.0f};
  const Points points = line_points(xs);
  Linear utility = Linear::uniform(3);

  auto r = gist(points, utility, params(2, 1.0, 1.0f));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->selected, (Selection{0, 2}));
  EXPECT_EQ(r->f_value, 5.0);
  EXPECT_EQ(r->g_value, 2.0);
  EXPECT_EQ(r->div, 3.0f);
  EXPECT_EQ(r->threshold, 3.0f);
  EXPECT_EQ(r->d_max, 3.0f);
  EXPECT_EQ(r->stage, Stage::Sweep);

  r = gist(points, utility, params(2, 0.0, 1.0f));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->selected, (Selection{0, 2}));
  EXPECT_EQ(r->f_value, 2.0);
  EXPECT_EQ(r->g_value, 2.0);
  EXPECT_EQ(r->threshold, 3.0f);
  EXPECT_EQ(r->stage, Stage::Sweep);

  r = gist(points, utility, params(1, 1.0, 1.0f));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->selected, (Selection{0}));
  EXPECT_EQ(r->f_value, 4.0);
  EXPECT_EQ(r->div, 3.0f);
  EXPECT_EQ(r->threshold, 3.0f);
  EXPECT_EQ(r->stage, Stage::Sweep);

  r = gist(points, utility, params(2, 1.0, 1.0f, DiameterApprox{3}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->selected, (Selection{0, 2}));
  EXPECT_EQ(r->f_value, 5.0);
  EXPECT_EQ(r->threshold, 3.0f);
  EXPECT_EQ(r->stage, Stage::Sweep);
}

}  // namespace
}  // namespace tarvex
