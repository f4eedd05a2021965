// The fast paths (distance columns and their cache, facility location's
// shared first gains and kept columns, the ordered scan of linear utilities,
// the sweep's reuse of the greedy stage and its checkpoints) against
// straightforward implementations written out here: every result bit for
// bit, with and without room in the cache, on any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <latch>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "columns.hpp"
#include "filter.hpp"
#include "fixtures.hpp"
#include "gist.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

std::vector<KernelLevel> supported_levels() {
  std::vector<KernelLevel> out;
  for (KernelLevel l : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
    if (kernel_level_supported(l)) out.push_back(l);
  }
  return out;
}

// ---------------------------------------------------------------- references

// Facility location as defined: every gain and every commit visits every row
// through dist, one pair at a time.
class PlainFacilityLocation final : public Utility {
 public:
  PlainFacilityLocation(float scale, std::size_t n) : best_(n, 0.0), scale_(scale) {}

  double marginal(std::size_t c, const Points& p) const override {
    double acc = 0.0;
    for (std::size_t i = 0; i < best_.size(); ++i) {
      const double gain = similarity(i, c, p) - best_[i];
      acc += gain > 0.0 ? gain : 0.0;
    }
    return acc;
  }
  void commit(std::size_t c, const Points& p) override {
    for (std::size_t i = 0; i < best_.size(); ++i) {
      const double s = similarity(i, c, p);
      if (s > best_[i]) best_[i] = s;
    }
  }
  void reset() override { std::fill(best_.begin(), best_.end(), 0.0); }
  Status validate(const Points&) const override { return {}; }
  std::unique_ptr<Utility> boxed_clone() const override {
    return std::make_unique<PlainFacilityLocation>(*this);
  }

 private:
  double similarity(std::size_t i, std::size_t c, const Points& p) const {
    const double s = 1.0 - static_cast<double>(p.dist(i, c)) / static_cast<double>(scale_);
    return s > 0.0 ? s : 0.0;
  }
  std::vector<double> best_;
  float scale_;
};

// A weighted count that is not a Linear, so nothing can take its shortcut.
class PlainLinear final : public Utility {
 public:
  explicit PlainLinear(std::vector<double> w) : w_(std::move(w)) {}
  double marginal(std::size_t i, const Points&) const override {
    return w_.at(i);
  }
  void commit(std::size_t, const Points&) override {}
  void reset() override {}
  bool is_linear() const override { return true; }
  Status validate(const Points&) const override { return {}; }
  std::unique_ptr<Utility> boxed_clone() const override { return std::make_unique<PlainLinear>(*this); }

 private:
  std::vector<double> w_;
};

// The greedy routine as written: every pick scans every row, and a pick
// updates the other rows one distance at a time.
Selection plain_greedy(const Points& p, Utility& u, std::size_t k, float d) {
  u.reset();
  const std::size_t n = p.n(), m = std::min(k, n);
  std::vector<float> min_dist(n, kInf);
  std::vector<bool> taken(n, false);
  Selection selected;
  while (selected.size() < m) {
    std::size_t best = kNoRow;
    std::int64_t best_key = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (d > min_dist[i] || taken[i]) continue;
      const auto key = total_order_key(u.marginal(i, p));
      if (best == kNoRow || key > best_key) {
        best = i;
        best_key = key;
      }
    }
    if (best == kNoRow) break;
    selected.push_back(best);
    u.commit(best, p);
    taken[best] = true;
    min_dist[best] = -kInf;
    for (std::size_t j = 0; j < n; ++j) {
      if (taken[j]) continue;
      const float dj = p.dist(j, best);
      if (dj < min_dist[j] || std::isnan(min_dist[j])) min_dist[j] = dj;
    }
  }
  return selected;
}

FarPair plain_diameter(const Points& p) {
  if (p.n() < 2) return FarPair{0.0f, 0, 0};
  FarPair best = kPairIdentity;
  for (std::size_t i = 0; i < p.n(); ++i) {
    for (std::size_t j = i + 1; j < p.n(); ++j) best = better_pair(best, FarPair{p.dist(i, j), i, j});
  }
  return best;
}

// The driver as written: one run per threshold, in order, on one utility,
// the winner kept as it is found.
GistResult plain_gist(const Points& p, Utility& u, const GistParams& params) {
  const bool exact = std::holds_alternative<DiameterExact>(params.diameter);
  const FarPair far =
      exact ? plain_diameter(p) : approx_diameter(p, std::get<DiameterApprox>(params.diameter).sweeps);
  const std::size_t budget = std::min(params.k, p.n());
  GistResult best;
  best.d_max = far.d;
  best.selected = plain_greedy(p, u, budget, 0.0f);
  const Evaluated g0 = evaluate_by_hand(p, u, best.selected, far.d, params.lam);
  best.f_value = g0.f;
  best.g_value = g0.g;
  best.div = g0.div;
  if (budget >= 2) {
    Selection pair{std::min(far.i, far.j), std::max(far.i, far.j)};
    const Evaluated e = evaluate_by_hand(p, u, pair, far.d, params.lam);
    if (e.f > best.f_value) best = GistResult{pair, e.f, e.g, e.div, far.d, far.d, Stage::DiameterPair};
  }
  if (far.d > 0.0f) {
    const std::vector<float> list =
        params.exhaustive_thresholds
            ? exhaustive_threshold_set(p)
            : thresholds_with_bound(far.d, params.eps,
                                    (exact ? 2.0 : 4.0) / static_cast<double>(params.eps));
    double best_f = best.f_value;
    for (float t : list) {
      Selection s = plain_greedy(p, u, budget, t);
      const Evaluated e = evaluate_by_hand(p, u, s, far.d, params.lam);
      if (e.f >= best_f) {
        best_f = e.f;
        best = GistResult{std::move(s), e.f, e.g, e.div, t, far.d, Stage::Sweep};
      }
    }
  }
  u.reset();
  return best;
}

// Every field, floats as bit patterns.
std::string describe(const GistResult& r) {
  std::ostringstream out;
  out << stage_text(r.stage) << std::hex << " f=" << bits(r.f_value) << " g=" << bits(r.g_value)
      << " div=" << bits(r.div) << " t=" << bits(r.threshold) << " dmax=" << bits(r.d_max)
      << std::dec << " [";
  for (std::size_t i = 0; i < r.selected.size(); ++i) out << (i ? " " : "") << r.selected[i];
  out << "]";
  return out.str();
}

