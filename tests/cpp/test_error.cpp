#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error.hpp"

namespace tarvex {
namespace {

TEST(RenderF64, PositionalShortestRoundTrip) {
  EXPECT_EQ(render_f64(2.0), "2");
  EXPECT_EQ(render_f64(0.25), "0.25");
  EXPECT_EQ(render_f64(-0.5), "-0.5");
  EXPECT_EQ(render_f64(1e21), "1000000000000000000000");
  EXPECT_EQ(render_f64(1e-7), "0.0000001");
  EXPECT_EQ(render_f64(-0.0), "-0");
  EXPECT_EQ(render_f64(0.0), "0");
  EXPECT_EQ(render_f64(-1.0), "-1");
  EXPECT_EQ(render_f64(0.1), "0.1");
  EXPECT_EQ(render_f64(123.456), "123.456");
  EXPECT_EQ(render_f64(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(render_f64(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(render_f64(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(render_f64(-1e-320), "-0." + std::string(319, '0') + "1");
}

TEST(RenderF32, ScientificShortestRoundTrip) {
  EXPECT_EQ(render_f32_scientific(0.5f), "5e-1");
  EXPECT_EQ(render_f32_scientific(2.0f), "2e0");
  EXPECT_EQ(render_f32_scientific(1.5f), "1.5e0");
  EXPECT_EQ(render_f32_scientific(0.0f), "0e0");
  EXPECT_EQ(render_f32_scientific(1e-8f), "1e-8");
  EXPECT_EQ(render_f32_scientific(1.1920929e-7f), "1.1920929e-7");
  EXPECT_EQ(render_f32_scientific(-0.25f), "-2.5e-1");
  EXPECT_EQ(render_f32_scientific(1e20f), "1e20");
  EXPECT_EQ(render_f32_scientific(std::nanf("")), "NaN");
  EXPECT_EQ(render_f32_scientific(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(TarvexError, KindsAndMessages) {
  EXPECT_EQ(TarvexError(errors::EmptyPoints{}).to_string(), "the point matrix is empty");
  EXPECT_EQ(TarvexError(errors::ZeroDimension{}).to_string(),
            "the dimensionality must be greater than zero");
  const TarvexError ragged(errors::RaggedBuffer{10, 3});
  EXPECT_EQ(ragged.kind(), ErrorKind::RaggedBuffer);
  EXPECT_EQ(ragged.to_string(),
            "the data buffer holds 10 values, which is not a multiple of the dimensionality 3");
  EXPECT_EQ(TarvexError(errors::NonFiniteCoordinate{2, 1}).to_string(),
            "the coordinate at row 2, column 1 is NaN or infinite");
  EXPECT_EQ(TarvexError(errors::UnnormalizableRow{4}).to_string(),
            "row 4 has a zero or un-normalizable L2 norm and cannot be scaled to unit length "
            "for cosine distance");
  EXPECT_EQ(TarvexError(errors::WeightCountMismatch{3, 4}).to_string(),
            "expected 3 weights, one per point, but got 4");
  EXPECT_EQ(TarvexError(errors::InvalidWeight{-0.5, 3}).to_string(),
            "the weight -0.5 at index 3 must be finite and non-negative");
  EXPECT_EQ(TarvexError(errors::CoverageCountMismatch{5, 2}).to_string(),
            "expected 5 coverage lists, one per point, but got 2");
  EXPECT_EQ(TarvexError(errors::CoverageItemOutOfUniverse{4294967295u, 0, 10}).to_string(),
            "coverage item 4294967295 at row 0 is outside the universe of 10 items");
  EXPECT_EQ(TarvexError(errors::ZeroK{}).to_string(), "k must be greater than zero");
  EXPECT_EQ(TarvexError(errors::InvalidEpsilon{0.0f}).to_string(),
            "epsilon 0e0 must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1");
  EXPECT_EQ(TarvexError(errors::InvalidEpsilon{2.0f}).to_string(),
            "epsilon 2e0 must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1");
  EXPECT_EQ(TarvexError(errors::InvalidEpsilon{std::nanf("")}).to_string(),
            "epsilon NaN must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1");
  EXPECT_EQ(TarvexError(errors::InvalidLambda{-1.0}).to_string(),
            "lambda -1 must be finite and non-negative");
  EXPECT_EQ(TarvexError(errors::InvalidLambda{std::numeric_limits<double>::infinity()}).to_string(),
            "lambda inf must be finite and non-negative");
  EXPECT_EQ(static_cast<int>(TarvexError(errors::InvalidLambda{1.0}).kind()), 11);
}

}  // namespace
}  // namespace tarvex
