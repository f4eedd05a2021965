// Seconds of the exact diameter on the shared pool (sized by RAYON_NUM_THREADS).
//
//   bench_diameter [--n N] [--dims 128,768] [--metrics cosine,euclidean] [--repeat R]
//                  [--input FILE] [--filter exact|avx2|avx512vnni]
//
// The rows are standard normal, or with --input the n x d float32 values of
// FILE (raw, row-major, one d in --dims), so other tools can time the same data.
// Prints one line per case: "diameter metric=M n=N d=D threads=T seconds=S
// cpu_seconds=C pair_gflops=G exact_share=E d_max=X i=I j=J"; the best of R
// runs is reported. exact_share is the share of all pairs that went to the
// exact kernel; --filter forces a build of the screen (exact: none). cpu_seconds
// is the process's CPU time of that run (all threads), which shows the
// kernel's own cost when the machine is busy.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "farthest.hpp"
#include "filter.hpp"
#include "metric.hpp"
#include "points.hpp"
#include "pool.hpp"

namespace {

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 20000;
  int repeat = 1;
  std::string dims = "128,768", metrics = "cosine,euclidean", input;
  for (int a = 1; a + 1 < argc; a += 2) {
    const std::string flag = argv[a];
    if (flag == "--n") n = std::strtoull(argv[a + 1], nullptr, 10);
    else if (flag == "--dims") dims = argv[a + 1];
    else if (flag == "--metrics") metrics = argv[a + 1];
    else if (flag == "--repeat") repeat = std::atoi(argv[a + 1]);
    else if (flag == "--input") input = argv[a + 1];
    else if (flag == "--filter") {
      const std::string name = argv[a + 1];
      const auto level = name == "exact"  ? tarvex::FilterLevel::Exact
                         : name == "avx2" ? tarvex::FilterLevel::Avx2
                                          : tarvex::FilterLevel::Avx512Vnni;
      if (name != "exact" && name != "avx2" && name != "avx512vnni") {
        std::fprintf(stderr, "--filter is exact, avx2 or avx512vnni\n");
        return 2;
      }
      if (!tarvex::filter_level_supported(level)) {
        std::fprintf(stderr, "this processor cannot run the %s screen\n", name.c_str());
        return 2;
      }
      tarvex::testing::force_filter_level(level);
    }
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[a]);
      return 2;
    }
  }
  if (n < 2 || repeat < 1) {
    std::fprintf(stderr, "need --n >= 2 and --repeat >= 1\n");
    return 2;
  }
  std::printf("# kernels=%s filter=%s threads=%zu\n",
              tarvex::kernel_level_name(tarvex::active_kernel_level()),
              tarvex::active_filter().name, tarvex::pool::size());
  for (const auto& dim_text : split(dims)) {
    const std::size_t dim = std::strtoull(dim_text.c_str(), nullptr, 10);
    std::vector<float> values(n * dim);
    if (!input.empty()) {
      std::FILE* f = std::fopen(input.c_str(), "rb");
      const bool read = f != nullptr && std::fread(values.data(), sizeof(float), values.size(), f) ==
                                            values.size();
      if (f != nullptr) std::fclose(f);
      if (!read) {
        std::fprintf(stderr, "cannot read %zu x %zu floats from %s\n", n, dim, input.c_str());
        return 1;
      }
    } else {
      std::mt19937 rng(12345);
      std::normal_distribution<float> normal;
      for (auto& x : values) x = normal(rng);
    }
    for (const auto& metric_text : split(metrics)) {
      const auto metric =
          metric_text == "cosine" ? tarvex::Metric::Cosine : tarvex::Metric::Euclidean;
      auto points = tarvex::Points::borrowed(values, dim, metric);
      if (!points) {
        std::fprintf(stderr, "bad input\n");
        return 1;
      }
      double best = 1e300, best_cpu = 0.0;
      tarvex::FarPair far{};
      tarvex::DiameterStats stats;
      for (int r = 0; r < repeat; ++r) {
        stats.exact_pairs = 0;
        const double cpu_start = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        // Not Points::diameter, which is computed once per matrix.
        far = tarvex::exact_farthest_pair(points->values(), points->n(), dim, metric, &stats);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) {
          best = took.count();
          best_cpu = cpu_seconds() - cpu_start;
        }
      }
      const double pairs = 0.5 * static_cast<double>(n) * static_cast<double>(n - 1);
      std::printf(
          "diameter metric=%s n=%zu d=%zu threads=%zu seconds=%.4f cpu_seconds=%.4f pair_gflops=%.1f "
          "exact_share=%.3g d_max=%.9g i=%zu j=%zu\n",
          metric_text.c_str(), n, dim, tarvex::pool::size(), best, best_cpu,
          2.0 * pairs * static_cast<double>(dim) / best * 1e-9,
          static_cast<double>(stats.exact_pairs.load()) / pairs, far.d, far.i, far.j);
      std::fflush(stdout);
    }
  }
  return 0;
}