// ---------------------------------------------------------------- instances

// The straightforward utility of the instance, to hold the fast one against.
std::unique_ptr<Utility> plain_utility(const Instance& inst, const Points& p) {
  switch (inst.kind) {
    case Kind::Linear: return std::make_unique<PlainLinear>(inst.weights);
    case Kind::Coverage:
      return std::make_unique<Coverage>(std::move(Coverage::create(inst.sets, inst.universe).value()));
    case Kind::FacilityLocation:
      return std::make_unique<PlainFacilityLocation>(FacilityLocation::create(p).scale(), p.n());
  }
  return nullptr;
}

Instance random_instance(std::uint64_t seed, Metric metric, Kind kind, bool approx, bool exhaustive) {
  std::mt19937_64 rng(seed);
  auto pick = [&](std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
  };
  Instance inst;
  inst.metric = metric;
  inst.kind = kind;
  // Dimensions below, at and past the kernels' 16 lanes.
  const std::size_t dims[] = {1, 2, 3, 7, 16, 17, 33};
  inst.dim = dims[pick(0, 6)];
  const std::size_t n = exhaustive ? pick(2, 30) : pick(2, 90);
  const bool grid = pick(0, 1) == 1;
  inst.values = instance_values(rng, n, inst.dim, grid);
  for (std::size_t r = 0; r < n; ++r) {
    const double w = grid ? 0.5 * static_cast<double>(pick(0, 3))
                          : std::uniform_real_distribution<double>(0.0, 3.0)(rng);
    inst.weights.push_back(pick(0, 9) == 0 ? -0.0 : w);
  }
  inst.universe = pick(1, 40);
  inst.sets = instance_sets(rng, n, inst.universe);
  const double lams[] = {0.0, 0.25, 1.0, 4.0};
  const float epss[] = {1.0f, 0.5f, 0.1f, 0.02f};
  inst.params.k = pick(1, 16);
  inst.params.lam = lams[pick(0, 3)];
  inst.params.eps = epss[pick(0, 3)];
  inst.params.exhaustive_thresholds = exhaustive;
  inst.params.diameter = approx ? DiameterMode{DiameterApprox{pick(0, 3)}} : DiameterMode{DiameterExact{}};
  return inst;
}

std::vector<Instance> instance_bank(int reps) {
  return testing_support::instance_bank(random_instance, reps, 7001);
}

// Cache budgets: the default, none at all (every column computed afresh, no
// kept columns, no checkpoints, no codes to screen distances with), room for
// the codes and a few columns only, and room for about half the kept columns
// (the rest come as rows are committed).
enum class Room { Default, None, Few, Half };

std::size_t room_bytes(const Points& p, Room room) {
  const std::size_t n = p.n();
  switch (room) {
    case Room::Default: return default_column_budget();
    case Room::None: return 0;
    case Room::Few: return 3 * n * sizeof(float) + 200 + QuantisedRows::bytes_for(n, p.dim()) * 8 / 7;
    case Room::Half: return n * (n + 60);
  }
  return 0;
}

void limit(const Points& p, Room room) {
  if (room != Room::Default) p.ledger().set_budget(room_bytes(p, room));
}

const char* room_name(Room room) {
  switch (room) {
    case Room::Default: return "default";
    case Room::None: return "none";
    case Room::Few: return "few";
    case Room::Half: return "half";
  }
  return "?";
}

// ---------------------------------------------------------------- kernels

TEST(FastColumnKernels, EveryBuildGivesTheDistanceOfEachPair) {
  std::mt19937_64 rng(11);
  for (std::size_t dim : {1, 5, 16, 17, 31, 64, 100}) {
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      for (bool grid : {false, true}) {
        const std::size_t n = 53;
        const Matrix m(instance_values(rng, n, dim, grid), dim, metric);
        const Points& p = m.points;
        for (KernelLevel level : supported_levels()) {
          for (std::size_t c : {std::size_t{0}, std::size_t{17}, n - 1}) {
            for (auto [begin, end] : {std::pair<std::size_t, std::size_t>{0, n}, {5, 22}, {17, 18}, {40, 53}}) {
              std::vector<float> out(end - begin, kNaN);
              distance_column_with(level, p.values(), dim, metric, c, begin, end, out.data());
              for (std::size_t i = begin; i < end; ++i) {
                ASSERT_EQ(bits(out[i - begin]), bits(p.dist(i, c)))
                    << kernel_level_name(level) << " dim " << dim << " c " << c << " i " << i;
              }
            }
          }
        }
        // Four columns at once, rows at a stride, the diagonal included.
        const std::size_t cols[kTileRows] = {3, 3, 50, 0};
        std::vector<float> out(n * 6, kNaN);
        distance_columns4(p.values(), dim, metric, cols, 1, n, out.data(), 6);
        for (std::size_t i = 1; i < n; ++i) {
          for (std::size_t q = 0; q < kTileRows; ++q) {
            ASSERT_EQ(bits(out[(i - 1) * 6 + q]), bits(p.dist(i, cols[q]))) << "dim " << dim << " i " << i;
          }
        }
        // Chosen rows against one column, and against four: a partial batch
        // past sixteen, the columns themselves among them.
        const std::uint32_t rows[] = {0, 3, 3, 50, 17, 52, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
        distance_columns4_listed(p.values(), dim, metric, cols, rows, std::size(rows), out.data(), 6);
        for (std::size_t k = 0; k < std::size(rows); ++k) {
          for (std::size_t q = 0; q < kTileRows; ++q) {
            ASSERT_EQ(bits(out[k * 6 + q]), bits(p.dist(rows[k], cols[q]))) << "dim " << dim << " k " << k;
          }
        }
        // Pairs: every row against column 17, then each against a column of
        // its own, itself included.
        std::vector<float> got(std::size(rows), kNaN);
        std::uint32_t pair_cols[std::size(rows)];
        std::fill(std::begin(pair_cols), std::end(pair_cols), 17u);
        for (bool own : {false, true}) {
          if (own) {
            for (std::size_t k = 0; k < std::size(rows); ++k) pair_cols[k] = rows[(k * 7 + 1) % std::size(rows)];
            pair_cols[5] = rows[5];
          }
          distance_pairs(p.values(), dim, metric, pair_cols, rows, std::size(rows), got.data());
          for (std::size_t k = 0; k < std::size(rows); ++k) {
            ASSERT_EQ(bits(got[k]), bits(p.dist(rows[k], pair_cols[k]))) << "dim " << dim << " k " << k;
          }
        }
      }
    }
  }
}

