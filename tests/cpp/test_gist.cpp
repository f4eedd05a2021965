#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "fixtures.hpp"
#include "gist.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kEpsFloor = 1.1920929e-7f;  // 2^-23

Points line_points(const std::vector<float>& xs) {
  return std::move(Points::borrowed(xs, 1, Metric::Euclidean).value());
}

GistParams params(std::size_t k, double lam, float eps, DiameterMode mode = DiameterExact{},
                  bool exhaustive = false) {
  GistParams p;
  p.k = k;
  p.lam = lam;
  p.eps = eps;
  p.diameter = mode;
  p.exhaustive_thresholds = exhaustive;
  return p;
}

Coverage coverage(std::vector<std::vector<std::uint32_t>> sets, std::size_t universe) {
  return std::move(Coverage::create(std::move(sets), universe).value());
}

// Every field, floats as bit patterns, so that equal texts mean equal bits.
std::string describe(const GistResult& r) {
  std::ostringstream out;
  out << stage_text(r.stage) << std::hex << " f=" << std::bit_cast<std::uint64_t>(r.f_value)
      << " g=" << std::bit_cast<std::uint64_t>(r.g_value)
      << " div=" << std::bit_cast<std::uint32_t>(r.div)
      << " t=" << std::bit_cast<std::uint32_t>(r.threshold)
      << " dmax=" << std::bit_cast<std::uint32_t>(r.d_max) << std::dec << " [";
  for (std::size_t i = 0; i < r.selected.size(); ++i) out << (i ? " " : "") << r.selected[i];
  out << "]";
  return out.str();
}

// Forwards to a real utility and records what the driver asks of the caller's
// object; the copies it hands out can be told to fail.
class Probe final : public Utility {
 public:
  struct Log {
    std::mutex mu;
    std::vector<std::string> ops;
    std::thread::id caller = std::this_thread::get_id();
    bool used_off_caller_thread = false;
  };
  enum class Fault { None, CopiesThrowOnMarginal, CloneThrows };

  Probe(std::unique_ptr<Utility> inner, Log* log, Fault fault = Fault::None, bool copy = false)
      : inner_(std::move(inner)), log_(log), fault_(fault), copy_(copy) {}

  double marginal(std::size_t index, const Points& points) const override {
    note("marginal");
    if (copy_ && fault_ == Fault::CopiesThrowOnMarginal) {
      throw ContractViolation("probe copy refuses marginal");
    }
    return inner_->marginal(index, points);
  }
  void commit(std::size_t index, const Points& points) override {
    note("commit");
    inner_->commit(index, points);
  }
  void reset() override {
    note("reset");
    inner_->reset();
  }
  bool is_linear() const override {
    note("is_linear");
    return inner_->is_linear();
  }
  Status validate(const Points& points) const override {
    note("validate");
    return inner_->validate(points);
  }
  std::unique_ptr<Utility> boxed_clone() const override {
    note("boxed_clone");
    if (fault_ == Fault::CloneThrows) throw ContractViolation("probe refuses to be copied");
    return std::make_unique<Probe>(inner_->boxed_clone(), nullptr, fault_, true);
  }

  const Utility& inner() const { return *inner_; }

 private:
  void note(std::string_view op) const {
    if (log_ == nullptr) return;
    std::lock_guard lock(log_->mu);
    log_->ops.emplace_back(op);
    if (op != "boxed_clone" && std::this_thread::get_id() != log_->caller) {
      log_->used_off_caller_thread = true;
    }
  }

  std::unique_ptr<Utility> inner_;
  Log* log_;
  Fault fault_;
  bool copy_;
};

// ---------------------------------------------------------------- random instances

