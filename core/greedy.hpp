// One greedy independent-set run at a fixed distance threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "points.hpp"
#include "utility.hpp"

namespace tarvex {

using Selection = std::vector<std::size_t>;

// The thresholds at which a run repeats step for step. A run depends on its
// threshold d only through the outcomes of the comparisons `d > m` it makes.
// A threshold t with the same outcome at each of them makes the same steps,
// so it sees the same values and makes the same comparisons: by induction
// the same run. Every m below d is at most `above` < t, every other m (NaN
// aside, which compares false either way) is at least `upto` >= t.
struct SameRun {
  float above = -std::numeric_limits<float>::infinity();
  float upto = std::numeric_limits<float>::infinity();

  // d > m, noting m.
  bool shuts_out(float d, float m) noexcept {
    if (d > m) {
      if (m > above) above = m;
      return true;
    }
    if (m < upto) upto = m;
    return false;
  }
  void include(const SameRun& other) noexcept {
    if (other.above > above) above = other.above;
    if (other.upto < upto) upto = other.upto;
  }
  bool covers(float t) const noexcept { return t > above && !(t > upto); }
};

struct Frontier {
  Frontier(std::size_t n, std::size_t capacity);

  // A row is shut out only by a selected row strictly closer than d.
  bool admissible(std::size_t row, float d) noexcept {
    return !taken[row] && !same.shuts_out(d, min_dist[row]);
  }
  void take(const Points& points, Utility& utility, std::size_t row);

  std::vector<float> min_dist;
  std::vector<std::uint8_t> taken;
  Selection selected;
  SameRun same;
};

// One entry of the lazy greedy's max-heap: an upper bound of the row's gain
// set once `stamp` rows were taken, the gain itself when `exact`; stamp and
// exact take no part in the order.
struct Entry {
  double gain;
  std::size_t index;
  std::size_t stamp;
  bool exact = true;
};
// Strict "a comes out after b": smaller gain in the total order, then larger index.
bool entry_less(const Entry& a, const Entry& b) noexcept;

// Each run adds the comparisons it made to `same` when given one.
Selection run_scan(const Points& points, Utility& utility, std::size_t k, float d,
                   SameRun* same = nullptr);
Selection run_celf(const Points& points, Utility& utility, std::size_t k, float d,
                   SameRun* same = nullptr);
// run_scan for linear utilities, run_celf for the rest; same selection either way.
Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d,
                                 SameRun* same = nullptr);

// A lazy greedy run just before one of its picks: it had taken the first
// `picks` rows of its selection, and `heap` bounds the gain of every row not
// taken. The lazy greedy makes the same picks from any such bounds, so a run
// at another threshold that took the same rows first can go on from here.
struct Checkpoint {
  std::size_t picks = 0;
  std::vector<Entry> heap;
};
// Asked before each pick of a traced run, with the rows taken so far, the row
// about to be taken and the heap's size: whether to keep a checkpoint there.
using CheckpointWanted =
    std::function<bool(std::span<const std::size_t> taken, std::size_t next, std::size_t entries)>;

// greedy_independent_set that keeps the checkpoints `wanted` asks for (the
// lazy greedy only: a linear run keeps none).
Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d,
                                 const CheckpointWanted& wanted, std::vector<Checkpoint>& kept);
// The lazy greedy at threshold d from a checkpoint of a run whose selection
// began with `prefix` (at least from.picks rows), whose picks it repeats.
Selection resume_celf(const Points& points, Utility& utility, std::size_t k, float d,
                      std::span<const std::size_t> prefix, const Checkpoint& from,
                      SameRun* same = nullptr);

}  // namespace tarvex
