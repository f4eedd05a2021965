#include "greedy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
  const std::size_t n = min_dist.size();
  for (std::size_t j = 0; j < n; ++j) {
    if (taken[j]) continue;
    const float d = points.dist_unchecked(j, c);
    float& m = min_dist[j];
    // A NaN operand loses: a NaN distance changes nothing, a NaN minimum is replaced.
    if (d < m || std::isnan(m)) m = d;
  }
}

bool entry_less(const Entry& a, const Entry& b) noexcept {
  const auto ka = total_order_key(a.gain), kb = total_order_key(b.gain);
  if (ka != kb) return ka < kb;
  return a.index > b.index;
}

Selection run_scan(const Points& points, Utility& utility, std::size_t k, float d) {
  utility.reset();
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  while (frontier.selected.size() < m) {
    bool found = false;
    std::size_t best = 0;
    std::int64_t best_key = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!frontier.admissible(i, d)) continue;
      const auto key = total_order_key(utility.marginal(i, frontier.selected, points));
      if (!found || key > best_key) {
        found = true;
        best = i;
        best_key = key;
      }
    }
    if (!found) break;
    frontier.take(points, utility, best);
  }
  return std::move(frontier.selected);
}

Selection run_celf(const Points& points, Utility& utility, std::size_t k, float d) {
  utility.reset();
  const std::size_t n = points.n();
  const std::size_t m = std::min(k, n);
  Frontier frontier(n, m);
  if (m == 0) return {};
  std::vector<Entry> heap;
  heap.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    heap.push_back(Entry{utility.marginal(i, frontier.selected, points), i, 0});
  }
  std::make_heap(heap.begin(), heap.end(), entry_less);
  while (frontier.selected.size() < m) {
    if (heap.empty()) break;
    std::pop_heap(heap.begin(), heap.end(), entry_less);
    const Entry top = heap.back();
    heap.pop_back();
    if (frontier.taken[top.index]) continue;
    if (d > frontier.min_dist[top.index]) continue;  // shut out for good
    if (top.stamp >= frontier.selected.size()) {
      frontier.take(points, utility, top.index);
      continue;
    }
    heap.push_back(Entry{utility.marginal(top.index, frontier.selected, points), top.index,
                         frontier.selected.size()});
    std::push_heap(heap.begin(), heap.end(), entry_less);
  }
  return std::move(frontier.selected);
}

Selection greedy_independent_set(const Points& points, Utility& utility, std::size_t k, float d) {
  return utility.is_linear() ? run_scan(points, utility, k, d) : run_celf(points, utility, k, d);
}

}  // namespace tarvex