Instance random_instance(std::uint64_t seed, Metric metric, Kind kind, bool approx,
                         bool exhaustive) {
  std::mt19937_64 rng(seed);
  auto pick = [&](std::size_t lo, std::size_t hi) {
    return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
  };
  Instance inst;
  inst.metric = metric;
  inst.kind = kind;
  inst.dim = pick(1, 8);
  // The exhaustive list grows with n^2, and so does the sweep over it.
  const std::size_t n = exhaustive ? pick(10, 30) : pick(20, 60);
  // Grids give duplicate rows, many equal distances and equal gains, which
  // is where tie rules and reduction order show.
  const bool grid = pick(0, 1) == 1;
  inst.values = instance_values(rng, n, inst.dim, grid);
  for (std::size_t r = 0; r < n; ++r) {
    inst.weights.push_back(grid ? static_cast<double>(pick(0, 2))
                                : std::uniform_real_distribution<double>(0.0, 3.0)(rng));
  }
  inst.universe = pick(8, 40);
  inst.sets = instance_sets(rng, n, inst.universe);
  const double lams[] = {0.0, -0.0, 0.25, 1.0, 4.0};
  const float epss[] = {1.0f, 0.5f, 0.1f, 0.02f};
  inst.params.k = pick(1, 12);
  inst.params.lam = lams[pick(0, 4)];
  inst.params.eps = epss[pick(0, 3)];
  inst.params.exhaustive_thresholds = exhaustive;
  if (approx) {
    inst.params.diameter = DiameterApprox{pick(0, 4)};
  } else {
    inst.params.diameter = DiameterExact{};
  }
  return inst;
}

std::vector<Instance> instance_bank() {
  return testing_support::instance_bank(random_instance, 2, 1);
}

// A sequential replay of the three stages from the same building blocks: the
// driver's parallel sweep, its reduction and its rebuild must agree with it.
GistResult replay(const Points& points, Utility& utility, const GistParams& p) {
  const bool exact = std::holds_alternative<DiameterExact>(p.diameter);
  const FarPair far =
      exact ? points.diameter() : approx_diameter(points, std::get<DiameterApprox>(p.diameter).sweeps);
  const std::size_t budget = std::min(p.k, points.n());

  GistResult best;
  best.d_max = far.d;
  bool first = true;
  auto consider = [&](Selection set, float threshold, Stage stage) {
    const Evaluated e = evaluate_by_hand(points, utility, set, far.d, p.lam);
    const bool wins = first || (stage == Stage::Sweep ? e.f >= best.f_value : e.f > best.f_value);
    first = false;
    if (wins) best = GistResult{std::move(set), e.f, e.g, e.div, threshold, far.d, stage};
  };

  consider(greedy_independent_set(points, utility, budget, 0.0f), 0.0f, Stage::Greedy);
  if (budget >= 2) {
    consider(Selection{std::min(far.i, far.j), std::max(far.i, far.j)}, far.d, Stage::DiameterPair);
  }
  if (far.d > 0.0f) {
    const std::vector<float> list =
        p.exhaustive_thresholds
            ? exhaustive_threshold_set(points)
            : thresholds_with_bound(far.d, p.eps, (exact ? 2.0 : 4.0) / static_cast<double>(p.eps));
    for (float t : list) consider(greedy_independent_set(points, utility, budget, t), t, Stage::Sweep);
  }
  utility.reset();
  return best;
}

// ---------------------------------------------------------------- the worked case

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

// ---------------------------------------------------------------- validation

