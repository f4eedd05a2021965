// A stop requested from another thread in the middle of each stage of a
// call ends it with Cancelled; the same objects and the pool then give the
// result of a fresh call.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "control.hpp"
#include "fixtures.hpp"
#include "gist.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

struct StageCase {
  const char* name;
  std::size_t n, dim;
  Metric metric;
  bool facility_location;
  GistParams params;
  // When to request the stop: this phase, and whether its total is known.
  Phase phase;
  bool sized;
};

GistParams params_of(std::size_t k, float eps, DiameterMode diameter, bool exhaustive = false) {
  GistParams p;
  p.k = k;
  p.eps = eps;
  p.diameter = diameter;
  p.exhaustive_thresholds = exhaustive;
  return p;
}

std::unique_ptr<Utility> utility_for(const StageCase& c, const Points& p) {
  if (c.facility_location) return std::make_unique<FacilityLocation>(FacilityLocation::create(p));
  return std::make_unique<Linear>(Linear::uniform(p.n()));
}

std::string outcome(const Result<GistResult>& r) {
  if (!r) return r.error().to_string();
  std::string s = std::to_string(r->f_value) + " " + std::to_string(r->threshold) + " [";
  for (std::size_t i : r->selected) s += std::to_string(i) + " ";
  return s + "]";
}

class CancelEveryStage : public ::testing::TestWithParam<StageCase> {};

TEST_P(CancelEveryStage, StopsThereAndLeavesNothingBehind) {
  const StageCase& c = GetParam();
  const Matrix m(random_values(c.n, c.dim, 31), c.dim, c.metric);
  auto utility = utility_for(c, m.points);

  CallControl control;
  std::atomic<bool> finished{false};
  Phase stopped_in = Phase::Idle;
  std::thread watcher([&] {
    while (!finished.load()) {
      const auto now = control.progress();
      if (now.phase == c.phase && (now.total != 0) == c.sized) {
        control.request_stop();
        stopped_in = now.phase;
        return;
      }
      std::this_thread::yield();
    }
  });
  bool cancelled = false;
  try {
    control::Scope scope(&control);
    (void)gist(m.points, *utility, c.params);
  } catch (const Cancelled&) {
    cancelled = true;
  }
  const Phase at_end = control.progress().phase;
  finished = true;
  watcher.join();
  ASSERT_TRUE(cancelled) << "the call ended before the stop, raise its size";
  EXPECT_EQ(stopped_in, c.phase);
  EXPECT_EQ(at_end, c.phase) << "the stop took effect only in " << phase_text(at_end);

  // The same matrix and utility (whose shared data a stop may have cut
  // short) and the pool, against a fresh call.
  const std::string again = outcome(gist(m.points, *utility, c.params));
  const Matrix fresh(random_values(c.n, c.dim, 31), c.dim, c.metric);
  auto fresh_utility = utility_for(c, fresh.points);
  EXPECT_EQ(again, outcome(gist(fresh.points, *fresh_utility, c.params)));
}

const DiameterMode kExact = DiameterExact{};
const DiameterMode kApprox = DiameterApprox{3};

INSTANTIATE_TEST_SUITE_P(
    Stages, CancelEveryStage,
    ::testing::Values(
        StageCase{"ExactDiameter", 8000, 64, Metric::Cosine, false, params_of(2, 1.0f, kExact),
                  Phase::Diameter, true},
        StageCase{"ApproxDiameter", 200000, 16, Metric::Euclidean, false,
                  params_of(2, 1.0f, DiameterApprox{1000}), Phase::Diameter, true},
        StageCase{"FacilityLocationSetup", 4000, 32, Metric::Cosine, true,
                  params_of(2, 1.0f, kApprox), Phase::Setup, true},
        StageCase{"Greedy", 100000, 16, Metric::Euclidean, false, params_of(100, 1.0f, kApprox),
                  Phase::Greedy, true},
        StageCase{"ExhaustiveThresholds", 2000, 4, Metric::Euclidean, false,
                  params_of(3, 1.0f, kApprox, true), Phase::Sweep, false},
        StageCase{"Sweep", 20000, 8, Metric::Euclidean, false, params_of(50, 0.1f, kApprox),
                  Phase::Sweep, true}),
    [](const ::testing::TestParamInfo<StageCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvex
