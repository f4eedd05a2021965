// Distance kernels: every build the processor supports must return
// the bits of the one accumulation order, written out below as the reference.
#include <gtest/gtest.h>

#include <barrier>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <limits>
#include <random>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "metric.hpp"

namespace tarvex {
namespace {

enum class Kind { Dot, SqEuclid };

const char* kind_name(Kind kind) { return kind == Kind::Dot ? "dot" : "sq_euclid"; }

float term(Kind kind, float a, float b) {
  if (kind == Kind::Dot) return a * b;
  const float e = a - b;
  return e * e;
}

// The Part's association, spelled out: sixteen accumulators from +0.0, whole
// chunks in order, the tail into acc[0..14], a left-to-right sum from +0.0.
float reference(Kind kind, const float* a, const float* b, std::size_t m) {
  float acc[16];
  for (float& x : acc) x = +0.0f;
  const std::size_t chunks = m / 16;
  for (std::size_t c = 0; c < chunks; ++c) {
    for (std::size_t l = 0; l < 16; ++l) {
      acc[l] = acc[l] + term(kind, a[16 * c + l], b[16 * c + l]);
    }
  }
  for (std::size_t r = 0; r < m % 16; ++r) {
    acc[r] = acc[r] + term(kind, a[16 * chunks + r], b[16 * chunks + r]);
  }
  float s = +0.0f;
  for (std::size_t l = 0; l < 16; ++l) s = s + acc[l];
  return s;
}

// Plausible wrong associations, used only to show that the adversarial data
// tells associations apart: one running sum; eight accumulators (a 256-bit
// build that forgot its second register); the right accumulators summed
// pairwise (a vector-style horizontal sum).
float running_sum(Kind kind, const float* a, const float* b, std::size_t m) {
  float s = +0.0f;
  for (std::size_t p = 0; p < m; ++p) s = s + term(kind, a[p], b[p]);
  return s;
}

float eight_accumulators(Kind kind, const float* a, const float* b, std::size_t m) {
  float acc[8];
  for (float& x : acc) x = +0.0f;
  for (std::size_t p = 0; p < m; ++p) acc[p % 8] = acc[p % 8] + term(kind, a[p], b[p]);
  float s = +0.0f;
  for (float x : acc) s = s + x;
  return s;
}

float pairwise_horizontal_sum(Kind kind, const float* a, const float* b, std::size_t m) {
  float acc[16];
  for (float& x : acc) x = +0.0f;
  for (std::size_t p = 0; p < m; ++p) acc[p % 16] = acc[p % 16] + term(kind, a[p], b[p]);
  for (std::size_t width = 16; width > 1; width /= 2) {
    for (std::size_t l = 0; l < width / 2; ++l) acc[l] = acc[2 * l] + acc[2 * l + 1];
  }
  return +0.0f + acc[0];
}

float run(KernelLevel level, Kind kind, const float* a, const float* b, std::size_t m) {
  return kind == Kind::Dot ? dot_with(level, a, b, m) : sq_euclid_with(level, a, b, m);
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

std::vector<KernelLevel> supported_levels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
    if (kernel_level_supported(level)) levels.push_back(level);
  }
  return levels;
}

std::vector<std::size_t> test_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t m = 0; m <= 130; ++m) lengths.push_back(m);
  lengths.push_back(768);
  lengths.push_back(1536);
  return lengths;
}

// Data sets: each gives two rows of m values.
enum class Data { Uniform, MixedMagnitudes, Cancellation };

const char* data_name(Data data) {
  switch (data) {
    case Data::Uniform: return "uniform";
    case Data::MixedMagnitudes: return "mixed magnitudes";
    case Data::Cancellation: return "cancellation";
  }
  return "?";
}

// A random sign and mantissa times 2^e with e in [lo, hi].
float scaled(std::mt19937& rng, int lo, int hi) {
  std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(lo, hi);
  const float x = std::ldexp(mantissa(rng), exponent(rng));
  return rng() & 1 ? -x : x;
}

struct Rows {
  std::vector<float> a, b;
};