TEST(GistValidation, FirstFailingCheckWinsAndTheUtilityIsNotTouched) {
  const std::vector<float> xs{0.0f, 1.0f, 3.0f};
  const Points points = line_points(xs);
  const float nan_f = std::numeric_limits<float>::quiet_NaN();
  const double nan_d = std::numeric_limits<double>::quiet_NaN();
  const float above_one = std::nextafter(1.0f, 2.0f);

  struct Case {
    GistParams p;
    ErrorKind kind;
  };
  const Case cases[] = {
      {params(0, -1.0, 0.0f), ErrorKind::ZeroK},
      {params(0, nan_d, nan_f), ErrorKind::ZeroK},
      {params(2, -1.0, 0.0f), ErrorKind::InvalidEpsilon},
      {params(2, 1.0, 0.0f), ErrorKind::InvalidEpsilon},
      {params(2, 1.0, std::nextafter(kEpsFloor, 0.0f)), ErrorKind::InvalidEpsilon},
      {params(2, 1.0, above_one), ErrorKind::InvalidEpsilon},
      {params(2, 1.0, nan_f), ErrorKind::InvalidEpsilon},
      {params(2, 1.0, -0.5f), ErrorKind::InvalidEpsilon},
      {params(2, -1.0, 1.0f), ErrorKind::InvalidLambda},
      {params(2, std::numeric_limits<double>::infinity(), 1.0f), ErrorKind::InvalidLambda},
      {params(2, -std::numeric_limits<double>::infinity(), 1.0f), ErrorKind::InvalidLambda},
      {params(2, nan_d, 1.0f), ErrorKind::InvalidLambda},
      {params(2, -1e-300, 1.0f), ErrorKind::InvalidLambda},
  };
  for (const Case& c : cases) {
    Probe::Log log;
    Probe probe(std::make_unique<Linear>(Linear::uniform(3)), &log);
    const auto r = gist(points, probe, c.p);
    ASSERT_FALSE(r.has_value()) << "k=" << c.p.k << " eps=" << c.p.eps << " lam=" << c.p.lam;
    EXPECT_EQ(r.error().kind(), c.kind) << r.error().to_string();
    // The payload is what was received, bit for bit (a NaN included).
    if (const auto* e = r.error().get_if<errors::InvalidEpsilon>()) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(e->eps), std::bit_cast<std::uint32_t>(c.p.eps));
    }
    if (const auto* e = r.error().get_if<errors::InvalidLambda>()) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(e->lam), std::bit_cast<std::uint64_t>(c.p.lam));
    }
    EXPECT_TRUE(log.ops.empty()) << "the utility was used before the input was checked";
  }
}

TEST(GistValidation, EpsilonEndsAndNegativeZeroLambdaAreAccepted) {
  const std::vector<float> xs{0.0f, 1.0f, 3.0f};
  const Points points = line_points(xs);
  Linear utility = Linear::uniform(3);

  // Under exhaustive thresholds eps only has to pass the check; the smallest
  // one would otherwise ask for a ladder of about 1.4e8 thresholds.
  const auto reference = gist(points, utility, params(2, 1.0, 1.0f, DiameterExact{}, true));
  ASSERT_TRUE(reference.has_value());
  for (float eps : {kEpsFloor, 0.37f}) {
    const auto r = gist(points, utility, params(2, 1.0, eps, DiameterExact{}, true));
    ASSERT_TRUE(r.has_value()) << eps;
    EXPECT_EQ(describe(*r), describe(*reference)) << eps;
  }

  const auto zero = gist(points, utility, params(2, 0.0, 1.0f));
  const auto negative_zero = gist(points, utility, params(2, -0.0, 1.0f));
  ASSERT_TRUE(zero.has_value());
  ASSERT_TRUE(negative_zero.has_value());
  EXPECT_EQ(describe(*negative_zero), describe(*zero));
  EXPECT_EQ(negative_zero->f_value, negative_zero->g_value);
}

TEST(GistValidation, UtilityErrorIsReturnedUnchangedAfterTheDriverChecks) {
  const std::vector<float> xs{0.0f, 1.0f, 3.0f};
  const std::vector<float> four{0.0f, 1.0f, 3.0f, 4.0f};
  const Points points = line_points(xs);
  const Points other = line_points(four);

  std::vector<std::unique_ptr<Utility>> bad;
  bad.push_back(std::make_unique<Linear>(Linear::uniform(4)));
  bad.push_back(std::make_unique<Linear>(std::vector<double>{1.0, -2.0, 1.0}));
  bad.push_back(std::make_unique<Coverage>(coverage({{0}, {1}}, 2)));
  bad.push_back(std::make_unique<FacilityLocation>(FacilityLocation::create(other)));
  for (const auto& inner : bad) {
    const auto expected = inner->validate(points);
    ASSERT_FALSE(expected.has_value());
    Probe::Log log;
    Probe probe(inner->boxed_clone(), &log);
    const auto r = gist(points, probe, params(2, 1.0, 0.1f));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), expected.error().kind());
    EXPECT_EQ(r.error().to_string(), expected.error().to_string());
    EXPECT_EQ(log.ops, std::vector<std::string>{"validate"});

    // A driver check that fails comes first, and then validate is not asked.
    Probe::Log early;
    Probe again(inner->boxed_clone(), &early);
    const auto first = gist(points, again, params(2, std::numeric_limits<double>::quiet_NaN(), 0.1f));
    ASSERT_FALSE(first.has_value());
    EXPECT_EQ(first.error().kind(), ErrorKind::InvalidLambda);
    EXPECT_TRUE(early.ops.empty());
  }
}

