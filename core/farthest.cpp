#include "farthest.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <new>
#include <optional>
#include <vector>

#include "control.hpp"
#include "filter.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

// Rows are taken in strips of this many against all later rows.
constexpr std::size_t kStripRows = 64;
// Later rows are visited in blocks of about this many bytes, which stay in
// the L2 cache while every tile of the strip passes over them.
constexpr std::size_t kBlockBytes = 192 * 1024;
// The same for the screen's 8-bit codes.
constexpr std::size_t kCodeBlockBytes = 256 * 1024;
// A block whose screen passes more than this share of its pairs is cheaper
// to scan whole with the exact tiles than pair by pair.
constexpr std::size_t kMaxPassShare = 8;

// The farthest row from `from` (the first on ties) and its distance.
FarPair farthest_from(const float* values, std::size_t n, std::size_t dim, Metric metric,
                      std::size_t from, std::vector<float>& column) {
  distance_column(values, dim, metric, from, 0, n, column.data());
  FarPair best = kPairIdentity;
  for (std::size_t j = 0; j < n; ++j) {
    if (j == from) continue;
    if (total_order_key(column[j]) > total_order_key(best.d)) best = {column[j], j, j};
  }
  return {best.d, std::min(from, best.i), std::max(from, best.i)};
}

// Exactly as the point matrix computes dist(a, b).
float pair_distance(const float* values, std::size_t dim, Metric metric, std::size_t a,
                    std::size_t b) noexcept {
  const float* x = values + a * dim;
  const float* y = values + b * dim;
  return distance_from_sum(metric, metric == Metric::Euclidean ? sq_euclid(x, y, dim) : dot(x, y, dim));
}

std::uint64_t pairs_in_block(std::size_t ib, std::size_t ie, std::size_t jb, std::size_t je) {
  std::uint64_t pairs = 0;
  for (std::size_t i = ib; i < ie; ++i) pairs += je > std::max(jb, i + 1) ? je - std::max(jb, i + 1) : 0;
  return pairs;
}

}  // namespace

