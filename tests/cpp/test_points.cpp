// Point matrix: construction checks in order, the two storage
// modes, and the distance with its clamp and its contract check.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "points.hpp"

namespace tarvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Under Euclidean the result borrows `values`, which must outlive it.
Result<Points> build(const std::vector<float>& values, std::size_t dim, Metric metric) {
  return Points::borrowed(std::span<const float>(values), dim, metric);
}

// The caller's values on pages that can only be read: any write by the point
// matrix would crash the test.
class ReadOnlyBuffer {
 public:
  explicit ReadOnlyBuffer(const std::vector<float>& values)
      : size_(values.size()), bytes_(round_up(values.size() * sizeof(float))) {
    void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    std::memcpy(p, values.data(), values.size() * sizeof(float));
    if (mprotect(p, bytes_, PROT_READ) != 0) throw std::runtime_error("mprotect failed");
    data_ = static_cast<const float*>(p);
  }
  ~ReadOnlyBuffer() { munmap(const_cast<float*>(data_), bytes_); }
  ReadOnlyBuffer(const ReadOnlyBuffer&) = delete;
  ReadOnlyBuffer& operator=(const ReadOnlyBuffer&) = delete;

  std::span<const float> span() const { return {data_, size_}; }

 private:
  static std::size_t round_up(std::size_t n) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page + page;
  }
  std::size_t size_;
  std::size_t bytes_;
  const float* data_ = nullptr;
};

std::vector<float> random_values(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::vector<float> values(count);
  for (float& x : values) x = u(rng);
  return values;
}

// --- Construction checks, in the Part's order --------------------------------

TEST(PointsConstruction, ZeroDimensionComesFirst) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (const auto& values : {std::vector<float>{}, std::vector<float>{kNaN, 1.0f}}) {
      const auto r = build(values, 0, metric);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::ZeroDimension);
    }
  }
}

TEST(PointsConstruction, EmptyBufferIsEmptyPoints) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const auto r = build({}, 4, metric);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::EmptyPoints);
  }
}

TEST(PointsConstruction, RaggedBufferCarriesLengthThenDimension) {
  // A NaN in the buffer does not matter: the shape is checked first.
  std::vector<float> values(10, 1.0f);
  values[4] = kNaN;
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const auto r = build(values, 3, metric);
    ASSERT_FALSE(r.has_value());
    const auto* ragged = r.error().get_if<errors::RaggedBuffer>();
    ASSERT_NE(ragged, nullptr);
    EXPECT_EQ(ragged->len, 10u);
    EXPECT_EQ(ragged->dim, 3u);
    EXPECT_EQ(r.error().to_string(),
              "the data buffer holds 10 values, which is not a multiple of the dimensionality 3");
  }
  // Fewer values than one row is ragged too.
  const auto short_row = build({1.0f, 2.0f}, 3, Metric::Euclidean);
  ASSERT_FALSE(short_row.has_value());
  EXPECT_EQ(short_row.error().kind(), ErrorKind::RaggedBuffer);
}

TEST(PointsConstruction, FirstNonFiniteValueInStorageOrderWins) {
  struct Case {
    std::vector<std::pair<std::size_t, float>> bad;  // position, value
    std::size_t row, col;
  };
  const Case cases[] = {
      {{{7, kNaN}}, 2, 1},
      {{{7, kInf}}, 2, 1},
      {{{7, -kInf}}, 2, 1},
      {{{7, kNaN}, {4, kInf}}, 1, 1},
      {{{11, -kInf}, {9, kNaN}}, 3, 0},
      {{{0, kInf}}, 0, 0},
  };
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (const Case& c : cases) {
      std::vector<float> values(12, 1.0f);
      for (auto [position, value] : c.bad) values[position] = value;
      const auto r = build(values, 3, metric);
      ASSERT_FALSE(r.has_value());
      const auto* bad = r.error().get_if<errors::NonFiniteCoordinate>();
      ASSERT_NE(bad, nullptr);
      EXPECT_EQ(bad->row, c.row);
      EXPECT_EQ(bad->col, c.col);
    }
  }
}