// ---------------------------------------------------------------- stages and ties

TEST(GistDegenerate, SingleRowSkipsPairAndSweep) {
  const std::vector<float> row{0.5f, -2.0f, 1.0f};
  for (Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    const Points points = std::move(Points::borrowed(row, 3, metric).value());
    for (std::size_t k : {std::size_t{1}, std::size_t{4}}) {
      for (bool approx : {false, true}) {
        for (bool exhaustive : {false, true}) {
          Linear utility(std::vector<double>{2.5});
          const DiameterMode mode = approx ? DiameterMode{DiameterApprox{0}} : DiameterExact{};
          const auto r = gist(points, utility, params(k, 1.0, 0.1f, mode, exhaustive));
          ASSERT_TRUE(r.has_value());
          EXPECT_EQ(r->selected, (Selection{0}));
          EXPECT_EQ(r->stage, Stage::Greedy);
          EXPECT_EQ(r->f_value, 2.5);
          EXPECT_EQ(r->g_value, 2.5);
          EXPECT_EQ(std::bit_cast<std::uint32_t>(r->div), 0u);
          EXPECT_EQ(std::bit_cast<std::uint32_t>(r->threshold), 0u);
          EXPECT_EQ(std::bit_cast<std::uint32_t>(r->d_max), 0u);
        }
      }
    }
  }
}

TEST(GistDegenerate, IdenticalRowsSkipTheSweepAndThePairNeedsAStrictlyGreaterGain) {
  const std::vector<float> same{1.0f, 2.0f, 1.0f, 2.0f, 1.0f, 2.0f};
  const Points points = std::move(Points::borrowed(same, 2, Metric::Euclidean).value());
  for (DiameterMode mode : {DiameterMode{DiameterExact{}}, DiameterMode{DiameterApprox{2}}}) {
    for (double lam : {0.0, 1.0}) {
      // Equal gains: the pair (0, 1) ties with the greedy set and loses.
      Linear uniform = Linear::uniform(3);
      auto r = gist(points, uniform, params(2, lam, 0.1f, mode, true));
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->stage, Stage::Greedy);
      EXPECT_EQ(r->selected, (Selection{0, 1}));
      EXPECT_EQ(r->d_max, 0.0f);
      EXPECT_EQ(r->div, 0.0f);
      EXPECT_EQ(r->f_value, 2.0);

      // The greedy set covers 7 items ([2, 0]); rows 0 and 1 together cover 8.
      Coverage items = coverage({{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 4, 5, 8}}, 9);
      r = gist(points, items, params(2, lam, 0.1f, mode));
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->stage, Stage::DiameterPair);
      EXPECT_EQ(r->selected, (Selection{0, 1}));
      EXPECT_EQ(r->f_value, 8.0);
      EXPECT_EQ(r->g_value, 8.0);
      EXPECT_EQ(r->threshold, 0.0f);
      EXPECT_EQ(r->div, 0.0f);
    }
  }
}

