#include "metric.hpp"

#include <cpuid.h>
#include <immintrin.h>

namespace tarvex {
namespace {

constexpr std::size_t kLanes = 16;

template <bool Squared>
inline float term(float a, float b) noexcept {
  if constexpr (Squared) {
    const float e = a - b;
    return e * e;
  } else {
    return a * b;
  }
}

// Tail into acc[0..14], then the left-to-right horizontal sum from +0.0.
template <bool Squared>
inline float finish(float (&acc)[kLanes], const float* a, const float* b, std::size_t done,
                    std::size_t m) noexcept {
  for (std::size_t r = 0; done + r < m; ++r) acc[r] += term<Squared>(a[done + r], b[done + r]);
  float s = 0.0f;
  for (std::size_t l = 0; l < kLanes; ++l) s += acc[l];
  return s;
}

template <bool Squared>
float kernel_baseline(const float* a, const float* b, std::size_t m) noexcept {
  float acc[kLanes] = {};
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] += term<Squared>(a[c + l], b[c + l]);
  }
  return finish<Squared>(acc, a, b, whole, m);
}

#pragma GCC push_options
#pragma GCC target("avx,avx2")
// acc[0..7] in one register, acc[8..15] in the other; chunks in order.
template <bool Squared>
__attribute__((target("avx,avx2"))) float kernel_avx2(const float* a, const float* b,
                                                      std::size_t m) noexcept {
  __m256 lo = _mm256_setzero_ps();
  __m256 hi = _mm256_setzero_ps();
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    __m256 a0 = _mm256_loadu_ps(a + c), a1 = _mm256_loadu_ps(a + c + 8);
    __m256 b0 = _mm256_loadu_ps(b + c), b1 = _mm256_loadu_ps(b + c + 8);
    __m256 t0, t1;
    if constexpr (Squared) {
      const __m256 e0 = _mm256_sub_ps(a0, b0), e1 = _mm256_sub_ps(a1, b1);
      t0 = _mm256_mul_ps(e0, e0);
      t1 = _mm256_mul_ps(e1, e1);
    } else {
      t0 = _mm256_mul_ps(a0, b0);
      t1 = _mm256_mul_ps(a1, b1);
    }
    lo = _mm256_add_ps(lo, t0);
    hi = _mm256_add_ps(hi, t1);
  }
  float acc[kLanes];
  _mm256_storeu_ps(acc, lo);
  _mm256_storeu_ps(acc + 8, hi);
  return finish<Squared>(acc, a, b, whole, m);
}
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
// The sixteen accumulators are exactly one 16-lane register.
template <bool Squared>
__attribute__((target("avx512f"))) float kernel_avx512(const float* a, const float* b,
                                                       std::size_t m) noexcept {
  __m512 acc_v = _mm512_setzero_ps();
  const std::size_t whole = m / kLanes * kLanes;
  for (std::size_t c = 0; c < whole; c += kLanes) {
    const __m512 av = _mm512_loadu_ps(a + c), bv = _mm512_loadu_ps(b + c);
    __m512 t;
    if constexpr (Squared) {
      const __m512 e = _mm512_sub_ps(av, bv);
      t = _mm512_mul_ps(e, e);
    } else {
      t = _mm512_mul_ps(av, bv);
    }
    acc_v = _mm512_add_ps(acc_v, t);
  }
  float acc[kLanes];
  _mm512_storeu_ps(acc, acc_v);
  return finish<Squared>(acc, a, b, whole, m);
}
#pragma GCC pop_options

std::uint64_t read_xcr0() noexcept {
  std::uint32_t eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

// Tests what each build really executes, not a list of unrelated features:
// some hypervisors hide LZCNT while exposing full-width vector units.
KernelLevel detect_level() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return KernelLevel::Baseline;
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  if (!osxsave || !avx) return KernelLevel::Baseline;
  const std::uint64_t xcr0 = read_xcr0();
  if ((xcr0 & 0x6) != 0x6) return KernelLevel::Baseline;  // XMM and YMM state
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return KernelLevel::Baseline;
  const bool avx2 = ebx & (1u << 5);
  const bool avx512f = ebx & (1u << 16);
  if (!avx2) return KernelLevel::Baseline;
  if (avx512f && (xcr0 & 0xe0) == 0xe0) return KernelLevel::Avx512;  // opmask, ZMM state
  return KernelLevel::Avx2;
}

using KernelFn = float (*)(const float*, const float*, std::size_t) noexcept;

struct KernelTable {
  KernelFn dot;
  KernelFn sq_euclid;
};

constexpr KernelTable kTables[] = {
    {kernel_baseline<false>, kernel_baseline<true>},
    {kernel_avx2<false>, kernel_avx2<true>},
    {kernel_avx512<false>, kernel_avx512<true>},
};

const KernelTable& active_table() noexcept {
  // A function-local static is initialised exactly once, thread-safely.
  static const KernelTable& table = kTables[static_cast<int>(detect_level())];
  return table;
}

}  // namespace

KernelLevel active_kernel_level() noexcept {
  static const KernelLevel level = detect_level();
  return level;
}

bool kernel_level_supported(KernelLevel level) noexcept {
  return static_cast<int>(level) <= static_cast<int>(active_kernel_level());
}

const char* kernel_level_name(KernelLevel level) noexcept {
  switch (level) {
    case KernelLevel::Baseline: return "baseline";
    case KernelLevel::Avx2: return "avx2";
    case KernelLevel::Avx512: return "avx512";
  }
  return "unknown";
}

float dot(const float* a, const float* b, std::size_t m) noexcept {
  return active_table().dot(a, b, m);
}
float sq_euclid(const float* a, const float* b, std::size_t m) noexcept {
  return active_table().sq_euclid(a, b, m);
}
float dot(std::span<const float> a, std::span<const float> b) noexcept {
  return dot(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}
float sq_euclid(std::span<const float> a, std::span<const float> b) noexcept {
  return sq_euclid(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}

float dot_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept {
  return kTables[static_cast<int>(level)].dot(a, b, m);
}
float sq_euclid_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept {
  return kTables[static_cast<int>(level)].sq_euclid(a, b, m);
}

}  // namespace tarvex
