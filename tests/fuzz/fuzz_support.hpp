// Helpers shared by the libFuzzer harnesses: a failed check aborts with a
// message, so libFuzzer keeps the input that broke it.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "error.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_REQUIRE(cond, what)                                  \
  do {                                                            \
    if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, (what));        \
  } while (0)

// Bit equality: tells 0.0 from -0.0 and keeps NaN equal to itself.
inline bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
inline bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

inline std::string kind_name(const tarvex::TarvexError& e) {
  return std::to_string(static_cast<unsigned>(e.kind())) + " (" + e.to_string() + ")";
}

// FNV-1a, for digests that two runs of a harness can compare.
inline std::uint64_t fnv1a(const void* data, std::size_t size, std::uint64_t h = 1469598103934665603ULL) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  return h;
}

}  // namespace fuzz
