// One greedy independent-set run at a fixed distance threshold.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace tarvex