// From above and from below, and close: on rows of lengths far apart
// (before cosine normalises them), near-duplicate rows and the columns' own
// rows, for a full and a partial set of columns. Euclidean bounds are close
// relative to the rows' lengths, and stay bounds on rows far from the origin.
TEST(FastColumnKernels, FusedDistancesBoundEveryPairFromBothSidesClosely) {
  if (!FusedDistances::available(16)) GTEST_SKIP() << "no fused kernel here";
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> spread(-40.0, 40.0);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (std::size_t dim : {1, 5, 16, 17, 100, 300}) {
      const std::size_t n = 70;
      std::vector<float> values = instance_values(rng, n, dim, false);
      for (std::size_t i = 0; i < n; i += 3) {
        const auto length = static_cast<float>(std::exp2(spread(rng) / (metric == Metric::Cosine ? 1 : 4)));
        for (std::size_t k = 0; k < dim; ++k) values[i * dim + k] *= length;
      }
      for (std::size_t i = 1; i < n; i += 5) {  // far out, close together
        for (std::size_t k = 0; k < dim; ++k) values[i * dim + k] += 1e4f;
      }
      std::copy_n(values.begin(), dim, values.begin() + dim);
      values[dim] = std::nextafter(values[dim], kInf);
      // Rows whose squares leave float's range, one a step from the other.
      const bool huge = metric == Metric::Euclidean;
      if (huge) {
        for (std::size_t k = 0; k < dim; ++k) values[7 * dim + k] = values[8 * dim + k] = 3e19f;
        values[8 * dim] = std::nextafter(3e19f, kInf);
      }
      const Matrix m(values, dim, metric);
      const Points& p = m.points;
      const auto length = [&](std::size_t i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < dim; ++k) sum += double(p.values()[i * dim + k]) * p.values()[i * dim + k];
        return std::sqrt(sum);
      };
      std::vector<std::size_t> cols(FusedDistances::kColumns);
      for (std::size_t q = 0; q < cols.size(); ++q) cols[q] = (q * 5 + 1) % n;
      std::vector<std::uint32_t> rows(n);
      for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<std::uint32_t>((i * 11) % n);
      std::vector<double> squares(n);
      row_squares(p.values(), n, dim, squares.data());
      for (std::size_t count : {cols.size(), std::size_t{7}, std::size_t{20}, std::size_t{48}}) {
        const FusedDistances fused(p.values(), dim, metric, cols.data(), count);
        std::vector<float> up(n * 70, kNaN), down(n * 70, kNaN);
        fused.above(rows.data(), n, up.data(), 70);
        fused.below(rows.data(), n, down.data(), 70);
        // The rows' squares given rather than summed: the same bounds.
        const FusedDistances given(p.values(), dim, metric, cols.data(), count, nullptr, squares.data());
        std::vector<float> up_given(n * 70, kNaN), down_given(n * 70, kNaN);
        given.above(rows.data(), n, up_given.data(), 70);
        given.below(rows.data(), n, down_given.data(), 70);
        for (std::size_t k = 0; k < n; ++k) {
          for (std::size_t q = 0; q < count; ++q) {
            ASSERT_EQ(bits(up[k * 70 + q]), bits(up_given[k * 70 + q]));
            ASSERT_EQ(bits(down[k * 70 + q]), bits(down_given[k * 70 + q]));
          }
        }
        for (std::size_t k = 0; k < n; ++k) {
          for (std::size_t q = 0; q < count; ++q) {
            const float exact = p.dist(rows[k], cols[q]), hi = up[k * 70 + q], lo = down[k * 70 + q];
            // Euclidean: the squared distance within about 1e-4 |x| |y|.
            const double room = metric == Metric::Cosine
                                    ? 1e-4
                                    : std::sqrt(1e-4 * length(rows[k]) * length(cols[q])) + 1e-4 * exact;
            const bool only_bounds = huge && (rows[k] == 7 || rows[k] == 8 || cols[q] == 7 || cols[q] == 8);
            ASSERT_TRUE(hi >= exact && lo <= exact &&
                        (only_bounds || (hi <= exact + room && lo >= exact - room)))
                << "dim " << dim << " rows " << rows[k] << ", " << cols[q] << ": " << lo << ", "
                << hi << " for " << exact;
          }
        }
      }
    }
  }
}