TEST(PointsConstruction, NonFiniteScanRunsBeforeNormalisation) {
  // Row 0 is zero (unnormalisable), but the NaN in row 2 is reported.
  std::vector<float> values = {0.0f, 0.0f, 1.0f, 2.0f, 3.0f, kNaN};
  const auto r = build(values, 2, Metric::Cosine);
  ASSERT_FALSE(r.has_value());
  const auto* bad = r.error().get_if<errors::NonFiniteCoordinate>();
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->row, 2u);
  EXPECT_EQ(bad->col, 1u);
}

TEST(PointsConstruction, ZeroRowRejectedUnderCosineOnly) {
  const std::vector<float> values = {1.0f, 2.0f, 0.0f, 0.0f, 3.0f, 4.0f};
  ASSERT_TRUE(build(values, 2, Metric::Euclidean).has_value());
  const auto r = build(values, 2, Metric::Cosine);
  ASSERT_FALSE(r.has_value());
  const auto* bad = r.error().get_if<errors::UnnormalizableRow>();
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->row, 1u);
}

TEST(PointsConstruction, OverflowingRowRejectedUnderCosineOnly) {
  // 2e19 squared exceeds the 32-bit range, so the norm is infinite.
  const std::vector<float> values = {1.0f, 2.0f, 3.0f, 4.0f, 2e19f, 1.0f};
  const auto euclidean = build(values, 2, Metric::Euclidean);
  ASSERT_TRUE(euclidean.has_value());
  EXPECT_EQ(euclidean->dist(0, 2), kInf);  // a sum of squares that overflows
  const auto cosine = build(values, 2, Metric::Cosine);
  ASSERT_FALSE(cosine.has_value());
  const auto* bad = cosine.error().get_if<errors::UnnormalizableRow>();
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->row, 2u);
}

TEST(PointsConstruction, RowWhoseSquaresUnderflowIsAZeroRow) {
  const std::vector<float> values = {1.0f, 1.0f, 1e-30f, -1e-30f};
  ASSERT_TRUE(build(values, 2, Metric::Euclidean).has_value());
  const auto r = build(values, 2, Metric::Cosine);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::UnnormalizableRow);
}

// A subnormal sum of squares is taken on the row scaled by a power of two, so
// tiny rows come out of unit length; a normal sum, however small, is used as
// it is.
TEST(PointsConstruction, TinyRowsComeOutOfUnitLength) {
  const std::vector<float> tiny_row = {1e-20f, 0.0f};
  const auto tiny = build(tiny_row, 2, Metric::Cosine);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(tiny->values()[0], 1.0f);
  const std::vector<float> twins(8, 2.66e-23f);
  const auto same = build(twins, 4, Metric::Cosine);
  ASSERT_TRUE(same.has_value());
  for (std::size_t c = 0; c < 8; ++c) EXPECT_EQ(same->values()[c], 0.5f);
  EXPECT_EQ(same->dist(0, 1), 0.0f);
  // Squares of 1.1e-19 and 3e-20 sum to a normal float just above the smallest.
  const std::vector<float> small = {1.1e-19f, -3e-20f};
  const float s = dot(small.data(), small.data(), 2);
  ASSERT_GE(s, std::numeric_limits<float>::min());
  const auto plain = build(small, 2, Metric::Cosine);
  ASSERT_TRUE(plain.has_value());
  for (std::size_t c = 0; c < 2; ++c) EXPECT_EQ(bits(plain->values()[c]), bits(small[c] / std::sqrt(s)));
}

