#include "points.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace tarvex {

Result<Points> Points::borrowed(std::span<const float> values, std::size_t dim, Metric metric) {
  if (dim == 0) return std::unexpected(TarvexError(errors::ZeroDimension{}));
  const std::size_t len = values.size();
  if (len == 0) return std::unexpected(TarvexError(errors::EmptyPoints{}));
  if (len % dim != 0) return std::unexpected(TarvexError(errors::RaggedBuffer{len, dim}));
  const std::size_t n = len / dim;
  for (std::size_t p = 0; p < len; ++p) {
    if (!std::isfinite(values[p])) {
      return std::unexpected(TarvexError(errors::NonFiniteCoordinate{p / dim, p % dim}));
    }
  }
  if (metric == Metric::Euclidean) {
    return Points(nullptr, values.data(), n, dim, metric);
  }
  std::unique_ptr<float[]> copy(new float[len]);
  std::memcpy(copy.get(), values.data(), len * sizeof(float));
  for (std::size_t r = 0; r < n; ++r) {
    float* row = copy.get() + r * dim;
    const float s = dot(row, row, dim);
    const float norm = std::sqrt(s);
    if (s == 0.0f || !std::isfinite(norm)) {
      return std::unexpected(TarvexError(errors::UnnormalizableRow{r}));
    }
    for (std::size_t c = 0; c < dim; ++c) row[c] = row[c] / norm;
  }
  const float* data = copy.get();
  return Points(std::move(copy), data, n, dim, metric);
}

float Points::distance_of(const float* a, const float* b) const noexcept {
  if (metric_ == Metric::Euclidean) return std::sqrt(sq_euclid(a, b, dim_));
  float c = 1.0f - dot(a, b, dim_);
  if (c < 0.0f) c = 0.0f;
  if (c > 2.0f) c = 2.0f;
  return c;
}

void Points::out_of_range(std::size_t i, std::size_t j) const {
  const std::size_t bad = i >= n_ ? i : j;
  throw ContractViolation("row " + std::to_string(bad) + " is out of range for " +
                          std::to_string(n_) + " points");
}

}  // namespace tarvex

#include "pool.hpp"

namespace tarvex {

FarPair Points::diameter() const {
  if (n_ < 2) return FarPair{0.0f, 0, 0};
  return pool::reduce(
      n_, kPairIdentity,
      [this](std::size_t begin, std::size_t end, FarPair acc) {
        for (std::size_t i = begin; i < end; ++i) {
          for (std::size_t j = i + 1; j < n_; ++j) {
            acc = better_pair(acc, FarPair{dist_unchecked(i, j), i, j});
          }
        }
        return acc;
      },
      [](FarPair a, FarPair b) { return better_pair(a, b); });
}

}  // namespace tarvex
