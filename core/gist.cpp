#include "gist.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <optional>

#include "control.hpp"
#include "memory.hpp"
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
    g += utility.marginal(set[i], points);
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

bool total_less(float a, float b) noexcept { return total_order_key(a) < total_order_key(b); }

// The geometric ladder one entry at a time, repeats dropped as they come:
// p grows by repeated multiplication, so an entry needs all before it, but
// a copy of this state resumes the ladder anywhere.
class LadderSteps {
 public:
  LadderSteps(float d_max, float eps, double bound)
      : e_(eps), d_(d_max), ratio_(e_ + 1.0), bound_(bound),
        done_(!(eps >= kMinEps) || std::isinf(eps) || !(bound >= 1.0)) {}

  // Up to `count` next entries into `out` (when not null); how many there were.
  std::size_t take(float* out, std::size_t count) noexcept {
    // Locals, so that the loop keeps its state in registers.
    double p = p_;
    float last = last_;
    bool started = started_, done = done_;
    std::size_t got = 0;
    while (got < count && !done) {
      // The ladder ends where its step outgrows the doubles (times a zero
      // d_max it would be NaN), which also ends it under an infinite bound.
      const double step = p * e_;
      if (!std::isfinite(step)) {
        done = true;
        break;
      }
      const float t = static_cast<float>((step * d_) * 0.5);
      p = p * ratio_;
      done = !(p <= bound_);
      if (!started || t != last) {
        started = true;
        last = t;
        if (out != nullptr) out[got] = t;
        ++got;
      }
    }
    p_ = p;
    last_ = last;
    started_ = started;
    done_ = done;
    return got;
  }

 private:
  double e_, d_, ratio_, bound_;
  double p_ = 1.0;
  float last_ = 0.0f;
  bool started_ = false;
  bool done_;
};

// The sweep's thresholds, ascending and without repeats, a block at a time.
// The exhaustive set is held whole; the ladder (1.4e8 entries at the
// smallest eps) is generated again from the state kept at each block's start.
class Thresholds {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;

  Thresholds() = default;
  explicit Thresholds(std::vector<float> list) : list_(std::move(list)), size_(list_.size()) {}
  Thresholds(float d_max, float eps, double bound) : ladder_(true) {
    LadderSteps steps(d_max, eps, bound);
    for (;;) {
      control::poll();
      const LadderSteps at = steps;
      float first = 0.0f;
      if (steps.take(&first, 1) == 0) break;
      starts_.push_back(at);
      firsts_.push_back(first);
      const std::size_t rest = steps.take(nullptr, kBlock - 1);
      size_ += 1 + rest;
      if (rest < kBlock - 1) break;
    }
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t blocks() const noexcept { return (size_ + kBlock - 1) / kBlock; }

  // Block b's thresholds; `room` holds them when they are generated.
  std::span<const float> block(std::size_t b, std::vector<float>& room) const {
    const std::size_t begin = b * kBlock, count = std::min(kBlock, size_ - begin);
    if (!ladder_) return std::span<const float>(list_).subspan(begin, count);
    room.resize(count);
    LadderSteps steps = starts_[b];
    steps.take(room.data(), count);
    return room;
  }

  // The first threshold above x in the total order, if there is one.
  std::optional<float> first_above(float x) const {
    if (!ladder_) {
      const auto at = std::upper_bound(list_.begin(), list_.end(), x, total_less);
      return at == list_.end() ? std::nullopt : std::optional<float>(*at);
    }
    const auto next = std::upper_bound(firsts_.begin(), firsts_.end(), x, total_less);
    if (next != firsts_.begin()) {
      std::vector<float> room;
      const std::span<const float> list =
          block(static_cast<std::size_t>(next - firsts_.begin()) - 1, room);
      const auto at = std::upper_bound(list.begin(), list.end(), x, total_less);
      if (at != list.end()) return *at;
    }
    return next == firsts_.end() ? std::nullopt : std::optional<float>(*next);
  }

 private:
  bool ladder_ = false;
  std::vector<float> list_;
  std::size_t size_ = 0;
  std::vector<LadderSteps> starts_;
  std::vector<float> firsts_;
};

// Sweep runs that start like the greedy stage's run. Pick j of the greedy
// stage was the best of all rows left, so a run at threshold t makes the same
// picks up to the first one that t shuts out: the first j with t greater than
// the distance from pick j to the closest earlier pick. The greedy stage keeps
// a checkpoint before each pick where some threshold first differs, and the
// run at that threshold goes on from there.
class Forks {
 public:
  Forks(const Points& points, const Thresholds& thresholds)
      : points_(points), thresholds_(thresholds) {}
  ~Forks() { points_.ledger().refund(charged_); }
  Forks(const Forks&) = delete;
  Forks& operator=(const Forks&) = delete;