// Rows at 0, 5 and 10. Row 1 covers the most items, so every greedy run
// starts with it, but rows 0 and 2 together cover more than any set with row
// 1. The greedy order of the pair would be [2, 0] (6 items before 5).
TEST(GistStages, DiameterPairWinsStrictlyWithAscendingRowsAndTheDiameterAsThreshold) {
  const std::vector<float> xs{0.0f, 5.0f, 10.0f};
  const Points points = line_points(xs);
  const std::vector<std::vector<std::uint32_t>> sets{
      {0, 1, 2, 7, 8}, {0, 1, 2, 3, 4, 5, 6}, {3, 4, 5, 9, 10, 11}};
  for (DiameterMode mode : {DiameterMode{DiameterExact{}}, DiameterMode{DiameterApprox{1}}}) {
    for (bool exhaustive : {false, true}) {
      for (double lam : {1.0, 0.0, -0.0}) {
        Coverage utility = coverage(sets, 12);
        const auto r = gist(points, utility, params(2, lam, 1.0f, mode, exhaustive));
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->stage, Stage::DiameterPair) << describe(*r);
        EXPECT_EQ(r->selected, (Selection{0, 2}));
        EXPECT_EQ(r->threshold, 10.0f);
        EXPECT_EQ(r->d_max, 10.0f);
        EXPECT_EQ(r->div, 10.0f);
        EXPECT_EQ(r->g_value, 11.0);
        EXPECT_EQ(r->f_value, lam == 0.0 ? 11.0 : 21.0);
      }
    }
  }
}

// Rows at 0, 0 and 3 with weights 3, 2, 1: the greedy set [0, 1] has the
// best gain, and only a threshold of 0.0 keeps both duplicates.
TEST(GistStages, GreedyIsReportedOnlyWhenNoSweepOutcomeTiesIt) {
  const std::vector<float> xs{0.0f, 0.0f, 3.0f};
  const Points points = line_points(xs);
  Linear utility(std::vector<double>{3.0, 2.0, 1.0});

  // The ladder [1.5, 3.0] never keeps both duplicates.
  auto r = gist(points, utility, params(2, 0.0, 1.0f));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->stage, Stage::Greedy);
  EXPECT_EQ(r->selected, (Selection{0, 1}));
  EXPECT_EQ(r->threshold, 0.0f);
  EXPECT_EQ(r->f_value, 5.0);
  EXPECT_EQ(r->g_value, 5.0);
  EXPECT_EQ(r->div, 0.0f);

  // The exhaustive list [0.0, 1.5] starts with the greedy run itself.
  r = gist(points, utility, params(2, 0.0, 1.0f, DiameterExact{}, true));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->stage, Stage::Sweep);
  EXPECT_EQ(r->selected, (Selection{0, 1}));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(r->threshold), 0u);
  EXPECT_EQ(r->f_value, 5.0);

  // Rows at 0, 1 and 3: [0.0, 0.5, 1.0, 1.5]; the first three keep [0, 1],
  // and the largest of them wins.
  const std::vector<float> spread{0.0f, 1.0f, 3.0f};
  const Points apart = line_points(spread);
  r = gist(apart, utility, params(2, 0.0, 1.0f, DiameterExact{}, true));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->stage, Stage::Sweep);
  EXPECT_EQ(r->selected, (Selection{0, 1}));
  EXPECT_EQ(r->threshold, 1.0f);
  EXPECT_EQ(r->f_value, 5.0);
}

// Rows at -1e19, 0 and 1e19: the square of the outer pair's distance
// overflows, so d_max, the ladder [inf] and the pair's div are infinite.
TEST(GistStages, InfiniteDistancesStillGiveAResult) {
  const std::vector<float> xs{-1e19f, 0.0f, 1e19f};
  const Points points = line_points(xs);
  Linear utility = Linear::uniform(3);
  for (DiameterMode mode : {DiameterMode{DiameterExact{}}, DiameterMode{DiameterApprox{1}}}) {
    // Zero weight: the infinite div adds exactly nothing, not a NaN.
    auto r = gist(points, utility, params(2, 0.0, 0.1f, mode));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->stage, Stage::Sweep) << describe(*r);
    EXPECT_EQ(r->selected, (Selection{0, 2}));
    EXPECT_EQ(r->f_value, 2.0);
    EXPECT_EQ(r->g_value, 2.0);
    EXPECT_EQ(r->div, kInf);
    EXPECT_EQ(r->threshold, kInf);
    EXPECT_EQ(r->d_max, kInf);

    r = gist(points, utility, params(2, 1.0, 0.1f, mode));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->stage, Stage::Sweep) << describe(*r);
    EXPECT_EQ(r->selected, (Selection{0, 2}));
    EXPECT_EQ(r->f_value, std::numeric_limits<double>::infinity());
  }
}