FarPair exact_farthest_pair(const float* values, std::size_t n, std::size_t dim, Metric metric,
                            DiameterStats* stats) {
  if (n < 2) return FarPair{0.0f, 0, 0};
  const std::size_t strips = (n + kStripRows - 1) / kStripRows;
  const std::size_t units = (strips + 1) / 2;
  control::begin(Phase::Diameter, units);
  const FilterTable& filter = active_filter();
  std::optional<QuantisedRows> codes;
  if (filter.screen != nullptr) {
    try {
      codes = QuantisedRows::build(values, n, dim, metric, filter.code_limit);
    } catch (const std::bad_alloc&) {
      // The screen only saves time; without room for its codes every pair
      // goes to the exact tiles, which need no memory of their own.
    }
  }
  if (stats != nullptr) stats->screened = codes.has_value();

  // A real pair to start from, so the screen drops pairs from the first block
  // on: a double sweep from row 0 (and one more sweep).
  FarPair seed = kPairIdentity;
  if (codes) {
    std::vector<float> column(n);
    std::size_t from = 0;
    for (int sweep = 0; sweep < 3; ++sweep) {
      control::poll();
      const FarPair far = farthest_from(values, n, dim, metric, from, column);
      seed = better_pair(seed, far);
      from = far.i == from ? far.j : far.i;
    }
  }
  // The best distance found so far by any task. Any value it holds is a real
  // pair's, so however the tasks interleave, a pair is only dropped when it
  // is strictly closer than the result.
  std::atomic<std::int32_t> best_key{total_order_key(seed.d)};
  const auto raise = [&best_key](float d) {
    const std::int32_t key = total_order_key(d);
    std::int32_t seen = best_key.load(std::memory_order_relaxed);
    while (key > seen && !best_key.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  };

  const std::size_t block = std::clamp<std::size_t>(
      kBlockBytes / (dim * sizeof(float)) / kTileRows * kTileRows, 16, 1024);
  const std::size_t code_block = std::clamp<std::size_t>(
      kCodeBlockBytes / (codes ? codes->groups() * 4 : 1) / kStripRows * kStripRows, kStripRows,
      4096);
  // Where the screen keeps failing to thin out blocks (nothing prunes), the
  // blocks go to the exact tiles directly, and only every 16th block of a
  // task tries the screen again. Any choice here changes the time alone.
  std::atomic<std::uint32_t> tries{0}, fails{0};
  struct Backoff {
    std::uint32_t blocks = 0;
  };
  const auto strip = [&](std::size_t s, FarPair acc, Backoff& backoff) {
    const std::size_t i_begin = s * kStripRows;
    const std::size_t i_end = std::min(n, i_begin + kStripRows);
    if (!codes) {
      if (stats != nullptr) stats->exact_pairs.fetch_add(pairs_in_block(i_begin, i_end, i_begin, n), std::memory_order_relaxed);
      for (std::size_t j = i_begin; j < n; j += block) {
        control::poll();
        const BlockFarthest far =
            farthest_in_block(values, dim, metric, i_begin, i_end, j, std::min(n, j + block));
        acc = better_pair(acc, FarPair{far.d, far.i, far.j});
      }
      return acc;
    }
    std::uint64_t exact_pairs = 0;
    Candidates passed;
    for (std::size_t j = i_begin; j < n; j += code_block) {
      control::poll();
      const std::size_t j_end = std::min(n, j + code_block);
      passed.clear();
      passed.capacity = pairs_in_block(i_begin, i_end, j, j_end) / kMaxPassShare;
      const std::int32_t key = best_key.load(std::memory_order_relaxed);
      const float best = std::bit_cast<float>(key < 0 ? key ^ 0x7fffffff : key);
      const std::uint32_t tried = tries.load(std::memory_order_relaxed);
      const bool hopeless = tried >= 8 && fails.load(std::memory_order_relaxed) > tried / 4 * 3;
      const bool try_screen = !hopeless || backoff.blocks++ % 16 == 0;
      if (try_screen) tries.fetch_add(1, std::memory_order_relaxed);
      if (try_screen &&
          filter.screen(*codes, i_begin, i_end, j, j_end, codes->threshold(best), passed)) {
        exact_pairs += passed.i.size();
        for (std::size_t p = 0; p < passed.i.size(); ++p) {
          const std::size_t a = passed.i[p], b = passed.j[p];
          acc = better_pair(acc, FarPair{pair_distance(values, dim, metric, a, b), a, b});
        }
      } else {
        if (try_screen) fails.fetch_add(1, std::memory_order_relaxed);
        const BlockFarthest far =
            farthest_in_block(values, dim, metric, i_begin, i_end, j, j_end);
        exact_pairs += pairs_in_block(i_begin, i_end, j, j_end);
        acc = better_pair(acc, FarPair{far.d, far.i, far.j});
      }
      if (acc.i != kPairIdentity.i) raise(acc.d);
    }
    if (stats != nullptr) stats->exact_pairs.fetch_add(exact_pairs, std::memory_order_relaxed);
    return acc;
  };
  // Early strips carry the most pairs; a unit of work pairs strip u with
  // strip strips-1-u so that all units weigh about the same. better_pair is
  // the maximum of a strict total order, so neither this nor the pool's split
  // can change the result.
  const FarPair found = pool::reduce(
      units, kPairIdentity,
      [&strip, strips](std::size_t first, std::size_t last, FarPair acc) {
        Backoff backoff;
        for (std::size_t u = first; u < last; ++u) {
          acc = strip(u, acc, backoff);
          if (strips - 1 - u != u) acc = strip(strips - 1 - u, acc, backoff);
          control::advance(1);
        }
        return acc;
      },
      [](FarPair a, FarPair b) { return better_pair(a, b); });
  return better_pair(found, seed);
}

}  // namespace tarvex
