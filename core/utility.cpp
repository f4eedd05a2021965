#include "utility.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

namespace tarvex {
namespace {

constexpr std::uint64_t kNegativeZero = 0x8000000000000000ull;

[[noreturn]] void index_out_of_range(std::size_t index, std::size_t count, const char* what) {
  throw ContractViolation("index out of range: " + std::to_string(index) + " is not below the " +
                          std::to_string(count) + " " + what);
}

}  // namespace

// ---------------------------------------------------------------- Linear

double Linear::marginal(std::size_t index, std::span<const std::size_t>, const Points&) const {
  if (index >= weights_->size()) index_out_of_range(index, weights_->size(), "weights");
  return (*weights_)[index];
}

Status Linear::validate(const Points& points) const {
  const auto& w = *weights_;
  if (w.size() != points.n()) {
    return std::unexpected(TarvexError(errors::WeightCountMismatch{points.n(), w.size()}));
  }
  for (std::size_t i = 0; i < w.size(); ++i) {
    // The sign bit, not `< 0.0`, so a negative subnormal is refused even when
    // another extension has switched the FPU to denormals-are-zero.
    const bool negative = std::signbit(w[i]) && std::bit_cast<std::uint64_t>(w[i]) != kNegativeZero;
    if (!std::isfinite(w[i]) || negative) {
      return std::unexpected(TarvexError(errors::InvalidWeight{w[i], i}));
    }
  }
  return {};
}

std::unique_ptr<Utility> Linear::boxed_clone() const { return std::make_unique<Linear>(*this); }

// ---------------------------------------------------------------- Coverage

// Item ids may reach 2^32 - 1, so flags are kept per distinct id that occurs
// rather than per id below the universe: one hashed id near 4e9 must not cost
// gigabytes per copy.
struct Coverage::Data {
  std::vector<std::size_t> offsets;     // row r's items are [offsets[r], offsets[r + 1])
  std::vector<std::uint32_t> flags;     // dense flag index of each item, row by row
  std::vector<std::uint32_t> ids;       // id of each dense flag index, or empty for identity
  std::size_t universe = 0;
  std::size_t flag_count = 0;
};

Result<Coverage> Coverage::create(std::vector<std::vector<std::uint32_t>> sets,
                                  std::size_t universe) {
  std::size_t total = 0;
  for (std::size_t row = 0; row < sets.size(); ++row) {
    auto& list = sets[row];
    for (std::uint32_t item : list) {
      if (item >= universe) {
        return std::unexpected(TarvexError(errors::CoverageItemOutOfUniverse{item, row, universe}));
      }
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    total += list.size();
  }

  auto data = std::make_shared<Data>();
  data->universe = universe;
  data->offsets.reserve(sets.size() + 1);
  data->offsets.push_back(0);
  data->flags.reserve(total);
  for (const auto& list : sets) {
    data->flags.insert(data->flags.end(), list.begin(), list.end());
    data->offsets.push_back(data->flags.size());
  }
  // A universe no larger than a small multiple of the items is indexed
  // directly; otherwise ids are renumbered densely in ascending order.
  constexpr std::size_t kDirectFloor = std::size_t{1} << 20;
  if (universe <= std::max(kDirectFloor, 4 * total)) {
    data->flag_count = universe;
  } else {
    std::vector<std::uint32_t> ids(data->flags);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (auto& item : data->flags) {
      item = static_cast<std::uint32_t>(std::lower_bound(ids.begin(), ids.end(), item) - ids.begin());
    }
    data->flag_count = ids.size();
    data->ids = std::move(ids);
  }
  sets.clear();
  return Coverage(std::move(data));
}

Coverage::Coverage(std::shared_ptr<const Data> data)
    : data_(std::move(data)), covered_(data_->flag_count, 0) {}

std::vector<std::uint32_t> Coverage::items(std::size_t row) const {
  if (row >= list_count()) index_out_of_range(row, list_count(), "coverage lists");
  std::vector<std::uint32_t> out(data_->flags.begin() + static_cast<std::ptrdiff_t>(data_->offsets[row]),
                                 data_->flags.begin() + static_cast<std::ptrdiff_t>(data_->offsets[row + 1]));
  if (!data_->ids.empty()) {
    for (auto& item : out) item = data_->ids[item];
  }
  return out;
}

std::size_t Coverage::universe() const noexcept { return data_->universe; }
std::size_t Coverage::list_count() const noexcept { return data_->offsets.size() - 1; }

double Coverage::marginal(std::size_t index, std::span<const std::size_t>, const Points&) const {
  if (index >= list_count()) index_out_of_range(index, list_count(), "coverage lists");
  std::uint64_t fresh = 0;
  const auto* flags = data_->flags.data();
  for (std::size_t p = data_->offsets[index]; p < data_->offsets[index + 1]; ++p) {
    fresh += covered_[flags[p]] == 0;
  }
  return static_cast<double>(fresh);
}

void Coverage::commit(std::size_t index, const Points&) {
  if (index >= list_count()) index_out_of_range(index, list_count(), "coverage lists");
  const auto* flags = data_->flags.data();
  for (std::size_t p = data_->offsets[index]; p < data_->offsets[index + 1]; ++p) {
    covered_[flags[p]] = 1;
  }
}

void Coverage::reset() { std::fill(covered_.begin(), covered_.end(), std::uint8_t{0}); }

Status Coverage::validate(const Points& points) const {
  if (list_count() != points.n()) {
    return std::unexpected(TarvexError(errors::CoverageCountMismatch{points.n(), list_count()}));
  }
  return {};
}

std::unique_ptr<Utility> Coverage::boxed_clone() const {
  return std::unique_ptr<Utility>(new Coverage(*this));
}

// ---------------------------------------------------------------- FacilityLocation

FacilityLocation FacilityLocation::create(const Points& points) {
  float scale = 1.0f;
  if (points.metric() == Metric::Euclidean) {
    const float d = points.n() >= 2 ? points.diameter().d : 0.0f;
    if (std::isfinite(d) && d > 0.0f) scale = d;
  }
  return FacilityLocation(scale, points.n());
}

void FacilityLocation::check_points(const Points& points) const {
  if (best_.size() != points.n()) {
    throw ContractViolation(
        "facility-location cache was built for a different point set (left: " +
        std::to_string(best_.size()) + ", right: " + std::to_string(points.n()) + ")");
  }
}

double FacilityLocation::similarity(std::size_t i, std::size_t c, const Points& points) const {
  const double s = 1.0 - static_cast<double>(points.dist_unchecked(i, c)) /
                             static_cast<double>(scale_);
  return s > 0.0 ? s : 0.0;  // a NaN gives 0.0 too
}

double FacilityLocation::marginal(std::size_t c, std::span<const std::size_t>,
                                  const Points& points) const {
  check_points(points);
  if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  double acc = 0.0;
  for (std::size_t i = 0; i < best_.size(); ++i) {
    const double gain = similarity(i, c, points) - best_[i];
    acc += gain > 0.0 ? gain : 0.0;
  }
  return acc;
}

void FacilityLocation::commit(std::size_t c, const Points& points) {
  check_points(points);
  if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  for (std::size_t i = 0; i < best_.size(); ++i) {
    const double s = similarity(i, c, points);
    if (s > best_[i]) best_[i] = s;
  }
}

void FacilityLocation::reset() { std::fill(best_.begin(), best_.end(), 0.0); }

Status FacilityLocation::validate(const Points& points) const {
  if (best_.size() != points.n()) {
    return std::unexpected(TarvexError(errors::WeightCountMismatch{points.n(), best_.size()}));
  }
  return {};
}

std::unique_ptr<Utility> FacilityLocation::boxed_clone() const {
  return std::make_unique<FacilityLocation>(*this);
}

}  // namespace tarvex
