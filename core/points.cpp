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
  OwnedValues copy(new (std::align_val_t{64}) float[len]);
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

Points::Points(OwnedValues owned, const float* values, std::size_t n, std::size_t dim,
               Metric metric)
    : owned_(std::move(owned)),
      values_(values),
      n_(n),
      dim_(dim),
      metric_(metric),
      columns_(std::make_shared<ColumnCache>(n, default_column_budget())),
      diameter_(std::make_unique<DiameterMemo>()) {}

FarPair Points::diameter() const {
  std::call_once(diameter_->once, [this] { diameter_->pair = farthest_pair(); });
  return diameter_->pair;
}

Column Points::column(std::size_t c) const {
  if (c >= n_) out_of_range(c, c);
  if (const float* hit = columns_->find(c)) return Column(hit, n_);
  std::unique_ptr<float[]> room = columns_->reserve();
  const bool keep = room != nullptr;
  if (!keep) room.reset(new float[n_]);
  distance_column(values_, dim_, metric_, c, 0, n_, room.get());
  if (keep) return Column(columns_->publish(c, std::move(room)), n_);
  return Column(std::move(room), n_);
}

void Points::set_column_budget(std::size_t bytes) const noexcept { columns_->set_budget(bytes); }

std::size_t Points::column_bytes() const noexcept { return columns_->used(); }

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

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

#include "control.hpp"
#include "filter.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

// Rows are taken in strips of this many against all later rows.
constexpr std::size_t kStripRows = 64;
// Later rows are visited in blocks of about this many bytes, which stay in
// the L2 cache while every tile of the strip passes over them.
constexpr std::size_t kBlockBytes = 192 * 1024;
// The same for the screen's 8-bit codes.
constexpr std::size_t kCodeBlockBytes = 256 * 1024;
// A block whose screen passes more than this share of its pairs is cheaper
// to scan whole with the exact tiles than pair by pair.
constexpr std::size_t kMaxPassShare = 8;

// The farthest row from `from` (the first on ties) and its distance.
FarPair farthest_from(const float* values, std::size_t n, std::size_t dim, Metric metric,
                      std::size_t from, std::vector<float>& column) {
  distance_column(values, dim, metric, from, 0, n, column.data());
  FarPair best = kPairIdentity;
  for (std::size_t j = 0; j < n; ++j) {
    if (j == from) continue;
    if (total_order_key(column[j]) > total_order_key(best.d)) best = {column[j], j, j};
  }
  return {best.d, std::min(from, best.i), std::max(from, best.i)};
}

}  // namespace

FarPair Points::farthest_pair() const {
  if (n_ < 2) return FarPair{0.0f, 0, 0};
  const std::size_t strips = (n_ + kStripRows - 1) / kStripRows;
  const FilterTable& filter = active_filter();
  std::optional<QuantisedRows> codes;
  if (filter.screen != nullptr) codes = QuantisedRows::build(values_, n_, dim_, metric_);

  // A real pair to start from, so the screen drops pairs from the first block
  // on: a double sweep from row 0 (and one more sweep).
  FarPair seed = kPairIdentity;
  if (codes) {
    std::vector<float> column(n_);
    std::size_t from = 0;
    for (int sweep = 0; sweep < 3; ++sweep) {
      const FarPair far = farthest_from(values_, n_, dim_, metric_, from, column);
      seed = better_pair(seed, far);
      from = far.i == from ? far.j : far.i;
    }
  }
  // The best distance found so far by any task. Any value it holds is a real
  // pair's, so however the tasks interleave, a pair is only dropped when it
  // is strictly closer than the result.
  std::atomic<std::int32_t> best_key{total_order_key(seed.d)};
  const auto raise = [&best_key](float d) {
    const std::int32_t key = total_order_key(d);
    std::int32_t seen = best_key.load(std::memory_order_relaxed);
    while (key > seen && !best_key.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  };

  const std::size_t block = std::clamp<std::size_t>(
      kBlockBytes / (dim_ * sizeof(float)) / kTileRows * kTileRows, 16, 1024);
  const std::size_t code_block = std::clamp<std::size_t>(
      kCodeBlockBytes / (codes ? codes->groups() * 4 : 1) / kStripRows * kStripRows, kStripRows,
      4096);
  const auto strip = [&](std::size_t s, FarPair acc) {
    control::poll();
    const std::size_t i_begin = s * kStripRows;
    const std::size_t i_end = std::min(n_, i_begin + kStripRows);
    if (!codes) {
      for (std::size_t j = i_begin; j < n_; j += block) {
        const BlockFarthest far =
            farthest_in_block(values_, dim_, metric_, i_begin, i_end, j, std::min(n_, j + block));
        acc = better_pair(acc, FarPair{far.d, far.i, far.j});
      }
      return acc;
    }
    Candidates passed;
    passed.capacity = kStripRows * code_block / kMaxPassShare;
    for (std::size_t j = i_begin; j < n_; j += code_block) {
      control::poll();
      const std::size_t j_end = std::min(n_, j + code_block);
      passed.clear();
      const std::int32_t key = best_key.load(std::memory_order_relaxed);
      const float best = std::bit_cast<float>(key < 0 ? key ^ 0x7fffffff : key);
      if (filter.screen(*codes, i_begin, i_end, j, j_end, codes->threshold(best), passed)) {
        for (std::size_t p = 0; p < passed.i.size(); ++p) {
          const std::size_t a = passed.i[p], b = passed.j[p];
          acc = better_pair(acc, FarPair{dist_unchecked(a, b), a, b});
        }
      } else {
        const BlockFarthest far =
            farthest_in_block(values_, dim_, metric_, i_begin, i_end, j, j_end);
        acc = better_pair(acc, FarPair{far.d, far.i, far.j});
      }
      if (acc.i != kPairIdentity.i) raise(acc.d);
    }
    return acc;
  };
  // Early strips carry the most pairs; a unit of work pairs strip u with
  // strip strips-1-u so that all units weigh about the same. better_pair is
  // the maximum of a strict total order, so neither this nor the pool's split
  // can change the result.
  const FarPair found = pool::reduce(
      (strips + 1) / 2, kPairIdentity,
      [&strip, strips](std::size_t first, std::size_t last, FarPair acc) {
        for (std::size_t u = first; u < last; ++u) {
          acc = strip(u, acc);
          if (strips - 1 - u != u) acc = strip(strips - 1 - u, acc);
        }
        return acc;
      },
      [](FarPair a, FarPair b) { return better_pair(a, b); });
  return better_pair(found, seed);
}

}  // namespace tarvex
