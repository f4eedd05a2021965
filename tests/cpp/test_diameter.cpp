#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "filter.hpp"
#include "metric.hpp"
#include "points.hpp"

namespace tarvex {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr KernelLevel kLevels[] = {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512};

std::vector<float> normal_values(std::size_t count, unsigned seed, float scale = 1.0f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, scale);
  std::vector<float> v(count);
  for (auto& x : v) x = normal(rng);
  return v;
}

// Values that make rounding order visible: wide exponent range, cancelling
// signs, subnormals, signed zeros, and squares that overflow.
std::vector<float> adversarial_values(std::size_t count, unsigned seed, bool overflow = true) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> kind(0, 9);
  // Cosine rejects rows whose squares overflow.
  const float huge = overflow ? 3e19f : 3e9f;
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::vector<float> v(count);
  for (auto& x : v) {
    switch (kind(rng)) {
      case 0: x = 0.0f; break;
      case 1: x = -0.0f; break;
      case 2: x = unit(rng) * 1e-39f; break;  // subnormal
      case 3: x = unit(rng) * huge; break;  // square overflows
      case 4: x = 1.0f + unit(rng) * 1e-7f; break;
      default: x = std::ldexp(unit(rng), exponent(rng)); break;
    }
  }
  return v;
}

Points make_points(const std::vector<float>& values, std::size_t dim, Metric metric) {
  auto made = Points::borrowed(values, dim, metric);
  EXPECT_TRUE(made.has_value());
  return std::move(*made);
}

FarPair brute_force_diameter(const Points& p) {
  if (p.n() < 2) return FarPair{0.0f, 0, 0};
  FarPair best = kPairIdentity;
  for (std::size_t i = 0; i < p.n(); ++i)
    for (std::size_t j = i + 1; j < p.n(); ++j) best = better_pair(best, {p.dist(i, j), i, j});
  return best;
}

std::string show(const FarPair& p) {
  char text[96];
  std::snprintf(text, sizeof text, "(%.9g [%08x], %zu, %zu)", p.d,
                std::bit_cast<std::uint32_t>(p.d), p.i, p.j);
  return text;
}

bool same_bits(const FarPair& a, const FarPair& b) {
  return std::bit_cast<std::uint32_t>(a.d) == std::bit_cast<std::uint32_t>(b.d) && a.i == b.i &&
         a.j == b.j;
}

TEST(BetterPair, DistanceThenSmallerRowThenSmallerColumn) {
  const FarPair far{2.0f, 5, 9}, near{1.0f, 0, 1};
  EXPECT_EQ(better_pair(far, near), far);
  EXPECT_EQ(better_pair(near, far), far);
  EXPECT_EQ(better_pair(FarPair{1.0f, 3, 9}, FarPair{1.0f, 2, 9}), (FarPair{1.0f, 2, 9}));
  EXPECT_EQ(better_pair(FarPair{1.0f, 2, 9}, FarPair{1.0f, 2, 4}), (FarPair{1.0f, 2, 4}));
  // Total order: +0.0 above -0.0, NaN above infinity, the identity below all.
  EXPECT_EQ(better_pair(FarPair{-0.0f, 0, 1}, FarPair{0.0f, 7, 8}).i, 7u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(better_pair(FarPair{kInf, 0, 1}, FarPair{nan, 7, 8}).i, 7u);
  EXPECT_EQ(better_pair(kPairIdentity, FarPair{0.0f, 0, 1}), (FarPair{0.0f, 0, 1}));
  EXPECT_EQ(better_pair(FarPair{-kInf, 3, 4}, kPairIdentity), (FarPair{-kInf, 3, 4}));
}

TEST(BetterPair, AnyReductionOrderGivesTheSameWinner) {
  const std::vector<FarPair> pairs = {{1.0f, 4, 5}, {3.0f, 6, 7}, {3.0f, 2, 9}, {0.0f, 0, 1},
                                      {3.0f, 2, 8}, {-0.0f, 1, 2}, {2.5f, 0, 3}};
  FarPair forward = kPairIdentity, backward = kPairIdentity;
  for (const auto& p : pairs) forward = better_pair(forward, p);
  for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) backward = better_pair(*it, backward);
  const FarPair tree = better_pair(better_pair(better_pair(pairs[0], pairs[1]), pairs[2]),
                                   better_pair(better_pair(pairs[3], pairs[4]),
                                               better_pair(pairs[5], pairs[6])));
  EXPECT_EQ(forward, (FarPair{3.0f, 2, 8}));
  EXPECT_EQ(backward, forward);
  EXPECT_EQ(tree, forward);
}