// The hard limits lie a float step either side of a pair's own distance.
TEST(FastColumnKernels, TheScreenClearsOnlyDistancesAtLeastTheirLimits) {
  if (active_filter().level == FilterLevel::Exact) GTEST_SKIP() << "no screen here";
  std::mt19937_64 rng(13);
  std::uniform_int_distribution<int> which(0, 9);
  std::size_t cleared = 0;
  for (std::size_t dim : {1, 7, 64, 100}) {
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      for (bool grid : {false, true}) {
        const std::size_t n = 150;
        const Matrix m(instance_values(rng, n, dim, grid), dim, metric);
        const Points& p = m.points;
        const auto codes = QuantisedRows::build(p.values(), n, dim, metric, active_filter().code_limit);
        if (!codes) continue;
        const std::size_t cols[] = {0, 17, 149, 64, 65, 3}, count = std::size(cols);
        std::vector<float> limit(n), also(n);
        for (std::size_t i = 0; i < n; ++i) {
          const float d = p.dist(i, cols[i % count]);
          const float specials[] = {0.0f, -1.0f, 2.5f, kInf, kNaN, std::nextafter(d, kInf)};
          const int w = which(rng);
          limit[i] = w < 6 ? specials[w] : w < 8 ? d : std::nextafter(d, 0.0f);
          also[i] = which(rng) < 5 ? -kInf : std::nextafter(d, kInf);
        }
        // Columns' limits near the distances of the rows that share them.
        float col_limit[count];
        for (std::size_t q = 0; q < count; ++q) {
          const float d = p.dist((q * 37 + 5) % n, cols[q]);
          const float specials[] = {kNaN, -kInf, 0.0f, 2.5f, d, std::nextafter(d, kInf)};
          col_limit[q] = specials[static_cast<std::size_t>(which(rng)) % std::size(specials)];
        }
        for (int mode = 0; mode < 3; ++mode) {
          const float* with = mode == 1 ? also.data() : nullptr;
          const float* by_col = mode == 2 ? col_limit : nullptr;
          for (std::size_t rb = 0; rb < n; rb += 64) {
            const std::size_t re = std::min(n, rb + 64);
            std::uint64_t masks[count * 2];
            ASSERT_TRUE(screen_far(*codes, cols, count, rb, re, limit.data(), with, 0.0f, masks, 2, by_col));
            for (std::size_t q = 0; q < count; ++q) {
              for (std::size_t i = rb; i < re; ++i) {
                if ((masks[q * 2 + (i - rb) / 64] >> ((i - rb) % 64)) & 1) continue;
                ++cleared;
                const float d = p.dist(i, cols[q]);
                ASSERT_NE(i, cols[q]);
                ASSERT_FALSE(d < limit[i] || (with != nullptr && d < also[i]) ||
                             (by_col != nullptr && d < by_col[q]))
                    << "dim " << dim << " metric " << static_cast<int>(metric) << " i " << i << " q " << q;
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(cleared, 0u);  // it does screen
}

TEST(FastColumnKernels, MasksOfValuesBelowTheirBoundsAgreeWithTheComparison) {
  std::mt19937_64 rng(12);
  const float specials[] = {0.0f, -0.0f, kInf, kNaN, 1.0f, std::nextafter(1.0f, 0.0f)};
  std::uniform_int_distribution<int> which(0, 9);
  std::uniform_real_distribution<float> uniform(0.0f, 2.0f);
  auto draw = [&] { const int w = which(rng); return w < 6 ? specials[w] : uniform(rng); };
  for (std::size_t len : {1, 15, 16, 17, 63, 64, 65, 200, 1024}) {
    std::vector<float> a(len), b(len);
    for (std::size_t i = 0; i < len; ++i) {
      a[i] = draw();
      b[i] = draw();
    }
    // The kept layout: a random subset of positions, their values packed.
    std::vector<std::uint64_t> support((len + 63) / 64, 0);
    std::vector<float> packed;
    for (std::size_t i = 0; i < len; ++i) {
      if (which(rng) < 6) {
        support[i / 64] |= std::uint64_t{1} << (i % 64);
        packed.push_back(a[i]);
      }
    }
    packed.resize(packed.size() + 16, kNaN);
    std::vector<std::uint32_t> want;  // kept rows below their bound, in order
    for (std::size_t i = 0; i < len; ++i) {
      if ((support[i / 64] >> (i % 64) & 1) && a[i] < b[i]) want.push_back(static_cast<std::uint32_t>(i));
    }
    for (KernelLevel level : supported_levels()) {
      std::vector<std::uint64_t> masks(support.size(), ~0ull);
      below_masks_with(level, a.data(), b.data(), len, masks.data());
      for (std::size_t i = 0; i < len; ++i) {
        EXPECT_EQ((masks[i / 64] >> (i % 64)) & 1, a[i] < b[i]) << kernel_level_name(level) << " len " << len << " i " << i;
      }
      // Bits past the end stay clear.
      if (len % 64 != 0) {
        EXPECT_EQ(masks.back() >> (len % 64), 0u);
      }
      for (bool bytes : {false, true}) {
        std::vector<std::uint32_t> rows(len + 16, ~0u);
        std::vector<float> values(len + 16, kNaN);
        const std::size_t count = kept_below_with(level, bytes, support.data(), packed.data(), b.data(), len, rows.data(), values.data());
        ASSERT_EQ(count, want.size()) << kernel_level_name(level) << " bytes " << bytes << " len " << len;
        for (std::size_t e = 0; e < count; ++e) {
          EXPECT_EQ(rows[e], want[e]) << kernel_level_name(level) << " bytes " << bytes << " len " << len;
          EXPECT_EQ(bits(values[e]), bits(a[want[e]]));
        }
      }
    }
  }
}

// Bounds in [tiny, 1] and values 0 or at least tiny make every term a multiple
// of tiny's last place, so the lanes' sum must equal the row-order one; a
// tiny value or bound among the hits must be reported.
TEST(FastColumnKernels, KeptGainsAddUpExactlyUnlessAHitIsTiny) {
  std::mt19937_64 rng(14);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::size_t len : {1, 63, 65, 1000, 4099}) {
    const float tiny = std::ldexp(1.0f, static_cast<int>(std::bit_width(len)) - 30);
    for (int plant : {0, 1, 2}) {  // nothing, a tiny value, a tiny bound
      std::vector<float> b(len + 64), packed;
      std::vector<std::uint64_t> support((len + 63) / 64, 0);
      std::vector<std::pair<std::size_t, std::size_t>> hits;  // (row, place in packed)
      for (std::size_t i = 0; i < len; ++i) {
        b[i] = i % 7 == 0 ? 1.0f : std::max(tiny, unit(rng));
        if (unit(rng) < 0.6f) {
          support[i / 64] |= std::uint64_t{1} << (i % 64);
          const float x = i % 5 == 0 ? 0.0f : std::max(tiny, 1.2f * unit(rng));
          if (x < b[i]) hits.emplace_back(i, packed.size());
          packed.push_back(x);
        }
      }
      if (plant != 0 && hits.empty()) continue;
      if (plant != 0) {  // the middle hit's value or bound is made tiny
        const auto [row, place] = hits[hits.size() / 2];
        packed[place] = plant == 1 ? tiny / 2 : 0.0f;
        if (plant == 2) b[row] = tiny / 2;
      }
      double want = 0.0;
      for (std::size_t i = 0, e = 0; i < len; ++i) {
        if (!(support[i / 64] >> (i % 64) & 1)) continue;
        const float x = packed[e++];
        if (x < b[i]) want += static_cast<double>(b[i]) - static_cast<double>(x);
      }
      packed.resize(packed.size() + 16, kNaN);
      for (KernelLevel level : supported_levels()) {
        double sum = -1.0;
        const bool fine = kept_gain_below_with(level, support.data(), packed.data(), b.data(), len, tiny, &sum);
        EXPECT_EQ(fine, plant == 0) << kernel_level_name(level) << " len " << len << " plant " << plant;
        if (fine) {
          EXPECT_EQ(bits(sum), bits(want)) << kernel_level_name(level) << " len " << len;
        }
      }
    }
  }
}

// ---------------------------------------------------------------- the column cache

TEST(FastColumnCache, ColumnsEqualDistancesAndTheBudgetHolds) {
  std::mt19937_64 rng(13);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::size_t n = 70, dim = 9;
    const Matrix m(instance_values(rng, n, dim, false), dim, metric);
    const std::size_t column = n * sizeof(float);
    for (std::size_t budget : {std::size_t{0}, column - 1, 5 * column + 3, std::size_t{1} << 30}) {
      const Points p = std::move(Points::borrowed(m.values, dim, metric).value());
      p.ledger().set_budget(budget);
      std::size_t cached = 0;
      for (int round = 0; round < 2; ++round) {
        for (std::size_t c = 0; c < n; ++c) {
          const Column col = p.column(c);
          cached += round == 0 && col.cached();
          ASSERT_EQ(col.values().size(), n);
          for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(col.values()[i]), bits(p.dist(i, c)));
        }
      }
      EXPECT_EQ(cached, std::min(n, budget / column)) << "budget " << budget;
      EXPECT_EQ(p.ledger().used(), cached * column);
      EXPECT_LE(p.ledger().used(), budget);
    }
  }
  EXPECT_EQ(default_column_budget(), process_memory_limit() / 4);
  EXPECT_GT(default_column_budget(), 0u);
}

TEST(FastColumnCache, ThreadsRacingForTheSameColumnsSeeOneValue) {
  const Matrix m(random_values(300, 24, 14), 24, Metric::Cosine);
  const Points& p = m.points;
  p.ledger().set_budget(100 * p.n() * sizeof(float));  // some columns only
  constexpr int kThreads = 6;
  std::latch start(kThreads);
  std::vector<std::vector<std::uint32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (std::size_t step = 0; step < 2 * p.n(); ++step) {
        const std::size_t c = (step * (t + 1) * 7) % p.n();
        const Column col = p.column(c);
        seen[t].push_back(bits(col.values()[(c + 1) % p.n()]) ^ bits(col.values()[c]));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (std::size_t step = 0; step < seen[t].size(); ++step) {
      const std::size_t c = (step * (t + 1) * 7) % p.n();
      ASSERT_EQ(seen[t][step], bits(p.dist((c + 1) % p.n(), c))) << "thread " << t;
    }
  }
  EXPECT_LE(p.ledger().used(), 100 * p.n() * sizeof(float));
}

// ---------------------------------------------------------------- facility location

// Random commit sequences (repeats included): after each commit the gain of
// every row, from the shared first gains, kept columns, cached or fresh
// columns alike.
TEST(FastFacilityLocation, GainsAndCommitsMatchTheDefinition) {
  std::mt19937_64 rng(15);
  for (int trial = 0; trial < 24; ++trial) {
    const Metric metric = trial % 2 ? Metric::Euclidean : Metric::Cosine;
    const Room room = static_cast<Room>(trial % 4);
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 150)(rng);
    const std::size_t dim = std::uniform_int_distribution<std::size_t>(1, 20)(rng);
    const Matrix m(instance_values(rng, n, dim, trial % 4 < 2), dim, metric);
    const Points& p = m.points;
    limit(p, room);
    FacilityLocation fast = FacilityLocation::create(p);
    PlainFacilityLocation plain(fast.scale(), n);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << " n " << n << " room " << room_name(room));
    std::uniform_int_distribution<std::size_t> row(0, n - 1);
    std::vector<std::size_t> all(n);
    for (std::size_t i = 0; i < n; ++i) all[i] = i;
    std::vector<double> batch(n);
    std::vector<std::uint8_t> exact(n);
    // A greedy run's first entries: each the first gain, or a close bound.
    fast.first_bounds(p, 0, batch, exact);
    for (std::size_t i = 0; i < n; ++i) {
      const double gain = plain.marginal(i, p);
      ASSERT_TRUE(exact[i] ? bits(batch[i]) == bits(gain) : batch[i] >= gain && batch[i] <= gain + 1e-4 * n)
          << "first " << i << ": " << batch[i] << " for " << gain;
    }
    for (int step = 0; step < 12; ++step) {
      fast.marginals(all, p, batch);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(fast.marginal(i, p)), bits(plain.marginal(i, p))) << "step " << step << " row " << i;
        ASSERT_EQ(bits(batch[i]), bits(plain.marginal(i, p))) << "batch, step " << step << " row " << i;
      }
      if (step == 6) {
        // A copy goes on from the same state; the source is reset.
        auto copy = fast.boxed_clone();
        auto plain_copy = plain.boxed_clone();
        fast.reset();
        plain.reset();
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(fast.marginal(i, p)), bits(plain.marginal(i, p)));
        const std::size_t r = row(rng);
        copy->commit(r, p);
        plain_copy->commit(r, p);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_EQ(bits(copy->marginal(i, p)), bits(plain_copy->marginal(i, p)));
        }
        fast.commit(r, p);
        plain.commit(r, p);
        continue;
      }
      const std::size_t r = row(rng);
      fast.commit(r, p);
      plain.commit(r, p);
      ASSERT_EQ(fast.best().size(), n);
    }
    EXPECT_LE(p.ledger().used(), room_bytes(p, room));
    EXPECT_LE(p.ledger().peak(), room_bytes(p, room));
  }
}

