// Meant to be run under ThreadSanitizer as well: the sweep clones one utility
// from several workers at once and runs independent greedy passes on the pool.
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "fixtures.hpp"
#include "greedy.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

using namespace testing_support;

// One utility of each kind over the same rows, each with some rows committed.
std::vector<std::unique_ptr<Utility>> committed_utilities(const Points& p, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> item(0, 4000), count(0, 6);
  std::vector<double> weights;
  std::vector<std::vector<std::uint32_t>> sets(p.n());
  for (auto& s : sets) {
    weights.push_back(count(rng));
    // Ids spread over the 32-bit range, so the renumbered flags are exercised.
    for (std::uint32_t c = count(rng); c > 0; --c) s.push_back(item(rng) * 1000003u);
  }
  std::vector<std::unique_ptr<Utility>> out;
  out.push_back(std::make_unique<Linear>(std::move(weights)));
  out.push_back(std::make_unique<Coverage>(std::move(Coverage::create(std::move(sets), std::size_t{1} << 32).value())));
  out.push_back(std::make_unique<FacilityLocation>(FacilityLocation::create(p)));
  for (auto& u : out) {
    for (std::size_t r : {std::size_t{3}, p.n() / 2}) u->commit(r, p);
  }
  return out;
}

TEST(ConcurrentClone, ManyThreadsCloneAndReadOneObjectAtOnce) {
  const Matrix m(random_values(120, 8, 3), 8, Metric::Euclidean);
  constexpr int kThreads = 8;
  for (const auto& source : committed_utilities(m.points, 4)) {
    const std::vector<double> expected = marginals(*source, m.points);
    auto pristine = source->boxed_clone();
    pristine->reset();
    const std::vector<double> fresh = marginals(*pristine, m.points);

    std::latch start(kThreads);
    std::vector<std::vector<double>> seen(kThreads), after_reset(kThreads), from_source(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        std::vector<std::unique_ptr<Utility>> copies;
        for (int c = 0; c < 4; ++c) copies.push_back(source->boxed_clone());
        // Long enough that the threads overlap in time, so that any state the
        // copies shared would be touched concurrently.
        for (int rep = 0; rep < 20; ++rep) {
          Utility& copy = *copies[rep % copies.size()];
          from_source[t] = marginals(*source, m.points);
          copy.commit(static_cast<std::size_t>(t + rep) % m.points.n(), m.points);
          copy.reset();
          after_reset[t] = marginals(copy, m.points);
        }
        seen[t] = marginals(*source->boxed_clone(), m.points);
      });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(seen[t], expected) << "thread " << t;
      EXPECT_EQ(from_source[t], expected) << "thread " << t;
      EXPECT_EQ(after_reset[t], fresh) << "thread " << t;
    }
    EXPECT_EQ(marginals(*source, m.points), expected);
  }
}

// Runs one greedy pass per threshold on the pool, each chunk on its own clone,
// the way the sweep does.
std::vector<Selection> sweep_on_pool(const Points& p, const Utility& source, std::size_t k,
                                     const std::vector<float>& thresholds) {
  std::vector<Selection> out(thresholds.size());
  pool::map_chunks(
      thresholds.size(), [&source] { return source.boxed_clone(); },
      [&](std::unique_ptr<Utility>& copy, std::size_t i) {
        out[i] = greedy_independent_set(p, *copy, k, thresholds[i]);
      });
  return out;
}

TEST(ConcurrentGreedy, PoolRunsMatchSequentialRunsAlsoFromSeveralCallers) {
  const Matrix m(random_values(150, 6, 9), 6, Metric::Euclidean);
  const Points& p = m.points;
  std::vector<float> thresholds;
  for (std::size_t i = 0; i < 32; ++i) thresholds.push_back(p.dist(i, 149 - i) * 0.5f);
  thresholds.push_back(0.0f);
  constexpr std::size_t k = 12;

  const auto sources = committed_utilities(p, 10);
  std::vector<std::vector<Selection>> expected;
  for (const auto& source : sources) {
    std::vector<Selection> one;
    for (float d : thresholds) {
      auto copy = source->boxed_clone();
      one.push_back(greedy_independent_set(p, *copy, k, d));
    }
    expected.push_back(std::move(one));
  }

  // Several callers share the pool, each also building a facility location
  // (its diameter is a reduction on the same pool).
  constexpr int kCallers = 3;
  std::latch start(kCallers);
  std::vector<std::vector<std::vector<Selection>>> got(kCallers);
  std::vector<float> scales(kCallers);
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      start.arrive_and_wait();
      scales[c] = FacilityLocation::create(p).scale();
      for (const auto& source : sources) got[c].push_back(sweep_on_pool(p, *source, k, thresholds));
    });
  }
  for (auto& th : callers) th.join();
  for (int c = 0; c < kCallers; ++c) {
    EXPECT_EQ(got[c], expected) << "caller " << c;
    EXPECT_EQ(scales[c], FacilityLocation::create(p).scale());
  }
}

}  // namespace
}  // namespace tarvex
