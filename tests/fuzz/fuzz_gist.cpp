// A whole gist call on small arbitrary inputs. Checks: the error kind that
// the validation order predicts; on success at most min(k, n) distinct rows
// below n, numbers that agree with the selected set, f == g when lam == 0,
// the utility left reset, the exact diameter, and the (1/2 - eps) guarantee
// against a brute-force optimum on tiny Euclidean inputs.
//
// Pool size. The shared pool's size is fixed per process, so the harness
// checks independence from it in two ways: every input also runs with oneTBB
// limited to the calling thread (global_control), which changes how the sweep
// is split into chunks and must not change the result; and with
// TARVEX_FUZZ_DIGEST=<file> each input appends "<input hash> <result hash>" to
// that file, so scripts/fuzz.sh can replay one corpus under
// RAYON_NUM_THREADS=1 and =2 and compare the two files.
#include <fuzzer/FuzzedDataProvider.h>
#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../cpp/fixtures.hpp"
#include "fuzz_support.hpp"
#include "gist.hpp"
#include "points.hpp"
#include "utility.hpp"

using namespace tarvex;

namespace {

constexpr float kMinEps = 1.1920929e-7f;
// The brute-force optimum enumerates every subset of at most k rows.
constexpr std::size_t kBruteRows = 10;

struct Input {
  std::size_t dim = 1;
  std::vector<float> values;
  Metric metric = Metric::Euclidean;
  GistParams params;
  int utility_kind = 0;  // 0 uniform linear, 1 weighted linear, 2 coverage, 3 facility location
  std::vector<double> weights;
  std::vector<std::vector<std::uint32_t>> lists;
};

double read_double_bits(FuzzedDataProvider& in) {
  const auto bits = in.ConsumeIntegral<std::uint64_t>();
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Valid eps stays at or above 2^-6, so a ladder holds a few hundred
// thresholds at most; fuzz_ladder covers the long ladders of smaller eps.
float read_eps(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return 0.0f;
    case 1: return std::numeric_limits<float>::quiet_NaN();
    case 2: return -0.5f;
    case 3: return std::nextafter(1.0f, 2.0f);
    case 4: return std::numeric_limits<float>::infinity();
    case 5: return kMinEps / 2.0f;
    case 6: return 1.0f;
    case 7: return 0.1f;
    default: return in.ConsumeFloatingPointInRange<float>(0.015625f, 1.0f);
  }
}

double read_lam(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return 1.0;
    case 3: return read_double_bits(in);  // NaN, infinities, negatives, subnormals, huge
    default: return in.ConsumeFloatingPointInRange<double>(0.0, 8.0);
  }
}

Input read_input(FuzzedDataProvider& in) {
  Input x;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, 20);
  x.dim = in.ConsumeIntegralInRange<std::size_t>(1, 5);
  x.metric = in.ConsumeBool() ? Metric::Euclidean : Metric::Cosine;
  // Coordinates: small integers times one power of two, so ties, duplicate
  // rows, overflowing and underflowing distances all occur.
  const int exponent = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<int>(-150, 124);
  x.values.resize(n * x.dim);
  for (float& v : x.values) {
    v = std::ldexp(static_cast<float>(in.ConsumeIntegralInRange<int>(-4, 4)), exponent);
  }

  x.params.k = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegral<std::size_t>()
                                                          : in.ConsumeIntegralInRange<std::size_t>(0, n + 2);
  x.params.lam = read_lam(in);
  x.params.eps = read_eps(in);
  x.params.exhaustive_thresholds = in.ConsumeIntegralInRange<int>(0, 3) == 0;
  if (in.ConsumeBool()) {
    x.params.diameter = DiameterExact{};
  } else {
    x.params.diameter = DiameterApprox{in.ConsumeIntegralInRange<int>(0, 7) == 0
                                           ? in.ConsumeIntegral<std::size_t>()
                                           : in.ConsumeIntegralInRange<std::size_t>(0, 5)};
  }

  x.utility_kind = in.ConsumeIntegralInRange<int>(0, 3);
  // Usually one entry per row; sometimes one too many or too few.
  const int skew = in.ConsumeIntegralInRange<int>(0, 9);
  const std::size_t count = skew == 0 ? n + 1 : skew == 1 ? n - 1 : n;
  if (x.utility_kind == 1) {
    x.weights.resize(count);
    for (double& w : x.weights) {
      w = in.ConsumeIntegralInRange<int>(0, 9) == 0
              ? read_double_bits(in)
              : static_cast<double>(in.ConsumeIntegralInRange<int>(0, 8)) / 2.0;
    }
  } else if (x.utility_kind == 2) {
    x.lists.resize(count);
    for (auto& list : x.lists) {
      list.resize(in.ConsumeIntegralInRange<std::size_t>(0, 4));
      for (auto& item : list) item = in.ConsumeIntegralInRange<std::uint32_t>(0, 9);
    }
  }
  return x;
}