// Batches of gains on enough rows to go to the pool: columns kept, cached and
// computed afresh sixteen to a pass, mixed in one batch.
TEST(FastFacilityLocation, BatchesOnThePoolMatchSingleGains) {
  std::mt19937_64 rng(16);
  for (Room room : {Room::None, Room::Few, Room::Default}) {
    const std::size_t n = 4500, dim = 3;
    const Matrix m(instance_values(rng, n, dim, false), dim, Metric::Euclidean);
    const Points& p = m.points;
    limit(p, room);
    FacilityLocation fl = FacilityLocation::create(p);
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < 70; ++i) rows.push_back((i * 641) % n);
    std::vector<double> batch(rows.size());
    for (std::size_t c : {std::size_t{7}, std::size_t{4000}, std::size_t{7}}) {
      fl.commit(c, p);
      fl.marginals(rows, p, batch);
      for (std::size_t q = 0; q < rows.size(); ++q) {
        ASSERT_EQ(bits(batch[q]), bits(fl.marginal(rows[q], p))) << room_name(room) << " row " << rows[q];
      }
    }
  }
}

// Distances one unit in the last place either side of a committed row's
// distance: a row gains from a candidate exactly when it is strictly closer.
TEST(FastFacilityLocation, DistancesOneUlpApartDecideGainsExactly) {
  const float one = 1.0f, below = std::nextafter(1.0f, 0.0f), above = std::nextafter(1.0f, 2.0f);
  for (float scale_row : {3.0f, 7.0f, 1.0e6f}) {
    // Row 0 at the origin, the others at the distances to tell apart, one row
    // far out to set the scale (the diameter).
    const std::vector<float> xs{0.0f, one, -one, below, -below, above, -above, scale_row};
    const Matrix m(xs, 1, Metric::Euclidean);
    FacilityLocation fast = FacilityLocation::create(m.points);
    PlainFacilityLocation plain(fast.scale(), xs.size());
    for (std::size_t first : {1u, 3u, 5u}) {
      fast.reset();
      plain.reset();
      fast.commit(first, m.points);
      plain.commit(first, m.points);
      for (std::size_t c = 0; c < xs.size(); ++c) {
        ASSERT_EQ(bits(fast.marginal(c, m.points)), bits(plain.marginal(c, m.points)))
            << "scale " << scale_row << " first " << first << " candidate " << c;
      }
      for (std::size_t then : {2u, 4u, 6u}) {
        fast.commit(then, m.points);
        plain.commit(then, m.points);
        for (std::size_t c = 0; c < xs.size(); ++c) {
          ASSERT_EQ(bits(fast.marginal(c, m.points)), bits(plain.marginal(c, m.points)));
        }
      }
    }
  }
}

