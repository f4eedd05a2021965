// Marginal-gain evaluations of the plain scan against the lazy greedy on one
// facility-location instance, where each evaluation costs n distances.
//
//   bench_celf [--n 5000] [--d 64] [--k 50] [--seed 1] [--metric euclidean|cosine]
//
// The rows are standard normal. Two thresholds are run: 0 (the plain greedy
// stage) and the median of the distances from row 0, which shuts many rows out.
// Prints one line per variant and threshold: "celf threshold=T variant=V
// evaluations=E selected=S seconds=X", then whether both variants agree.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "greedy.hpp"
#include "points.hpp"
#include "utility.hpp"

namespace {

using namespace tarvex;

class CountingUtility final : public Utility {
 public:
  explicit CountingUtility(std::unique_ptr<Utility> inner) : inner_(std::move(inner)) {}
  double marginal(std::size_t index, const Points& points) const override {
    ++evaluations;
    return inner_->marginal(index, points);
  }
  void commit(std::size_t index, const Points& points) override { inner_->commit(index, points); }
  void reset() override { inner_->reset(); }
  bool is_linear() const override { return inner_->is_linear(); }
  Status validate(const Points& points) const override { return inner_->validate(points); }
  std::unique_ptr<Utility> boxed_clone() const override {
    return std::make_unique<CountingUtility>(inner_->boxed_clone());
  }
  mutable std::size_t evaluations = 0;

 private:
  std::unique_ptr<Utility> inner_;
};

struct Outcome {
  Selection selected;
  std::size_t evaluations;
  double seconds;
};

template <class Run>
Outcome measure(Run run, const Points& points, CountingUtility& utility, std::size_t k, float d) {
  utility.evaluations = 0;
  const auto start = std::chrono::steady_clock::now();
  Selection s = run(points, utility, k, d, nullptr);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {std::move(s), utility.evaluations, took.count()};
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 5000, dim = 64, k = 50;
  unsigned seed = 1;
  Metric metric = Metric::Euclidean;
  for (int a = 1; a + 1 < argc; a += 2) {
    const std::string flag = argv[a];
    if (flag == "--n") n = std::strtoull(argv[a + 1], nullptr, 10);
    else if (flag == "--d") dim = std::strtoull(argv[a + 1], nullptr, 10);
    else if (flag == "--k") k = std::strtoull(argv[a + 1], nullptr, 10);
    else if (flag == "--seed") seed = static_cast<unsigned>(std::strtoul(argv[a + 1], nullptr, 10));
    else if (flag == "--metric") metric = std::string(argv[a + 1]) == "cosine" ? Metric::Cosine : Metric::Euclidean;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[a]);
      return 2;
    }
  }

  std::mt19937 rng(seed);
  std::normal_distribution<float> normal;
  std::vector<float> values(n * dim);
  for (auto& v : values) v = normal(rng);
  auto points = Points::borrowed(values, dim, metric);
  if (!points) {
    std::fprintf(stderr, "%s\n", points.error().to_string().c_str());
    return 1;
  }
  CountingUtility utility(std::make_unique<FacilityLocation>(FacilityLocation::create(*points)));

  std::vector<float> from_first;
  for (std::size_t j = 1; j < n; ++j) from_first.push_back(points->dist(0, j));
  std::nth_element(from_first.begin(), from_first.begin() + from_first.size() / 2, from_first.end());
  const float median = from_first.empty() ? 0.0f : from_first[from_first.size() / 2];

  std::printf("celf n=%zu d=%zu k=%zu metric=%s seed=%u\n", n, dim, k,
              metric == Metric::Cosine ? "cosine" : "euclidean", seed);
  bool agree = true;
  for (float threshold : {0.0f, median}) {
    const Outcome lazy = measure(run_celf, *points, utility, k, threshold);
    const Outcome scan = measure(run_scan, *points, utility, k, threshold);
    for (const auto& [name, o] : {std::pair{"celf", &lazy}, std::pair{"scan", &scan}}) {
      std::printf("celf threshold=%g variant=%s evaluations=%zu selected=%zu seconds=%.3f\n",
                  static_cast<double>(threshold), name, o->evaluations, o->selected.size(), o->seconds);
    }
    agree = agree && lazy.selected == scan.selected;
  }
  std::printf("celf selections_agree=%s\n", agree ? "yes" : "no");
  return agree ? 0 : 1;
}
