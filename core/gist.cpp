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
  const bool exact = std::holds_alternative<DiameterExact>(params.diameter);

  FarPair far;
  {
    StageTimer timer(times ? &times->diameter : nullptr);
    far = exact ? points.diameter()
                : approx_diameter(points, std::get<DiameterApprox>(params.diameter).sweeps);
  }
  const float d_max = far.d;

  GistResult best;
  best.d_max = d_max;
  {
    StageTimer timer(times ? &times->greedy : nullptr);
    best.selected = greedy_independent_set(points, utility, budget, 0.0f);
    const Evaluation e = evaluate_set(points, utility, best.selected, d_max, params.lam);
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

  if (d_max > 0.0f) {
    std::vector<float> thresholds;
    std::vector<SweepOutcome> outcomes;
    {
      StageTimer timer(times ? &times->sweep : nullptr);
      if (params.exhaustive_thresholds) {
        thresholds = exhaustive_threshold_set(points);
      } else {
        const double bound = (exact ? 2.0 : 4.0) / static_cast<double>(params.eps);
        thresholds = thresholds_with_bound(d_max, params.eps, bound);
      }
      utility.reset();
      outcomes.resize(thresholds.size());
      const Utility& source = utility;
      pool::map_chunks(
          thresholds.size(), [&source] { return source.boxed_clone(); },
          [&](std::unique_ptr<Utility>& copy, std::size_t i) {
            const float d = thresholds[i];
            const Selection set = greedy_independent_set(points, *copy, budget, d);
            const Evaluation e = evaluate_set(points, *copy, set, d_max, params.lam);
            outcomes[i] = SweepOutcome{d, e.f_value, e.g_value, e.div};
          });
    }
    bool sweep_won = false;
    double best_f = best.f_value;
    for (const SweepOutcome& o : outcomes) {
      if (o.f_value >= best_f) {  // ties go to the later, larger threshold
        sweep_won = true;
        best_f = o.f_value;
        best.threshold = o.threshold;
        best.f_value = o.f_value;
        best.g_value = o.g_value;
        best.div = o.div;
        best.stage = Stage::Sweep;
      }
    }
    if (sweep_won) {
      StageTimer timer(times ? &times->rebuild : nullptr);
      best.selected = greedy_independent_set(points, utility, budget, best.threshold);
    }
  }

  utility.reset();
  return best;
}

}  // namespace tarvex
