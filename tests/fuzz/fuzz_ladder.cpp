// thresholds_with_bound on arbitrary d_max, eps and bound. Small eps with a
// large bound legitimately builds a ladder of up to ~1.4e8 entries (the
// driver's eps = 2^-23); the harness skips any combination whose predicted
// length exceeds kMaxEntries so that one input stays within libFuzzer's memory
// and time limits. Everything else, NaN, infinities, negative and subnormal
// values included, goes through.
#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "gist.hpp"

using namespace tarvex;

namespace {

constexpr double kMaxEntries = 1 << 20;
constexpr float kMinEps = 1.1920929e-7f;  // 2^-23

float read_float(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      const auto bits = in.ConsumeIntegral<std::uint32_t>();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    case 1: return static_cast<float>(in.ConsumeIntegralInRange<int>(-4, 64)) / 16.0f;
    default: return in.ConsumeFloatingPointInRange<float>(0.0f, 4.0f);
  }
}

// Kinds 0 and 1 are the driver's bounds (exact and approximate diameter).
double read_bound(FuzzedDataProvider& in, int kind, float eps) {
  switch (kind) {
    case 0: return 2.0 / static_cast<double>(eps);
    case 1: return 4.0 / static_cast<double>(eps);
    case 2: {
      const auto bits = in.ConsumeIntegral<std::uint64_t>();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default: return in.ConsumeFloatingPointInRange<double>(-1.0, 64.0);
  }
}

// floor(ln(bound) / ln(1 + eps)) + 1, the repeated product stopping at the
// largest finite double.
double predicted_length(float eps, double bound) {
  const double top = std::min(bound, std::numeric_limits<double>::max());
  return std::floor(std::log(top) / std::log1p(static_cast<double>(eps))) + 1.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const float d_max = read_float(in);
  const float eps = read_float(in);
  const int bound_kind = in.ConsumeIntegralInRange<int>(0, 3);
  const double bound = read_bound(in, bound_kind, eps);

  const bool eps_ok = eps >= kMinEps && !std::isinf(eps);
  const bool bound_ok = bound >= 1.0;
  if (eps_ok && bound_ok && predicted_length(eps, bound) > kMaxEntries) return 0;

  const std::vector<float> ladder = thresholds_with_bound(d_max, eps, bound);
  if (!eps_ok || !bound_ok) {
    FUZZ_REQUIRE(ladder.empty(), "a bad eps or bound gave a ladder");
    return 0;
  }
  FUZZ_REQUIRE(!ladder.empty(), "a good eps and bound gave no ladder");
  FUZZ_REQUIRE(static_cast<double>(ladder.size()) <= predicted_length(eps, bound) + 2.0,
               "ladder longer than ln(bound) / ln(1 + eps) + 1: " + std::to_string(ladder.size()));

  const double e = eps, d = d_max;
  FUZZ_REQUIRE(fuzz::same_bits(ladder.front(), static_cast<float>(e * d * 0.5)),
               "the ladder does not start at eps * d_max / 2");
  if (std::isnan(d_max)) return 0;  // NaN steps never compare equal, so none is dropped

  for (std::size_t i = 1; i < ladder.size(); ++i) {
    if (d_max >= 0.0f) {
      FUZZ_REQUIRE(ladder[i - 1] < ladder[i], "not strictly ascending at " + std::to_string(i));
    } else {
      FUZZ_REQUIRE(ladder[i - 1] > ladder[i], "not strictly descending at " + std::to_string(i));
    }
  }
  if (d_max == 0.0f || std::isinf(d_max)) {
    FUZZ_REQUIRE(ladder.size() == 1, "a zero or infinite d_max gave more than one threshold");
  }
  // The top of the ladder: at most d_max with the exact driver's bound, at
  // most 2 d_max with the approximate one, and in general at most the bound's
  // multiple of the first step.
  if (d_max > 0.0f && std::isfinite(d_max)) {
    const float top = ladder.back();
    if (bound_kind == 0) FUZZ_REQUIRE(top <= d_max, "threshold above d_max: " + std::to_string(top));
    if (bound_kind == 1) FUZZ_REQUIRE(top <= 2.0f * d_max, "threshold above 2 d_max");
    const double ceiling = bound * e * d * 0.5;
    FUZZ_REQUIRE(static_cast<double>(top) <= ceiling * (1.0 + 1e-6) || ceiling >= static_cast<double>(FLT_MAX) ||
                     static_cast<double>(top) <= static_cast<double>(FLT_MIN),
                 "threshold above bound * eps * d_max / 2");
    if (eps == 1.0f && bound_kind == 0) {
      FUZZ_REQUIRE(ladder.size() <= 2 && top == d_max, "eps = 1 must end exactly at d_max");
    }
  }
  return 0;
}