// A utility built for one matrix and used with another of the same size
// must answer for the one it is given.
TEST(FastFacilityLocation, ANewMatrixOfTheSameSizeIsNotMistakenForTheFirst) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const Matrix a(random_values(40, 6, 16), 6, metric);
    const Matrix b(random_values(40, 6, 17), 6, metric);
    FacilityLocation fast = FacilityLocation::create(a.points);
    PlainFacilityLocation plain(fast.scale(), 40);
    (void)fast.marginal(0, a.points);  // the shared gains now belong to a
    for (const Points* p : {&b.points, &a.points, &b.points}) {
      fast.reset();
      plain.reset();
      for (std::size_t r : {3u, 9u, 3u}) {
        for (std::size_t i = 0; i < 40; ++i) ASSERT_EQ(bits(fast.marginal(i, *p)), bits(plain.marginal(i, *p)));
        fast.commit(r, *p);
        plain.commit(r, *p);
      }
    }
  }
}

// The shared first gains are built on first use, possibly inside pool
// workers while other workers wait for them.
TEST(FastFacilityLocation, FirstUseFromManyThreadsAndFromPoolWorkers) {
  const Matrix m(random_values(400, 12, 18), 12, Metric::Euclidean);
  const Points& p = m.points;
  const FacilityLocation proto = FacilityLocation::create(p);
  PlainFacilityLocation plain(proto.scale(), p.n());
  std::vector<std::uint64_t> want;
  for (std::size_t i = 0; i < p.n(); ++i) want.push_back(bits(plain.marginal(i, p)));

  {
    auto source = proto.boxed_clone();
    constexpr int kThreads = 5;
    std::latch start(kThreads);
    std::vector<std::vector<std::uint64_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (std::size_t i = 0; i < p.n(); ++i) got[t].push_back(bits(source->marginal((i + 37 * t) % p.n(), p)));
      });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
      for (std::size_t i = 0; i < p.n(); ++i) ASSERT_EQ(got[t][i], want[(i + 37 * t) % p.n()]);
    }
  }
  {
    const FacilityLocation fresh = FacilityLocation::create(p);
    std::vector<Selection> runs(24);
    pool::map_chunks(
        runs.size(), [&fresh] { return fresh.boxed_clone(); },
        [&](std::unique_ptr<Utility>& copy, std::size_t i) {
          runs[i] = greedy_independent_set(p, *copy, 6, 0.05f * static_cast<float>(i));
        });
    for (std::size_t i = 0; i < runs.size(); ++i) {
      PlainFacilityLocation u(proto.scale(), p.n());
      EXPECT_EQ(runs[i], plain_greedy(p, u, 6, 0.05f * static_cast<float>(i))) << "run " << i;
    }
  }
}

// Past a few thousand rows the first gains and kept distances are built in
// spans of rows; the sums must still run in row order across them.
TEST(FastFacilityLocation, GainsMatchAcrossRowSpans) {
  const Matrix m(random_values(8300, 3, 23), 3, Metric::Cosine);
  const Points& p = m.points;
  FacilityLocation fast = FacilityLocation::create(p);
  PlainFacilityLocation plain(fast.scale(), p.n());
  for (std::size_t c = 0; c < p.n(); c += 7) ASSERT_EQ(bits(fast.marginal(c, p)), bits(plain.marginal(c, p))) << c;
  for (const std::size_t c : {std::size_t{8250}, std::size_t{17}}) {
    fast.commit(c, p);
    plain.commit(c, p);
  }
  for (std::size_t c = 0; c < p.n(); c += 97) ASSERT_EQ(bits(fast.marginal(c, p)), bits(plain.marginal(c, p))) << c;
}

// Half of isotropic rows' cosine similarities are positive, and every column
// is kept from the first gains on unless the fused kernel bounds those gains;
// nearly all Euclidean ones are, which the first picks mostly drop, so nothing
// is kept before them.
TEST(FastFacilityLocation, KeepsFromTheStartOnlyWhereTheFirstGainsAreExact) {
  const std::size_t n = 2000, dim = 16, all = n * n * sizeof(float);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const Matrix m(random_values(n, dim, 31), dim, metric);
    const Points& p = m.points;
    FacilityLocation fl = FacilityLocation::create(p);
    fl.marginal(0, p);
    if (metric == Metric::Cosine && !FusedDistances::available(dim)) {
      EXPECT_GT(p.ledger().used(), all / 4);
    } else {
      EXPECT_LT(p.ledger().used(), all / 16);
    }
  }
}