Rows make_rows(Data data, std::size_t m, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Rows rows{std::vector<float>(m), std::vector<float>(m)};
  switch (data) {
    case Data::Uniform: {
      std::uniform_real_distribution<float> u(-1.0f, 1.0f);
      for (std::size_t p = 0; p < m; ++p) {
        rows.a[p] = u(rng);
        rows.b[p] = u(rng);
      }
      break;
    }
    case Data::MixedMagnitudes:
      // Differences and products from 2^-4 to 2^26 with random mantissas: the
      // small terms are absorbed or kept depending on when the large ones
      // arrive. Some subnormal values as well.
      for (std::size_t p = 0; p < m; ++p) {
        rows.b[p] = scaled(rng, -1, 1);
        const unsigned pick = rng() % 16;
        if (pick == 0) {
          rows.a[p] = scaled(rng, -140, -127);
        } else {
          const float e = pick < 3 || p == 0 ? scaled(rng, 11, 12) : scaled(rng, -2, 1);
          rows.a[p] = rows.b[p] + e;
        }
      }
      break;
    case Data::Cancellation: {
      // Pairs of large values, +x at one position and -x at a later one, that
      // cancel exactly in the true sum, between small values: how much of the
      // small values survives depends on the order of the additions.
      std::vector<bool> taken(m, false);
      for (std::size_t p = 0; p < m; ++p) {
        rows.b[p] = 1.0f;
        if (taken[p]) continue;
        if (rng() % 4 == 0 && p + 1 < m) {
          const std::size_t q = p + 1 + rng() % (m - p - 1);
          if (!taken[q]) {
            rows.a[p] = scaled(rng, 20, 26);
            rows.a[q] = -rows.a[p];
            taken[q] = true;
            continue;
          }
        }
        rows.a[p] = scaled(rng, -6, 3);
        if (rng() % 2) rows.b[p] = scaled(rng, -2, 2);
      }
      break;
    }
  }
  return rows;
}

constexpr Data kAllData[] = {Data::Uniform, Data::MixedMagnitudes, Data::Cancellation};
constexpr Kind kAllKinds[] = {Kind::Dot, Kind::SqEuclid};

TEST(Kernels, ReportsTheLevelThisProcessorSupports) {
  __builtin_cpu_init();
  // libgcc's feature test includes the OS's saved register state (XGETBV).
  const KernelLevel expected = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2")
                                   ? KernelLevel::Avx512
                               : __builtin_cpu_supports("avx2") ? KernelLevel::Avx2
                                                                : KernelLevel::Baseline;
  EXPECT_EQ(detected_kernel_level(), expected);
  const char* forced = std::getenv(kForceBuildVariable);
  if (forced == nullptr || *forced == '\0') EXPECT_EQ(active_kernel_level(), expected);
  else EXPECT_EQ(kernel_level_name(active_kernel_level()), std::string_view(forced));
  EXPECT_TRUE(kernel_level_supported(KernelLevel::Baseline));
  EXPECT_TRUE(kernel_level_supported(active_kernel_level()));
  RecordProperty("kernel_level", kernel_level_name(active_kernel_level()));
  std::printf("active kernel build: %s\n", kernel_level_name(active_kernel_level()));
}

TEST(Kernels, EveryBuildMatchesTheReferenceBitForBit) {
  const auto levels = supported_levels();
  for (Data data : kAllData) {
    for (std::size_t m : test_lengths()) {
      const Rows rows = make_rows(data, m, 1000u + static_cast<std::uint32_t>(m));
      for (Kind kind : kAllKinds) {
        const float want = reference(kind, rows.a.data(), rows.b.data(), m);
        for (KernelLevel level : levels) {
          const float got = run(level, kind, rows.a.data(), rows.b.data(), m);
          ASSERT_EQ(bits(got), bits(want))
              << kind_name(kind) << ", " << kernel_level_name(level) << ", " << data_name(data)
              << ", m = " << m << ": got " << got << ", want " << want;
        }
      }
    }
  }
}

TEST(Kernels, EveryBuildMatchesTheReferenceOnUnalignedRows) {
  const auto levels = supported_levels();
  for (Data data : kAllData) {
    for (std::size_t m : {1u, 15u, 16u, 17u, 31u, 33u, 100u, 129u, 768u}) {
      const Rows rows = make_rows(data, m + 3, 7u + static_cast<std::uint32_t>(m));
      for (std::size_t off_a = 0; off_a < 4; ++off_a) {
        for (std::size_t off_b = 0; off_b < 4; ++off_b) {
          const float* a = rows.a.data() + off_a;
          const float* b = rows.b.data() + off_b;
          for (Kind kind : kAllKinds) {
            const float want = reference(kind, a, b, m);
            for (KernelLevel level : levels) {
              ASSERT_EQ(bits(run(level, kind, a, b, m)), bits(want))
                  << kind_name(kind) << ", " << kernel_level_name(level) << ", m = " << m
                  << ", offsets " << off_a << ", " << off_b;
            }
          }
        }
      }
    }
  }
}

