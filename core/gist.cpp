#include "gist.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>

#include "pool.hpp"

namespace tarvex {
namespace {

constexpr float kMinEps = 1.1920929e-7f;  // 2^-23

using Clock = std::chrono::steady_clock;

class StageTimer {
 public:
  explicit StageTimer(double* slot) : slot_(slot), start_(Clock::now()) {}
  ~StageTimer() {
    if (slot_ != nullptr) *slot_ += std::chrono::duration<double>(Clock::now() - start_).count();
  }

 private:
  double* slot_;
  Clock::time_point start_;
};

struct Evaluation {
  double f_value;
  double g_value;
  float div;
};

// The one way every candidate set gets its numbers.
Evaluation evaluate_set(const Points& points, Utility& utility, const Selection& set, float d_max,
                        double lam) {
  utility.reset();
  double g = 0.0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    g += utility.marginal(set[i], std::span<const std::size_t>(set.data(), i), points);
    utility.commit(set[i], points);
  }
  utility.reset();
  float div = d_max;
  if (set.size() >= 2) {
    div = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < set.size(); ++i) {
      for (std::size_t j = i + 1; j < set.size(); ++j) {
        const float d = points.dist(set[i], set[j]);
        if (d < div) div = d;  // a NaN distance leaves div unchanged
      }
    }
  }
  const double diversity = lam == 0.0 ? 0.0 : lam * static_cast<double>(div);
  return Evaluation{g + diversity, g, div};
}

// Deduplicates an ascending list in place: keeps an entry only when it
// differs from the last one kept.
void drop_repeats(std::vector<float>& list) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (kept == 0 || list[i] != list[kept - 1]) list[kept++] = list[i];
  }
  list.resize(kept);
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Sweep runs that start like the greedy stage's run. Pick j of the greedy
// stage was the best of all rows left, so a run at threshold t makes the same
// picks up to the first one that t shuts out: the first j with t greater than
// the distance from pick j to the closest earlier pick. The greedy stage keeps
// a checkpoint before each pick where some threshold first differs, and the
// run at that threshold goes on from there.
class Forks {
 public:
  Forks(const Points& points, std::span<const float> thresholds)
      : points_(points), thresholds_(thresholds) {}
  ~Forks() { points_.column_cache()->refund(charged_); }
  Forks(const Forks&) = delete;
  Forks& operator=(const Forks&) = delete;

  Selection run_greedy(Utility& utility, std::size_t budget) {
    float reach = std::numeric_limits<float>::infinity();
    const CheckpointWanted wanted = [&](std::span<const std::size_t> taken, std::size_t next,
                                        std::size_t entries) {
      const float closest = closest_to(next, taken);
      // The thresholds in (closest, reach] first shut out a pick here.
      const auto above = std::upper_bound(
          thresholds_.begin(), thresholds_.end(), closest,
          [](float a, float b) { return total_order_key(a) < total_order_key(b); });
      const bool first_shut_out = above != thresholds_.end() && !(*above > reach);
      if (closest < reach) reach = closest;
      if (!first_shut_out) return false;
      // Checkpoints share the matrix's cache budget; one that does not fit
      // leaves its thresholds to a run from the start.
      const std::size_t bytes = entries * sizeof(Entry);
      if (!points_.column_cache()->charge(bytes)) return false;
      charged_ += bytes;
      return true;
    };
    greedy_ = greedy_independent_set(points_, utility, budget, 0.0f, wanted, checkpoints_);
    closest_.clear();
    for (std::size_t j = 0; j < greedy_.size(); ++j) {
      closest_.push_back(closest_to(greedy_[j], std::span(greedy_).first(j)));
      if (closest_.back() < reach_) reach_ = closest_.back();
    }
    return greedy_;
  }

  bool repeats_greedy(float t) const { return !(t > reach_); }

  Selection run(Utility& utility, std::size_t budget, float t) const {
    std::size_t j = 0;
    while (j < closest_.size() && !(t > closest_[j])) ++j;
    const auto at = std::lower_bound(
        checkpoints_.begin(), checkpoints_.end(), j,
        [](const Checkpoint& c, std::size_t picks) { return c.picks < picks; });
    if (at != checkpoints_.end() && at->picks == j) {
      return resume_celf(points_, utility, budget, t, greedy_, *at);
    }
    return greedy_independent_set(points_, utility, budget, t);
  }