TEST(Diameter, OneRowAndTwoRows) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    const std::vector<float> one = {3.0f, 4.0f};
    EXPECT_EQ(make_points(one, 2, metric).diameter(), (FarPair{0.0f, 0, 0}));
    const std::vector<float> two = {3.0f, 4.0f, -1.0f, 2.0f};
    const Points p = make_points(two, 2, metric);
    const FarPair got = p.diameter();
    EXPECT_TRUE(same_bits(got, FarPair{p.dist(0, 1), 0, 1})) << show(got);
  }
}

// Every size around the tile, strip and block edges, against all pairs.
TEST(Diameter, MatchesAllPairsBitForBit) {
  const std::size_t dims[] = {1, 3, 16, 17, 100};
  const std::size_t ns[] = {2, 3, 4, 5, 7, 31, 32, 33, 65, 130};
  unsigned seed = 1;
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (std::size_t dim : dims) {
      for (std::size_t n : ns) {
        const auto values = normal_values(n * dim, seed++);
        const Points p = make_points(values, dim, metric);
        const FarPair want = brute_force_diameter(p);
        const FarPair got = p.diameter();
        EXPECT_TRUE(same_bits(got, want))
            << "n=" << n << " dim=" << dim << " got " << show(got) << " want " << show(want);
      }
    }
  }
  // Many rows: several column blocks per strip.
  const auto values = adversarial_values(1500 * 5, 99);
  const Points p = make_points(values, 5, Metric::Euclidean);
  EXPECT_TRUE(same_bits(p.diameter(), brute_force_diameter(p)));
}

// Rows alternating between two points: a quarter of all pairs are farthest.
std::vector<float> two_clusters(std::size_t n, std::size_t dim, std::size_t first_far) {
  std::vector<float> v(n * dim, 1.0f);
  for (std::size_t r = first_far; r < n; r += 2)
    for (std::size_t c = 0; c < dim; ++c) v[r * dim + c] = -1.0f;
  return v;
}

TEST(Diameter, TiesGoToTheSmallestRowThenColumn) {
  for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
    for (std::size_t dim : {1u, 19u}) {
      const auto alternating = two_clusters(203, dim, 1);
      const Points p = make_points(alternating, dim, metric);
      const FarPair got = p.diameter();
      EXPECT_EQ(got.i, 0u);
      EXPECT_EQ(got.j, 1u);
      EXPECT_TRUE(same_bits(got, brute_force_diameter(p)));
      // The first far pair only appears late.
      auto late = std::vector<float>(150 * dim, 1.0f);
      for (std::size_t c = 0; c < dim; ++c) {
        late[97 * dim + c] = -1.0f;
        late[140 * dim + c] = -1.0f;
      }
      const Points q = make_points(late, dim, metric);
      EXPECT_EQ(q.diameter().i, 0u);
      EXPECT_EQ(q.diameter().j, 97u);
      EXPECT_TRUE(same_bits(q.diameter(), brute_force_diameter(q)));
    }
  }
  const std::vector<float> same(40 * 3, 2.5f);
  EXPECT_EQ(make_points(same, 3, Metric::Euclidean).diameter(), (FarPair{0.0f, 0, 1}));
}

// Under cosine a row's distance to itself (1 - its dot with itself) can be
// rounding noise above 0; a scan that let a row pair with itself would pick it
// over real pairs that are all closer.
TEST(Diameter, NeverPairsARowWithItself) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> ulps(-3, 3);
  bool found = false;
  for (unsigned seed = 0; seed < 20000 && !found; ++seed) {
    std::vector<float> rows = normal_values(16, seed);
    for (std::size_t r = 1; r < 4; ++r) {
      for (std::size_t c = 0; c < 16; ++c) {
        float x = rows[c];
        for (int k = ulps(rng); k != 0; k += k < 0 ? 1 : -1) x = std::nextafter(x, k < 0 ? -kInf : kInf);
        rows.push_back(x);
      }
    }
    const Points p = make_points(rows, 16, Metric::Cosine);
    const FarPair want = brute_force_diameter(p);
    float self = 0.0f;
    for (std::size_t r = 1; r < 4; ++r) self = std::max(self, 1.0f - dot(p.row(r), p.row(r), 16));
    if (self <= want.d) continue;
    found = true;
    EXPECT_TRUE(same_bits(p.diameter(), want)) << show(p.diameter()) << " want " << show(want);
    for (KernelLevel level : kLevels) {
      if (!kernel_level_supported(level)) continue;
      const BlockFarthest got = farthest_in_block_with(level, p.values(), 16, Metric::Cosine, 0, 4, 0, 4);
      EXPECT_TRUE(same_bits({got.d, got.i, got.j}, want)) << kernel_level_name(level);
    }
  }
  ASSERT_TRUE(found) << "no input with a self-distance above every pair";
}