// Guards the tests above: on the adversarial data each wrong association
// gives other bits than the reference for many lengths (a half to 95% with
// these seeds; a third is required), so a build that reordered its additions
// could not pass them.
TEST(Kernels, AdversarialDataSeparatesAssociations) {
  using Alternative = float (*)(Kind, const float*, const float*, std::size_t);
  const std::pair<const char*, Alternative> alternatives[] = {
      {"running sum", running_sum},
      {"eight accumulators", eight_accumulators},
      {"pairwise horizontal sum", pairwise_horizontal_sum}};
  for (Data data : {Data::MixedMagnitudes, Data::Cancellation}) {
    for (Kind kind : kAllKinds) {
      for (const auto& [name, alternative] : alternatives) {
        std::size_t differ = 0, total = 0;
        for (std::size_t m : test_lengths()) {
          if (m < 17) continue;
          const Rows rows = make_rows(data, m, 1000u + static_cast<std::uint32_t>(m));
          const float* a = rows.a.data();
          const float* b = rows.b.data();
          ++total;
          if (bits(reference(kind, a, b, m)) != bits(alternative(kind, a, b, m))) ++differ;
        }
        EXPECT_GE(differ * 3, total) << kind_name(kind) << ", " << data_name(data) << ", " << name
                                     << ": only " << differ << " of " << total << " lengths differ";
      }
    }
  }
}

TEST(Kernels, DispatchRunsTheActiveBuild) {
  for (std::size_t m : {0u, 5u, 16u, 37u, 768u}) {
    const Rows rows = make_rows(Data::Cancellation, m, 3u);
    const float* a = rows.a.data();
    const float* b = rows.b.data();
    EXPECT_EQ(bits(dot(a, b, m)), bits(dot_with(active_kernel_level(), a, b, m)));
    EXPECT_EQ(bits(sq_euclid(a, b, m)), bits(sq_euclid_with(active_kernel_level(), a, b, m)));
  }
}

TEST(Kernels, SpanFormsUseTheCommonLength) {
  const Rows rows = make_rows(Data::Uniform, 40, 11u);
  const std::span<const float> a(rows.a), b(rows.b);
  EXPECT_EQ(bits(dot(a, b.first(21))), bits(reference(Kind::Dot, a.data(), b.data(), 21)));
  EXPECT_EQ(bits(dot(a.first(21), b)), bits(reference(Kind::Dot, a.data(), b.data(), 21)));
  EXPECT_EQ(bits(sq_euclid(a.first(33), b)),
            bits(reference(Kind::SqEuclid, a.data(), b.data(), 33)));
  EXPECT_EQ(bits(sq_euclid(a, b)), bits(reference(Kind::SqEuclid, a.data(), b.data(), 40)));
}

TEST(Kernels, ShortRowsFollowThePartsExamples) {
  // m = 3: the left-to-right sum of the three rounded products, (1e8 + 3) +
  // -1e8 = 0 (the 3 is lost), where (1e8 + -1e8) + 3 would give 3.
  const float a3[] = {1e8f, 3.0f, -1e8f}, b3[] = {1.0f, 1.0f, 1.0f};
  for (KernelLevel level : supported_levels()) {
    EXPECT_EQ(bits(dot_with(level, a3, b3, 3)), bits((1e8f + 3.0f) + -1e8f));
  }
  // m = 17: acc[0] gets t(0) then t(16); the accumulators are then summed in order.
  float a17[17], b17[17];
  for (int p = 0; p < 17; ++p) {
    a17[p] = p == 0 ? 1e8f : p == 16 ? -1e8f : 1.0f;
    b17[p] = 1.0f;
  }
  // acc[0] = (0 + 1e8) + -1e8 = 0, the other fifteen hold 1: the sum is 15,
  // where a running sum would lose the ones to 1e8 and return 0.
  for (KernelLevel level : supported_levels()) {
    EXPECT_EQ(dot_with(level, a17, b17, 17), 15.0f) << kernel_level_name(level);
  }
}

TEST(Kernels, EmptyRowsGivePositiveZero) {
  const float a[1] = {1.0f};
  for (KernelLevel level : supported_levels()) {
    EXPECT_EQ(bits(dot_with(level, a, a, 0)), 0u);
    EXPECT_EQ(bits(sq_euclid_with(level, a, a, 0)), 0u);
  }
}

TEST(Kernels, NegativeZeroSumsComeBackAsPositiveZero) {
  for (std::size_t m : {1u, 3u, 15u, 16u, 17u, 48u, 100u}) {
    // Every product is -0.0, or the products cancel exactly.
    std::vector<float> neg(m, -1.0f), zero(m, 0.0f), alternating(m);
    for (std::size_t p = 0; p < m; ++p) alternating[p] = p % 2 ? -2.0f : 2.0f;
    for (KernelLevel level : supported_levels()) {
      EXPECT_EQ(bits(dot_with(level, neg.data(), zero.data(), m)), 0u)
          << kernel_level_name(level) << ", m = " << m;
      EXPECT_EQ(bits(dot_with(level, zero.data(), neg.data(), m)), 0u);
      if (m % 2 == 0) {
        std::vector<float> ones(m, 1.0f);
        EXPECT_EQ(bits(dot_with(level, alternating.data(), ones.data(), m)), 0u);
      }
    }
  }
}

