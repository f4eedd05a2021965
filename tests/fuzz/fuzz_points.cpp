// Points::borrowed on arbitrary bytes read as floats with an arbitrary
// dimensionality and metric. The first failing check decides the error; an
// accepted matrix keeps its invariants, its distances agree bit for bit with
// every kernel build this processor runs, its diameter is the brute-force
// farthest pair, and the caller's buffer is never written.
#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "metric.hpp"
#include "points.hpp"

using namespace tarvex;

namespace {

constexpr KernelLevel kLevels[] = {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512};
// Pairwise checks stay quadratic; beyond this many rows only a prefix is checked.
constexpr std::size_t kPairRows = 48;

std::vector<float> read_values(FuzzedDataProvider& in) {
  std::vector<float> values;
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: {  // raw bit patterns: NaN, infinities and subnormals included
      const auto bytes = in.ConsumeRemainingBytes<std::uint8_t>();
      values.resize(bytes.size() / sizeof(float));
      if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
      break;
    }
    default: {  // small integers times one power of two: ties, zero rows, overflow, underflow
      const int exponent = in.ConsumeIntegralInRange<int>(-160, 140);
      const auto bytes = in.ConsumeRemainingBytes<std::uint8_t>();
      for (std::uint8_t b : bytes) {
        values.push_back(std::ldexp(static_cast<float>(static_cast<std::int8_t>(b) % 8), exponent));
      }
      break;
    }
  }
  return values;
}

// Sum of squares of one row, in double: far from the float range's ends it
// decides whether normalisation must succeed.
double row_square_sum(const float* row, std::size_t dim) {
  double s = 0.0;
  for (std::size_t c = 0; c < dim; ++c) s += static_cast<double>(row[c]) * row[c];
  return s;
}
bool surely_normalizable(double s) { return s >= 1e-30 && s <= 1e38; }
bool surely_unnormalizable(double s) { return s == 0.0 || s >= 1e39; }

float distance_with(KernelLevel level, Metric metric, const float* a, const float* b,
                    std::size_t dim) {
  if (metric == Metric::Euclidean) return std::sqrt(sq_euclid_with(level, a, b, dim));
  float c = 1.0f - dot_with(level, a, b, dim);
  if (c < 0.0f) c = 0.0f;
  if (c > 2.0f) c = 2.0f;
  return c;
}

void expect_contract_violation(const Points& p, std::size_t i, std::size_t j, std::size_t bad) {
  const std::string want =
      "row " + std::to_string(bad) + " is out of range for " + std::to_string(p.n()) + " points";
  try {
    (void)p.dist(i, j);
  } catch (const ContractViolation& e) {
    FUZZ_REQUIRE(want == e.what(), std::string("contract message: ") + e.what());
    return;
  }
  FUZZ_REQUIRE(false, "dist out of range did not stop");
}

void check_rejection(const TarvexError& err, const std::vector<float>& values, std::size_t dim,
                     Metric metric) {
  const std::size_t len = values.size();
  if (dim == 0) {
    FUZZ_REQUIRE(err.kind() == ErrorKind::ZeroDimension, fuzz::kind_name(err));
    return;
  }
  if (len == 0) {
    FUZZ_REQUIRE(err.kind() == ErrorKind::EmptyPoints, fuzz::kind_name(err));
    return;
  }
  if (len % dim != 0) {
    const auto* e = err.get_if<errors::RaggedBuffer>();
    FUZZ_REQUIRE(e && e->len == len && e->dim == dim, fuzz::kind_name(err));
    return;
  }
  for (std::size_t p = 0; p < len; ++p) {
    if (!std::isfinite(values[p])) {
      const auto* e = err.get_if<errors::NonFiniteCoordinate>();
      FUZZ_REQUIRE(e && e->row == p / dim && e->col == p % dim, fuzz::kind_name(err));
      return;
    }
  }
  const auto* e = err.get_if<errors::UnnormalizableRow>();
  FUZZ_REQUIRE(metric == Metric::Cosine && e != nullptr, fuzz::kind_name(err));
  FUZZ_REQUIRE(e->row < len / dim, "row beyond the matrix");
  FUZZ_REQUIRE(!surely_normalizable(row_square_sum(values.data() + e->row * dim, dim)),
               "a row with a moderate norm was rejected: " + std::to_string(e->row));
  for (std::size_t r = 0; r < e->row; ++r) {
    FUZZ_REQUIRE(!surely_unnormalizable(row_square_sum(values.data() + r * dim, dim)),
                 "an earlier zero or overflowing row was let through: " + std::to_string(r));
  }
}

