// The exact farthest pair of a row-major matrix, on the shared worker pool:
// pairs are screened with a rigorous bound where the processor has a build
// of the screen, and every pair that could still be the farthest is computed
// with the exact tiles.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "metric.hpp"
#include "points.hpp"

namespace tarvex {

// What a benchmark wants to know about one computation.
struct DiameterStats {
  bool screened = false;                   // whether the screen ran
  std::atomic<std::uint64_t> exact_pairs{0};  // pairs computed with the exact kernel
};

// The farthest pair (d, i, j) by better_pair over all i < j of n rows of
// `dim` floats, exactly as the brute force over Points::dist; (0, 0, 0) for n < 2.
FarPair exact_farthest_pair(const float* values, std::size_t n, std::size_t dim, Metric metric,
                            DiameterStats* stats = nullptr);

}  // namespace tarvex
