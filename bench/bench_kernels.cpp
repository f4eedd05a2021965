// GFLOP/s of each build of the one-pair kernels that this
// processor supports, counting 2 flops per element as the performance notes do
// (sq_euclid really does 3: a subtraction, a multiplication and an addition).
//
// For each d, a block of rows that fits in L1 (at most 32 KiB, at least 4
// rows) is filled with random values; one pass calls the kernel on every pair
// i < j of the block. The block starts `offset` bytes (default 16) past a
// 64-byte boundary, where NumPy and malloc put large arrays; with d a multiple
// of 16 every 64-byte load then spans two cache lines. An offset of 0 shows
// the aligned case. The pass is repeated so that one run takes about
// `seconds` (default 0.2); each figure is the best of three such runs. Time is
// the thread's CPU time, so that other processes sharing the machine do not
// count against the kernel (their cache and core sharing still can).
//
//   bench_kernels [seconds [offset]]
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "metric.hpp"

namespace {

using tarvex::KernelLevel;

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

constexpr std::size_t kDims[] = {16, 100, 128, 384, 768, 1536};
constexpr std::size_t kBlockBytes = 32 * 1024;
constexpr int kRuns = 3;

volatile std::uint32_t g_sink;

struct Block {
  std::size_t rows, dim;
  std::vector<float> storage;
  const float* values;
  std::size_t pairs() const { return rows * (rows - 1) / 2; }
};

Block make_block(std::size_t dim, std::size_t offset_bytes) {
  Block block{std::max<std::size_t>(4, kBlockBytes / (dim * sizeof(float))), dim, {}, nullptr};
  block.storage.resize(block.rows * dim + 32);
  auto start = reinterpret_cast<std::uintptr_t>(block.storage.data());
  start = (start + 63) / 64 * 64 + offset_bytes;
  float* values = reinterpret_cast<float*>(start);
  std::mt19937 rng(static_cast<std::uint32_t>(dim));
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (std::size_t p = 0; p < block.rows * dim; ++p) values[p] = u(rng);
  block.values = values;
  return block;
}

// A kernel call: a build (or the dispatch when `dispatch` is set) and a flag.
struct Kernel {
  bool squared;
  bool dispatch;
  KernelLevel level;
  float operator()(const float* a, const float* b, std::size_t m) const {
    if (dispatch) return squared ? tarvex::sq_euclid(a, b, m) : tarvex::dot(a, b, m);
    return squared ? tarvex::sq_euclid_with(level, a, b, m) : tarvex::dot_with(level, a, b, m);
  }
};

double seconds_for(const Kernel& kernel, const Block& block, std::size_t passes) {
  std::uint32_t sink = 0;
  const float* v = block.values;
  const std::size_t d = block.dim;
  const double start = thread_seconds();
  for (std::size_t pass = 0; pass < passes; ++pass) {
    for (std::size_t i = 0; i < block.rows; ++i) {
      for (std::size_t j = i + 1; j < block.rows; ++j) {
        float r = kernel(v + i * d, v + j * d, d);
        std::uint32_t b;
        __builtin_memcpy(&b, &r, sizeof b);
        sink ^= b;
      }
    }
  }
  const double elapsed = thread_seconds() - start;
  g_sink = g_sink ^ sink;
  return elapsed;
}

double gflops(const Kernel& kernel, const Block& block, double target_seconds) {
  // Calibrate the number of passes, then keep the best of kRuns runs.
  std::size_t passes = 1;
  double t = seconds_for(kernel, block, passes);
  while (t < 0.02) {
    passes *= 2;
    t = seconds_for(kernel, block, passes);
  }
  passes = std::max<std::size_t>(1, static_cast<std::size_t>(passes * target_seconds / t));
  double best = 1e300;
  for (int run = 0; run < kRuns; ++run) best = std::min(best, seconds_for(kernel, block, passes));
  const double flops = 2.0 * static_cast<double>(block.dim) * static_cast<double>(block.pairs()) *
                       static_cast<double>(passes);
  return flops / best * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const double target_seconds = argc > 1 ? std::atof(argv[1]) : 0.2;
  const long offset = argc > 2 ? std::atol(argv[2]) : 16;
  if (!(target_seconds > 0.0) || offset < 0 || offset >= 64 || offset % 4 != 0) {
    std::fprintf(stderr, "usage: %s [seconds per run [offset: 0, 4, ..., 60 bytes]]\n", argv[0]);
    return 2;
  }
  std::vector<KernelLevel> levels;
  for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
    if (tarvex::kernel_level_supported(level)) levels.push_back(level);
  }
  const bool has_both_wide = tarvex::kernel_level_supported(KernelLevel::Avx512);

  std::printf(
      "one-pair kernels, GFLOP/s at 2 flops per element, best of %d runs of ~%.2f s of thread "
      "CPU time\n",
      kRuns, target_seconds);
  std::printf(
      "active build: %s; all pairs i < j of an L1-resident block (<= %zu KiB) starting %ld "
      "bytes past a 64-byte boundary\n\n",
      tarvex::kernel_level_name(tarvex::active_kernel_level()), kBlockBytes / 1024, offset);
  std::printf("%-9s %5s %5s %7s", "kernel", "d", "rows", "pairs");
  for (KernelLevel level : levels) std::printf(" %9s", tarvex::kernel_level_name(level));
  std::printf(" %9s", "dispatch");
  if (has_both_wide) std::printf(" %12s", "avx512/avx2");
  std::printf("\n");

  for (bool squared : {false, true}) {
    for (std::size_t dim : kDims) {
      const Block block = make_block(dim, static_cast<std::size_t>(offset));
      std::printf("%-9s %5zu %5zu %7zu", squared ? "sq_euclid" : "dot", dim, block.rows,
                  block.pairs());
      std::fflush(stdout);
      double avx2 = 0, avx512 = 0;
      for (KernelLevel level : levels) {
        const double g = gflops(Kernel{squared, false, level}, block, target_seconds);
        if (level == KernelLevel::Avx2) avx2 = g;
        if (level == KernelLevel::Avx512) avx512 = g;
        std::printf(" %9.2f", g);
        std::fflush(stdout);
      }
      const Kernel dispatched{squared, true, KernelLevel::Baseline};
      std::printf(" %9.2f", gflops(dispatched, block, target_seconds));
      if (has_both_wide) std::printf(" %12.2f", avx512 / avx2);
      std::printf("\n");
    }
  }
  return 0;
}
