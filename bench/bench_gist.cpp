// Seconds per stage of one whole gist call on the shared pool (sized by
// RAYON_NUM_THREADS), cosine distance, standard normal rows.
//
//   bench_gist [--n 2000,10000,100000] [--utilities linear,coverage,facility_location]
//              [--diameters exact,approx] [--dim 128] [--k 100] [--lam 1] [--eps 0.1]
//              [--fl-max-n 2000] [--greedy-only 1] [--metric cosine] [--budget BYTES]
//              [--shift 0]
//
// Linear weights are uniform in [0, 1); coverage gives every row 20 distinct
// random items out of 10000; facility location is built from the points.
// One facility-location gain costs n distances, and on such data the lazy
// greedy re-evaluates most rows at every pick, so each of its greedy runs
// costs about k n^2 distances: above --fl-max-n its row is not run but scaled
// from the largest measured n by (n / n0)^2 and marked "EXTRAPOLATED" (its
// diameter column is the one measured for another utility at that n).
// Prints one line per case with the stage times, the call's process CPU time
// (all threads; it shows how busy the machine was), the threshold count, the
// winning stage and the result's size and f. --greedy-only 1 times just one
// greedy run at threshold 0.0 per case, to check how a stage scales with n.
// --budget sets the matrix's cache budget (default: a quarter of the memory
// the process may use); each line ends with the cache's peak use, the
// process's peak RSS so far and a hash of the selection. --save-rows PATH
// writes the rows of the first n as a .npy file and exits, so that other
// implementations can run on the same data. --shift adds the same value to
// every coordinate: rows that share a direction, as embeddings often do, so
// that nearly every cosine similarity is positive (0.5 gives a mean of 0.2).
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gist.hpp"
#include "metric.hpp"
#include "pool.hpp"