 private:
  // The smallest distance from `row` to one of `rows` (NaN distances count
  // for nothing, as in the frontier), or +infinity.
  float closest_to(std::size_t row, std::span<const std::size_t> rows) const {
    float closest = std::numeric_limits<float>::infinity();
    for (std::size_t r : rows) {
      const float d = points_.dist(row, r);
      if (d < closest) closest = d;
    }
    return closest;
  }

  const Points& points_;
  std::span<const float> thresholds_;
  Selection greedy_;
  std::vector<float> closest_;  // per greedy pick
  float reach_ = std::numeric_limits<float>::infinity();
  std::vector<Checkpoint> checkpoints_;
  std::size_t charged_ = 0;
};

std::size_t farthest_from(const Points& points, std::size_t from) {
  const std::size_t n = points.n();
  std::size_t best = from == 0 ? 1 : 0;
  std::int32_t best_key = total_order_key(-std::numeric_limits<float>::infinity());
  for (std::size_t j = 0; j < n; ++j) {
    if (j == from) continue;
    const auto key = total_order_key(points.dist_unchecked(from, j));
    if (key > best_key) {
      best_key = key;
      best = j;
    }
  }
  return best;
}

}  // namespace

std::string_view stage_text(Stage stage) noexcept {
  switch (stage) {
    case Stage::Greedy: return "greedy";
    case Stage::DiameterPair: return "diameter_pair";
    case Stage::Sweep: return "sweep";
  }
  return "greedy";
}

FarPair approx_diameter(const Points& points, std::size_t sweeps) {
  const std::size_t n = points.n();
  if (n < 2) return FarPair{0.0f, 0, 0};
  const std::size_t passes = sweeps == 0 ? 1 : std::min(sweeps, n);
  FarPair best = kPairIdentity;
  std::size_t start = 0;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    const std::size_t a = farthest_from(points, start);
    const std::size_t b = farthest_from(points, a);
    best = better_pair(best, FarPair{points.dist_unchecked(a, b), std::min(a, b), std::max(a, b)});
    start = b;
  }
  return best;
}

std::vector<float> thresholds_with_bound(float d_max, float eps, double bound) {
  if (!(eps >= kMinEps) || std::isinf(eps)) return {};
  if (!(bound >= 1.0)) return {};
  const double e = eps, d = d_max, ratio = e + 1.0;
  std::vector<float> ladder;
  double p = 1.0;
  // An infinite bound would never stop the loop; the product stops growing
  // meaningfully once it overflows anyway.
  do {
    ladder.push_back(static_cast<float>(((p * e) * d) * 0.5));
    p = p * ratio;
  } while (p <= bound && std::isfinite(p));
  drop_repeats(ladder);
  return ladder;
}

std::vector<float> exhaustive_threshold_set(const Points& points) {
  const std::size_t n = points.n();
  // n (n + 1) / 2 entries, reserved up front; refuse what cannot fit in
  // physical memory instead of letting the kernel kill the process later.
  const unsigned __int128 count = static_cast<unsigned __int128>(n) * (n + 1) / 2;
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  const unsigned __int128 physical =
      pages > 0 && page > 0 ? static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(page)
                            : ~static_cast<unsigned __int128>(0);
  if (count * sizeof(float) > physical / 2) throw std::bad_alloc();
  std::vector<float> list;
  list.reserve(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < n; ++i) {
    list.push_back(0.0f);
    for (std::size_t j = i + 1; j < n; ++j) list.push_back(points.dist_unchecked(i, j) * 0.5f);
  }
  std::sort(list.begin(), list.end(),
            [](float a, float b) { return total_order_key(a) < total_order_key(b); });
  drop_repeats(list);
  return list;
}