  Selection run_greedy(Utility& utility, std::size_t budget) {
    float reach = std::numeric_limits<float>::infinity();
    const CheckpointWanted wanted = [&](std::span<const std::size_t> taken, std::size_t next,
                                        std::size_t entries) {
      if (taken.empty()) control::begin(Phase::Greedy, budget);  // after any set-up
      control::advance(1);
      const float closest = closest_to(next, taken);
      // The thresholds in (closest, reach] first shut out a pick here.
      const std::optional<float> above = thresholds_.first_above(closest);
      const bool first_shut_out = above && !(*above > reach);
      if (closest < reach) reach = closest;
      if (!first_shut_out) return false;
      // Checkpoints share the matrix's cache budget; one that does not fit
      // leaves its thresholds to a run from the start.
      const std::size_t bytes = entries * sizeof(Entry);
      if (!points_.ledger().charge(bytes)) return false;
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

  // The run at t; `same` gets every comparison with t that decided it.
  Selection run(Utility& utility, std::size_t budget, float t, SameRun& same) const {
    std::size_t j = 0;
    while (j < closest_.size() && !same.shuts_out(t, closest_[j])) ++j;
    const auto at = std::lower_bound(
        checkpoints_.begin(), checkpoints_.end(), j,
        [](const Checkpoint& c, std::size_t picks) { return c.picks < picks; });
    if (at != checkpoints_.end() && at->picks == j) {
      return resume_celf(points_, utility, budget, t, greedy_, *at, &same);
    }
    return greedy_independent_set(points_, utility, budget, t, &same);
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
  const Thresholds& thresholds_;
  Selection greedy_;
  std::vector<float> closest_;  // per greedy pick
  float reach_ = std::numeric_limits<float>::infinity();
  std::vector<Checkpoint> checkpoints_;
  std::size_t charged_ = 0;
};

// Rows between two polls of a scan: about a million coordinates of distance
// work, well under a millisecond.
std::size_t rows_per_poll(const Points& points) {
  return std::max<std::size_t>(1, (std::size_t{1} << 20) / points.dim());
}

std::size_t farthest_from(const Points& points, std::size_t from) {
  const std::size_t n = points.n();
  std::size_t best = from == 0 ? 1 : 0;
  std::int32_t best_key = total_order_key(-std::numeric_limits<float>::infinity());
  const std::size_t every = rows_per_poll(points);
  for (std::size_t j0 = 0; j0 < n; j0 += every) {
    control::poll();
    for (std::size_t j = j0, end = std::min(n, j0 + every); j < end; ++j) {
      if (j == from) continue;
      const auto key = total_order_key(points.dist_unchecked(from, j));
      if (key > best_key) {
        best_key = key;
        best = j;
      }
    }
  }
  return best;
}

// The float's total order as an unsigned key.
inline std::uint32_t unsigned_order_key(float x) noexcept {
  const auto u = std::bit_cast<std::uint32_t>(x);
  return (u & 0x80000000u) != 0 ? ~u : (u | 0x80000000u);
}

// Sorts by the total order, in place, polling as it goes: an in-place radix
// sort on the key's bytes from the top (a list of a billion entries would
// keep std::sort busy for a minute). Equal keys are equal floats, so the
// result is that of any other sort.
class TotalOrderSort {
 public:
  void operator()(float* a, std::size_t n, int shift) {
    if (n <= kSmall || shift < 0) {
      tick(n);
      std::sort(a, a + n, [](float x, float y) { return total_order_key(x) < total_order_key(y); });
      return;
    }
    const auto digit = [shift](float x) { return (unsigned_order_key(x) >> shift) & 0xffu; };
    std::size_t count[256] = {};
    for (std::size_t i = 0; i < n; ++i) {
      ++count[digit(a[i])];
      tick(1);
    }
    std::size_t head[256], tail[256];
    for (std::size_t b = 0, at = 0; b < 256; ++b) {
      head[b] = at;
      at += count[b];
      tail[b] = at;
    }
    for (std::size_t b = 0; b < 256; ++b) {
      while (head[b] < tail[b]) {
        float v = a[head[b]];
        for (std::size_t d = digit(v); d != b; d = digit(v)) std::swap(v, a[head[d]++]);
        a[head[b]++] = v;
        tick(1);
      }
    }
    for (std::size_t b = 0, at = 0; b < 256; at += count[b], ++b) {
      if (count[b] > 1) (*this)(a + at, count[b], shift - 8);
    }
  }

 private:
  static constexpr std::size_t kSmall = 1 << 12;
  static constexpr std::size_t kPollEvery = 1 << 18;

  void tick(std::size_t units) {
    since_poll_ += units;
    if (since_poll_ >= kPollEvery) {
      since_poll_ = 0;
      control::poll();
    }
  }
  std::size_t since_poll_ = 0;
};

void sort_by_total_order(float* a, std::size_t n) { TotalOrderSort{}(a, n, 24); }

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
  // A pass depends only on its start row, so once a start repeats, every
  // later pass repeats one already combined, and better_pair keeps the best.
  std::vector<bool> started(n, false);
  control::begin(Phase::Diameter, passes);
  for (std::size_t pass = 0; pass < passes && !started[start]; ++pass) {
    started[start] = true;
    const std::size_t a = farthest_from(points, start);
    const std::size_t b = farthest_from(points, a);
    best = better_pair(best, FarPair{points.dist_unchecked(a, b), std::min(a, b), std::max(a, b)});
    start = b;
    control::advance(1);
  }
  return best;
}

std::vector<float> thresholds_with_bound(float d_max, float eps, double bound) {
  std::vector<float> ladder;
  LadderSteps steps(d_max, eps, bound);
  float t = 0.0f;
  while (steps.take(&t, 1) == 1) ladder.push_back(t);
  return ladder;
}

namespace {

void require_exhaustive_fits(std::size_t n) {
  // n (n + 1) / 2 entries held at once; refused before any distance is
  // computed instead of letting the kernel kill the process later.
  const unsigned __int128 count = static_cast<unsigned __int128>(n) * (n + 1) / 2;
  require_memory(count * sizeof(float),
                 "the exhaustive threshold set of " + std::to_string(n) + " points");
}

}  // namespace

std::vector<float> exhaustive_threshold_set(const Points& points) {
  const std::size_t n = points.n();
  require_exhaustive_fits(n);
  const std::size_t count = n * (n + 1) / 2;
  std::vector<float> list;
  try {
    list.reserve(count);
  } catch (const std::bad_alloc&) {
    memory_shortfall(static_cast<unsigned __int128>(count) * sizeof(float),
                     "the exhaustive threshold set of " + std::to_string(n) + " points");
  }
  const std::size_t every = rows_per_poll(points);
  std::size_t until_poll = every;
  for (std::size_t i = 0; i < n; ++i) {
    list.push_back(0.0f);
    for (std::size_t j = i + 1; j < n; ++j) {
      if (--until_poll == 0) {
        until_poll = every;
        control::poll();
      }
      list.push_back(points.dist_unchecked(i, j) * 0.5f);
    }
  }
  sort_by_total_order(list.data(), list.size());
  drop_repeats(list);
  return list;
}

namespace {

double* slot(StageTimes* times, double StageTimes::*member) {
  return times != nullptr ? &(times->*member) : nullptr;
}

std::optional<TarvexError> check_params(const Points& points, const Utility& utility,
                                        const GistParams& params) {
  if (params.k == 0) return TarvexError(errors::ZeroK{});
  if (!(params.eps >= kMinEps && params.eps <= 1.0f))
    return TarvexError(errors::InvalidEpsilon{params.eps});
  if (!std::isfinite(params.lam) || params.lam < 0.0)
    return TarvexError(errors::InvalidLambda{params.lam});
  if (auto valid = utility.validate(points); !valid) return valid.error();
  return std::nullopt;
}

// The candidate `set` with its numbers, when it is the best so far.
void offer(GistResult& best, Selection set, const Evaluation& e, float threshold, Stage stage) {
  best.selected = std::move(set);
  best.f_value = e.f_value;
  best.g_value = e.g_value;
  best.div = e.div;
  best.threshold = threshold;
  best.stage = stage;
}

// Whether the diameter is (or was found) exact, which sets the ladder's bound.
bool exact_diameter(const GistParams& params) {
  if (const auto* known = std::get_if<DiameterKnown>(&params.diameter)) return known->exact;
  return std::holds_alternative<DiameterExact>(params.diameter);
}

FarPair find_diameter(const Points& points, const GistParams& params) {
  if (const auto* known = std::get_if<DiameterKnown>(&params.diameter)) return known->pair;
  if (std::holds_alternative<DiameterExact>(params.diameter)) return points.diameter();
  return approx_diameter(points, std::get<DiameterApprox>(params.diameter).sweeps);
}

// The sweep's thresholds: the exhaustive set, or the ladder up to the bound
// of the diameter's mode (an estimate may be half the true diameter).
Thresholds sweep_thresholds(const Points& points, const GistParams& params, float d_max) {
  control::begin(Phase::Sweep, 0);  // the list first, of a size not yet known
  if (params.exhaustive_thresholds) return Thresholds(exhaustive_threshold_set(points));
  const double bound = (exact_diameter(params) ? 2.0 : 4.0) / static_cast<double>(params.eps);
  return Thresholds(d_max, params.eps, bound);
}

// What the sweep needs of the stages before it.
struct SweepStart {
  const Points& points;
  const GistParams& params;
  const Thresholds& thresholds;
  const Forks& forks;
  std::size_t budget;
  float d_max;
  const Selection& greedy_set;
  const Evaluation& greedy_eval;
};

// Runs GIST at every threshold, one block of thresholds at a time so the
// outcomes held stay bounded however long the list, and offers the best to
// `best`. Per position: its outcome and the run it came from (kNone: the
// greedy stage's). The reduction takes the last outcome of greatest f; a
// chunk of runs keeps only the set that can still be that one, so the
// winner needs no second run.
void sweep_stage(const SweepStart& in, Utility& utility, GistResult& best, StageTimes* times) {
  const Points& points = in.points;
  control::begin(Phase::Sweep, in.thresholds.size());
  utility.reset();
  std::vector<float> room;
  std::vector<SweepOutcome> outcomes;
  std::vector<std::size_t> source;
  std::vector<Selection> sets;
  struct Chunk {
    std::unique_ptr<Utility> copy;
    std::size_t kept = kNone;
    double kept_f = 0.0;
    std::size_t last = kNone;  // the chunk's latest run
    SameRun same;              // the thresholds that repeat it
  };
  const Utility& source_utility = utility;
  double best_f = best.f_value;
  Selection won;
  bool sweep_won = false;
  for (std::size_t b = 0; b < in.thresholds.blocks(); ++b) {
    const std::span<const float> list = in.thresholds.block(b, room);
    outcomes.resize(list.size());
    source.resize(list.size());
    sets.clear();
    sets.resize(list.size());
    pool::map_chunks(
        list.size(), [&source_utility] {
          Chunk chunk;
          chunk.copy = source_utility.boxed_clone();
          return chunk;
        },
        [&](Chunk& chunk, std::size_t q) {
          if (q % 1024 == 0) control::poll();
          const float t = list[q];
          // At threshold 0 nothing is shut out, so every pick of the greedy
          // stage was the best of all rows left; a run at a threshold that
          // shuts none of them out makes the same picks and need not run.
          if (in.forks.repeats_greedy(t)) {
            const Evaluation& g = in.greedy_eval;
            outcomes[q] = SweepOutcome{t, g.f_value, g.g_value, g.div};
            source[q] = kNone;
            return;
          }
          // Thresholds ascend, so a run repeats over a stretch of them.
          if (chunk.last != kNone && chunk.same.covers(t)) {
            outcomes[q] = outcomes[chunk.last];
            outcomes[q].threshold = t;
            source[q] = chunk.last;
            return;
          }
          control::poll();
          chunk.same = SameRun{};
          Selection set = in.forks.run(*chunk.copy, in.budget, t, chunk.same);
          const Evaluation e = evaluate_set(points, *chunk.copy, set, in.d_max, in.params.lam);
          outcomes[q] = SweepOutcome{t, e.f_value, e.g_value, e.div};
          source[q] = q;
          chunk.last = q;
          if (!std::isnan(e.f_value) && (chunk.kept == kNone || e.f_value >= chunk.kept_f)) {
            if (chunk.kept != kNone) Selection().swap(sets[chunk.kept]);
            sets[q] = std::move(set);
            chunk.kept = q;
            chunk.kept_f = e.f_value;
          }
        });
    std::size_t winner = kNone;
    for (std::size_t q = 0; q < outcomes.size(); ++q) {
      const SweepOutcome& o = outcomes[q];
      if (o.f_value >= best_f) {  // ties go to the later, larger threshold
        winner = q;
        best_f = o.f_value;
        offer(best, {}, Evaluation{o.f_value, o.g_value, o.div}, o.threshold, Stage::Sweep);
      }
    }
    if (winner != kNone) {
      sweep_won = true;
      won = source[winner] == kNone ? in.greedy_set : std::move(sets[source[winner]]);
    }
    control::advance(list.size());
  }
  if (sweep_won) {
    StageTimer rebuild(slot(times, &StageTimes::rebuild));
    control::begin(Phase::Rebuild, 1);
    best.selected = std::move(won);
    control::advance(1);
  }
}

}  // namespace

Result<GistResult> gist(const Points& points, Utility& utility, const GistParams& params,
                        StageTimes* times) {
  if (auto error = check_params(points, utility, params)) return std::unexpected(*error);
  if (params.exhaustive_thresholds) require_exhaustive_fits(points.n());
  const std::size_t budget = std::min(params.k, points.n());

  FarPair far;
  {
    StageTimer timer(slot(times, &StageTimes::diameter));
    far = find_diameter(points, params);
  }
  const float d_max = far.d;

  // The sweep's thresholds are known before the greedy stage, which keeps
  // what runs at them can start from.
  const bool sweep = d_max > 0.0f;
  Thresholds thresholds;
  if (sweep) {
    StageTimer timer(slot(times, &StageTimes::sweep));
    thresholds = sweep_thresholds(points, params, d_max);
  }

  GistResult best;
  best.d_max = d_max;
  Selection greedy_set;
  Evaluation greedy_eval{};
  Forks forks(points, thresholds);
  {
    StageTimer timer(slot(times, &StageTimes::greedy));
    control::begin(Phase::Greedy, budget);
    greedy_set = sweep ? forks.run_greedy(utility, budget)
                       : greedy_independent_set(points, utility, budget, 0.0f);
    greedy_eval = evaluate_set(points, utility, greedy_set, d_max, params.lam);
    offer(best, greedy_set, greedy_eval, 0.0f, Stage::Greedy);
  }

  if (budget >= 2) {
    StageTimer timer(slot(times, &StageTimes::pair));
    Selection pair{std::min(far.i, far.j), std::max(far.i, far.j)};
    const Evaluation e = evaluate_set(points, utility, pair, d_max, params.lam);
    if (e.f_value > best.f_value) offer(best, std::move(pair), e, d_max, Stage::DiameterPair);
  }

  if (sweep) {
    StageTimer timer(slot(times, &StageTimes::sweep));
    sweep_stage(SweepStart{points, params, thresholds, forks, budget, d_max, greedy_set,
                           greedy_eval},
                utility, best, times);
  }

  utility.reset();
  return best;
}

}  // namespace tarvex
