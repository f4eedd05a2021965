#include "greedy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "control.hpp"

namespace tarvex {

Frontier::Frontier(std::size_t n, std::size_t capacity)
    : min_dist(n, std::numeric_limits<float>::infinity()), taken(n, 0) {
  selected.reserve(capacity);
}

void Frontier::take(const Points& points, Utility& utility, std::size_t c) {
  selected.push_back(c);
  utility.commit(c, points);
  taken[c] = 1;
  min_dist[c] = -std::numeric_limits<float>::infinity();
  const Column column = points.column(c);
  const float* dc = column.data();
  float* md = min_dist.data();
  const std::size_t n = min_dist.size();
  // Taken rows hold -infinity, which no distance undercuts, so they need no
  // test of their own. A NaN operand loses: a NaN distance changes nothing,
  // a NaN minimum is replaced.
  for (std::size_t j = 0; j < n; ++j) {
    const float d = dc[j], m = md[j];
    md[j] = d < m || m != m ? d : m;
  }
}

bool entry_less(const Entry& a, const Entry& b) noexcept {
  const auto ka = total_order_key(a.gain), kb = total_order_key(b.gain);
  if (ka != kb) return ka < kb;
  return a.index > b.index;
}

namespace {

// Linear gains never change, so the rows' order by gain is fixed: the best
// admissible row is the first admissible one in that order, and since rows
// only ever leave the admissible set, the search resumes where the last
// pick was found.
Selection run_ordered(const Points& points, Linear& utility, std::size_t k, float d,
                      SameRun* same) {
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  const std::span<const std::size_t> order = utility.order();
  std::size_t at = 0;
  while (frontier.selected.size() < m) {
    control::poll();
    while (at < order.size() && !frontier.admissible(order[at], d)) ++at;
    if (at == order.size()) break;
    frontier.take(points, utility, order[at]);
  }
  if (same) same->include(frontier.same);
  return std::move(frontier.selected);
}

}  // namespace

// Rows whose gains are evaluated between two polls.
constexpr std::size_t kRowsPerPoll = 1024;

Selection run_scan(const Points& points, Utility& utility, std::size_t k, float d, SameRun* same) {
  utility.reset();
  // (A count that does not match is a contract violation that the plain
  // scan reports.)
  if (auto* linear = dynamic_cast<Linear*>(&utility); linear && linear->weights().size() == points.n()) {
    return run_ordered(points, *linear, k, d, same);
  }
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  while (frontier.selected.size() < m) {
    bool found = false;
    std::size_t best = 0;
    std::int64_t best_key = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i % kRowsPerPoll == 0) control::poll();
      if (!frontier.admissible(i, d)) continue;
      const auto key = total_order_key(utility.marginal(i, points));
      if (!found || key > best_key) {
        found = true;
        best = i;
        best_key = key;
      }
    }
    if (!found) break;
    frontier.take(points, utility, best);
  }
  if (same) same->include(frontier.same);
  return std::move(frontier.selected);
}

namespace {

// A function object, so the heap operations inline the comparison.
struct EntryLess {
  bool operator()(const Entry& a, const Entry& b) const noexcept { return entry_less(a, b); }
};

// Whether a pick tightens its stale bounds in one call, where tightening
// many together shares work between them. Once a pick has tightened
// kMaxBatch of them, the stale entries above every bound tightened so far go
// together, if the last pick needed nearly all of its stale entries
// tightened: a guess from the last pick, as the bounds tightened first (the
// last pick's runners-up) tend to fall the most.
struct Widening {
  explicit Widening(double guess) : share(guess) {}

  double share;               // of its stale entries the last pick needed tightened
  bool counted = false;       // this pick's stale entries
  std::size_t stale = 0;      // this pick's, once counted
  std::size_t asked = 0;      // bounds this pick tightened, but for the batch together
  std::vector<double> wide;   // the bounds of the batch tightened together

