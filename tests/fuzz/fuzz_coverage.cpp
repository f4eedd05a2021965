// Coverage::create on arbitrary item lists and universes, then an arbitrary
// sequence of marginal, commit, reset and boxed_clone checked against a plain
// set-based model of the covered items.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "points.hpp"
#include "utility.hpp"

using namespace tarvex;

namespace {

using Lists = std::vector<std::vector<std::uint32_t>>;

std::uint32_t read_item(FuzzedDataProvider& in, std::uint32_t spread) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return in.ConsumeIntegral<std::uint32_t>();  // any id, 2^32 - 1 included
    case 1: return std::numeric_limits<std::uint32_t>::max() - in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
    default: return in.ConsumeIntegralInRange<std::uint32_t>(0, spread);
  }
}

Lists read_lists(FuzzedDataProvider& in) {
  const std::uint32_t spread = in.ConsumeBool() ? 15 : in.ConsumeIntegral<std::uint32_t>();
  Lists lists(in.ConsumeIntegralInRange<std::size_t>(0, 24));
  for (auto& list : lists) {
    list.resize(in.ConsumeIntegralInRange<std::size_t>(0, 12));
    for (auto& item : list) item = read_item(in, spread);
  }
  return lists;
}

// The universe the binding passes (1 + the largest id, 0 for no ids), one
// short of it, or any word.
std::size_t read_universe(FuzzedDataProvider& in, const Lists& lists) {
  std::size_t fitting = 0;
  for (const auto& list : lists)
    for (std::uint32_t item : list) fitting = std::max<std::size_t>(fitting, std::size_t{item} + 1);
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return fitting;
    case 1: return fitting == 0 ? 0 : fitting - 1;
    case 2: return in.ConsumeIntegralInRange<std::size_t>(0, 64);
    default: return in.ConsumeIntegral<std::size_t>();
  }
}

void check_rejection(const TarvexError& err, const Lists& lists, std::size_t universe) {
  for (std::size_t row = 0; row < lists.size(); ++row) {
    for (std::uint32_t item : lists[row]) {
      if (item < universe) continue;
      const auto* e = err.get_if<errors::CoverageItemOutOfUniverse>();
      FUZZ_REQUIRE(e && e->item == item && e->row == row && e->universe == universe,
                   "wrong offending item: " + fuzz::kind_name(err));
      return;
    }
  }
  FUZZ_REQUIRE(false, "rejected lists that fit the universe: " + fuzz::kind_name(err));
}

struct Model {
  std::vector<std::set<std::uint32_t>> rows;
  std::set<std::uint32_t> covered;

  double marginal(std::size_t r) const {
    std::size_t fresh = 0;
    for (std::uint32_t item : rows[r]) fresh += covered.count(item) == 0;
    return static_cast<double>(fresh);
  }
  void commit(std::size_t r) { covered.insert(rows[r].begin(), rows[r].end()); }
};

void check_marginals(const Utility& u, const Model& model, const Points& points) {
  for (std::size_t r = 0; r < model.rows.size(); ++r) {
    const double got = u.marginal(r, points);
    FUZZ_REQUIRE(got == model.marginal(r), "marginal of row " + std::to_string(r) + " is " +
                                               std::to_string(got) + ", expected " +
                                               std::to_string(model.marginal(r)));
  }
}

template <class F>
void expect_contract_violation(F&& f) {
  try {
    f();
  } catch (const ContractViolation&) {
    return;
  }
  FUZZ_REQUIRE(false, "an out-of-range row did not stop");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Lists lists = read_lists(in);
  const std::size_t universe = read_universe(in, lists);

  auto made = Coverage::create(lists, universe);
  if (!made) {
    check_rejection(made.error(), lists, universe);
    return 0;
  }
  for (const auto& list : lists)
    for (std::uint32_t item : list) FUZZ_REQUIRE(item < universe, "accepted an item outside the universe");

  Coverage& coverage = *made;
  Model model;
  for (const auto& list : lists) model.rows.emplace_back(list.begin(), list.end());
  FUZZ_REQUIRE(coverage.list_count() == lists.size() && coverage.universe() == universe,
               "list count or universe changed");
  for (std::size_t r = 0; r < lists.size(); ++r) {
    const std::vector<std::uint32_t> want(model.rows[r].begin(), model.rows[r].end());
    FUZZ_REQUIRE(coverage.items(r) == want, "row " + std::to_string(r) + " not sorted and unique");
  }

  // A one-column matrix of any row count, for validate and the operations.
  const std::size_t n = in.ConsumeBool() ? lists.size() : in.ConsumeIntegralInRange<std::size_t>(1, 30);
  const std::vector<float> column(std::max<std::size_t>(n, 1), 1.0f);
  const Points points = *Points::borrowed(column, 1, Metric::Euclidean);
  const auto valid = coverage.validate(points);
  if (points.n() == lists.size()) {
    FUZZ_REQUIRE(valid.has_value(), "count mismatch reported for matching counts");
  } else {
    const auto* e = valid ? nullptr : valid.error().get_if<errors::CoverageCountMismatch>();
    FUZZ_REQUIRE(e && e->expected == points.n() && e->got == lists.size(), "count mismatch not reported");
  }

  // Operations on the source and on clones; each clone must stay independent.
  std::vector<std::pair<std::unique_ptr<Utility>, Model>> objects;
  objects.emplace_back(coverage.boxed_clone(), model);
  check_marginals(*objects[0].first, model, points);
  while (in.remaining_bytes() > 0) {
    const std::size_t which = in.ConsumeIntegralInRange<std::size_t>(0, objects.size() - 1);
    auto& [u, m] = objects[which];
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
      case 1:
        if (!lists.empty()) {
          const std::size_t r = in.ConsumeIntegralInRange<std::size_t>(0, lists.size() - 1);
          u->commit(r, points);
          m.commit(r);
          FUZZ_REQUIRE(u->marginal(r, points) == 0.0, "committed row still gains");
        }
        break;
      case 2:
        u->reset();
        m.covered.clear();
        break;
      case 3:
        if (objects.size() < 6) {
          auto copy = u->boxed_clone();
          Model copied = m;
          objects.emplace_back(std::move(copy), std::move(copied));
        }
        break;
      case 4:
        expect_contract_violation([&] { (void)u->marginal(lists.size(), points); });
        expect_contract_violation([&] { u->commit(lists.size() + in.ConsumeIntegral<std::uint8_t>(), points); });
        break;
      default:
        break;
    }
    for (const auto& [object, object_model] : objects) check_marginals(*object, object_model, points);
  }
  // The source object was only cloned: it still has nothing committed.
  Model fresh = model;
  check_marginals(coverage, fresh, points);
  return 0;
}