void check_matrix(const Points& p, const std::vector<float>& values, std::size_t dim,
                  Metric metric) {
  const std::size_t n = values.size() / dim;
  FUZZ_REQUIRE(!values.empty() && dim != 0 && values.size() % dim == 0, "accepted a bad shape");
  FUZZ_REQUIRE(p.n() == n && p.dim() == dim && p.metric() == metric, "shape or metric changed");
  for (float v : values) FUZZ_REQUIRE(std::isfinite(v), "accepted a non-finite coordinate");
  if (metric == Metric::Euclidean) {
    FUZZ_REQUIRE(p.values() == values.data() && !p.owns_values(), "Euclidean matrix copied");
  } else {
    FUZZ_REQUIRE(p.owns_values() && p.values() != values.data(), "cosine matrix not copied");
    for (std::size_t r = 0; r < n; ++r) {
      const double before = row_square_sum(values.data() + r * dim, dim);
      FUZZ_REQUIRE(!surely_unnormalizable(before), "zero or overflowing row accepted");
      const double after = row_square_sum(p.row(r), dim);
      for (std::size_t c = 0; c < dim; ++c) FUZZ_REQUIRE(std::isfinite(p.row(r)[c]), "non-finite unit row");
      if (surely_normalizable(before)) {
        FUZZ_REQUIRE(std::fabs(after - 1.0) <= 2.5e-7 * static_cast<double>(dim + 4),
                     "row " + std::to_string(r) + " not of unit length: " + std::to_string(after));
      }
    }
  }

  const std::size_t m = std::min(n, kPairRows);
  FarPair brute{0.0f, 0, 0};
  if (n >= 2) brute = kPairIdentity;
  for (std::size_t i = 0; i < m; ++i) {
    FUZZ_REQUIRE(p.dist(i, i) == 0.0f && !std::signbit(p.dist(i, i)), "dist(i, i) is not 0");
    for (std::size_t j = i + 1; j < m; ++j) {
      const float d = p.dist(i, j);
      FUZZ_REQUIRE(fuzz::same_bits(d, p.dist(j, i)), "dist not symmetric");
      FUZZ_REQUIRE(!std::isnan(d) && d >= 0.0f, "negative or NaN distance");
      if (metric == Metric::Cosine) FUZZ_REQUIRE(d <= 2.0f, "cosine distance above 2");
      for (KernelLevel level : kLevels) {
        if (!kernel_level_supported(level)) continue;
        FUZZ_REQUIRE(fuzz::same_bits(d, distance_with(level, metric, p.row(i), p.row(j), dim)),
                     std::string("kernel build differs: ") + kernel_level_name(level));
      }
      brute = better_pair(brute, FarPair{d, i, j});
    }
  }
  if (m == n) {
    const FarPair far = p.diameter();
    FUZZ_REQUIRE(fuzz::same_bits(far.d, brute.d) && far.i == brute.i && far.j == brute.j,
                 "diameter is not the farthest pair");
    for (KernelLevel level : kLevels) {
      if (!kernel_level_supported(level) || n < 2) continue;
      const BlockFarthest block = farthest_in_block_with(level, p.values(), dim, metric, 0, n, 0, n);
      FUZZ_REQUIRE(fuzz::same_bits(block.d, brute.d) && block.i == brute.i && block.j == brute.j,
                   std::string("block scan differs: ") + kernel_level_name(level));
    }
  }

  FUZZ_REQUIRE(p.dist(n, n) == 0.0f, "dist(i, i) looks at n");
  expect_contract_violation(p, n, 0, n);
  expect_contract_violation(p, 0, n + 7, n + 7);
  expect_contract_violation(p, n + 1, n + 2, n + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Metric metric = in.ConsumeBool() ? Metric::Euclidean : Metric::Cosine;
  // Mostly small dimensionalities; sometimes any word, 0 and huge ones included.
  const std::size_t dim = in.ConsumeIntegralInRange<int>(0, 7) == 0
                              ? in.ConsumeIntegral<std::size_t>()
                              : in.ConsumeIntegralInRange<std::size_t>(0, 20);
  const std::vector<float> values = read_values(in);
  const std::vector<float> before = values;

  auto points = Points::borrowed(values, dim, metric);
  if (points) {
    check_matrix(*points, values, dim, metric);
  } else {
    check_rejection(points.error(), values, dim, metric);
    FUZZ_REQUIRE(!points.error().to_string().empty(), "empty message");
  }
  FUZZ_REQUIRE(values.size() == before.size() &&
                   (values.empty() ||
                    std::memcmp(values.data(), before.data(), values.size() * sizeof(float)) == 0),
               "the caller's buffer was written");
  return 0;
}