TEST(GistBudget, KAboveTheRowCountBehavesAsTheRowCount) {
  for (const Instance& inst : instance_bank()) {
    if (inst.params.exhaustive_thresholds) continue;
    const Points points = inst.points();
    const auto utility = inst.utility(points);
    GistParams p = inst.params;
    p.eps = 0.5f;  // a short ladder: runs at k = n are the slow ones
    p.k = points.n();
    const auto at_n = gist(points, *utility, p);
    ASSERT_TRUE(at_n.has_value());
    for (std::size_t k : {points.n() + 1, std::numeric_limits<std::size_t>::max()}) {
      p.k = k;
      const auto above = gist(points, *utility, p);
      ASSERT_TRUE(above.has_value());
      EXPECT_EQ(describe(*above), describe(*at_n)) << "k=" << k;
    }
  }
}

// ---------------------------------------------------------------- the caller's utility

TEST(GistUtilityUse, CallerUtilityIsOnlyCopiedOffThreadAndEndsReset) {
  int sweeps_won = 0;
  for (const Instance& inst : instance_bank()) {
    if (inst.kind == Kind::Linear) continue;  // no committed state to leave behind
    const Points points = inst.points();
    Probe::Log log;
    Probe probe(inst.utility(points), &log);
    const auto r = gist(points, probe, inst.params);
    ASSERT_TRUE(r.has_value());
    sweeps_won += r->stage == Stage::Sweep;

    EXPECT_FALSE(log.used_off_caller_thread);
    ASSERT_FALSE(log.ops.empty());
    EXPECT_EQ(log.ops.front(), "validate");
    EXPECT_EQ(log.ops.back(), "reset");
    // Copies are taken of the reset object only.
    std::string last_change;
    for (const std::string& op : log.ops) {
      if (op == "boxed_clone") {
        EXPECT_EQ(last_change, "reset");
      } else if (op == "reset" || op == "commit") {
        last_change = op;
      }
    }

    // And the real utility behaves as new: every first gain is back.
    const auto fresh = inst.utility(points);
    for (std::size_t i = 0; i < points.n(); ++i) {
      EXPECT_EQ(probe.inner().marginal(i, points), fresh->marginal(i, points)) << "row " << i;
    }
  }
  EXPECT_GT(sweeps_won, 0);
}

TEST(GistWorkerFailure, ContractViolationInASweepWorkerReachesTheCaller) {
  const std::vector<float> xs{0.0f, 1.0f, 3.0f, 7.0f, 8.0f, 12.0f};
  const Points points = line_points(xs);
  using Fault = Probe::Fault;
  for (Fault fault : {Fault::CopiesThrowOnMarginal, Fault::CloneThrows}) {
    for (bool exhaustive : {false, true}) {
      // Coverage runs the lazy greedy, Linear the scan: both ask for gains.
      for (bool linear : {false, true}) {
        std::unique_ptr<Utility> inner;
        if (linear) {
          inner = std::make_unique<Linear>(Linear::uniform(6));
        } else {
          inner = std::make_unique<Coverage>(coverage({{0}, {1}, {2}, {3}, {4}, {5}}, 6));
        }
        Probe probe(std::move(inner), nullptr, fault);
        try {
          (void)gist(points, probe, params(3, 1.0, 0.1f, DiameterExact{}, exhaustive));
          ADD_FAILURE() << "no exception";
        } catch (const ContractViolation& e) {
          EXPECT_NE(std::string(e.what()).find("probe"), std::string::npos) << e.what();
        }
      }
    }
  }
  // The pool is still usable afterwards.
  Linear utility = Linear::uniform(6);
  const auto r = gist(points, utility, params(3, 1.0, 0.1f));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(describe(*r), describe(replay(points, utility, params(3, 1.0, 0.1f))));
}