namespace {

using namespace tarvex;

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

std::unique_ptr<Utility> make_utility(const std::string& kind, const Points& points,
                                      std::mt19937_64& rng) {
  const std::size_t n = points.n();
  if (kind == "linear") {
    std::uniform_real_distribution<double> weight(0.0, 1.0);
    std::vector<double> weights(n);
    for (double& w : weights) w = weight(rng);
    return std::make_unique<Linear>(std::move(weights));
  }
  if (kind == "coverage") {
    constexpr std::size_t kUniverse = 10000, kPerRow = 20;
    std::uniform_int_distribution<std::uint32_t> item(0, kUniverse - 1);
    std::vector<std::vector<std::uint32_t>> sets(n);
    for (auto& list : sets) {
      while (list.size() < kPerRow) {
        const std::uint32_t id = item(rng);
        bool seen = false;
        for (std::uint32_t x : list) seen = seen || x == id;
        if (!seen) list.push_back(id);
      }
    }
    return std::make_unique<Coverage>(std::move(Coverage::create(std::move(sets), kUniverse).value()));
  }
  if (kind == "facility_location") {
    return std::make_unique<FacilityLocation>(FacilityLocation::create(points));
  }
  return nullptr;
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Row {
  StageTimes t;
  double total = 0.0;
  double cpu = 0.0;
};

void print_row(const char* utility, const char* diameter, std::size_t n, const Row& row,
               const char* tail) {
  std::printf("%-17s %-6s %7zu | %9.3f %9.3f %9.3f %9.3f %9.3f | %9.3f %9.3f | %s\n", utility,
              diameter, n, row.t.diameter, row.t.greedy, row.t.pair, row.t.sweep, row.t.rebuild,
              row.total, row.cpu, tail);
}

// NumPy's format 1.0: magic, header length, a dict padded so the data starts
// at a multiple of 64 bytes.
bool save_npy(const std::string& path, const std::vector<float>& values, std::size_t n,
              std::size_t dim) {
  std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + std::to_string(n) +
                       ", " + std::to_string(dim) + "), }";
  header.append(64 - (10 + header.size() + 1) % 64, ' ');
  header += '\n';
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const unsigned char magic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
  const unsigned char size[2] = {static_cast<unsigned char>(header.size() & 0xff),
                                 static_cast<unsigned char>(header.size() >> 8)};
  bool ok = std::fwrite(magic, 1, 8, out) == 8 && std::fwrite(size, 1, 2, out) == 2 &&
            std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
            std::fwrite(values.data(), sizeof(float), values.size(), out) == values.size();
  ok = std::fclose(out) == 0 && ok;
  if (!ok) std::perror(path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ns = "2000,10000,100000", utilities = "linear,coverage,facility_location",
              diameters = "exact,approx";
  std::size_t dim = 128, k = 100, fl_max_n = 2000;
  bool greedy_only = false;
  long long cache_budget = -1;
  Metric metric = Metric::Cosine;
  double lam = 1.0;
  float eps = 0.1f, shift = 0.0f;
  std::string save_rows;
  for (int a = 1; a + 1 < argc; a += 2) {
    const std::string flag = argv[a], value = argv[a + 1];
    if (flag == "--n") ns = value;
    else if (flag == "--utilities") utilities = value;
    else if (flag == "--diameters") diameters = value;
    else if (flag == "--dim") dim = std::strtoull(value.c_str(), nullptr, 10);
    else if (flag == "--k") k = std::strtoull(value.c_str(), nullptr, 10);
    else if (flag == "--lam") lam = std::strtod(value.c_str(), nullptr);
    else if (flag == "--eps") eps = std::strtof(value.c_str(), nullptr);
    else if (flag == "--greedy-only") greedy_only = value == "1";
    else if (flag == "--budget") cache_budget = std::strtoll(value.c_str(), nullptr, 10);
    else if (flag == "--metric") metric = value == "euclidean" ? Metric::Euclidean : Metric::Cosine;
    else if (flag == "--fl-max-n") fl_max_n = std::strtoull(value.c_str(), nullptr, 10);
    else if (flag == "--save-rows") save_rows = value;
    else if (flag == "--shift") shift = std::strtof(value.c_str(), nullptr);
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[a]);
      return 2;
    }
  }

  std::printf("# gist %s d=%zu k=%zu lam=%g eps=%g kernels=%s threads=%zu\n",
              metric == Metric::Cosine ? "cosine" : "euclidean", dim, k, lam,
              static_cast<double>(eps), kernel_level_name(active_kernel_level()), pool::size());
  std::printf("# seconds per stage (wall clock)\n");
  std::printf("%-17s %-6s %7s | %9s %9s %9s %9s %9s | %9s %9s |\n", "utility", "diam", "n",
              "diameter", "greedy", "pair", "sweep", "rebuild", "total", "cpu");

  std::map<std::tuple<std::string, std::string>, std::pair<std::size_t, Row>> measured_fl;
  std::map<std::tuple<std::string, std::size_t>, double> diameter_seconds;
  for (const std::string& n_text : split(ns)) {
    const std::size_t n = std::strtoull(n_text.c_str(), nullptr, 10);
    std::mt19937_64 rng(12345 + n);
    std::normal_distribution<float> normal;
    std::vector<float> values(n * dim);
    for (float& v : values) v = normal(rng) + shift;
    if (!save_rows.empty()) return save_npy(save_rows, values, n, dim) ? 0 : 1;

    for (const std::string& utility_name : split(utilities)) {
      for (const std::string& diameter : split(diameters)) {
        const bool exact = diameter == "exact";
        if (utility_name == "facility_location" && n > fl_max_n && !greedy_only) {
          const auto found = measured_fl.find({utility_name, diameter});
          if (found == measured_fl.end()) {
            print_row(utility_name.c_str(), diameter.c_str(), n, Row{}, "skipped (no smaller n measured)");
            continue;
          }
          const double scale = static_cast<double>(n) / static_cast<double>(found->second.first);
          const Row& base = found->second.second;
          Row row;
          const auto d = diameter_seconds.find({diameter, n});
          row.t.diameter = d != diameter_seconds.end() ? d->second : 0.0;
          row.t.greedy = base.t.greedy * scale * scale;
          row.t.pair = base.t.pair * scale * scale;
          row.t.sweep = base.t.sweep * scale * scale;
          row.t.rebuild = base.t.rebuild * scale * scale;
          row.total = row.t.diameter + row.t.greedy + row.t.pair + row.t.sweep + row.t.rebuild;
          row.cpu = base.cpu * scale * scale;
          char tail[96];
          std::snprintf(tail, sizeof tail, "EXTRAPOLATED from n=%zu by (n/n0)^2, not run",
                        found->second.first);
          print_row(utility_name.c_str(), diameter.c_str(), n, row, tail);
          continue;
        }

        // A matrix per call, as the module builds one: it caches columns and
        // its diameter for the call it serves.
        const Points points = std::move(Points::borrowed(values, dim, metric).value());
        if (cache_budget >= 0) points.ledger().set_budget(static_cast<std::size_t>(cache_budget));
        const auto utility = make_utility(utility_name, points, rng);
        if (!utility) {
          std::fprintf(stderr, "unknown utility %s\n", utility_name.c_str());
          return 2;
        }
        if (greedy_only) {
          const double cpu0 = cpu_seconds();
          const auto start = std::chrono::steady_clock::now();
          const Selection s = greedy_independent_set(points, *utility, k, 0.0f);
          const double wall =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          std::printf("%-17s %-6s %7zu | one greedy run: %.3f s wall, %.3f s cpu, |S|=%zu\n",
                      utility_name.c_str(), "-", n, wall, cpu_seconds() - cpu0, s.size());
          std::fflush(stdout);
          break;  // the diameter mode plays no part
        }
        GistParams params;
        params.k = k;
        params.lam = lam;
        params.eps = eps;
        params.diameter = exact ? DiameterMode{DiameterExact{}} : DiameterMode{DiameterApprox{3}};

        Row row;
        const double cpu0 = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        const auto result = gist(points, *utility, params, &row.t);
        row.total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        row.cpu = cpu_seconds() - cpu0;
        if (!result) {
          std::fprintf(stderr, "gist failed: %s\n", result.error().to_string().c_str());
          return 1;
        }
        const double bound = (exact ? 2.0 : 4.0) / static_cast<double>(eps);
        const std::size_t thresholds = thresholds_with_bound(result->d_max, eps, bound).size();
        std::uint64_t hash = 1469598103934665603ull;
        for (std::size_t s : result->selected) hash = (hash ^ s) * 1099511628211ull;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        char tail[320];
        std::snprintf(tail, sizeof tail,
                      "thresholds=%zu stage=%s |S|=%zu f=%.17g d_max=%.6g cache_peak=%.0fMB "
                      "budget=%.0fMB rss_peak=%.0fMB sel=%016llx",
                      thresholds, std::string(stage_text(result->stage)).c_str(),
                      result->selected.size(), result->f_value, static_cast<double>(result->d_max),
                      static_cast<double>(points.ledger().peak()) / 1e6,
                      static_cast<double>(points.ledger().budget()) / 1e6,
                      static_cast<double>(usage.ru_maxrss) / 1e3,
                      static_cast<unsigned long long>(hash));
        print_row(utility_name.c_str(), diameter.c_str(), n, row, tail);
        std::fflush(stdout);
        diameter_seconds[{diameter, n}] = row.t.diameter;
        if (utility_name == "facility_location") measured_fl[{utility_name, diameter}] = {n, row};
      }
    }
  }
  return 0;
}