Result<GistResult> gist(const Points& points, Utility& utility, const GistParams& params,
                        StageTimes* times) {
  if (params.k == 0) return std::unexpected(TarvexError(errors::ZeroK{}));
  if (!(params.eps >= kMinEps && params.eps <= 1.0f)) {
    return std::unexpected(TarvexError(errors::InvalidEpsilon{params.eps}));
  }
  if (!std::isfinite(params.lam) || params.lam < 0.0) {
    return std::unexpected(TarvexError(errors::InvalidLambda{params.lam}));
  }
  if (auto valid = utility.validate(points); !valid) return std::unexpected(valid.error());

  const std::size_t budget = std::min(params.k, points.n());
  const auto* known = std::get_if<DiameterKnown>(&params.diameter);
  const bool exact = known ? known->exact : std::holds_alternative<DiameterExact>(params.diameter);

  FarPair far;
  {
    StageTimer timer(times ? &times->diameter : nullptr);
    far = known ? known->pair
          : exact ? points.diameter()
                  : approx_diameter(points, std::get<DiameterApprox>(params.diameter).sweeps);
  }
  const float d_max = far.d;

  // The sweep's thresholds are known before the greedy stage, which keeps
  // what runs at them can start from.
  const bool sweep = d_max > 0.0f;
  std::vector<float> thresholds;
  if (sweep) {
    StageTimer timer(times ? &times->sweep : nullptr);
    if (params.exhaustive_thresholds) {
      thresholds = exhaustive_threshold_set(points);
    } else {
      const double bound = (exact ? 2.0 : 4.0) / static_cast<double>(params.eps);
      thresholds = thresholds_with_bound(d_max, params.eps, bound);
    }
  }

  GistResult best;
  best.d_max = d_max;
  Selection greedy_set;
  Evaluation greedy_eval{};
  Forks forks(points, thresholds);
  {
    StageTimer timer(times ? &times->greedy : nullptr);
    greedy_set = sweep ? forks.run_greedy(utility, budget)
                       : greedy_independent_set(points, utility, budget, 0.0f);
    greedy_eval = evaluate_set(points, utility, greedy_set, d_max, params.lam);
    const Evaluation& e = greedy_eval;
    best.selected = greedy_set;
    best.f_value = e.f_value;
    best.g_value = e.g_value;
    best.div = e.div;
    best.threshold = 0.0f;
    best.stage = Stage::Greedy;
  }

  if (budget >= 2) {
    StageTimer timer(times ? &times->pair : nullptr);
    Selection pair{std::min(far.i, far.j), std::max(far.i, far.j)};
    const Evaluation e = evaluate_set(points, utility, pair, d_max, params.lam);
    if (e.f_value > best.f_value) {
      best.selected = std::move(pair);
      best.f_value = e.f_value;
      best.g_value = e.g_value;
      best.div = e.div;
      best.threshold = d_max;
      best.stage = Stage::DiameterPair;
    }
  }

  if (sweep) {
    std::vector<SweepOutcome> outcomes(thresholds.size());
    // At threshold 0 nothing is shut out, so every pick of the greedy stage
    // was the best of all rows left; a run at a threshold that shuts none of
    // them out makes the same picks and need not run.
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < thresholds.size(); ++i) {
      if (forks.repeats_greedy(thresholds[i])) {
        outcomes[i] = SweepOutcome{thresholds[i], greedy_eval.f_value, greedy_eval.g_value,
                                   greedy_eval.div};
      } else {
        pending.push_back(i);
      }
    }
    // The reduction below takes the last outcome of greatest f. Within a
    // chunk of runs only the set that can still be that one is kept, so the
    // winner needs no second run.
    std::vector<Selection> sets(pending.size());
    {
      StageTimer timer(times ? &times->sweep : nullptr);
      utility.reset();
      struct Chunk {
        std::unique_ptr<Utility> copy;
        std::size_t kept = kNone;
        double kept_f = 0.0;
      };
      const Utility& source = utility;
      pool::map_chunks(
          pending.size(), [&source] { return Chunk{source.boxed_clone()}; },
          [&](Chunk& chunk, std::size_t p) {
            const std::size_t i = pending[p];
            const float d = thresholds[i];
            Selection set = forks.run(*chunk.copy, budget, d);
            const Evaluation e = evaluate_set(points, *chunk.copy, set, d_max, params.lam);
            outcomes[i] = SweepOutcome{d, e.f_value, e.g_value, e.div};
            if (!std::isnan(e.f_value) && (chunk.kept == kNone || e.f_value >= chunk.kept_f)) {
              if (chunk.kept != kNone) Selection().swap(sets[chunk.kept]);
              sets[p] = std::move(set);
              chunk.kept = p;
              chunk.kept_f = e.f_value;
            }
          });
    }
    std::size_t winner = kNone;
    double best_f = best.f_value;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      const SweepOutcome& o = outcomes[i];
      if (o.f_value >= best_f) {  // ties go to the later, larger threshold
        winner = i;
        best_f = o.f_value;
        best.threshold = o.threshold;
        best.f_value = o.f_value;
        best.g_value = o.g_value;
        best.div = o.div;
        best.stage = Stage::Sweep;
      }
    }
    if (winner != kNone) {
      StageTimer timer(times ? &times->rebuild : nullptr);
      const auto at = std::lower_bound(pending.begin(), pending.end(), winner);
      best.selected = at != pending.end() && *at == winner
                          ? std::move(sets[static_cast<std::size_t>(at - pending.begin())])
                          : greedy_set;
    }
  }

  utility.reset();
  return best;
}

}  // namespace tarvex