TEST(TileKernels, EveryPairBitIdenticalToThePairwiseKernels) {
  const std::size_t lengths[] = {0, 1, 3, 8, 15, 16, 17, 31, 33, 100, 128, 767, 768, 769};
  unsigned seed = 7;
  for (KernelLevel level : kLevels) {
    if (!kernel_level_supported(level)) continue;
    for (std::size_t m : lengths) {
      for (bool adversarial : {false, true}) {
        // Eight distinct rows; the tile also sees a row paired with itself.
        const auto values = adversarial ? adversarial_values(8 * m + 1, seed++)
                                        : normal_values(8 * m + 1, seed++, 3.0f);
        const float* base = values.data() + 1;  // unaligned on purpose
        const float* a[4] = {base, base + m, base + 2 * m, base + 3 * m};
        const float* b[4] = {base + 4 * m, base + 2 * m, base + 6 * m, base + 7 * m};
        float dots[16], squares[16];
        dot_tile_with(level, a, b, m, dots);
        sq_euclid_tile_with(level, a, b, m, squares);
        for (std::size_t p = 0; p < 16; ++p) {
          const float* x = a[p / 4];
          const float* y = b[p % 4];
          EXPECT_EQ(std::bit_cast<std::uint32_t>(dots[p]), std::bit_cast<std::uint32_t>(dot(x, y, m)))
              << kernel_level_name(level) << " m=" << m << " pair " << p;
          EXPECT_EQ(std::bit_cast<std::uint32_t>(squares[p]),
                    std::bit_cast<std::uint32_t>(sq_euclid(x, y, m)))
              << kernel_level_name(level) << " m=" << m << " pair " << p;
        }
      }
    }
  }
}

FarPair brute_force_block(const Points& p, std::size_t ib, std::size_t ie, std::size_t jb,
                          std::size_t je) {
  FarPair best = kPairIdentity;
  for (std::size_t i = ib; i < ie; ++i)
    for (std::size_t j = std::max(jb, i + 1); j < je; ++j)
      best = better_pair(best, {p.dist(i, j), i, j});
  return best;
}

TEST(TileKernels, BlockScanFindsTheFarthestPairAtEveryLevel) {
  struct Block {
    std::size_t ib, ie, jb, je;
  };
  // Overlapping, disjoint, ragged, single-row and empty blocks of 41 rows.
  const Block blocks[] = {{0, 41, 0, 41}, {0, 4, 4, 41},  {3, 10, 5, 38}, {10, 17, 0, 41},
                          {40, 41, 0, 41}, {5, 6, 6, 7},  {20, 30, 0, 20}, {0, 41, 39, 41},
                          {7, 7, 0, 41},  {13, 29, 13, 29}};
  unsigned seed = 31;
  for (KernelLevel level : kLevels) {
    if (!kernel_level_supported(level)) continue;
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      for (std::size_t dim : {1u, 5u, 16u, 47u}) {
        for (bool adversarial : {false, true}) {
          auto values = adversarial ? adversarial_values(41 * dim, seed++, metric == Metric::Euclidean)
                                    : normal_values(41 * dim, seed++);
          if (metric == Metric::Cosine) {
            for (std::size_t r = 0; r < 41; ++r) values[r * dim] += 1.0f;  // no zero rows
          }
          const Points p = make_points(values, dim, metric);
          for (const Block& b : blocks) {
            const BlockFarthest got = farthest_in_block_with(level, p.values(), dim, metric, b.ib,
                                                             b.ie, b.jb, b.je);
            const FarPair want = brute_force_block(p, b.ib, b.ie, b.jb, b.je);
            EXPECT_TRUE(same_bits(FarPair{got.d, got.i, got.j}, want))
                << kernel_level_name(level) << " dim=" << dim << " block [" << b.ib << ", "
                << b.ie << ") x [" << b.jb << ", " << b.je << ") got "
                << show({got.d, got.i, got.j}) << " want " << show(want);
          }
        }
      }
    }
  }
}

// Inputs for the pool-size comparison, each with its own shape.
std::vector<FarPair> diameters_of_fixed_inputs() {
  std::vector<FarPair> out;
  const auto random = normal_values(301 * 37, 2024);
  out.push_back(make_points(random, 37, Metric::Cosine).diameter());
  out.push_back(make_points(random, 37, Metric::Euclidean).diameter());
  const auto ties = two_clusters(257, 8, 3);
  out.push_back(make_points(ties, 8, Metric::Cosine).diameter());
  out.push_back(make_points(ties, 8, Metric::Euclidean).diameter());
  const auto rough = adversarial_values(499 * 3, 5);
  out.push_back(make_points(rough, 3, Metric::Euclidean).diameter());
  return out;
}