  // At the pick of a row with this gain: those of the batch together that
  // were above it were needed. The first pick's bounds are not stale ones.
  void picked(double gain, std::size_t picks) {
    std::size_t needed = asked;
    for (double bound : wide) needed += bound > gain;
    if (picks > 0) share = counted ? static_cast<double>(needed) / static_cast<double>(stale) : 0.0;
    counted = false;
    stale = asked = 0;
    wide.clear();
  }
};

// The lazy greedy's main loop, from a frontier and a heap that bounds the
// gain of every row not taken; `widening` starts from what a fresh run guesses.
void celf_loop(const Points& points, Utility& utility, std::size_t m, float d, Frontier& frontier,
               std::vector<Entry>& heap, const CheckpointWanted* wanted,
               std::vector<Checkpoint>* kept, Widening widening) {
  constexpr std::size_t kMaxBatch = 256;
  std::size_t batch = 1, batch_picks = 0;
  std::vector<std::size_t> rows, stamps;
  std::vector<double> gains;
  std::vector<std::uint8_t> exact;
  while (frontier.selected.size() < m) {
    if (heap.empty()) break;
    control::poll();  // a pick or a gain, each at most one column of work
    std::pop_heap(heap.begin(), heap.end(), EntryLess{});
    const Entry top = heap.back();
    heap.pop_back();
    if (frontier.taken[top.index]) continue;
    if (frontier.same.shuts_out(d, frontier.min_dist[top.index])) continue;  // for good
    const std::size_t picks = frontier.selected.size();
    if (top.stamp >= picks && top.exact) {
      if (wanted != nullptr && (*wanted)(frontier.selected, top.index, heap.size() + 1)) {
        Checkpoint checkpoint{frontier.selected.size(), {}};
        checkpoint.heap.reserve(heap.size() + 1);  // exactly what the caller was told
        checkpoint.heap.assign(heap.begin(), heap.end());
        checkpoint.heap.push_back(top);
        std::push_heap(checkpoint.heap.begin(), checkpoint.heap.end(), EntryLess{});
        kept->push_back(std::move(checkpoint));
      }
      widening.picked(top.gain, picks);
      frontier.take(points, utility, top.index);
      continue;
    }
    if (top.stamp >= picks) {
      // A bound tightened for this pick came out on top: its gain decides.
      rows.assign(1, top.index);
      gains.resize(1);
      utility.marginals(rows, points, gains);
      heap.push_back(Entry{gains[0], top.index, picks});
      std::push_heap(heap.begin(), heap.end(), EntryLess{});
      continue;
    }
    // A stale top: its bound and those of the stale entries right below it
    // are tightened together, more of them each time the top of this pick
    // turns out stale again. Every entry stays an upper bound of its row's
    // gain, so the pick is the one a single evaluation at a time finds.
    if (picks != batch_picks) {
      batch_picks = picks;
      batch = 1;
    }
    if (!widening.counted && batch == kMaxBatch && picks > 0) {
      widening.counted = true;
      const Entry* highest = nullptr;
      for (const Entry& e : heap) {
        if (e.stamp >= picks && (highest == nullptr || entry_less(*highest, e))) highest = &e;
      }
      std::size_t above = 1;  // the top
      for (const Entry& e : heap) above += e.stamp < picks && highest != nullptr && entry_less(*highest, e);
      widening.stale = heap.size() + 1;  // every entry was stale when the pick began
      if (16 * widening.share >= 15 && above > 4 * kMaxBatch) batch = above;
    }
    rows.assign(1, top.index);
    stamps.assign(1, top.stamp);
    gains.assign(1, top.gain);
    while (rows.size() < batch && !heap.empty()) {
      // Every comparison with d is noted, as each one steers the run.
      const Entry& next = heap.front();
      if (next.stamp >= picks && frontier.admissible(next.index, d)) {
        break;  // current: it waits at the top
      }
      std::pop_heap(heap.begin(), heap.end(), EntryLess{});
      const Entry e = heap.back();
      heap.pop_back();
      if (frontier.admissible(e.index, d)) {
        rows.push_back(e.index);
        stamps.push_back(e.stamp);
        gains.push_back(e.gain);
      }
    }
    if (batch > kMaxBatch) {
      widening.wide = gains;
    } else {
      widening.asked += rows.size();
    }
    exact.resize(rows.size());
    utility.tighten(rows, stamps, points, gains, exact);
    for (std::size_t q = 0; q < rows.size(); ++q) {
      heap.push_back(Entry{gains[q], rows[q], picks, exact[q] != 0});
      std::push_heap(heap.begin(), heap.end(), EntryLess{});
    }
    batch = std::min(kMaxBatch, 2 * batch);
  }
}

Selection run_celf_traced(const Points& points, Utility& utility, std::size_t k, float d,
                          const CheckpointWanted* wanted, std::vector<Checkpoint>* kept,
                          SameRun* same) {
  utility.reset();
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  if (m == 0) return {};
  std::vector<Entry> heap;
  heap.reserve(n);
  double first[kRowsPerPoll];
  std::uint8_t exact[kRowsPerPoll];
  for (std::size_t i0 = 0; i0 < n; i0 += kRowsPerPoll) {
    control::poll();
    const std::size_t count = std::min(kRowsPerPoll, n - i0);
    utility.first_bounds(points, i0, std::span(first, count), std::span(exact, count));
    for (std::size_t q = 0; q < count; ++q) {
      heap.push_back(Entry{first[q], i0 + q, 0, exact[q] != 0});
    }
  }
  std::make_heap(heap.begin(), heap.end(), EntryLess{});
  celf_loop(points, utility, m, d, frontier, heap, wanted, kept, Widening(1.0));
  if (same) same->include(frontier.same);
  return std::move(frontier.selected);
}

}  // namespace

Selection run_celf(const Points& points, Utility& utility, std::size_t k, float d, SameRun* same) {
  return run_celf_traced(points, utility, k, d, nullptr, nullptr, same);
}

Selection resume_celf(const Points& points, Utility& utility, std::size_t k, float d,
                      std::span<const std::size_t> prefix, const Checkpoint& from,
                      SameRun* same) {
  utility.reset();
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  for (std::size_t p = 0; p < from.picks && frontier.selected.size() < m; ++p) {
    frontier.take(points, utility, prefix[p]);
  }
  std::vector<Entry> heap;
  heap.reserve(n);
  heap = from.heap;
  celf_loop(points, utility, m, d, frontier, heap, nullptr, nullptr, Widening(0.0));
  if (same) same->include(frontier.same);
  return std::move(frontier.selected);
}

Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d,
                                 SameRun* same) {
  return utility.is_linear() ? run_scan(points, utility, k, d, same)
                             : run_celf(points, utility, k, d, same);
}

Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d,
                                 const CheckpointWanted& wanted, std::vector<Checkpoint>& kept) {
  return utility.is_linear() ? run_scan(points, utility, k, d)
                             : run_celf_traced(points, utility, k, d, &wanted, &kept, nullptr);
}

}  // namespace tarvex
