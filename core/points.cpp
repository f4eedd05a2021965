#include "points.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "memory.hpp"

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
  OwnedValues copy;
  try {
    copy.reset(new (std::align_val_t{64}) float[len]);
  } catch (const std::bad_alloc&) {
    memory_shortfall(static_cast<unsigned __int128>(len) * sizeof(float),
                     "the normalised copy of the points");
  }
  std::memcpy(copy.get(), values.data(), len * sizeof(float));
  for (std::size_t r = 0; r < n; ++r) {
    float* row = copy.get() + r * dim;
    float s = dot(row, row, dim);
    if (s > 0.0f && s < std::numeric_limits<float>::min()) {
      // A subnormal sum of squares has lost most of its digits, and the
      // division would leave the row short of unit length. Scaled by a power
      // of two (exact) so that its largest value lies in [0.5, 1), the row's
      // sum is a normal float and the division gives the same direction.
      float top = 0.0f;
      for (std::size_t c = 0; c < dim; ++c) top = std::max(top, std::fabs(row[c]));
      int exponent = 0;
      std::frexp(top, &exponent);
      for (std::size_t c = 0; c < dim; ++c) row[c] = std::ldexp(row[c], -exponent);
      s = dot(row, row, dim);
    }
    const float norm = std::sqrt(s);
    if (s == 0.0f || !std::isfinite(norm)) {
      return std::unexpected(TarvexError(errors::UnnormalizableRow{r}));
    }
    for (std::size_t c = 0; c < dim; ++c) row[c] = row[c] / norm;
  }
  const float* data = copy.get();
  return Points(std::move(copy), data, n, dim, metric);
}

Points::Points(OwnedValues owned, const float* values, std::size_t n, std::size_t dim,
               Metric metric)
    : owned_(std::move(owned)),
      values_(values),
      n_(n),
      dim_(dim),
      metric_(metric),
      data_(std::make_shared<MatrixData>(n, default_column_budget())),
      diameter_(std::make_unique<DiameterMemo>()) {}

FarPair Points::diameter() const {
  diameter_->once.call([this] { diameter_->pair = farthest_pair(); });
  return diameter_->pair;
}

Column Points::column(std::size_t c) const {
  if (c >= n_) out_of_range(c, c);
  if (const float* hit = data_->columns.find(c)) return Column(hit, n_);
  std::unique_ptr<float[]> room = data_->columns.reserve();
  const bool keep = room != nullptr;
  if (!keep) room.reset(new float[n_]);
  distance_column(values_, dim_, metric_, c, 0, n_, room.get());
  if (keep) return Column(data_->columns.publish(c, std::move(room)), n_);
  return Column(std::move(room), n_);
}

float Points::distance_of(const float* a, const float* b) const noexcept {
  const float sum = metric_ == Metric::Euclidean ? sq_euclid(a, b, dim_) : dot(a, b, dim_);
  return distance_from_sum(metric_, sum);
}

void Points::out_of_range(std::size_t i, std::size_t j) const {
  const std::size_t bad = i >= n_ ? i : j;
  throw ContractViolation("row " + std::to_string(bad) + " is out of range for " +
                          std::to_string(n_) + " points");
}

}  // namespace tarvex

#include "farthest.hpp"

namespace tarvex {

FarPair Points::farthest_pair() const { return exact_farthest_pair(values_, n_, dim_, metric_); }

}  // namespace tarvex