TEST(Diameter, SameResultForEveryPoolSize) {
  if (testing::in_child()) {
    const auto results = diameters_of_fixed_inputs();
    for (std::size_t k = 0; k < results.size(); ++k) {
      std::printf("RESULT %zu %08x %zu %zu\n", k, std::bit_cast<std::uint32_t>(results[k].d),
                  results[k].i, results[k].j);
    }
    return;
  }
  const auto here = diameters_of_fixed_inputs();
  for (const char* size : {"1", "2", "3", "8"}) {
    const auto child = testing::rerun_in_child(
        {{"RAYON_NUM_THREADS", size}, {"RAYON_RS_NUM_CPUS", std::nullopt}});
    ASSERT_EQ(child.status, 0) << child.out;
    for (std::size_t k = 0; k < here.size(); ++k) {
      char want[64];
      std::snprintf(want, sizeof want, "%08x %zu %zu", std::bit_cast<std::uint32_t>(here[k].d),
                    here[k].i, here[k].j);
      EXPECT_EQ(testing::child_value(child.out, std::to_string(k)), std::string(want))
          << "input " << k << " with " << size << " workers";
    }
  }
}

// ---- The screen ------------------------------------------------------------

struct Family {
  std::string name;
  std::vector<float> values;
  std::size_t dim;
};

// Inputs where a loose or unsound bound, or a wrong tie, would show.
std::vector<Family> hard_families(bool small) {
  std::vector<Family> out;
  std::mt19937 rng(77);
  const std::size_t n = small ? 60 : 420;
  out.push_back({"gauss", normal_values(n * 37, 3), 37});
  {  // clusters, and a width that is no multiple of 16 or 64
    const std::size_t dim = small ? 20 : 130;
    const auto centres = normal_values(8 * dim, 4, 2.0f);
    auto v = normal_values(n * dim, 5);
    for (std::size_t r = 0; r < n; ++r)
      for (std::size_t c = 0; c < dim; ++c) v[r * dim + c] += centres[(r % 8) * dim + c];
    out.push_back({"clusters", v, dim});
  }
  out.push_back({"ties", two_clusters(small ? 61 : 257, 8, 3), 8});
  {  // one-hot: all pairs equidistant, then rows repeating as well
    for (std::size_t dim : {small ? 40u : 70u, 67u}) {
      const std::size_t rows = dim == 67 ? (small ? 70 : 700) : dim;
      std::vector<float> v(rows * dim, 0.0f);
      for (std::size_t r = 0; r < rows; ++r) v[r * dim + r % dim] = 1.0f;
      out.push_back({"onehot" + std::to_string(rows), v, dim});
    }
  }
  {  // duplicated rows in shuffled order
    const auto base = normal_values((n / 3) * 19, 6);
    std::vector<std::size_t> order(3 * (n / 3));
    for (std::size_t r = 0; r < order.size(); ++r) order[r] = r % (n / 3);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<float> v;
    for (std::size_t r : order) v.insert(v.end(), base.begin() + r * 19, base.begin() + (r + 1) * 19);
    out.push_back({"duplicates", v, 19});
  }
  {  // magnitudes from 1e-15 to 1e15, and rows near a far-away point
    auto wide = normal_values(n * 33, 8);
    auto offset = normal_values(n * 24, 9, 1e-3f);
    std::uniform_real_distribution<float> power(-15.0f, 15.0f);
    for (std::size_t r = 0; r < n; ++r) {
      const float m = std::pow(10.0f, power(rng));
      for (std::size_t c = 0; c < 33; ++c) wide[r * 33 + c] *= m;
    }
    for (auto& x : offset) x += 1e4f;
    out.push_back({"magnitudes", wide, 33});
    out.push_back({"offset", offset, 24});
  }
  {  // an integer grid, nowhere zero in the first coordinate: many exact ties
    std::uniform_int_distribution<int> cell(-3, 3), first(1, 3);
    std::vector<float> v(n * 5);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = static_cast<float>(k % 5 == 0 ? first(rng) : cell(rng));
    out.push_back({"grid", v, 5});
  }
  {  // rounding-order traps, and one coordinate only
    auto v = adversarial_values(n * 3, 10, false);
    for (std::size_t r = 0; r < n; ++r) v[r * 3] += 1.0f;
    out.push_back({"adversarial", v, 3});
    out.push_back({"line", normal_values(n, 11), 1});
  }
  if (!small) out.push_back({"wide", normal_values(700 * 700, 12), 700});  // several blocks per strip
  return out;
}