// The first failing row is reported, after earlier rows were normalised in the
// owned copy; that copy is released (AddressSanitizer's leak check watches it)
// and the caller's buffer is left as it was.
TEST(PointsConstruction, FailedNormalisationReportsFirstBadRowAndFreesTheCopy) {
  std::vector<float> values = random_values(5 * 4, 1);
  for (std::size_t c = 0; c < 4; ++c) values[2 * 4 + c] = 0.0f;
  values[4 * 4 + 1] = 3e19f;
  const ReadOnlyBuffer buffer(values);
  const auto r = Points::borrowed(buffer.span(), 4, Metric::Cosine);
  ASSERT_FALSE(r.has_value());
  const auto* bad = r.error().get_if<errors::UnnormalizableRow>();
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->row, 2u);
  EXPECT_EQ(std::memcmp(buffer.span().data(), values.data(), values.size() * sizeof(float)), 0);
}

TEST(PointsConstruction, SingleRowIsValid) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::vector<float> values = {3.0f, 4.0f, 0.0f};
    const auto r = build(values, 3, metric);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->n(), 1u);
    EXPECT_EQ(r->dim(), 3u);
    EXPECT_EQ(r->len(), 3u);
    EXPECT_EQ(r->metric(), metric);
    EXPECT_EQ(bits(r->dist(0, 0)), 0u);
  }
  const std::vector<float> one = {-2.0f};
  const auto one_value = build(one, 1, Metric::Cosine);
  ASSERT_TRUE(one_value.has_value());
  EXPECT_EQ(one_value->values()[0], -1.0f);
}

// --- Storage modes ------------------------------------------------------------

TEST(PointsStorage, EuclideanViewsTheCallersValues) {
  const std::vector<float> values = random_values(6 * 5, 2);
  const ReadOnlyBuffer buffer(values);
  const auto r = Points::borrowed(buffer.span(), 5, Metric::Euclidean);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->values(), buffer.span().data());
  EXPECT_FALSE(r->owns_values());
  EXPECT_EQ(r->n(), 6u);
  EXPECT_EQ(r->dim(), 5u);
  EXPECT_EQ(r->len(), 30u);
  EXPECT_EQ(r->metric(), Metric::Euclidean);
}

TEST(PointsStorage, CosineOwnsOneNormalisedCopy) {
  const std::size_t n = 7, dim = 19;
  const std::vector<float> values = random_values(n * dim, 3);
  const ReadOnlyBuffer buffer(values);
  auto r = Points::borrowed(buffer.span(), dim, Metric::Cosine);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->owns_values());
  EXPECT_NE(r->values(), buffer.span().data());
  EXPECT_EQ(std::memcmp(buffer.span().data(), values.data(), values.size() * sizeof(float)), 0);
  // Each value divided (not multiplied by a reciprocal) by the rounded square
  // root of the row's dot product with itself.
  for (std::size_t i = 0; i < n; ++i) {
    const float* row = values.data() + i * dim;
    const float norm = std::sqrt(dot(row, row, dim));
    for (std::size_t c = 0; c < dim; ++c) {
      ASSERT_EQ(bits(r->values()[i * dim + c]), bits(row[c] / norm))
          << "row " << i << ", col " << c;
    }
  }
  // Moving the matrix keeps its values where they are.
  const float* before = r->values();
  Points moved = std::move(*r);
  EXPECT_EQ(moved.values(), before);
  EXPECT_EQ(moved.row(3)[2], before[3 * dim + 2]);
}

// --- Distance -----------------------------------------------------------------

TEST(PointsDistance, FollowsTheKernels) {
  const std::size_t n = 9, dim = 37;
  const std::vector<float> values = random_values(n * dim, 4);
  const auto euclidean = build(values, dim, Metric::Euclidean);
  const auto cosine = build(values, dim, Metric::Cosine);
  ASSERT_TRUE(euclidean.has_value());
  ASSERT_TRUE(cosine.has_value());
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const float e = euclidean->dist(i, j);
      const float c = cosine->dist(i, j);
      EXPECT_EQ(bits(e), bits(euclidean->dist(j, i)));
      EXPECT_EQ(bits(c), bits(cosine->dist(j, i)));
      if (i == j) continue;
      const float* a = values.data() + i * dim;
      const float* b = values.data() + j * dim;
      EXPECT_EQ(bits(e), bits(std::sqrt(sq_euclid(a, b, dim))));
      float want = 1.0f - dot(cosine->row(i), cosine->row(j), dim);
      if (want < 0.0f) want = 0.0f;
      if (want > 2.0f) want = 2.0f;
      EXPECT_EQ(bits(c), bits(want));
      EXPECT_GE(c, 0.0f);
      EXPECT_LE(c, 2.0f);
    }
  }
}