TEST(Kernels, BothKernelsAreSymmetric) {
  const auto levels = supported_levels();
  for (Data data : kAllData) {
    for (std::size_t m : test_lengths()) {
      const Rows rows = make_rows(data, m, 5000u + static_cast<std::uint32_t>(m));
      const float* a = rows.a.data();
      const float* b = rows.b.data();
      for (KernelLevel level : levels) {
        for (Kind kind : kAllKinds) {
          ASSERT_EQ(bits(run(level, kind, a, b, m)), bits(run(level, kind, b, a, m)))
              << kind_name(kind) << ", " << kernel_level_name(level) << ", " << data_name(data)
              << ", m = " << m;
        }
      }
    }
  }
}

TEST(Kernels, SquaredDistanceToItselfIsPositiveZero) {
  const auto levels = supported_levels();
  for (Data data : kAllData) {
    for (std::size_t m : test_lengths()) {
      const Rows rows = make_rows(data, m, 9000u + static_cast<std::uint32_t>(m));
      for (KernelLevel level : levels) {
        ASSERT_EQ(bits(sq_euclid_with(level, rows.a.data(), rows.a.data(), m)), 0u)
            << kernel_level_name(level) << ", " << data_name(data) << ", m = " << m;
        // An equal copy at another address as well.
        const std::vector<float> copy = rows.a;
        ASSERT_EQ(bits(sq_euclid_with(level, rows.a.data(), copy.data(), m)), 0u);
      }
    }
  }
}

TEST(Kernels, OverflowGivesInfinity) {
  const float inf = std::numeric_limits<float>::infinity();
  for (KernelLevel level : supported_levels()) {
    SCOPED_TRACE(kernel_level_name(level));
    // One term overflows.
    const float big[] = {2e19f}, zero[] = {0.0f}, neg_big[] = {-2e19f};
    EXPECT_EQ(dot_with(level, big, big, 1), inf);
    EXPECT_EQ(sq_euclid_with(level, big, zero, 1), inf);
    EXPECT_EQ(sq_euclid_with(level, big, neg_big, 1), inf);
    EXPECT_EQ(dot_with(level, big, neg_big, 1), -inf);
    // Finite terms whose sum overflows: in one accumulator (positions 0 and
    // 16), in the horizontal sum (positions 0 and 1), and across whole chunks.
    for (std::size_t m : {17u, 32u, 2u, 16u, 768u}) {
      std::vector<float> a(m, 0.0f), b(m, 0.0f);
      if (m == 17 || m == 32) {
        a[0] = a[16] = 1.5e19f;
      } else if (m == 2 || m == 16) {
        a[0] = a[1] = 1.5e19f;
      } else {
        for (float& x : a) x = 1e18f;
      }
      EXPECT_EQ(sq_euclid_with(level, a.data(), b.data(), m), inf) << "m = " << m;
      EXPECT_EQ(dot_with(level, a.data(), a.data(), m), inf) << "m = " << m;
      EXPECT_EQ(bits(sq_euclid_with(level, a.data(), b.data(), m)),
                bits(reference(Kind::SqEuclid, a.data(), b.data(), m)));
    }
  }
}

// Several threads make the process's first kernel calls at once; returns the
// number of results that differ from the reference.
int first_use_from_several_threads() {
  constexpr int kThreads = 8;
  const Rows rows = make_rows(Data::Cancellation, 1536, 42u);
  std::barrier start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      const float* a = rows.a.data();
      const float* b = rows.b.data();
      const bool dot_first = t % 2 == 0;
      for (std::size_t m = 0; m <= 1536; m += dot_first ? 5 : 7) {
        const float x = dot_first ? dot(a, b, m) : sq_euclid(a, b, m);
        const float y = dot_first ? sq_euclid(a, b, m) : dot(a, b, m);
        const Kind kx = dot_first ? Kind::Dot : Kind::SqEuclid;
        const Kind ky = dot_first ? Kind::SqEuclid : Kind::Dot;
        if (bits(x) != bits(reference(kx, a, b, m))) ++failures[t];
        if (bits(y) != bits(reference(ky, a, b, m))) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int total = 0;
  for (int f : failures) total += f;
  return total;
}

// Runs in a fresh process (a death test in the "threadsafe" style re-executes
// the binary), so the dispatch is really uninitialised when the threads start.
TEST(KernelsDeathTest, FirstUseFromSeveralThreadsAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const int mismatches = first_use_from_several_threads();
        std::fprintf(stderr, "mismatches: %d\n", mismatches);
        std::exit(mismatches == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "mismatches: 0");
}

}  // namespace
}  // namespace tarvex