// ---------------------------------------------------------------- thread counts

TEST(GistSequentialReplay, ParallelSweepAgreesWithAPlainLoopOverCandidates) {
  std::set<Stage> stages;
  for (const Instance& inst : instance_bank()) {
    const Points points = inst.points();
    const auto utility = inst.utility(points);
    const auto r = gist(points, *utility, inst.params);
    ASSERT_TRUE(r.has_value());
    const GistResult expected = replay(points, *utility, inst.params);
    EXPECT_EQ(describe(*r), describe(expected));
    if (inst.params.lam == 0.0) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(r->f_value), std::bit_cast<std::uint64_t>(r->g_value));
    }
    stages.insert(r->stage);

    const std::set<std::size_t> distinct(r->selected.begin(), r->selected.end());
    EXPECT_EQ(distinct.size(), r->selected.size());
    EXPECT_LE(r->selected.size(), std::min(inst.params.k, points.n()));
    EXPECT_FALSE(r->selected.empty());
    EXPECT_LT(*distinct.rbegin(), points.n());
  }
  // Random data rarely lets the pair win; the hand-made cases cover it.
  EXPECT_TRUE(stages.contains(Stage::Greedy));
  EXPECT_TRUE(stages.contains(Stage::Sweep));
}

// The pool's size is fixed per process, so each size runs in its own child.
TEST(GistThreadCount, ResultsDoNotDependOnThePoolSize) {
  if (testing::in_child()) {
    std::ostringstream digest;
    for (const Instance& inst : instance_bank()) {
      const Points points = inst.points();
      const auto utility = inst.utility(points);
      const auto r = gist(points, *utility, inst.params);
      digest << (r ? describe(*r) : r.error().to_string()) << ";";
    }
    std::printf("RESULT pool %zu\nRESULT digest %s\n", pool::size(), digest.str().c_str());
    return;
  }
  std::vector<std::string> digests;
  for (const char* threads : {"1", "2", "7"}) {
    const auto child = testing::rerun_in_child(
        {{"RAYON_NUM_THREADS", threads}, {"RAYON_RS_NUM_CPUS", std::nullopt}});
    ASSERT_EQ(child.status, 0) << child.out;
    EXPECT_EQ(testing::child_value(child.out, "pool"), threads);
    const auto digest = testing::child_value(child.out, "digest");
    ASSERT_TRUE(digest.has_value()) << child.out;
    digests.push_back(*digest);
  }
  for (std::size_t c = 1; c < digests.size(); ++c) {
    if (digests[c] == digests[0]) continue;
    std::istringstream a(digests[0]), b(digests[c]);
    std::string line_a, line_b;
    for (int instance = 0; std::getline(a, line_a, ';') && std::getline(b, line_b, ';'); ++instance) {
      if (line_a != line_b) {
        ADD_FAILURE() << "instance " << instance << "\n  1 thread: " << line_a << "\n  other:    " << line_b;
        break;
      }
    }
  }
}

// A diameter handed in must drive the run exactly as the one it stands for.
TEST(GistKnownDiameter, RepeatsTheModeWhosePairItCarries) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    std::vector<float> values(300 * 5);
    for (float& v : values) v = normal(rng);
    const Points points = std::move(Points::borrowed(values, 5, metric).value());
    const FarPair approx = approx_diameter(points, 3);
    for (bool exact : {false, true}) {
      const DiameterMode mode = exact ? DiameterMode{DiameterExact{}} : DiameterApprox{3};
      const FarPair pair = exact ? points.diameter() : approx;
      Linear uniform = Linear::uniform(points.n());
      const auto want = gist(points, uniform, params(8, 2.0, 0.1f, mode));
      const auto got = gist(points, uniform, params(8, 2.0, 0.1f, DiameterKnown{pair, exact}));
      ASSERT_TRUE(want.has_value() && got.has_value());
      EXPECT_EQ(describe(*got), describe(*want));
    }
  }
}

}  // namespace
}  // namespace tarvex