std::unique_ptr<Utility> make_utility(const Input& x, const Points& points) {
  switch (x.utility_kind) {
    case 0: return std::make_unique<Linear>(Linear::uniform(points.n()));
    case 1: return std::make_unique<Linear>(x.weights);
    case 2: {
      std::size_t universe = 0;
      for (const auto& list : x.lists)
        for (std::uint32_t item : list) universe = std::max<std::size_t>(universe, item + 1);
      return std::make_unique<Coverage>(*Coverage::create(x.lists, universe));
    }
    default: return std::make_unique<FacilityLocation>(FacilityLocation::create(points));
  }
}

// The error the validation order predicts, or nullopt for none.
std::optional<ErrorKind> predicted_error(const Input& x, std::size_t n) {
  const GistParams& p = x.params;
  if (p.k == 0) return ErrorKind::ZeroK;
  if (!(p.eps >= kMinEps && p.eps <= 1.0f)) return ErrorKind::InvalidEpsilon;
  if (!std::isfinite(p.lam) || p.lam < 0.0) return ErrorKind::InvalidLambda;
  if (x.utility_kind == 1) {
    if (x.weights.size() != n) return ErrorKind::WeightCountMismatch;
    for (double w : x.weights)
      if (!std::isfinite(w) || w < 0.0) return ErrorKind::InvalidWeight;
  }
  if (x.utility_kind == 2 && x.lists.size() != n) return ErrorKind::CoverageCountMismatch;
  return std::nullopt;
}

void check_error(const Input& x, std::size_t n, const TarvexError& err) {
  const auto want = predicted_error(x, n);
  FUZZ_REQUIRE(want && *want == err.kind(), "unexpected error " + fuzz::kind_name(err));
  FUZZ_REQUIRE(!err.to_string().empty(), "empty message");
  if (const auto* e = err.get_if<errors::InvalidEpsilon>()) {
    FUZZ_REQUIRE(fuzz::same_bits(e->eps, x.params.eps), "eps payload");
  } else if (const auto* e = err.get_if<errors::InvalidLambda>()) {
    FUZZ_REQUIRE(fuzz::same_bits(e->lam, x.params.lam), "lam payload");
  } else if (const auto* e = err.get_if<errors::WeightCountMismatch>()) {
    FUZZ_REQUIRE(e->expected == n && e->got == x.weights.size(), "weight count payload");
  } else if (const auto* e = err.get_if<errors::InvalidWeight>()) {
    const auto bad = std::find_if(x.weights.begin(), x.weights.end(),
                                  [](double w) { return !std::isfinite(w) || w < 0.0; });
    FUZZ_REQUIRE(e->index == static_cast<std::size_t>(bad - x.weights.begin()) &&
                     fuzz::same_bits(e->value, *bad),
                 "invalid weight payload");
  } else if (const auto* e = err.get_if<errors::CoverageCountMismatch>()) {
    FUZZ_REQUIRE(e->expected == n && e->got == x.lists.size(), "coverage count payload");
  }
}

FarPair brute_diameter(const Points& points) {
  if (points.n() < 2) return FarPair{0.0f, 0, 0};
  FarPair best = kPairIdentity;
  for (std::size_t i = 0; i < points.n(); ++i)
    for (std::size_t j = i + 1; j < points.n(); ++j) best = better_pair(best, FarPair{points.dist(i, j), i, j});
  return best;
}

// The best f over every set of at most k rows, by enumeration.
double brute_optimum(const Points& points, Utility& u, std::size_t k, double lam, float d_max) {
  const std::size_t n = points.n();
  double best = -std::numeric_limits<double>::infinity();
  for (std::uint32_t mask = 1; mask < (1u << n); ++mask) {
    if (static_cast<std::size_t>(__builtin_popcount(mask)) > k) continue;
    Selection set;
    for (std::size_t i = 0; i < n; ++i)
      if (mask & (1u << i)) set.push_back(i);
    best = std::max(best, testing_support::evaluate_by_hand(points, u, set, d_max, lam).f);
  }
  return best;
}