// Finds a row whose normalised copy has a dot product s with itself so far
// above 1 that 1 - (-s) rounds above 2 (s >= 1 + 2^-22; one row in about
// twenty), so that both clamps are really exercised.
std::vector<float> row_that_needs_both_clamps(std::size_t dim) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int attempt = 0; attempt < 10000; ++attempt) {
    std::vector<float> x(dim);
    for (float& v : x) v = u(rng);
    const float norm = std::sqrt(dot(x.data(), x.data(), dim));
    std::vector<float> unit(dim);
    for (std::size_t c = 0; c < dim; ++c) unit[c] = x[c] / norm;
    const float s = dot(unit.data(), unit.data(), dim);
    if (1.0f - -s > 2.0f) return x;
  }
  return {};
}

TEST(PointsDistance, CosineIsClampedIntoZeroToTwo) {
  const std::size_t dim = 11;
  const std::vector<float> x = row_that_needs_both_clamps(dim);
  ASSERT_EQ(x.size(), dim);
  // Rows x, -x, 2x (normalised exactly like x) and 3x.
  std::vector<float> values;
  for (float scale : {1.0f, -1.0f, 2.0f, 3.0f}) {
    for (float v : x) values.push_back(scale * v);
  }
  const auto r = build(values, dim, Metric::Cosine);
  ASSERT_TRUE(r.has_value());
  // Opposite rows: 1 - dot is above 2 before the clamp.
  ASSERT_GT(1.0f - dot(r->row(0), r->row(1), dim), 2.0f);
  EXPECT_EQ(r->dist(0, 1), 2.0f);
  // Same direction: 1 - dot is below 0 before the clamp; the result is +0.0.
  ASSERT_LT(1.0f - dot(r->row(0), r->row(2), dim), 0.0f);
  EXPECT_EQ(bits(r->dist(0, 2)), 0u);
  // Same direction, another length: at or near 0, never below.
  const float d03 = r->dist(0, 3);
  EXPECT_GE(d03, 0.0f);
  EXPECT_LE(d03, 1e-6f);
  const float d13 = r->dist(1, 3);
  EXPECT_LE(d13, 2.0f);
  EXPECT_GE(d13, 2.0f - 1e-6f);
}

TEST(PointsDistance, RowToItselfIsZeroForAnyIndex) {
  const std::vector<float> values = random_values(2 * 3, 6);
  const auto r = build(values, 3, Metric::Cosine);
  ASSERT_TRUE(r.has_value());
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{1000},
                        std::numeric_limits<std::size_t>::max()}) {
    EXPECT_EQ(bits(r->dist(i, i)), 0u) << i;
  }
}

std::string contract_message(const Points& points, std::size_t i, std::size_t j) {
  try {
    (void)points.dist(i, j);
  } catch (const ContractViolation& e) {
    return e.what();
  }
  return "no contract violation";
}

TEST(PointsDistance, OutOfRangeRowIsAContractViolationNamingIFirst) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::vector<float> values = random_values(2 * 3, 7);
    const auto r = build(values, 3, metric);
    ASSERT_TRUE(r.has_value());
    EXPECT_THROW((void)r->dist(0, 2), ContractViolation);
    EXPECT_EQ(contract_message(*r, 0, 2), "row 2 is out of range for 2 points");
    EXPECT_EQ(contract_message(*r, 5, 1), "row 5 is out of range for 2 points");
    EXPECT_EQ(contract_message(*r, 5, 7), "row 5 is out of range for 2 points");
    EXPECT_EQ(contract_message(*r, 9, 8), "row 9 is out of range for 2 points");
    EXPECT_EQ(contract_message(*r, 1, 0), "no contract violation");
  }
}

}  // namespace
}  // namespace tarvex