// ---------------------------------------------------------------- greedy runs

TEST(FastGreedy, RunsMatchThePlainScanForEveryUtilityAndRoom) {
  int trials = 0;
  for (const Instance& inst : instance_bank(1)) {
    for (Room room : {Room::Default, Room::None, Room::Few, Room::Half}) {
      const Points p = inst.points();
      limit(p, room);
      auto fast = inst.utility(p);
      auto plain = plain_utility(inst, p);
      const float diam = plain_diameter(p).d;
      for (float d : {0.0f, kNaN, 0.3f * diam, 0.7f * diam, diam, std::nextafter(diam, kInf)}) {
        for (std::size_t k : {std::size_t{1}, inst.params.k, p.n() + 1}) {
          ++trials;
          ASSERT_EQ(greedy_independent_set(p, *fast, k, d), plain_greedy(p, *plain, k, d))
              << "kind " << static_cast<int>(inst.kind) << " room " << room_name(room) << " d " << d << " k " << k;
        }
      }
    }
  }
  EXPECT_GT(trials, 0);
}

// Gains followed through hundreds of raised rows, in several blocks, must
// stay bounds of the gains; so must those of picks that follow nearly every
// row in one batch (1,500 rows).
TEST(FastGreedy, RunsMatchThePlainScanPastManyRaisedRows) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (Room room : {Room::None, Room::Half}) {
      for (std::size_t n : {600, 1500}) {
        if (n > 600 && room != Room::None) continue;
        const Matrix m(random_values(n, 16, 5), 16, metric);
        const Points& p = m.points;
        limit(p, room);
        FacilityLocation fast = FacilityLocation::create(p);
        for (float d : {0.0f, 0.5f}) {
          PlainFacilityLocation plain(fast.scale(), p.n());
          EXPECT_EQ(greedy_independent_set(p, fast, 12, d), plain_greedy(p, plain, 12, d))
              << room_name(room) << " n " << n << " d " << d;
        }
      }
    }
  }
}

// Bounds followed from two stamps through the rows raised since, where most
// followed rows are raised rows too (whose distances serve both) and over a
// thousand columns read the same rows, stay above the gains and close to them.
TEST(FastFacilityLocation, FollowedBoundsStayCloseAboveTheGains) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::size_t n = 2200;
    const Matrix m(random_values(n, 16, 41), 16, metric);
    const Points& p = m.points;
    limit(p, Room::None);
    FacilityLocation fast = FacilityLocation::create(p);
    PlainFacilityLocation plain(fast.scale(), n);
    const std::size_t picks[] = {7, 300, 611};
    std::vector<std::size_t> rows, stamps;
    std::vector<double> bounds;
    for (std::size_t step = 0; step < 3; ++step) {
      fast.commit(picks[step], p);
      plain.commit(picks[step], p);
      // Even rows keep their gain after the first pick, odd ones after the second.
      for (std::size_t i = step; step < 2 && i < n; i += 2) {
        if (i == picks[1] || i == picks[2]) continue;
        rows.push_back(i);
        stamps.push_back(step + 1);
        bounds.push_back(plain.marginal(i, p));
      }
    }
    std::vector<std::uint8_t> exact(rows.size());
    fast.tighten(rows, stamps, p, bounds, exact);
    std::size_t followed = 0;
    for (std::size_t q = 0; q < rows.size(); ++q) {
      const double gain = plain.marginal(rows[q], p);
      followed += exact[q] == 0;
      ASSERT_GE(bounds[q], gain) << "row " << rows[q] << " stamp " << stamps[q];
      ASSERT_LE(bounds[q], gain + 1e-4 * n) << "row " << rows[q] << " stamp " << stamps[q];
    }
    EXPECT_GT(followed, n / 4);
  }
}