void check_result(const Input& x, const Points& points, Utility& used, const GistResult& r) {
  const std::size_t n = points.n();
  const GistParams& p = x.params;
  const std::size_t budget = std::min(p.k, n);
  FUZZ_REQUIRE(!r.selected.empty() && r.selected.size() <= budget, "selection size");
  std::set<std::size_t> seen;
  for (std::size_t i : r.selected) {
    FUZZ_REQUIRE(i < n, "index out of range");
    FUZZ_REQUIRE(seen.insert(i).second, "repeated index");
  }

  auto fresh = make_utility(x, points);
  // The driver leaves the caller's utility reset: it gains what a fresh one gains.
  for (std::size_t i = 0; i < n; ++i) {
    FUZZ_REQUIRE(fuzz::same_bits(used.marginal(i, points), fresh->marginal(i, points)),
                 "utility not reset after the call");
  }

  const bool exact = std::holds_alternative<DiameterExact>(p.diameter);
  const FarPair far = brute_diameter(points);
  if (exact) {
    FUZZ_REQUIRE(fuzz::same_bits(r.d_max, far.d), "d_max is not the exact diameter");
  } else {
    FUZZ_REQUIRE(r.d_max <= far.d, "approximate diameter above the exact one");
    // Below about 2^-50 the squared terms reach the subnormals, where a float
    // distance loses the triangle inequality that the bound rests on.
    if (x.metric == Metric::Euclidean && far.d > 1e-15f && far.d < 1e30f) {
      FUZZ_REQUIRE(r.d_max >= far.d * 0.5f * (1.0f - 1e-5f), "approximate diameter below half");
    }
  }

  // The reported numbers belong to the reported set.
  const auto e = testing_support::evaluate_by_hand(points, *fresh, r.selected, r.d_max, p.lam);
  FUZZ_REQUIRE(fuzz::same_bits(r.g_value, e.g), "g_value does not match the selected set");
  FUZZ_REQUIRE(fuzz::same_bits(r.div, e.div), "div does not match the selected set");
  FUZZ_REQUIRE(fuzz::same_bits(r.f_value, e.f), "f_value is not g + lam * div");
  if (p.lam == 0.0) FUZZ_REQUIRE(fuzz::same_bits(r.f_value, r.g_value), "f != g with lam == 0");

  switch (r.stage) {
    case Stage::Greedy: FUZZ_REQUIRE(fuzz::same_bits(r.threshold, 0.0f), "greedy threshold"); break;
    case Stage::DiameterPair:
      FUZZ_REQUIRE(fuzz::same_bits(r.threshold, r.d_max), "pair threshold");
      FUZZ_REQUIRE(budget >= 2 && r.selected.size() == 2 && r.selected[0] < r.selected[1], "pair shape");
      break;
    case Stage::Sweep:
      FUZZ_REQUIRE(r.d_max > 0.0f && r.threshold >= 0.0f, "sweep without a positive diameter");
      break;
  }
  if (n == 1) {
    FUZZ_REQUIRE(r.selected == Selection{0} && r.stage == Stage::Greedy && r.threshold == 0.0f &&
                     r.div == 0.0f && r.d_max == 0.0f,
                 "single row");
  }

  // Theorem 3.1 holds for a true metric with the exact diameter.
  if (x.metric == Metric::Euclidean && exact && n <= kBruteRows && std::isfinite(far.d) &&
      std::isfinite(r.f_value)) {
    const double opt = brute_optimum(points, *fresh, budget, p.lam, r.d_max);
    if (std::isfinite(opt)) {
      const double factor = 0.5 - static_cast<double>(p.eps);
      FUZZ_REQUIRE(r.f_value >= factor * opt - 1e-9 * std::fabs(opt),
                   "f " + std::to_string(r.f_value) + " below (1/2 - eps) of the optimum " +
                       std::to_string(opt));
    }
  }
}

std::uint64_t digest(const Result<GistResult>& out) {
  if (!out) {
    const auto kind = static_cast<unsigned>(out.error().kind());
    return fuzz::fnv1a(&kind, sizeof kind);
  }
  const GistResult& r = *out;
  std::uint64_t h = fuzz::fnv1a(r.selected.data(), r.selected.size() * sizeof(std::size_t));
  h = fuzz::fnv1a(&r.f_value, sizeof r.f_value, h);
  h = fuzz::fnv1a(&r.g_value, sizeof r.g_value, h);
  h = fuzz::fnv1a(&r.div, sizeof r.div, h);
  h = fuzz::fnv1a(&r.threshold, sizeof r.threshold, h);
  h = fuzz::fnv1a(&r.d_max, sizeof r.d_max, h);
  return fuzz::fnv1a(&r.stage, sizeof r.stage, h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Input x = read_input(in);
  auto points = Points::borrowed(x.values, x.dim, x.metric);
  if (!points) return 0;  // fuzz_points covers rejected matrices

  auto utility = make_utility(x, *points);
  const auto out = gist(*points, *utility, x.params);
  if (out) {
    check_result(x, *points, *utility, *out);
  } else {
    check_error(x, points->n(), out.error());
  }

  // Only the calling thread: the sweep is split differently, the result is not.
  {
    oneapi::tbb::global_control one(oneapi::tbb::global_control::max_allowed_parallelism, 1);
    auto alone = make_utility(x, *points);
    const auto again = gist(*points, *alone, x.params);
    FUZZ_REQUIRE(digest(again) == digest(out), "result depends on the number of threads");
  }

  if (const char* file = std::getenv("TARVEX_FUZZ_DIGEST")) {
    if (FILE* f = std::fopen(file, "a")) {
      std::fprintf(f, "%016llx %016llx\n", static_cast<unsigned long long>(fuzz::fnv1a(data, size)),
                   static_cast<unsigned long long>(digest(out)));
      std::fclose(f);
    }
  }
  return 0;
}
