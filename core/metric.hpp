// Distance kernels: dot products and squared Euclidean distances with one fixed
// accumulation order, so every processor and every build gives the same bits.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvex {

enum class Metric : std::uint8_t { Cosine = 0, Euclidean = 1 };

// Instruction-set builds of the kernels, from least to most capable.
enum class KernelLevel : std::uint8_t { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// Both kernels work on the common length of their inputs.
float dot(std::span<const float> a, std::span<const float> b) noexcept;
float sq_euclid(std::span<const float> a, std::span<const float> b) noexcept;

// Raw-pointer forms for the hot loops (both rows hold m values).
float dot(const float* a, const float* b, std::size_t m) noexcept;
float sq_euclid(const float* a, const float* b, std::size_t m) noexcept;

// The build chosen for this process (detected once, thread-safe).
KernelLevel active_kernel_level() noexcept;
// Whether this processor and OS can run a build.
bool kernel_level_supported(KernelLevel level) noexcept;
const char* kernel_level_name(KernelLevel level) noexcept;

// Runs a named build; for tests and benchmarks that compare builds. The level
// must be supported.
float dot_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept;
float sq_euclid_with(KernelLevel level, const float* a, const float* b, std::size_t m) noexcept;

// IEEE 754 total order keys: compare the results as signed integers.
inline std::int32_t total_order_key(float x) noexcept {
  auto bits = std::bit_cast<std::int32_t>(x);
  return bits < 0 ? bits ^ 0x7fffffff : bits;
}
inline std::int64_t total_order_key(double x) noexcept {
  auto bits = std::bit_cast<std::int64_t>(x);
  return bits < 0 ? bits ^ 0x7fffffffffffffffLL : bits;
}

}  // namespace tarvex