// Linear rows are taken in weight order, the total order deciding between
// -0.0 and +0.0 and the lower index between equal weights.
TEST(FastGreedy, OrderedScanKeepsTheTieRules) {
  const std::vector<float> xs{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Matrix m(xs, 1, Metric::Euclidean);
  const std::vector<std::vector<double>> weight_sets{
      {1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
      {0.0, -0.0, 0.0, -0.0, 2, 2, 4.9e-324, 0.0, 1, 1},
      {3, 1, 3, 1, 3, 1, 3, 1, 3, 1},
      {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, 0.0}};
  for (const auto& w : weight_sets) {
    Linear fast(w);
    PlainLinear plain(w);
    for (float d : {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 9.0f, 10.0f, kNaN}) {
      for (std::size_t k : {1u, 2u, 4u, 11u}) {
        EXPECT_EQ(run_scan(m.points, fast, k, d), plain_greedy(m.points, plain, k, d)) << "d " << d << " k " << k;
      }
    }
  }
}

// A checkpoint of the run at threshold 0 before pick p serves every threshold
// that shuts none of the first p picks out.
TEST(FastGreedy, ResumingFromAnyCheckpointRepeatsAFreshRun) {
  int resumed = 0;
  for (const Instance& inst : instance_bank(2)) {
    if (inst.kind == Kind::Linear) continue;
    const Points p = inst.points();
    auto fast = inst.utility(p);
    auto plain = plain_utility(inst, p);
    const std::size_t k = inst.params.k;
    std::vector<Checkpoint> kept;
    const Selection s0 = greedy_independent_set(
        p, *fast, k, 0.0f, [](std::span<const std::size_t>, std::size_t, std::size_t) { return true; }, kept);
    ASSERT_EQ(kept.size(), s0.size());
    const float diam = plain_diameter(p).d;
    for (const Checkpoint& cp : kept) {
      // The largest threshold that keeps the first cp.picks picks.
      float reach = kInf;
      for (std::size_t j = 1; j < cp.picks; ++j) {
        for (std::size_t l = 0; l < j; ++l) reach = std::min(reach, p.dist(s0[j], s0[l]));
      }
      for (float t : {0.0f, 0.5f * reach, reach, 0.4f * diam, 0.8f * diam, diam}) {
        if (t > reach) continue;
        ++resumed;
        auto copy = fast->boxed_clone();
        ASSERT_EQ(resume_celf(p, *copy, k, t, s0, cp), plain_greedy(p, *plain, k, t))
            << "picks " << cp.picks << " t " << t;
      }
    }
  }
  EXPECT_GT(resumed, 100);
}

// ---------------------------------------------------------------- whole calls

std::string compare_bank(const std::vector<Instance>& bank, Room room, int& mismatches) {
  std::ostringstream digest;
  for (std::size_t n = 0; n < bank.size(); ++n) {
    const Instance& inst = bank[n];
    const Points p = inst.points();
    limit(p, room);
    auto fast = inst.utility(p);
    const auto got = gist(p, *fast, inst.params);
    if (!got) {
      ++mismatches;
      ADD_FAILURE() << "instance " << n << ": " << got.error().to_string();
      continue;
    }
    const Points q = inst.points();
    auto plain = plain_utility(inst, q);
    const GistResult want = plain_gist(q, *plain, inst.params);
    if (describe(*got) != describe(want)) {
      ++mismatches;
      ADD_FAILURE() << "instance " << n << " room " << room_name(room) << "\n  fast:  " << describe(*got)
                    << "\n  plain: " << describe(want);
    }
    digest << describe(*got) << ";";
  }
  return digest.str();
}

TEST(FastGist, WholeCallsMatchThePlainDriverInEveryRoom) {
  const auto bank = instance_bank(3);
  for (Room room : {Room::Default, Room::None, Room::Few, Room::Half}) {
    int mismatches = 0;
    compare_bank(bank, room, mismatches);
    EXPECT_EQ(mismatches, 0) << room_name(room);
  }
}

// Ladders of tens of thousands of thresholds over a few rows, across the
// sweep's blocks: most runs repeat a neighbour's, and the reported threshold
// must still be the largest of the last stretch of greatest f.
TEST(FastGist, DenseLaddersMatchThePlainDriver) {
  std::uint64_t seed = 8101;
  for (Kind kind : {Kind::Linear, Kind::Coverage, Kind::FacilityLocation}) {
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      const std::uint64_t s = seed++;
      Instance inst = random_instance(s, metric, kind, s % 2 == 0, true);
      const std::size_t n = std::min<std::size_t>(inst.values.size() / inst.dim, 8);
      inst.values.resize(n * inst.dim);
      inst.weights.resize(n);
      inst.sets.resize(n);
      inst.params.exhaustive_thresholds = false;
      // About 170,000 thresholds for linear rows, 37,000 for the others.
      inst.params.eps = kind == Kind::Linear ? 0x1p-14f : 0x1p-12f;
      const Points p = inst.points();
      auto fast = inst.utility(p);
      const auto got = gist(p, *fast, inst.params);
      ASSERT_TRUE(got.has_value());
      const Points q = inst.points();
      auto plain = plain_utility(inst, q);
      EXPECT_EQ(describe(*got), describe(plain_gist(q, *plain, inst.params))) << "seed " << seed - 1;
    }
  }
}

// The pool's size is fixed per process, so each size runs in its own child.
TEST(FastGist, WholeCallsMatchThePlainDriverOnAnyNumberOfThreads) {
  if (testing::in_child()) {
    int mismatches = 0;
    const std::string digest = compare_bank(instance_bank(1), Room::Default, mismatches) +
                               compare_bank(instance_bank(1), Room::Few, mismatches) +
                               compare_bank(instance_bank(1), Room::Half, mismatches);
    std::printf("RESULT pool %zu\nRESULT mismatches %d\nRESULT digest %s\n", pool::size(), mismatches,
                digest.c_str());
    return;
  }
  std::vector<std::string> digests;
  for (const char* threads : {"1", "3"}) {
    const auto child = testing::rerun_in_child({{"RAYON_NUM_THREADS", threads}, {"RAYON_RS_NUM_CPUS", std::nullopt}});
    ASSERT_EQ(child.status, 0) << child.out;
    EXPECT_EQ(testing::child_value(child.out, "pool"), threads);
    EXPECT_EQ(testing::child_value(child.out, "mismatches"), "0") << child.out;
    digests.push_back(testing::child_value(child.out, "digest").value_or("missing"));
  }
  EXPECT_EQ(digests[0], digests[1]);
}

// Calls at once on one matrix share its cache; each still gets its own answer.
TEST(FastGist, ConcurrentCallsOnOneMatrixShareItsCache) {
  std::vector<Instance> bank;
  for (Kind kind : {Kind::Linear, Kind::Coverage, Kind::FacilityLocation}) {
    for (std::uint64_t s = 0; s < 2; ++s) {
      Instance inst = random_instance(900 + s, Metric::Cosine, kind, s == 1, false);
      bank.push_back(std::move(inst));
    }
  }
  // One matrix for all: the rows of the first instance.
  for (Instance& inst : bank) {
    inst.values = bank.front().values;
    inst.dim = bank.front().dim;
    const std::size_t n = inst.values.size() / inst.dim;
    inst.weights.resize(n, 1.0);
    inst.sets.resize(n);
  }
  const Points shared = bank.front().points();
  shared.ledger().set_budget(4 * shared.n() * sizeof(float));
  std::vector<std::string> want;
  for (const Instance& inst : bank) {
    const Points q = inst.points();
    auto plain = plain_utility(inst, q);
    want.push_back(describe(plain_gist(q, *plain, inst.params)));
  }
  std::latch start(static_cast<std::ptrdiff_t>(bank.size()));
  std::vector<std::string> got(bank.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < bank.size(); ++t) {
    threads.emplace_back([&, t] {
      auto fast = bank[t].utility(shared);
      start.arrive_and_wait();
      for (int rep = 0; rep < 3; ++rep) {
        const auto r = gist(shared, *fast, bank[t].params);
        got[t] = r ? describe(*r) : r.error().to_string();
        if (got[t] != want[t]) break;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < bank.size(); ++t) EXPECT_EQ(got[t], want[t]) << "call " << t;
  EXPECT_LE(shared.ledger().used(), 4 * shared.n() * sizeof(float));
}

}  // namespace

}  // namespace tarvex
