// The GIST driver, the threshold ladder and the approximate diameter.
#pragma once

#include <cstddef>
#include <string_view>
#include <variant>
#include <vector>

#include "error.hpp"
#include "greedy.hpp"
#include "points.hpp"
#include "utility.hpp"

namespace tarvex {

struct DiameterExact {
  friend bool operator==(const DiameterExact&, const DiameterExact&) = default;
};
struct DiameterApprox {
  std::size_t sweeps;
  friend bool operator==(const DiameterApprox&, const DiameterApprox&) = default;
};
// A diameter found elsewhere (over a larger data set whose rows these are):
// its pair, and whether it is exact, which sets the ladder's bound.
struct DiameterKnown {
  FarPair pair;
  bool exact;
  friend bool operator==(const DiameterKnown&, const DiameterKnown&) = default;
};
using DiameterMode = std::variant<DiameterExact, DiameterApprox, DiameterKnown>;

struct GistParams {
  DiameterMode diameter = DiameterExact{};
  std::size_t k = 0;
  double lam = 1.0;
  float eps = 0.1f;
  bool exhaustive_thresholds = false;
};

enum class Stage : std::uint8_t { Greedy = 0, DiameterPair = 1, Sweep = 2 };
std::string_view stage_text(Stage stage) noexcept;

struct GistResult {
  Selection selected;
  double f_value = 0.0;
  double g_value = 0.0;
  float div = 0.0f;
  float threshold = 0.0f;
  float d_max = 0.0f;
  Stage stage = Stage::Greedy;
};

struct SweepOutcome {
  float threshold;
  double f_value;
  double g_value;
  float div;
};

// Wall-clock seconds per stage, for benchmarks.
struct StageTimes {
  double diameter = 0.0;
  double greedy = 0.0;
  double pair = 0.0;
  double sweep = 0.0;
  double rebuild = 0.0;
};

// Double-sweep estimate of the farthest pair; passes = 1 when sweeps is 0.
FarPair approx_diameter(const Points& points, std::size_t sweeps);

// The geometric ladder eps * d_max / 2 * (1 + eps)^i while (1 + eps)^i <= bound.
std::vector<float> thresholds_with_bound(float d_max, float eps, double bound);
// 0.0 and every distinct half of a pairwise distance, ascending.
std::vector<float> exhaustive_threshold_set(const Points& points);

Result<GistResult> gist(const Points& points, Utility& utility, const GistParams& params,
                        StageTimes* times = nullptr);

}  // namespace tarvex
