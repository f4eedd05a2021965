// One greedy independent-set run at a fixed distance threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "points.hpp"
#include "utility.hpp"

namespace tarvex {

using Selection = std::vector<std::size_t>;

struct Frontier {
  Frontier(std::size_t n, std::size_t capacity);

  // A row is shut out only by a selected row strictly closer than d.
  bool admissible(std::size_t row, float d) const noexcept {
    return !taken[row] && !(d > min_dist[row]);
  }
  void take(const Points& points, Utility& utility, std::size_t row);

  std::vector<float> min_dist;
  std::vector<std::uint8_t> taken;
  Selection selected;
};

// One entry of the lazy greedy's max-heap; stamp takes no part in the order.
struct Entry {
  double gain;
  std::size_t index;
  std::size_t stamp;
};
// Strict "a comes out after b": smaller gain in the total order, then larger index.
bool entry_less(const Entry& a, const Entry& b) noexcept;

Selection run_scan(const Points& points, Utility& utility, std::size_t k, float d);
Selection run_celf(const Points& points, Utility& utility, std::size_t k, float d);
// run_scan for linear utilities, run_celf for the rest; same selection either way.
Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d);

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
                      std::span<const std::size_t> prefix, const Checkpoint& from);

}  // namespace tarvex