std::vector<FilterLevel> screen_levels() {
  std::vector<FilterLevel> out;
  for (FilterLevel level : {FilterLevel::Exact, FilterLevel::Avx2, FilterLevel::Avx512Vnni})
    if (filter_level_supported(level)) out.push_back(level);
  return out;
}

struct ForcedFilter {
  explicit ForcedFilter(FilterLevel level) { testing::force_filter_level(level); }
  ~ForcedFilter() { testing::force_filter_level(std::nullopt); }
};

// Every pair passes the screen at the threshold of its own exact distance.
TEST(Screen, BoundIsNeverBelowTheExactDistance) {
  bool screened = false;
  for (FilterLevel level : screen_levels()) {
    const ForcedFilter forced(level);
    const ScreenFn screen = active_filter().screen;
    if (screen == nullptr) continue;
    for (const Family& f : hard_families(true)) {
      for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
        const Points p = make_points(f.values, f.dim, metric);
        const auto codes = QuantisedRows::build(p.values(), p.n(), f.dim, metric, active_filter().code_limit);
        if (!codes) continue;  // e.g. all rows equal
        screened = true;
        Candidates passed;
        passed.capacity = p.n() * p.n();
        std::size_t missed = 0;
        for (std::size_t i = 0; i < p.n(); ++i) {
          for (std::size_t j = i + 1; j < p.n(); ++j) {
            passed.clear();
            ASSERT_TRUE(screen(*codes, 0, p.n(), 0, p.n(), codes->threshold(p.dist(i, j)), passed));
            bool found = false;
            for (std::size_t k = 0; k < passed.i.size() && !found; ++k)
              found = passed.i[k] == i && passed.j[k] == j;
            missed += !found;
          }
        }
        EXPECT_EQ(missed, 0u) << filter_level_name(level) << " " << f.name << " metric "
                              << static_cast<int>(metric);
      }
    }
    // And it is a screen: at the farthest distance few random pairs pass.
    for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
      const auto values = normal_values(400 * 64, 13);
      const Points p = make_points(values, 64, metric);
      const auto codes = QuantisedRows::build(p.values(), p.n(), 64, metric, active_filter().code_limit);
      ASSERT_TRUE(codes.has_value());
      Candidates passed;
      passed.capacity = p.n() * p.n();
      ASSERT_TRUE(screen(*codes, 0, p.n(), 0, p.n(), codes->threshold(p.diameter().d), passed));
      EXPECT_LT(passed.i.size(), p.n() * p.n() / 200) << filter_level_name(level);
    }
  }
  if (!screened) GTEST_SKIP() << "no build of the screen runs here";
}

std::vector<std::string> diameters_of_hard_families() {
  std::vector<std::string> out;
  for (FilterLevel level : screen_levels()) {
    const ForcedFilter forced(level);
    for (const Family& f : hard_families(false)) {
      for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
        const Points p = make_points(f.values, f.dim, metric);
        out.push_back(std::string(filter_level_name(level)) + "/" + f.name + "/" +
                      std::to_string(static_cast<int>(metric)) + " " + show(p.diameter()));
      }
    }
  }
  return out;
}

TEST(Screen, DiameterMatchesAllPairsAtEveryBuildAndPoolSize) {
  if (testing::in_child()) {
    const auto results = diameters_of_hard_families();
    for (std::size_t k = 0; k < results.size(); ++k) std::printf("RESULT %zu %s\n", k, results[k].c_str());
    return;
  }
  std::vector<std::string> want;
  for (FilterLevel level : screen_levels()) {
    for (const Family& f : hard_families(false)) {
      for (Metric metric : {Metric::Cosine, Metric::Euclidean}) {
        const Points p = make_points(f.values, f.dim, metric);
        want.push_back(std::string(filter_level_name(level)) + "/" + f.name + "/" +
                       std::to_string(static_cast<int>(metric)) + " " + show(brute_force_diameter(p)));
      }
    }
  }
  for (const char* size : {"1", "3"}) {
    const auto child = testing::rerun_in_child(
        {{"RAYON_NUM_THREADS", size}, {"RAYON_RS_NUM_CPUS", std::nullopt}});
    ASSERT_EQ(child.status, 0) << child.out;
    for (std::size_t k = 0; k < want.size(); ++k)
      EXPECT_EQ(testing::child_value(child.out, std::to_string(k)), want[k]) << size << " workers";
  }
}

}  // namespace
}  // namespace tarvex
