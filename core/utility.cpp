#include "utility.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <sys/mman.h>
#include <unistd.h>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include <immintrin.h>

#include "control.hpp"
#include "filter.hpp"
#include "pool.hpp"
#include "simd.hpp"

namespace tarvex {
namespace {

constexpr std::uint64_t kNegativeZero = 0x8000000000000000ull;

[[noreturn]] void index_out_of_range(std::size_t index, std::size_t count, const char* what) {
  throw ContractViolation("index out of range: " + std::to_string(index) + " is not below the " +
                          std::to_string(count) + " " + what);
}

}  // namespace

void Utility::first_bounds(const Points& points, std::size_t begin, std::span<double> bounds,
                           std::span<std::uint8_t> exact) const {
  for (std::size_t q = 0; q < bounds.size(); ++q) {
    bounds[q] = marginal(begin + q, points);
    exact[q] = 1;
  }
}

// ---------------------------------------------------------------- Linear

struct Linear::Data {
  std::vector<double> weights;
  control::Once sorted;
  std::vector<std::size_t> order;
};

Linear::Linear(std::vector<double> weights) : data_(std::make_shared<Data>()) {
  data_->weights = std::move(weights);
}

const std::vector<double>& Linear::weights() const noexcept { return data_->weights; }

std::span<const std::size_t> Linear::order() const {
  Data& data = *data_;
  data.sorted.call([&data] {
    const std::vector<double>& w = data.weights;
    std::vector<std::size_t> order(w.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&w](std::size_t a, std::size_t b) {
      const auto ka = total_order_key(w[a]), kb = total_order_key(w[b]);
      return ka != kb ? ka > kb : a < b;
    });
    data.order = std::move(order);
  });
  return data.order;
}

double Linear::marginal(std::size_t index, const Points&) const {
  const auto& w = data_->weights;
  if (index >= w.size()) index_out_of_range(index, w.size(), "weights");
  return w[index];
}

Status Linear::validate(const Points& points) const {
  const auto& w = data_->weights;
  if (w.size() != points.n()) {
    return std::unexpected(TarvexError(errors::WeightCountMismatch{points.n(), w.size()}));
  }
  for (std::size_t i = 0; i < w.size(); ++i) {
    // The sign bit, not `< 0.0`, so a negative subnormal is refused even when
    // another extension has switched the FPU to denormals-are-zero.
    const bool negative = std::signbit(w[i]) && std::bit_cast<std::uint64_t>(w[i]) != kNegativeZero;
    if (!std::isfinite(w[i]) || negative) {
      return std::unexpected(TarvexError(errors::InvalidWeight{w[i], i}));
    }
  }
  return {};
}

std::unique_ptr<Utility> Linear::boxed_clone() const { return std::make_unique<Linear>(*this); }

// ---------------------------------------------------------------- Coverage

// Item ids may reach 2^32 - 1, so flags are kept per distinct id that occurs
// rather than per id below the universe: one hashed id near 4e9 must not cost
// gigabytes per copy.
struct Coverage::Data {
  std::vector<std::size_t> offsets;     // row r's items are [offsets[r], offsets[r + 1])
  std::vector<std::uint32_t> flags;     // dense flag index of each item, row by row
  std::vector<std::uint32_t> ids;       // id of each dense flag index, or empty for identity
  std::size_t universe = 0;
  std::size_t flag_count = 0;
};

Result<Coverage> Coverage::create(std::vector<std::vector<std::uint32_t>> sets,
                                  std::size_t universe) {
  std::size_t total = 0;
  for (std::size_t row = 0; row < sets.size(); ++row) {
    auto& list = sets[row];
    for (std::uint32_t item : list) {
      if (item >= universe) {
        return std::unexpected(TarvexError(errors::CoverageItemOutOfUniverse{item, row, universe}));
      }
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    total += list.size();
  }

  auto data = std::make_shared<Data>();
  data->universe = universe;
  data->offsets.reserve(sets.size() + 1);
  data->offsets.push_back(0);
  data->flags.reserve(total);
  for (const auto& list : sets) {
    data->flags.insert(data->flags.end(), list.begin(), list.end());
    data->offsets.push_back(data->flags.size());
  }
  // A universe no larger than a small multiple of the items is indexed
  // directly; otherwise ids are renumbered densely in ascending order.
  constexpr std::size_t kDirectFloor = std::size_t{1} << 20;
  if (universe <= std::max(kDirectFloor, 4 * total)) {
    data->flag_count = universe;
  } else {
    std::vector<std::uint32_t> ids(data->flags);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (auto& item : data->flags) {
      item = static_cast<std::uint32_t>(std::lower_bound(ids.begin(), ids.end(), item) - ids.begin());
    }
    data->flag_count = ids.size();
    data->ids = std::move(ids);
  }
  sets.clear();
  return Coverage(std::move(data));
}

Coverage::Coverage(std::shared_ptr<const Data> data)
    : data_(std::move(data)), covered_(data_->flag_count, 0) {}

std::vector<std::uint32_t> Coverage::items(std::size_t row) const {
  if (row >= list_count()) index_out_of_range(row, list_count(), "coverage lists");
  std::vector<std::uint32_t> out(data_->flags.begin() + static_cast<std::ptrdiff_t>(data_->offsets[row]),
                                 data_->flags.begin() + static_cast<std::ptrdiff_t>(data_->offsets[row + 1]));
  if (!data_->ids.empty()) {
    for (auto& item : out) item = data_->ids[item];
  }
  return out;
}

std::size_t Coverage::universe() const noexcept { return data_->universe; }
std::size_t Coverage::list_count() const noexcept { return data_->offsets.size() - 1; }

double Coverage::marginal(std::size_t index, const Points&) const {
  if (index >= list_count()) index_out_of_range(index, list_count(), "coverage lists");
  std::uint64_t fresh = 0;
  const auto* flags = data_->flags.data();
  for (std::size_t p = data_->offsets[index]; p < data_->offsets[index + 1]; ++p) {
    fresh += covered_[flags[p]] == 0;
  }
  return static_cast<double>(fresh);
}

void Coverage::commit(std::size_t index, const Points&) {
  if (index >= list_count()) index_out_of_range(index, list_count(), "coverage lists");
  const auto* flags = data_->flags.data();
  for (std::size_t p = data_->offsets[index]; p < data_->offsets[index + 1]; ++p) {
    covered_[flags[p]] = 1;
  }
}

void Coverage::reset() { std::fill(covered_.begin(), covered_.end(), std::uint8_t{0}); }

Status Coverage::validate(const Points& points) const {
  if (list_count() != points.n()) {
    return std::unexpected(TarvexError(errors::CoverageCountMismatch{points.n(), list_count()}));
  }
  return {};
}

std::unique_ptr<Utility> Coverage::boxed_clone() const {
  return std::unique_ptr<Utility>(new Coverage(*this));
}

// ---------------------------------------------------------------- FacilityLocation

namespace {

constexpr std::size_t kGroup = 64;

// A sum of n positive doubles, in any order, lies within this much,
// relative, of the exact sum of its terms (n units in the last place, with
// room to spare); the bounds' margins are multiples of it.
double sum_share(std::size_t n) noexcept { return static_cast<double>(n + 16) * 0x1p-53; }

// 1 - dist / scale in 64 bits, before the clamp at 0, as every gain's term
// takes it. Dividing by 1.0 is exact, so cosine's scale (Unit) skips it.
template <bool Unit>
[[gnu::always_inline]] inline double similarity_of(float dist, double scale) noexcept {
  return Unit ? 1.0 - static_cast<double>(dist) : 1.0 - static_cast<double>(dist) / scale;
}

// The distances a group of columns keeps, as they are found in row order.
struct KeptValues {
  std::vector<std::vector<std::uint64_t>> support{kGroup};
  std::vector<std::vector<float>> packed{kGroup};
  std::size_t kept[kGroup] = {};

  // Empties the first `count` columns' support and values for n rows.
  void begin(std::size_t count, std::size_t n) {
    for (std::size_t q = 0; q < count; ++q) {
      support[q].assign((n + 63) / 64, 0);
      packed[q].resize(n + 16);
      kept[q] = 0;
    }
  }
};

// One worker's room for a group of columns.
struct Scratch : KeptValues {
  static constexpr std::size_t kBlock = 256;
  std::vector<float> block = std::vector<float>(kBlock * kGroup, 0.0f);
};

// The chunks of the pending values of one pass over the stripes. Chunks
// freed to the allocator are handed on to the next ones and to kept
// columns, but what they do not take stays in its arenas after the pass
// (0.8 GB at 100,000 rows), beside the kept columns that the budget pays
// for. Where that could take the process past the budget, chunks are
// mapped from the system instead and handed back to it once more are free
// than the pass soon takes again.
class ChunkPool {
 public:
  static constexpr std::size_t kFloats = 16384;
  static constexpr std::size_t kBytes = kFloats * sizeof(float);
  // Up to `kept_free` freed chunks wait for the pass to take them again.
  ChunkPool(bool give_back, std::size_t kept_free) : give_back_(give_back), kept_free_(kept_free) {
    if (give_back_) free_.reserve(kept_free_);
  }
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;
  ~ChunkPool() {
    for (float* chunk : free_) munmap(chunk, kBytes);
  }
  float* take() {
    if (!give_back_) return new float[kFloats];
    {
      const std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        float* chunk = free_.back();
        free_.pop_back();
        return chunk;
      }
    }
    void* at = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    return static_cast<float*>(at);
  }
  void give(float* chunk) noexcept {
    if (!give_back_) {
      delete[] chunk;
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      if (free_.size() < kept_free_) {
        free_.push_back(chunk);  // within the room reserved
        return;
      }
    }
    munmap(chunk, kBytes);
  }

 private:
  const bool give_back_;
  const std::size_t kept_free_;
  std::mutex mutex_;
  std::vector<float*> free_;
};

// What a group keeps of the stripes above its own, while the build reaches
// it: its columns' support, one word each per stripe, and their values below
// the cutoff, stripe after stripe and column after column within one, in
// chunks small enough for the allocator to hand on to the next group rather
// than to fresh pages. Both grow with the stripes: all groups together then
// hold at most about a quarter of the columns' whole supports at once, where
// whole supports from the start would hold all of them (1.25 GB at 100,000
// rows) beside what the budget pays for.
struct PendingGroup {
  static constexpr std::size_t kChunk = ChunkPool::kFloats;
  ChunkPool* pool = nullptr;
  std::vector<std::uint64_t> support;  // stripe after stripe, kGroup words each
  std::vector<float*> chunks;          // the pool's
  std::size_t used = kChunk;           // in the last chunk

  explicit PendingGroup(ChunkPool* from) : pool(from) {}
  PendingGroup(PendingGroup&& other) noexcept
      : pool(other.pool),
        support(std::move(other.support)),
        chunks(std::exchange(other.chunks, {})),
        used(other.used) {}
  PendingGroup(const PendingGroup&) = delete;
  PendingGroup& operator=(const PendingGroup&) = delete;
  PendingGroup& operator=(PendingGroup&&) = delete;
  ~PendingGroup() { release(); }

  void release() noexcept {
    for (float* chunk : chunks) pool->give(chunk);
    chunks.clear();
    std::vector<std::uint64_t>().swap(support);
    used = kChunk;
  }

  // The next stripe's words, all 0 (a column not kept stays so).
  std::uint64_t* next_stripe() {
    support.resize(support.size() + kGroup, 0);
    return support.data() + support.size() - kGroup;
  }

  void append(const float* values, std::size_t m) {
    while (m > 0) {
      if (used == kChunk) {
        // Room first, so that a chunk taken is never lost.
        if (chunks.size() == chunks.capacity()) chunks.reserve(std::max<std::size_t>(8, 2 * chunks.size()));
        chunks.push_back(pool->take());
        used = 0;
      }
      const std::size_t step = std::min(m, kChunk - used);
      std::copy(values, values + step, chunks.back() + used);
      used += step;
      values += step;
      m -= step;
    }
  }
  // Hands the first `stripes` stripes' support and values of `count` columns
  // to `into`, as keep_below would have left them.
  void drain(std::size_t count, std::size_t stripes, KeptValues& into) {
    std::size_t chunk = 0, at = 0;
    for (std::size_t q = 0; q < count; ++q) {
      std::uint64_t* to = into.support[q].data();
      for (std::size_t s = 0; s < stripes; ++s) to[s] = support[s * kGroup + q];
      std::fill(to + stripes, to + into.support[q].size(), 0);
      into.kept[q] = 0;
    }
    for (std::size_t s = 0; s < stripes; ++s) {
      for (std::size_t q = 0; q < count; ++q) {
        auto m = static_cast<std::size_t>(std::popcount(into.support[q][s]));
        while (m > 0) {
          if (at == kChunk) {
            ++chunk;
            at = 0;
          }
          const std::size_t step = std::min(m, kChunk - at);
          const float* from = chunks[chunk] + at;
          std::copy(from, from + step, into.packed[q].data() + into.kept[q]);
          into.kept[q] += step;
          at += step;
          m -= step;
        }
      }
    }
    release();
  }
};

// Scratches lent to the workers that keep columns while computing gains,
// so that their column-sized buffers are allocated once per call, not per task.
class ScratchShelf {
 public:
  std::unique_ptr<Scratch> take() {
    const std::lock_guard lock(mutex_);
    if (free_.empty()) return std::make_unique<Scratch>();
    auto scratch = std::move(free_.back());
    free_.pop_back();
    return scratch;
  }
  void give(std::unique_ptr<Scratch> scratch) {
    const std::lock_guard lock(mutex_);
    free_.push_back(std::move(scratch));
  }
  void clear() {
    const std::lock_guard lock(mutex_);
    free_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Scratch>> free_;
};

}  // namespace

// What every run of one call shares, built once for one matrix.
struct FacilityLocation::Memo {
  std::shared_ptr<MatrixData> matrix;  // identifies it; its ledger pays for `kept`
  std::vector<double> first;           // the gains against no committed row
  bool first_exact = true;             // or else bounds of them from above
  std::vector<double> squares;         // each row's row_squares, where the fused kernel runs
  // For each column, its distances below the bound of a row whose best is
  // that of the first `level` rows of `chain` (kept_below describes
  // the layout): the only ones that can gain once those rows are committed.
  // Empty where they did not fit the budget.
  struct Slab;
  struct Kept {
    std::unique_ptr<std::uint64_t[]> support;
    float* packed = nullptr;                   // in `slab`, sixteen floats of slack after
    std::unique_ptr<std::uint64_t[]> offsets;  // where each chunk's values start
    std::size_t bytes = 0;
    std::size_t level = 0;
    Slab* slab = nullptr;
  };
  std::vector<Kept> kept;
  // The values of columns kept together, one after the other, so that
  // narrowing them in place compacts the slab and hands the pages past its
  // end back to the system at once: a block shrunk by itself would leave a
  // hole too small for the next columns.
  struct Slab {
    std::unique_ptr<float[]> storage;
    std::size_t resident = 0;          // bytes from the start whose pages may be resident
    std::vector<std::size_t> columns;  // in the order of their values
  };
  std::mutex slabs_mutex;
  std::vector<std::unique_ptr<Slab>> slabs;
  // Once every column is kept, narrower copies for runs that follow the
  // chain further: a column's distances below the bounds after the first
  // `level` rows of `chain`, as (row, distance) pairs in row order. Empty
  // where none was made.
  struct Narrow {
    std::unique_ptr<std::uint32_t[]> rows;
    std::unique_ptr<float[]> values;
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::size_t level = 0;
  };
  std::vector<Narrow> narrow;
  std::atomic<std::size_t> kept_bytes{0};  // kept, narrow and codes, charged to matrix's budget
  std::atomic<std::size_t> missing{0};     // columns without kept values a run may ask for
  // Rows committed in this order by the first object to commit them while
  // no copy shared the memo; it alone grows it, so readers never see it move.
  std::vector<std::size_t> chain;
  // While columns are missing: the bounds at the last level that narrowed
  // the kept ones, with which the run that grows the memo keeps what it
  // computes afresh, so that it serves every run that matched that far; and
  // the level at which a column last found no room.
  std::vector<float> floor;
  std::size_t floor_level = 0;
  std::atomic<std::size_t> full_at{0};
  // From this many committed rows on, every missing column seemed to fit
  // below the floor: the columns computed afresh are then worth keeping
  // rather than following their gains through the raised rows.
  std::size_t fits_from = std::numeric_limits<std::size_t>::max();
  ScratchShelf shelf;
  // The matrix's rows as 8-bit codes, when the budget had room for them:
  // they prove most distances too long to gain before any is computed.
  std::optional<QuantisedRows> codes;
  ~Memo() {
    if (matrix) matrix->ledger.refund(kept_bytes.load());
  }
};

struct FacilityLocation::Shared {
  explicit Shared(float s) : scale(s), unit_scale(s == 1.0f), below_empty(bound_for(0.0)) {}

  double raw_similarity(float dist) const noexcept {
    return unit_scale ? similarity_of<true>(dist, scale) : similarity_of<false>(dist, scale);
  }

  // The smallest non-negative float x whose similarity does not exceed
  // `best` (>= 0): a row with that best gains exactly from distances below x.
  // The similarity falls monotonically with the distance, rounding included,
  // so a search over the ordered bit patterns finds it; the guess from the
  // inverse is usually within a few steps.
  float bound_for(double best) const noexcept {
    constexpr std::uint64_t kInfBits = 0x7f800000;  // +inf: similarity -inf, never gains
    const auto gains = [&](std::uint64_t bits) {
      return raw_similarity(std::bit_cast<float>(static_cast<std::uint32_t>(bits))) > best;
    };
    const double guess = (1.0 - best) * static_cast<double>(scale);
    const std::uint64_t at =
        guess > 0.0 ? std::bit_cast<std::uint32_t>(static_cast<float>(std::min(guess, 3.0e38))) : 0;
    std::uint64_t lo = 0, hi = kInfBits;  // the answer lies in [lo, hi]
    if (gains(at)) {
      lo = at + 1;
      for (std::uint64_t step = 1; at + step < hi; step *= 2) {
        if (!gains(at + step)) {
          hi = at + step;
          break;
        }
        lo = at + step + 1;
      }
    } else {
      hi = at;
      for (std::uint64_t step = 1; step <= at - lo; step *= 2) {
        if (gains(at - step)) {
          lo = at - step + 1;
          break;
        }
        hi = at - step;
      }
    }
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (gains(mid)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return std::bit_cast<float>(static_cast<std::uint32_t>(lo));
  }

  float scale;
  bool unit_scale;
  float below_empty;  // the bound of a row whose best is 0.0
  control::Once once;
  Memo memo;
};

namespace {

// Rows whose distances are tested against their bounds at a time.
constexpr std::size_t kRowChunk = 1024;

// Adds the similarities of a block of rows (row-major, kGroup columns a row)
// to the columns' sums, row after row. Across columns the additions are
// independent lanes, which wide vectors do at once; the 512-bit build is
// chosen at run time like the distance kernels' (an ifunc would run before
// a sanitizer's runtime is up).
template <bool Unit>
[[gnu::always_inline]] inline void add_similarities_body(const float* block, std::size_t rows,
                                                         double scale, double* acc) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* d = block + i * kGroup;
    for (std::size_t q = 0; q < kGroup; ++q) {
      const double s = similarity_of<Unit>(d[q], scale);
      acc[q] += s > 0.0 ? s : 0.0;  // a NaN gives 0.0 too
    }
  }
}

template <bool Unit>
void add_similarities_plain(const float* block, std::size_t rows, double scale, double* acc) {
  add_similarities_body<Unit>(block, rows, scale, acc);
}

template <bool Unit>
__attribute__((target("avx512f"))) void add_similarities_avx512(const float* block,
                                                               std::size_t rows, double scale,
                                                               double* acc) {
  add_similarities_body<Unit>(block, rows, scale, acc);
}

// The family's builds by KernelLevel: the same source, compiled for each.
using AddSimilarities = void (*)(const float*, std::size_t, double, double*);
constexpr AddSimilarities kAddSimilarities[][2] = {
    {add_similarities_plain<false>, add_similarities_plain<true>},
    {add_similarities_plain<false>, add_similarities_plain<true>},
    {add_similarities_avx512<false>, add_similarities_avx512<true>}};

void add_similarities(const float* block, std::size_t rows, double scale, bool unit,
                      double* acc) {
  static const auto& chosen = kAddSimilarities[static_cast<int>(active_kernel_level())];
  chosen[unit](block, rows, scale, acc);
}

// out[r * kGroup + c] = in[c * kGroup + r]: a square of kGroup rows of the
// distances to a group's columns, turned into the distances of those rows'
// own columns to the group's.
void transpose_group_plain(const float* in, float* out) {
  for (std::size_t r = 0; r < kGroup; ++r) {
    for (std::size_t c = 0; c < kGroup; ++c) out[r * kGroup + c] = in[c * kGroup + r];
  }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) void transpose_group_avx512(const float* in, float* out) {
  static_assert(kGroup % 16 == 0);
  for (std::size_t r0 = 0; r0 < kGroup; r0 += 16) {
    for (std::size_t c0 = 0; c0 < kGroup; c0 += 16) {
      __m512 rows[16], t[16];
      for (std::size_t k = 0; k < 16; ++k) rows[k] = _mm512_loadu_ps(in + (c0 + k) * kGroup + r0);
      simd::transpose16(rows, t);
      for (std::size_t k = 0; k < 16; ++k) _mm512_storeu_ps(out + (r0 + k) * kGroup + c0, t[k]);
    }
  }
}
#pragma GCC diagnostic pop

using TransposeGroup = void (*)(const float*, float*);
constexpr TransposeGroup kTransposeGroup[] = {transpose_group_plain, transpose_group_plain,
                                              transpose_group_avx512};

void transpose_group(const float* in, float* out) {
  static const TransposeGroup chosen = kTransposeGroup[static_cast<int>(active_kernel_level())];
  chosen(in, out);
}

// The values of in[0 .. 64) below their cutoffs (floor[j], or `cutoff` for
// every one where floor is null), in order, to out (with sixteen floats of
// room past them); bit j of the result tells whether in[j] went.
std::uint64_t compress_below_plain(const float* in, const float* floor, float cutoff, float* out) {
  std::uint64_t mask = 0;
  std::size_t m = 0;
  for (std::size_t j = 0; j < 64; ++j) {
    out[m] = in[j];
    const bool below = in[j] < (floor != nullptr ? floor[j] : cutoff);
    m += below;
    mask |= static_cast<std::uint64_t>(below) << j;
  }
  return mask;
}

__attribute__((target("avx512f,popcnt"))) std::uint64_t compress_below_avx512(const float* in,
                                                                            const float* floor,
                                                                            float cutoff,
                                                                            float* out) {
  std::uint64_t mask = 0;
  for (std::size_t q = 0; q < 4; ++q) {
    const __m512 bound = floor != nullptr ? _mm512_loadu_ps(floor + 16 * q) : _mm512_set1_ps(cutoff);
    const __m512 x = _mm512_loadu_ps(in + 16 * q);
    const __mmask16 below = _mm512_cmp_ps_mask(x, bound, _CMP_LT_OQ);
    _mm512_storeu_ps(out, _mm512_maskz_compress_ps(below, x));
    out += _mm_popcnt_u32(below);
    mask |= static_cast<std::uint64_t>(below) << (16 * q);
  }
  return mask;
}

__attribute__((target("avx2,popcnt"))) std::uint64_t compress_below_avx2(const float* in,
                                                                         const float* floor,
                                                                         float cutoff, float* out) {
  std::uint64_t mask = 0;
  for (std::size_t q = 0; q < 8; ++q) {
    const __m256 bound = floor != nullptr ? _mm256_loadu_ps(floor + 8 * q) : _mm256_set1_ps(cutoff);
    const __m256 x = _mm256_loadu_ps(in + 8 * q);
    const auto below =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(x, bound, _CMP_LT_OQ)));
    _mm256_storeu_ps(
        out, _mm256_permutevar8x32_ps(x, simd::lane_table(simd::kLaneTables.compress, below)));
    out += std::popcount(below);
    mask |= static_cast<std::uint64_t>(below) << (8 * q);
  }
  return mask;
}

using CompressBelow = std::uint64_t (*)(const float*, const float*, float, float*);
constexpr CompressBelow kCompressBelow[] = {compress_below_plain, compress_below_avx2,
                                            compress_below_avx512};

std::uint64_t compress_below(const float* in, const float* floor, float cutoff, float* out) {
  static const CompressBelow chosen = kCompressBelow[static_cast<int>(active_kernel_level())];
  return chosen(in, floor, cutoff, out);
}

// Columns computed afresh per pass over the rows.
constexpr std::size_t kAfresh = 64;

// Adds the gains of a block of rows (row-major, kAfresh columns a row) to the
// columns' sums, row after row, each term as marginal() makes it; lanes are
// independent, as in add_similarities. A row that does not gain adds +0.0,
// which leaves every sum as it was: they start at +0.0 and gains are positive.
// (Only the plain build adds it; the vector build masks the lane.)
template <bool Unit>
[[gnu::always_inline]] inline void add_gains_body(const float* block, std::size_t rows,
                                                  const float* below, const double* best,
                                                  double scale, double* acc) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* d = block + i * kAfresh;
    const float bound = below[i];
    const double b = best[i];
    for (std::size_t q = 0; q < kAfresh; ++q) {
      const double s = similarity_of<Unit>(d[q], scale);
      acc[q] += d[q] < bound ? s - b : 0.0;
    }
  }
}

template <bool Unit>
void add_gains_plain(const float* block, std::size_t rows, const float* below, const double* best,
                     double scale, double* acc) {
  add_gains_body<Unit>(block, rows, below, best, scale, acc);
}

// GCC 12 flags the "undefined" pass-through operand inside its own cast and
// extract intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// The same lanes spelled out: the compiler keeps the scalar branches.
template <bool Unit>
__attribute__((target("avx512f"))) void add_gains_avx512(const float* block, std::size_t rows,
                                                        const float* below, const double* best,
                                                        double scale, double* acc) {
  constexpr std::size_t kVectors = kAfresh / 16;
  static_assert(kAfresh % 16 == 0);
  __m512d lo[kVectors], hi[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    lo[v] = _mm512_loadu_pd(acc + 16 * v);
    hi[v] = _mm512_loadu_pd(acc + 16 * v + 8);
  }
  const __m512d one = _mm512_set1_pd(1.0), by = _mm512_set1_pd(scale);
  for (std::size_t i = 0; i < rows; ++i) {
    const __m512 bound = _mm512_set1_ps(below[i]);
    __mmask16 gaining[kVectors];
    unsigned any = 0;
    for (std::size_t v = 0; v < kVectors; ++v) {
      gaining[v] =
          _mm512_cmp_ps_mask(_mm512_loadu_ps(block + i * kAfresh + 16 * v), bound, _CMP_LT_OQ);
      any |= gaining[v];
    }
    // Few rows gain on any column once the first picks are in, and each
    // vector's quotients cost far more than its test.
    if (any == 0) continue;
    const __m512d b = _mm512_set1_pd(best[i]);
#pragma GCC unroll 4
    for (std::size_t v = 0; v < kVectors; ++v) {
      const __mmask16 gains = gaining[v];
      if (gains == 0) continue;
      const __m512 d = _mm512_loadu_ps(block + i * kAfresh + 16 * v);
      const __m512d dlo = _mm512_cvtps_pd(_mm512_castps512_ps256(d));
      const __m512d dhi =
          _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(d), 1)));
      const __m512d slo =
          Unit ? _mm512_sub_pd(one, dlo) : _mm512_sub_pd(one, _mm512_div_pd(dlo, by));
      const __m512d shi =
          Unit ? _mm512_sub_pd(one, dhi) : _mm512_sub_pd(one, _mm512_div_pd(dhi, by));
      lo[v] = _mm512_mask_add_pd(lo[v], static_cast<__mmask8>(gains), lo[v], _mm512_sub_pd(slo, b));
      hi[v] = _mm512_mask_add_pd(hi[v], static_cast<__mmask8>(gains >> 8), hi[v],
                                 _mm512_sub_pd(shi, b));
    }
  }
  for (std::size_t v = 0; v < kVectors; ++v) {
    _mm512_storeu_pd(acc + 16 * v, lo[v]);
    _mm512_storeu_pd(acc + 16 * v + 8, hi[v]);
  }
}

#pragma GCC diagnostic pop

using AddGains = void (*)(const float*, std::size_t, const float*, const double*, double, double*);
constexpr AddGains kAddGains[][2] = {{add_gains_plain<false>, add_gains_plain<true>},
                                     {add_gains_plain<false>, add_gains_plain<true>},
                                     {add_gains_avx512<false>, add_gains_avx512<true>}};

void add_gains(const float* block, std::size_t rows, const float* below, const double* best,
               double scale, bool unit, double* acc) {
  static const auto* chosen = kAddGains[static_cast<int>(active_kernel_level())];
  chosen[unit](block, rows, below, best, scale, acc);
}

// Adds, for a block of listed rows (row-major, kAfresh columns a row), what
// each column from `from` to `to` lost on those rows between two bests: the
// row's term against `before` less its term against `now`, each as
// marginal() makes it. The other lanes' sums are left as they are.
[[gnu::always_inline]] inline double drop_of(double s, double before, double now) {
  return (s > before ? s - before : 0.0) - (s > now ? s - now : 0.0);
}

[[gnu::always_inline]] inline void add_drops_body(const float* block, std::size_t rows,
                                                  const double* before, const double* now,
                                                  double scale, bool unit, double* acc,
                                                  std::size_t from, std::size_t to) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* d = block + i * kAfresh;
    for (std::size_t q = from; q < to; ++q) {
      const double s = unit ? similarity_of<true>(d[q], scale) : similarity_of<false>(d[q], scale);
      acc[q] += drop_of(s, before[i], now[i]);
    }
  }
}

void add_drops_plain(const float* block, std::size_t rows, const double* before,
                     const double* now, const float*, double scale, bool unit, double* acc,
                     std::size_t from, std::size_t to) {
  add_drops_body(block, rows, before, now, scale, unit, acc, from, to);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// drop_of for eight distances d[0 .. 8) at once.
__attribute__((target("avx512f"), always_inline)) inline __m512d drops_of(const float* d,
                                                                          __m512d before,
                                                                          __m512d now,
                                                                          double scale, bool unit) {
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
  const __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(d));
  const __m512d s = unit ? _mm512_sub_pd(one, x) : _mm512_sub_pd(one, _mm512_div_pd(x, _mm512_set1_pd(scale)));
  const __m512d t0 = _mm512_mask_sub_pd(zero, _mm512_cmp_pd_mask(s, before, _CMP_GT_OQ), s, before);
  const __m512d t1 = _mm512_mask_sub_pd(zero, _mm512_cmp_pd_mask(s, now, _CMP_GT_OQ), s, now);
  return _mm512_sub_pd(t0, t1);
}

__attribute__((target("avx512f"))) void add_drops_avx512(const float* block, std::size_t rows,
                                                        const double* before, const double* now,
                                                        const float* below, double scale,
                                                        bool unit, double* acc, std::size_t from,
                                                        std::size_t to) {
  constexpr std::size_t kVectors = kAfresh / 8;
  __m512d sum[kVectors];
  static_assert(kAfresh == 64);
  const std::uint64_t lanes = (to >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << to) - 1) &
                              ~((std::uint64_t{1} << from) - 1);
  __mmask8 live[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    sum[v] = _mm512_loadu_pd(acc + 8 * v);
    live[v] = static_cast<__mmask8>(lanes >> (8 * v));
  }
  for (std::size_t i = 0; i < rows; ++i) {
    // A row that gained from no column before its raise drops +0.0 on each.
    const __m512 bound = _mm512_set1_ps(below[i]);
    unsigned any = 0;
#pragma GCC unroll 4
    for (std::size_t v = 0; v < kAfresh / 16; ++v) {
      any |= _mm512_cmp_ps_mask(_mm512_loadu_ps(block + i * kAfresh + 16 * v), bound, _CMP_LT_OQ);
    }
    if (any == 0) continue;
    const __m512d b0 = _mm512_set1_pd(before[i]), b1 = _mm512_set1_pd(now[i]);
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kVectors; ++v) {
      sum[v] = _mm512_mask_add_pd(sum[v], live[v], sum[v],
                                  drops_of(block + i * kAfresh + 8 * v, b0, b1, scale, unit));
    }
  }
  for (std::size_t v = 0; v < kVectors; ++v) _mm512_storeu_pd(acc + 8 * v, sum[v]);
}
#pragma GCC diagnostic pop

// drop_of for four distances d[0 .. 4) at once.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d drops_of4(
    const float* d, __m256d before, __m256d now, double scale, bool unit) {
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(d));
  const __m256d s =
      unit ? _mm256_sub_pd(one, x) : _mm256_sub_pd(one, _mm256_div_pd(x, _mm256_set1_pd(scale)));
  const __m256d t0 = _mm256_and_pd(_mm256_cmp_pd(s, before, _CMP_GT_OQ), _mm256_sub_pd(s, before));
  const __m256d t1 = _mm256_and_pd(_mm256_cmp_pd(s, now, _CMP_GT_OQ), _mm256_sub_pd(s, now));
  return _mm256_sub_pd(t0, t1);
}

// Half the columns a pass, so that their sums stay in registers.
__attribute__((target("avx2,fma"))) void add_drops_avx2(const float* block, std::size_t rows,
                                                        const double* before, const double* now,
                                                        const float* below, double scale, bool unit,
                                                        double* acc, std::size_t from,
                                                        std::size_t to) {
  constexpr std::size_t kHalf = kAfresh / 2, kVectors = kHalf / 4;
  for (std::size_t h = 0; h < 2; ++h) {
    const std::size_t c0 = h * kHalf;
    if (to <= c0 || from >= c0 + kHalf) continue;
    __m256d sum[kVectors], live[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) {
      sum[v] = _mm256_loadu_pd(acc + c0 + 4 * v);
      const auto in = [&](std::size_t l) {
        return c0 + 4 * v + l >= from && c0 + 4 * v + l < to ? -1.0 : 0.0;
      };
      live[v] =
          _mm256_cmp_pd(_mm256_set_pd(in(3), in(2), in(1), in(0)), _mm256_setzero_pd(), _CMP_LT_OQ);
    }
    for (std::size_t i = 0; i < rows; ++i) {
      // A row that gained from no column before its raise drops +0.0 on each.
      const float* d = block + i * kAfresh + c0;
      const __m256 bound = _mm256_set1_ps(below[i]);
      __m256 any = _mm256_setzero_ps();
#pragma GCC unroll 4
      for (std::size_t v = 0; v < kHalf / 8; ++v) {
        any = _mm256_or_ps(any, _mm256_cmp_ps(_mm256_loadu_ps(d + 8 * v), bound, _CMP_LT_OQ));
      }
      if (_mm256_movemask_ps(any) == 0) continue;
      const __m256d b0 = _mm256_set1_pd(before[i]), b1 = _mm256_set1_pd(now[i]);
#pragma GCC unroll 8
      for (std::size_t v = 0; v < kVectors; ++v) {
        sum[v] = _mm256_blendv_pd(
            sum[v], _mm256_add_pd(sum[v], drops_of4(d + 4 * v, b0, b1, scale, unit)), live[v]);
      }
    }
    for (std::size_t v = 0; v < kVectors; ++v) _mm256_storeu_pd(acc + c0 + 4 * v, sum[v]);
  }
}

using AddDrops = void (*)(const float*, std::size_t, const double*, const double*, const float*,
                          double, bool, double*, std::size_t, std::size_t);
constexpr AddDrops kAddDrops[] = {add_drops_plain, add_drops_avx2, add_drops_avx512};

// `below` holds each row's bound before its raise (for `before`), or -inf
// where it drops nothing.
void add_drops(const float* block, std::size_t rows, const double* before, const double* now,
               const float* below, double scale, bool unit, double* acc, std::size_t from = 0,
               std::size_t to = kAfresh) {
  static const AddDrops chosen = kAddDrops[static_cast<int>(active_kernel_level())];
  chosen(block, rows, before, now, below, scale, unit, acc, from, to);
}

// The same terms with the roles turned: adds to acc[i] what row i's own
// column lost on the block's columns, whose bests before and now are given
// per lane. Lanes that are not columns need bests of +inf (terms of 0).
[[gnu::always_inline]] inline void add_drops_across_body(const float* block, std::size_t rows,
                                                         const double* before, const double* now,
                                                         double scale, bool unit, double* acc) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* d = block + i * kAfresh;
    double sum = 0.0;
    for (std::size_t q = 0; q < kAfresh; ++q) {
      const double s = unit ? similarity_of<true>(d[q], scale) : similarity_of<false>(d[q], scale);
      sum += drop_of(s, before[q], now[q]);
    }
    acc[i] += sum;
  }
}

void add_drops_across_plain(const float* block, std::size_t rows, const double* before,
                            const double* now, double scale, bool unit, double* acc) {
  add_drops_across_body(block, rows, before, now, scale, unit, acc);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) void add_drops_across_avx512(const float* block,
                                                               std::size_t rows,
                                                               const double* before,
                                                               const double* now, double scale,
                                                               bool unit, double* acc) {
  constexpr std::size_t kVectors = kAfresh / 8;
  __m512d b0[kVectors], b1[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    b0[v] = _mm512_loadu_pd(before + 8 * v);
    b1[v] = _mm512_loadu_pd(now + 8 * v);
  }
  for (std::size_t i = 0; i < rows; ++i) {
    __m512d sum = _mm512_setzero_pd();
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kVectors; ++v) {
      sum = _mm512_add_pd(sum, drops_of(block + i * kAfresh + 8 * v, b0[v], b1[v], scale, unit));
    }
    acc[i] += _mm512_reduce_add_pd(sum);
  }
}
#pragma GCC diagnostic pop

__attribute__((target("avx2,fma"))) void add_drops_across_avx2(const float* block, std::size_t rows,
                                                               const double* before,
                                                               const double* now, double scale,
                                                               bool unit, double* acc) {
  for (std::size_t i = 0; i < rows; ++i) {
    __m256d sum[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kAfresh / 4; ++v) {
      sum[v % 2] = _mm256_add_pd(
          sum[v % 2], drops_of4(block + i * kAfresh + 4 * v, _mm256_loadu_pd(before + 4 * v),
                                _mm256_loadu_pd(now + 4 * v), scale, unit));
    }
    alignas(32) double four[4];
    _mm256_store_pd(four, _mm256_add_pd(sum[0], sum[1]));
    acc[i] += (four[0] + four[1]) + (four[2] + four[3]);
  }
}

using AddDropsAcross = void (*)(const float*, std::size_t, const double*, const double*, double,
                                bool, double*);
constexpr AddDropsAcross kAddDropsAcross[] = {add_drops_across_plain, add_drops_across_avx2,
                                              add_drops_across_avx512};

void add_drops_across(const float* block, std::size_t rows, const double* before,
                      const double* now, double scale, bool unit, double* acc) {
  static const AddDropsAcross chosen = kAddDropsAcross[static_cast<int>(active_kernel_level())];
  chosen(block, rows, before, now, scale, unit, acc);
}

using Memo = FacilityLocation::Memo;

// Appends each column's distances in a block of rows rb .. rb + rows
// (row-major, kGroup columns a row) that lie below their row's cutoff
// (`floor`, or `cutoff` for every row) to its values, and marks them in its
// support.
void keep_below_plain(const float* block, std::size_t rows, std::size_t rb, std::size_t count,
                      const float* floor, float cutoff, KeptValues& scratch) {
  for (std::size_t q = 0; q < count; ++q) {
    std::uint64_t* support = scratch.support[q].data();
    float* packed = scratch.packed[q].data();
    std::size_t kept = scratch.kept[q];
    for (std::size_t i = rb; i < rb + rows; ++i) {
      const float d = block[(i - rb) * kGroup + q];
      const bool below = d < (floor != nullptr ? floor[i] : cutoff);
      packed[kept] = d;
      kept += below;
      support[i / 64] |= static_cast<std::uint64_t>(below) << (i % 64);
    }
    scratch.kept[q] = kept;
  }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// The same, sixteen rows of sixteen columns at a time, transposed so that
// each column's rows are one vector.
__attribute__((target("avx512f,popcnt"))) void keep_below_avx512(const float* block,
                                                               std::size_t rows, std::size_t rb,
                                                               std::size_t count,
                                                               const float* floor, float cutoff,
                                                               KeptValues& scratch) {
  static_assert(Scratch::kBlock % 64 == 0 && kGroup % 16 == 0);
  for (std::size_t r0 = 0; r0 < rows; r0 += 16) {
    const std::size_t live = std::min<std::size_t>(16, rows - r0), i = rb + r0;
    const auto valid = static_cast<__mmask16>(live == 16 ? 0xFFFF : (1u << live) - 1);
    const __m512 bound =
        floor != nullptr ? _mm512_maskz_loadu_ps(valid, floor + i) : _mm512_set1_ps(cutoff);
    for (std::size_t q0 = 0; q0 < count; q0 += 16) {
      __m512 in[16], t[16];
      for (std::size_t r = 0; r < 16; ++r) {
        in[r] = _mm512_loadu_ps(block + std::min(r0 + r, rows - 1) * kGroup + q0);
      }
      simd::transpose16(in, t);
      const std::size_t cols = std::min<std::size_t>(16, count - q0);
      for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t q = q0 + c;
        const __mmask16 below = _mm512_mask_cmp_ps_mask(valid, t[c], bound, _CMP_LT_OQ);
        _mm512_storeu_ps(scratch.packed[q].data() + scratch.kept[q],
                         _mm512_maskz_compress_ps(below, t[c]));
        scratch.kept[q] += static_cast<std::size_t>(_mm_popcnt_u32(below));
        scratch.support[q][i / 64] |= static_cast<std::uint64_t>(below) << (i % 64);
      }
    }
  }
}

// Column values kept after `support` and `packed` that lie below their
// row's `floor`: their support and values (with sixteen floats of room past
// the last), and how many.
std::size_t narrow_kept_plain(const std::uint64_t* support, const float* packed,
                              const float* floor, std::size_t words, std::uint64_t* out_support,
                              float* out_packed) {
  std::size_t count = 0;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t out = 0;
    for (std::uint64_t bits = support[w]; bits != 0; bits &= bits - 1) {
      const auto j = static_cast<std::size_t>(std::countr_zero(bits));
      const float d = *packed++;
      const bool below = d < floor[w * 64 + j];
      out_packed[count] = d;
      count += below;
      out |= static_cast<std::uint64_t>(below) << j;
    }
    out_support[w] = out;
  }
  return count;
}

__attribute__((target("avx512f,popcnt"))) std::size_t narrow_kept_avx512(
    const std::uint64_t* support, const float* packed, const float* floor, std::size_t words,
    std::uint64_t* out_support, float* out_packed) {
  std::size_t count = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t kept = support[w];
    std::uint64_t out = 0;
#pragma GCC unroll 4
    for (std::size_t q = 0; q < 4 && kept != 0; ++q) {
      const auto lanes = static_cast<__mmask16>(kept >> (16 * q));
      if (lanes == 0) continue;
      const __m512 x = _mm512_maskz_expand_ps(lanes, _mm512_loadu_ps(packed));
      const __m512 y = _mm512_maskz_loadu_ps(lanes, floor + w * 64 + 16 * q);
      const __mmask16 below = _mm512_mask_cmp_ps_mask(lanes, x, y, _CMP_LT_OQ);
      _mm512_storeu_ps(out_packed + count, _mm512_maskz_compress_ps(below, x));
      count += static_cast<std::size_t>(_mm_popcnt_u32(below));
      out |= static_cast<std::uint64_t>(below) << (16 * q);
      packed += _mm_popcnt_u32(lanes);
    }
    out_support[w] = out;
  }
  return count;
}

#pragma GCC diagnostic pop

// keep_below_avx512 with eight rows of eight columns at a time.
__attribute__((target("avx2,popcnt"))) void keep_below_avx2(const float* block, std::size_t rows,
                                                            std::size_t rb, std::size_t count,
                                                            const float* floor, float cutoff,
                                                            KeptValues& scratch) {
  static_assert(Scratch::kBlock % 64 == 0 && kGroup % 8 == 0);
  const __m256i step = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  for (std::size_t r0 = 0; r0 < rows; r0 += 8) {
    const auto live = static_cast<int>(std::min<std::size_t>(8, rows - r0));
    const std::size_t i = rb + r0;
    const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(live), step);
    const __m256 bound =
        floor != nullptr ? _mm256_maskload_ps(floor + i, valid) : _mm256_set1_ps(cutoff);
    for (std::size_t q0 = 0; q0 < count; q0 += 8) {
      __m256 in[8], t[8];
      for (std::size_t r = 0; r < 8; ++r) {
        in[r] = _mm256_loadu_ps(block + std::min<std::size_t>(r0 + r, rows - 1) * kGroup + q0);
      }
      simd::transpose8(in, t);
      const std::size_t cols = std::min<std::size_t>(8, count - q0);
      for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t q = q0 + c;
        const auto below = static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_and_ps(_mm256_castsi256_ps(valid), _mm256_cmp_ps(t[c], bound, _CMP_LT_OQ))));
        _mm256_storeu_ps(
            scratch.packed[q].data() + scratch.kept[q],
            _mm256_permutevar8x32_ps(t[c], simd::lane_table(simd::kLaneTables.compress, below)));
        scratch.kept[q] += static_cast<std::size_t>(std::popcount(below));
        scratch.support[q][i / 64] |= static_cast<std::uint64_t>(below) << (i % 64);
      }
    }
  }
}

using KeepBelow = void (*)(const float*, std::size_t, std::size_t, std::size_t, const float*,
                           float, KeptValues&);
constexpr KeepBelow kKeepBelow[] = {keep_below_plain, keep_below_avx2, keep_below_avx512};

void keep_below(const float* block, std::size_t rows, std::size_t rb, std::size_t count,
                const float* floor, float cutoff, KeptValues& scratch) {
  static const KeepBelow chosen = kKeepBelow[static_cast<int>(active_kernel_level())];
  chosen(block, rows, rb, count, floor, cutoff, scratch);
}

using NarrowKept = std::size_t (*)(const std::uint64_t*, const float*, const float*, std::size_t,
                                   std::uint64_t*, float*);
constexpr NarrowKept kNarrowKept[] = {narrow_kept_plain, narrow_kept_plain, narrow_kept_avx512};

std::size_t narrow_kept(const std::uint64_t* support, const float* packed, const float* floor,
                        std::size_t words, std::uint64_t* out_support, float* out_packed) {
  static const NarrowKept chosen = kNarrowKept[static_cast<int>(active_kernel_level())];
  return chosen(support, packed, floor, words, out_support, out_packed);
}

constexpr std::size_t kScreenWords = Scratch::kBlock / 64;

// Each value the screen lets through costs a few times what it costs in the
// dense tiles, so the screen only pays where few get through: it decides
// block by block, and a block where it does not pay turns it off for the
// next kScreenPause blocks.
// Workers may share one: the pause is then theirs together.
class ScreenUse {
 public:
  explicit ScreenUse(const QuantisedRows* codes) : codes_(codes) {}
  const QuantisedRows* now() {
    if (codes_ == nullptr) return nullptr;
    std::size_t left = pause_.load(std::memory_order_relaxed);
    while (left != 0) {
      if (pause_.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return nullptr;
    }
    return codes_;
  }
  void did_not_pay() { pause_.store(kScreenPause, std::memory_order_relaxed); }

 private:
  static constexpr std::size_t kScreenPause = 31;
  const QuantisedRows* codes_;
  std::atomic<std::size_t> pause_{0};
};

// The distances of columns cols[0 .. count) to rows rb .. re, or to the rows
// listed[0 .. re - rb) given a list, into `block` (row-major, kGroup columns
// a row), four columns to one pass over the rows.
void group_distances(const Points& points, const std::size_t* cols, std::size_t count,
                     std::size_t rb, std::size_t re, const std::uint32_t* listed, float* block) {
  for (std::size_t quad = 0; quad < count; quad += kTileRows) {
    std::size_t four[kTileRows];
    for (std::size_t q = 0; q < kTileRows; ++q) four[q] = cols[std::min(quad + q, count - 1)];
    if (listed != nullptr) {
      distance_columns4_listed(points.values(), points.dim(), points.metric(), four, listed,
                               re - rb, block + quad, kGroup);
    } else {
      distance_columns4(points.values(), points.dim(), points.metric(), four, rb, re,
                        block + quad, kGroup);
    }
  }
}

// The values a screened block lets through, all columns' together: a
// column has only a few in a block, and a kernel of sixteen lanes would
// mostly repeat them. Column q's are [ends[q - 1], ends[q]), in row order.
// A block's screen pays while at most one value in this many gets through.
constexpr std::size_t kScreenPays = 5;

struct Through {
  static constexpr std::size_t kMost = kGroup * Scratch::kBlock / kScreenPays + 1;
  std::uint32_t cols[kMost], rows[kMost];
  float values[kMost];
  std::size_t ends[kGroup];
};

// The distances of columns cols[0 .. count) to rows rb .. re into `block`
// (row-major, kGroup columns a row), except where the codes prove them at
// least their limit (screen_far's): those read +inf, which every use of the
// block treats as it would the exact value, since each only looks at
// distances below that limit. With `as_pairs`, a block that the screen
// serves is left alone and its values are returned instead (this thread's,
// until its next call); otherwise null.
const Through* distances_below(const Points& points, ScreenUse& screen, const std::size_t* cols,
                               std::size_t count, std::size_t rb, std::size_t re,
                               const float* limit, const float* also, float uniform, float* block,
                               const float* col_limit = nullptr, bool as_pairs = false) {
  std::uint64_t masks[kGroup * kScreenWords];
  const QuantisedRows* codes = screen.now();
  bool screened = codes != nullptr && screen_far(*codes, cols, count, rb, re, limit, also,
                                                 uniform, masks, kScreenWords, col_limit);
  if (screened) {
    std::size_t let = 0;
    for (std::size_t w = 0; w < count * kScreenWords; ++w) {
      let += static_cast<std::size_t>(std::popcount(masks[w]));
    }
    // At one in kScreenPays the values let through cost about what the tiles
    // do; Through holds no more.
    if (kScreenPays * let > count * (re - rb)) {
      screen.did_not_pay();
      screened = false;
    }
  }
  if (!screened) {
    group_distances(points, cols, count, rb, re, nullptr, block);
    return nullptr;
  }
  thread_local Through out;  // too large for a worker's stack
  std::size_t m = 0;
  for (std::size_t q = 0; q < count; ++q) {
    for (std::size_t w = 0; w < kScreenWords; ++w) {
      for (std::uint64_t bits = masks[q * kScreenWords + w]; bits != 0; bits &= bits - 1) {
        out.cols[m] = static_cast<std::uint32_t>(cols[q]);
        out.rows[m++] = static_cast<std::uint32_t>(rb + w * 64 + std::countr_zero(bits));
      }
    }
    out.ends[q] = m;
  }
  distance_pairs(points.values(), points.dim(), points.metric(), out.cols, out.rows, m, out.values);
  if (as_pairs) return &out;
  std::fill(block, block + (re - rb) * kGroup, std::numeric_limits<float>::infinity());
  for (std::size_t q = 0, k = 0; q < count; ++q) {
    for (; k < out.ends[q]; ++k) block[(out.rows[k] - rb) * kGroup + q] = out.values[k];
  }
  return nullptr;
}

// Keeps the distances of columns cols[0 .. count) to every row that lie below
// `cutoff` in the scratch, reading the rows in blocks: one pass over the
// matrix for the group.
void keep_group(const Points& points, const QuantisedRows* codes, const std::size_t* group,
                std::size_t count, float cutoff, Scratch& scratch) {
  const std::size_t n = points.n();
  scratch.begin(count, n);
  ScreenUse screen(codes);
  float* block = scratch.block.data();
  for (std::size_t rb = 0; rb < n; rb += Scratch::kBlock) {
    const std::size_t re = std::min(n, rb + Scratch::kBlock);
    distances_below(points, screen, group, count, rb, re, nullptr, nullptr, cutoff, block);
    keep_below(block, re - rb, rb, count, nullptr, cutoff, scratch);
  }
}

std::size_t kept_bytes_for(std::size_t count, std::size_t n) {
  const std::size_t words = (n + 63) / 64, chunks = (n + kRowChunk - 1) / kRowChunk;
  // Sixteen floats of slack for the vector loads past the last value.
  return (words + chunks) * sizeof(std::uint64_t) + (count + 16) * sizeof(float);
}

// Keeps the columns cols[a], a < m, whose bytes were claimed, with the
// values that the scratch holds for column qs[a], together in a new slab; or
// keeps none and returns false when an allocation fails.
bool keep_together(Memo& memo, const std::size_t* cols, const std::size_t* qs, std::size_t m,
                   const KeptValues& scratch, std::size_t level, std::size_t n) {
  const std::size_t words = (n + 63) / 64, chunks = (n + kRowChunk - 1) / kRowChunk;
  std::size_t floats = 0;
  for (std::size_t a = 0; a < m; ++a) floats += scratch.kept[qs[a]] + 16;
  std::unique_ptr<Memo::Slab> slab;
  std::vector<Memo::Kept> made;
  std::size_t place = 0;
  try {
    slab = std::make_unique<Memo::Slab>();
    slab->storage.reset(new float[floats]);
    slab->columns.assign(cols, cols + m);
    made.resize(m);
    for (auto& kept : made) {
      kept.support.reset(new std::uint64_t[words]);
      kept.offsets.reset(new std::uint64_t[chunks]);
    }
    const std::lock_guard lock(memo.slabs_mutex);
    place = memo.slabs.size();
    memo.slabs.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    return false;
  }
  slab->resident = floats * sizeof(float);
  float* at = slab->storage.get();
  for (std::size_t a = 0; a < m; ++a) {
    const std::size_t q = qs[a], count = scratch.kept[q];
    Memo::Kept& kept = made[a];
    const std::uint64_t* support = scratch.support[q].data();
    std::copy(support, support + words, kept.support.get());
    std::uint64_t offset = 0;
    for (std::size_t w = 0; w < words; ++w) {
      if (w % (kRowChunk / 64) == 0) kept.offsets[w / (kRowChunk / 64)] = offset;
      offset += static_cast<std::uint64_t>(std::popcount(support[w]));
    }
    std::copy(scratch.packed[q].data(), scratch.packed[q].data() + count, at);
    std::fill(at + count, at + count + 16, 0.0f);
    kept.packed = at;
    at += count + 16;
    kept.bytes = kept_bytes_for(count, n);
    kept.level = level;
    kept.slab = slab.get();
    memo.kept[cols[a]] = std::move(made[a]);
  }
  const std::lock_guard lock(memo.slabs_mutex);
  memo.slabs[place] = std::move(slab);
  return true;
}

// Charges kept data to the matrix's budget if that leaves `reserve` of it
// free, and gives it back.
bool claim(Memo& memo, std::size_t bytes, std::size_t reserve) {
  MemoryLedger& ledger = memo.matrix->ledger;
  if (ledger.used() + reserve > ledger.budget() || !ledger.charge(bytes)) return false;
  memo.kept_bytes.fetch_add(bytes, std::memory_order_relaxed);
  return true;
}

void release(Memo& memo, std::size_t bytes) {
  memo.matrix->ledger.refund(bytes);
  memo.kept_bytes.fetch_sub(bytes, std::memory_order_relaxed);
}

// keep_together for columns whose bytes were claimed and that were missing:
// they are no longer, or their bytes go back when they could not be kept.
void keep_claimed(Memo& memo, const std::size_t* cols, const std::size_t* qs, std::size_t m,
                  const KeptValues& scratch, std::size_t level, std::size_t n) {
  if (keep_together(memo, cols, qs, m, scratch, level, n)) {
    memo.missing.fetch_sub(m, std::memory_order_relaxed);
    return;
  }
  for (std::size_t a = 0; a < m; ++a) release(memo, kept_bytes_for(scratch.kept[qs[a]], n));
}

// Whether column a comes before column b in the order in which a greedy run
// starting from nothing asks for gains: by first gain, greatest first, lower
// index first among equals. The columns kept when not all fit are the first
// ones in it.
bool asked_sooner(const Memo& memo, std::size_t a, std::size_t b) {
  const auto ka = total_order_key(memo.first[a]), kb = total_order_key(memo.first[b]);
  return ka != kb ? ka > kb : a < b;
}

// The numbers of committed rows at which the kept columns are narrowed when
// some did not fit: at doublings. Narrowing at every early pick, where each
// shrinks them most, cost more in passes over them than it saved (a twelfth
// of a 40,000-row Euclidean call under 256 MiB), and a column narrowed later
// keeps serving the runs that leave the chain before its new level.
bool raises_at(std::size_t level) { return std::has_single_bit(level); }

// A share of the budget that kept columns leave to the rest of the call.
std::size_t reserve_of(const MemoryLedger& ledger) { return ledger.budget() / 8; }

// Whether every column's distances that can gain from nothing committed are
// worth keeping from the first gains on (judged by a sample of evenly spaced
// columns): they must fit the budget, less `reserve`, and be at most fifteen
// in sixteen of all. Where nearly all can gain (Euclidean similarities are
// positive but for the diameter's pair; rows that share a direction), the
// first picks drop most of them, and keeping the columns once they fit below
// the bounds is faster and far smaller. With fewer, the columns kept from the
// start also serve the sweep's runs that leave the first run's picks early.
bool all_worth_keeping(const Points& points, const FacilityLocation::Shared& shared,
                       const QuantisedRows* codes, std::size_t reserve) {
  const std::size_t n = points.n(), count = std::min(n, kGroup);
  const MemoryLedger& ledger = points.data()->ledger;
  if (ledger.used() + reserve >= ledger.budget()) return false;
  std::size_t cols[kGroup];
  for (std::size_t q = 0; q < count; ++q) cols[q] = q * n / count;
  Scratch scratch;
  keep_group(points, codes, cols, count, shared.below_empty, scratch);
  double bytes = 0.0, kept = 0.0;
  for (std::size_t q = 0; q < count; ++q) {
    bytes += static_cast<double>(kept_bytes_for(scratch.kept[q], n));
    kept += static_cast<double>(scratch.kept[q]);
  }
  return 16.0 * kept <= 15.0 * static_cast<double>(count) * static_cast<double>(n) &&
         bytes * static_cast<double>(n) / static_cast<double>(count) <=
             static_cast<double>(ledger.budget() - ledger.used() - reserve);
}

// The bytes the missing columns' distances below `floor` seem to need,
// judged by a sample of evenly spaced columns, where that fits the budget
// (less `reserve`).
std::optional<double> missing_seem_to_fit(const Points& points, const Memo& memo,
                                          const float* floor, std::size_t reserve) {
  const std::size_t n = points.n(), count = std::min(n, kGroup);
  const MemoryLedger& ledger = memo.matrix->ledger;
  if (ledger.used() + reserve >= ledger.budget()) return std::nullopt;
  std::size_t cols[kGroup];
  for (std::size_t q = 0; q < count; ++q) cols[q] = q * n / count;
  ScreenUse screen(memo.codes ? &*memo.codes : nullptr);
  std::vector<float> block(Scratch::kBlock * kGroup);
  std::size_t below = 0;
  for (std::size_t rb = 0; rb < n; rb += Scratch::kBlock) {
    const std::size_t re = std::min(n, rb + Scratch::kBlock);
    distances_below(points, screen, cols, count, rb, re, floor, nullptr, 0.0f, block.data());
    for (std::size_t i = rb; i < re; ++i) {
      for (std::size_t q = 0; q < count; ++q) below += block[(i - rb) * kGroup + q] < floor[i];
    }
  }
  const double bytes = static_cast<double>(kept_bytes_for(below / count, n)) *
                       static_cast<double>(memo.missing.load(std::memory_order_relaxed));
  if (bytes > static_cast<double>(ledger.budget() - ledger.used() - reserve)) return std::nullopt;
  return bytes;
}

// Adds, for a block of rows (row-major, kGroup lanes a row) of distances
// from below, each row's terms max(0, 1 - d * inverse) over its first
// `count` lanes to the lanes' sums and, from row `own` of the block on, to
// the row's sum too. In doubles, so that n of them stay within n units of
// their last place. With `inverse` at most 1 / scale, each term is no smaller
// than marginal()'s 1 - d / scale for the exact distance: every step rounds
// monotonically.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <bool Unit>
__attribute__((target("avx512f"))) void add_first_terms_avx512(const float* block,
                                                              std::size_t rows, std::size_t count,
                                                              std::size_t own, double inverse,
                                                              double* lanes, double* row_sums) {
  constexpr std::size_t kVectors = kGroup / 8;
  __m512d acc[kVectors];
  __mmask8 live[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    acc[v] = _mm512_loadu_pd(lanes + 8 * v);
    const std::size_t left = count > 8 * v ? std::min<std::size_t>(8, count - 8 * v) : 0;
    live[v] = static_cast<__mmask8>((1u << left) - 1);
  }
  const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd(), by = _mm512_set1_pd(inverse);
  for (std::size_t i = 0; i < rows; ++i) {
    __m512d row = zero;
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kVectors; ++v) {
      __m512d d = _mm512_cvtps_pd(_mm256_loadu_ps(block + i * kGroup + 8 * v));
      if constexpr (!Unit) d = _mm512_mul_pd(d, by);
      const __m512d t = _mm512_maskz_max_pd(live[v], _mm512_sub_pd(one, d), zero);
      acc[v] = _mm512_add_pd(acc[v], t);
      row = _mm512_add_pd(row, t);
    }
    if (i >= own) row_sums[i] += _mm512_reduce_add_pd(row);
  }
  for (std::size_t v = 0; v < kVectors; ++v) _mm512_storeu_pd(lanes + 8 * v, acc[v]);
}

template <bool Unit>
__attribute__((target("avx2,fma"))) void add_first_terms_avx2(const float* block, std::size_t rows,
                                                              std::size_t count, std::size_t own,
                                                              double inverse, double* lanes,
                                                              double* row_sums) {
  constexpr std::size_t kVectors = kGroup / 4;
  __m256d acc[kVectors], live[kVectors];
  for (std::size_t v = 0; v < kVectors; ++v) {
    acc[v] = _mm256_loadu_pd(lanes + 4 * v);
    const auto lane = [&](std::size_t l) { return 4 * v + l < count ? -1.0 : 0.0; };
    live[v] = _mm256_cmp_pd(_mm256_set_pd(lane(3), lane(2), lane(1), lane(0)), _mm256_setzero_pd(),
                            _CMP_LT_OQ);
  }
  const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd(), by = _mm256_set1_pd(inverse);
  for (std::size_t i = 0; i < rows; ++i) {
    __m256d row = zero;
#pragma GCC unroll 16
    for (std::size_t v = 0; v < kVectors; ++v) {
      __m256d d = _mm256_cvtps_pd(_mm_loadu_ps(block + i * kGroup + 4 * v));
      if constexpr (!Unit) d = _mm256_mul_pd(d, by);
      const __m256d t = _mm256_and_pd(_mm256_max_pd(_mm256_sub_pd(one, d), zero), live[v]);
      acc[v] = _mm256_add_pd(acc[v], t);
      row = _mm256_add_pd(row, t);
    }
    if (i >= own) {
      alignas(32) double four[4];
      _mm256_store_pd(four, row);
      row_sums[i] += (four[0] + four[1]) + (four[2] + four[3]);
    }
  }
  for (std::size_t v = 0; v < kVectors; ++v) _mm256_storeu_pd(lanes + 4 * v, acc[v]);
}
#pragma GCC diagnostic pop

// The first gains from above, where no column is kept from the start and the
// fused kernel is at hand: each pair's distance from below is computed once
// for both its columns, as the exact stripes do, and the sums are taken in
// any order, which a margin covers. A greedy run computes in full only the
// first gains that reach its top.
void bound_first_gains(const Points& points, const FacilityLocation::Shared& shared, Memo& memo) {
  const std::size_t n = points.n(), groups = (n + kGroup - 1) / kGroup;
  constexpr std::size_t kBlock = Scratch::kBlock;
  std::vector<double> sums(n, 0.0);
  struct Work {
    std::vector<float> block = std::vector<float>(kBlock * kGroup);
    std::vector<std::uint32_t> rows = std::vector<std::uint32_t>(kBlock);
  };
  std::vector<double> lanes;
  // 1 / scale from below, which a product then rounds no higher than the
  // quotient does.
  const double scale = shared.scale;
  double inverse = 1.0 / scale;
  if (std::fma(inverse, scale, -1.0) > 0.0) inverse = std::nextafter(inverse, 0.0);
  const bool wide = active_kernel_level() == KernelLevel::Avx512;
  const auto add = shared.unit_scale
                       ? (wide ? add_first_terms_avx512<true> : add_first_terms_avx2<true>)
                       : (wide ? add_first_terms_avx512<false> : add_first_terms_avx2<false>);
  for (std::size_t s = 0; s < groups; ++s) {
    const std::size_t c0 = s * kGroup, count = std::min(kGroup, n - c0);
    std::size_t cols[kGroup];
    for (std::size_t q = 0; q < count; ++q) cols[q] = c0 + q;
    const FusedDistances fused(points.values(), points.dim(), points.metric(), cols, count, nullptr,
                               memo.squares.data());
    const std::size_t blocks = (n - c0 + kBlock - 1) / kBlock;
    lanes.assign(blocks * kGroup, 0.0);
    // Each block's rows are its own, so their sums take no lock; the
    // group's own rows add to their lanes alone, once.
    pool::map_chunks(blocks, [] { return Work{}; }, [&](Work& work, std::size_t b) {
      control::poll();
      const std::size_t rb = c0 + b * kBlock, re = std::min(n, rb + kBlock);
      for (std::size_t i = rb; i < re; ++i) work.rows[i - rb] = static_cast<std::uint32_t>(i);
      fused.below(work.rows.data(), re - rb, work.block.data(), kGroup);
      const std::size_t own = std::min(re, std::max(rb, c0 + kGroup)) - rb;
      add(work.block.data(), re - rb, count, own, inverse, lanes.data() + b * kGroup,
          sums.data() + rb);
      control::advance(re - rb);
    });
    for (std::size_t b = 0; b < blocks; ++b) {
      for (std::size_t q = 0; q < count; ++q) sums[c0 + q] += lanes[b * kGroup + q];
    }
  }
  // Every term is positive and within a unit of its last place of its own
  // exact value, and a sum of n of them in any order within n units of the
  // exact sum; the exact gains' row-order sums are as close again.
  const double margin = 4.0 * sum_share(n);
  for (std::size_t c = 0; c < n; ++c) memo.first[c] = sums[c] + sums[c] * margin;
  memo.first_exact = false;
}

// A finished group's columns that were granted room, to be filled from its
// kept values, kFillColumns to a task.
struct Admitted {
  std::size_t c0 = 0, m = 0;
  std::size_t qs[kGroup];
  const KeptValues* from = nullptr;
};
constexpr std::size_t kFillColumns = 8;
std::size_t pieces(const Admitted& job) { return (job.m + kFillColumns - 1) / kFillColumns; }

// What a pass over the stripes does with the distances it computes.
struct StripeJob {
  bool sums = false;     // adds each column's similarities to memo.first, in row order
  bool keeping = false;  // keeps each column's distances below its rows' cutoffs
  const float* floor = nullptr;          // row i's cutoff, or `cutoff` for all where null
  float cutoff = 0.0f;
  const std::uint8_t* wanted = nullptr;  // the columns to keep, or all where null
  float limit = 0.0f;    // what the screen must let through where floor is null
  bool progress = false;
  bool give_back = false;  // the pending values' chunks go back to the system (ChunkPool)
};

// Stripe s computes the distances of group s's columns to the rows from its
// own on; group t > s takes those to its columns as its rows c0 .. c0 + 64,
// so each distance is computed once for both its columns. Every column still
// sums and keeps its rows in order: rows above its stripe come from the
// earlier stripes, in turn. Only the rows of one span at a time are held.
// `admit(c0, count, kept)` grants a finished group's columns room, and
// `fill(admitted, t)` fills piece t of them, on the pool.
template <class Admit, class Fill>
void run_stripes(const Points& points, const FacilityLocation::Shared& shared, Memo& memo,
                 const StripeJob& job, Admit admit, Fill fill) {
  const std::size_t n = points.n();
  const auto wants = [&](std::size_t c) { return job.wanted == nullptr || job.wanted[c] != 0; };
  // Filling writes fresh pages, whose first touch costs more than the copy:
  // a group's columns are filled by tasks of the next span's map, in pieces,
  // so that every worker shares it.
  std::optional<Admitted> admitted, filling;
  const std::size_t groups = (n + kGroup - 1) / kGroup;
  constexpr std::size_t kSpan = 32 * Scratch::kBlock;
  // Two spans: the pool computes one while a worker finishes the other. A
  // group's rows past the last read a whole group, whose extra lanes are dropped.
  std::vector<float> spans[2];
  for (auto& span : spans) span.assign((std::min(n, kSpan) + kGroup) * kGroup, 0.0f);
  // Freed chunks waiting to be taken again hold at most 1/256 of the budget
  // (16 to 1,024 of them). The pool outlives `pending`.
  ChunkPool chunk_pool(job.give_back,
                       std::clamp<std::size_t>(memo.matrix->ledger.budget() / 256 / ChunkPool::kBytes,
                                               16, 1024));
  std::vector<PendingGroup> pending;
  if (job.keeping) {
    pending.reserve(groups);
    for (std::size_t t = 0; t < groups; ++t) pending.emplace_back(&chunk_pool);
  }
  // A group's kept values, while the next group's may still be filled from
  // the last one's.
  KeptValues owns[2];
  // Adds a block's rows (row-major, kGroup columns a row) to the sums so far
  // of columns c0 .. c0 + width; lanes past `width` add stale values to sums
  // that are dropped.
  const auto add_rows = [&](const float* block, std::size_t rows, std::size_t c0,
                            std::size_t width) {
    double sums[kGroup] = {};
    std::copy(memo.first.data() + c0, memo.first.data() + c0 + width, sums);
    add_similarities(block, rows, shared.scale, shared.unit_scale, sums);
    std::copy(sums, sums + width, memo.first.data() + c0);
  };
  ScreenUse screen(memo.codes ? &*memo.codes : nullptr);
  // A span computed: its rows r0 .. r1 of group s's columns.
  struct Span {
    std::size_t s = 0, r0 = 0, r1 = 0;
    const float* values = nullptr;
  };
  // Adds a span's rows to its own group's sums and kept values, and admits
  // the group after its last span.
  const auto finish = [&](const Span& done) {
    const std::size_t c0 = done.s * kGroup, count = std::min(kGroup, n - c0);
    if (job.sums) add_rows(done.values, done.r1 - done.r0, c0, count);
    if (!job.keeping) return;
    KeptValues& own = owns[done.s % 2];
    if (done.r0 == c0) {
      if (own.packed[0].empty()) own.begin(kGroup, n);
      pending[done.s].drain(count, done.s, own);
    }
    keep_below(done.values, done.r1 - done.r0, done.r0, count, job.floor, job.cutoff, own);
    if (done.r1 == n) admitted = admit(c0, count, own);
  };
  struct Work {
    std::vector<float> flipped = std::vector<float>(kGroup * kGroup, 0.0f);
  };
  std::optional<Span> last;
  std::size_t turn = 0;
  for (std::size_t s = 0; s < groups; ++s) {
    const std::size_t c0 = s * kGroup, count = std::min(kGroup, n - c0);
    std::size_t cols[kGroup];
    for (std::size_t q = 0; q < count; ++q) cols[q] = c0 + q;
    // A pair's distance is needed below either row's cutoff, as each
    // column's rows take it.
    const float* col_limit = job.floor != nullptr ? job.floor + c0 : nullptr;
    for (std::size_t r0 = c0; r0 < n; r0 += kSpan, turn ^= 1) {
      const std::size_t r1 = std::min(n, r0 + kSpan);
      float* const span = spans[turn].data();
      filling = std::exchange(admitted, std::nullopt);
      const std::size_t blocks = (r1 - r0 + Scratch::kBlock - 1) / Scratch::kBlock;
      const std::size_t fills = filling ? pieces(*filling) : 0;
      // Task 0 finishes the span before, whose group this one's does not
      // touch; the last tasks fill the group admitted before that.
      pool::map_chunks(
          1 + blocks + fills, [] { return Work{}; },
          [&](Work& work, std::size_t b) {
            control::poll();
            if (b == 0) {
              if (last) finish(*last);
              return;
            }
            if (b > blocks) {
              fill(*filling, b - 1 - blocks);
              return;
            }
            const std::size_t rb = r0 + (b - 1) * Scratch::kBlock, re = std::min(r1, rb + Scratch::kBlock);
            float* block = span + (rb - r0) * kGroup;
            distances_below(points, screen, cols, count, rb, re, job.floor, nullptr, job.limit, block,
                            col_limit);
            for (std::size_t t = std::max(rb, c0 + kGroup) / kGroup; t * kGroup < re; ++t) {
              const std::size_t t0 = t * kGroup, width = std::min(kGroup, n - t0);
              const float* square = block + (t0 - rb) * kGroup;
              if (job.sums) {
                float* flipped = work.flipped.data();
                transpose_group(square, flipped);
                add_rows(flipped, count, t0, width);
              }
              // Row q of the square is column t0 + q's stretch of this stripe.
              // Stripes come in order, and one block holds all of group t's.
              std::uint64_t* masks = job.keeping ? pending[t].next_stripe() : nullptr;
              for (std::size_t q = 0; job.keeping && q < width; ++q) {
                if (!wants(t0 + q)) continue;
                float below[kGroup + 16];
                const std::uint64_t mask = compress_below(square + q * kGroup, col_limit, job.cutoff, below);
                masks[q] = mask;
                pending[t].append(below, static_cast<std::size_t>(std::popcount(mask)));
              }
            }
            if (job.progress) control::advance(re - rb);
          });
      last = Span{s, r0, r1, span};
    }
  }
  // The last map's task 0 may have admitted a group, and so may the last finish.
  const auto fill_admitted = [&] {
    if (!admitted) return;
    const Admitted done = *std::exchange(admitted, std::nullopt);
    pool::map_chunks(pieces(done), [] { return 0; }, [&](int, std::size_t t) { fill(done, t); });
  };
  fill_admitted();
  if (last) finish(*last);
  fill_admitted();
}

// Every column's sum of similarities in row order, and its kept distances:
// on the pool, each distance computed once for both its columns (the
// stripes), each column's sum still added row after row, so neither the
// split nor the thread count changes a bit. When the budget runs out, a
// column asked for sooner displaces the kept one asked for last.
void build_memo(const Points& points, const FacilityLocation::Shared& shared, Memo& memo) {
  const std::size_t n = points.n();
  // What an attempt that threw had kept.
  if (memo.matrix) memo.matrix->ledger.refund(memo.kept_bytes.exchange(0));
  memo.kept.clear();
  memo.slabs.clear();
  memo.narrow.clear();
  memo.chain.clear();
  memo.floor.clear();
  memo.floor_level = 0;
  memo.fits_from = std::numeric_limits<std::size_t>::max();
  memo.matrix = points.data();
  memo.first.assign(n, 0.0);
  memo.first_exact = true;
  memo.kept.resize(n);
  memo.narrow.resize(n);
  memo.missing.store(n);
  const std::size_t reserve = reserve_of(memo.matrix->ledger);
  memo.codes.reset();
  if (active_filter().level != FilterLevel::Exact) {
    const std::size_t bytes = QuantisedRows::bytes_for(n, points.dim());
    if (claim(memo, bytes, reserve)) {
      memo.codes = QuantisedRows::build(points.values(), n, points.dim(), points.metric(),
                                        active_filter().code_limit);
      if (!memo.codes) release(memo, bytes);
    }
  }
  const QuantisedRows* codes = memo.codes ? &*memo.codes : nullptr;
  // Progress counts rows of the stripes, about n * n / 128 in all.
  std::uint64_t stripe_rows = 0;
  for (std::size_t c0 = 0; c0 < n; c0 += kGroup) stripe_rows += n - c0;
  control::begin(Phase::Setup, stripe_rows);
  // Where the fused kernel can bound the first gains, nothing is kept from
  // the start: its stripes take 2.5 times less than the exact ones, and the
  // columns kept once they fit below the first picks' bounds hold a fraction
  // of the values (the first pick alone drops about half), which on every
  // share of positive similarities measured cost less time as well.
  // Otherwise the first evaluations keep columns instead, as they compute
  // them: by then fewer rows can gain, so more columns fit.
  memo.squares.clear();
  if (n >= 2 && n <= std::numeric_limits<std::uint32_t>::max() &&
      FusedDistances::available(points.dim())) {
    memo.squares.resize(n);
    row_squares(points.values(), n, points.dim(), memo.squares.data());
    bound_first_gains(points, shared, memo);
    return;
  }
  const bool keeping = all_worth_keeping(points, shared, codes, reserve);
  struct Admission {
    std::mutex mutex;
    std::vector<std::size_t> heap;    // the kept columns, the one asked for last in front
    std::vector<std::uint8_t> ready;  // filled, so it may be displaced
  } admission;
  if (keeping) admission.ready.assign(n, 0);
  // With this order the heap's front is the kept column asked for last.
  const auto sooner = [&memo](std::size_t a, std::size_t b) { return asked_sooner(memo, a, b); };
  // Room is granted under the lock, filled outside it (fill below); displaced
  // columns are freed outside it too.
  const auto admit = [&](std::size_t c0, std::size_t count, const KeptValues& scratch) {
    Admitted out;
    out.c0 = c0;
    out.from = &scratch;
    std::vector<std::unique_ptr<float[]>> displaced;  // freed after the lock goes
    const std::lock_guard lock(admission.mutex);
    auto& heap = admission.heap;
    for (std::size_t q = 0; q < count; ++q) {
      const std::size_t c = c0 + q, bytes = kept_bytes_for(scratch.kept[q], n);
      for (;;) {
        if (claim(memo, bytes, reserve)) {
          out.qs[out.m++] = q;
          heap.push_back(c);
          std::push_heap(heap.begin(), heap.end(), sooner);
          break;
        }
        if (heap.empty() || !admission.ready[heap.front()] || !asked_sooner(memo, c, heap.front())) {
          break;
        }
        std::pop_heap(heap.begin(), heap.end(), sooner);
        Memo::Kept& slot = memo.kept[heap.back()];
        admission.ready[heap.back()] = 0;
        heap.pop_back();
        if (slot.support) {
          release(memo, slot.bytes);
          memo.missing.fetch_add(1, std::memory_order_relaxed);
          // Each column of the build has a slab of its own.
          slot.slab->columns.clear();
          displaced.push_back(std::move(slot.slab->storage));
        }
        slot = Memo::Kept{};
      }
    }
    return out;
  };
  const auto fill = [&](const Admitted& job, std::size_t t) {
    const std::size_t a0 = t * kFillColumns, a1 = std::min(job.m, a0 + kFillColumns);
    bool filled[kGroup];
    for (std::size_t a = a0; a < a1; ++a) {
      const std::size_t q = job.qs[a], c = job.c0 + q;
      filled[a] = keep_together(memo, &c, &q, 1, *job.from, 0, n);
    }
    const std::lock_guard lock(admission.mutex);
    for (std::size_t a = a0; a < a1; ++a) {
      const std::size_t q = job.qs[a];
      admission.ready[job.c0 + q] = 1;
      if (filled[a]) {
        memo.missing.fetch_sub(1, std::memory_order_relaxed);
      } else {
        release(memo, kept_bytes_for(job.from->kept[q], n));
      }
    }
  };
  StripeJob job;
  job.sums = true;
  job.keeping = keeping;
  job.cutoff = shared.below_empty;
  job.limit = keeping ? std::max(shared.below_empty, shared.scale) : shared.scale;
  job.progress = true;
  run_stripes(points, shared, memo, job, admit, fill);
}

// Once every missing column seems to fit below the floor, keeps them all in
// one pass over the stripes, each distance computed once for both its
// columns, rather than each against every row as a run asks for its gain:
// where at least half are missing, that computes fewer distances. `bytes`
// is what they seemed to need.
void keep_missing(const Points& points, const FacilityLocation::Shared& shared, Memo& memo,
                  double bytes) {
  const std::size_t n = points.n(), level = memo.floor_level;
  std::vector<std::uint8_t> wanted(n, 0);
  for (std::size_t c = 0; c < n; ++c) wanted[c] = memo.kept[c].support ? 0 : 1;
  for (const std::size_t c : memo.chain) wanted[c] = 0;  // never asked for again
  const auto count = static_cast<std::size_t>(std::count(wanted.begin(), wanted.end(), 1));
  if (2 * count < n) return;
  const std::size_t reserve = reserve_of(memo.matrix->ledger);
  const auto admit = [&](std::size_t c0, std::size_t width, const KeptValues& scratch) {
    Admitted out;
    out.c0 = c0;
    out.from = &scratch;
    for (std::size_t q = 0; q < width; ++q) {
      if (!wanted[c0 + q]) continue;
      if (claim(memo, kept_bytes_for(scratch.kept[q], n), reserve)) {
        out.qs[out.m++] = q;
      } else {
        memo.full_at.store(level, std::memory_order_relaxed);
      }
    }
    return out;
  };
  const auto fill = [&](const Admitted& job, std::size_t t) {
    const std::size_t a0 = t * kFillColumns, m = std::min(job.m, a0 + kFillColumns) - a0;
    std::size_t cols[kFillColumns];
    for (std::size_t a = 0; a < m; ++a) cols[a] = job.c0 + job.qs[a0 + a];
    keep_claimed(memo, cols, job.qs + a0, m, *job.from, level, n);
  };
  StripeJob job;
  job.keeping = true;
  job.floor = memo.floor.data();
  job.wanted = wanted.data();
  // The pending values peak near a quarter of what the pass keeps; where
  // they would no longer fit beside it (and the narrow copies' share), their
  // chunks go back to the system as they are freed.
  const MemoryLedger& ledger = memo.matrix->ledger;
  job.give_back = static_cast<double>(ledger.used()) + 1.25 * bytes >
                  static_cast<double>(ledger.budget() - reserve / 2);
  run_stripes(points, shared, memo, job, admit, fill);
}

// Once the rows of memo.chain are committed, a row whose distance to a
// candidate is not below `floor` (the bounds after those rows) never gains
// from it again: drops those values from every kept column. The room that
// frees goes to the columns that the next evaluations compute afresh.
void raise_level(const Points& points, Memo& memo, const float* floor) {
  const std::size_t n = points.n(), words = (n + 63) / 64;
  const std::size_t level = memo.chain.size();
  constexpr std::size_t kChunkWords = kRowChunk / 64;
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  memo.floor.assign(floor, floor + n);
  memo.floor_level = level;
  pool::map_chunks(
      memo.slabs.size(), [] { return 0; },
      [&](int, std::size_t s) {
        Memo::Slab& slab = *memo.slabs[s];
        if (slab.columns.empty()) return;
        if (s % 64 == 0) control::poll();
        // In place, chunk by chunk: a chunk's values are all read before its
        // survivors are written back, at or before where it began.
        float survivors[kRowChunk + 16];
        float* cursor = slab.storage.get();
        for (const std::size_t c : slab.columns) {
          Memo::Kept& slot = memo.kept[c];
          std::uint64_t* support = slot.support.get();
          std::size_t count = 0;
          for (std::size_t w0 = 0, chunk = 0; w0 < words; w0 += kChunkWords, ++chunk) {
            const std::size_t from = slot.offsets[chunk];
            const std::size_t got = narrow_kept(support + w0, slot.packed + from, floor + w0 * 64,
                                                std::min(kChunkWords, words - w0), support + w0,
                                                survivors);
            slot.offsets[chunk] = count;
            std::copy(survivors, survivors + got, cursor + count);
            count += got;
          }
          std::fill(cursor + count, cursor + count + 16, 0.0f);
          slot.packed = cursor;
          cursor += count + 16;
          const std::size_t bytes = kept_bytes_for(count, n);
          release(memo, slot.bytes - bytes);
          slot.bytes = bytes;
          slot.level = level;
        }
        // Only whole pages within the block, so the allocator's words around
        // it stay.
        const auto start = reinterpret_cast<std::uintptr_t>(slab.storage.get());
        const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(cursor) + page - 1) & ~(page - 1);
        const std::uintptr_t to = (start + slab.resident) & ~(page - 1);
        if (to > from) {
          madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
          slab.resident = from - start;
        }
      });
}

// The numbers of committed rows at which narrow copies are made: at
// doublings from 16 on. At 8 they would hold about a tenth of the rows, in
// fresh pages beside the kept columns, whose first touch can cost more than
// the scans of the kept columns they spare until the next doubling.
bool narrows_at(std::size_t level) { return level >= 16 && std::has_single_bit(level); }

// Narrow copies index rows in 32 bits and gather bounds with signed indices.
bool narrows_rows(std::size_t n) { return n < (std::size_t{1} << 31); }

// The entries e < len with values[e] < below[rows[e]], in order: their rows to
// `found` and values to `hit`, each with sixteen entries of room past the
// count, which is returned.
std::size_t narrow_below_plain(const std::uint32_t* rows, const float* values, const float* below,
                               std::size_t len, std::uint32_t* found, float* hit) {
  std::size_t m = 0;
  for (std::size_t e = 0; e < len; ++e) {
    if (values[e] < below[rows[e]]) {
      found[m] = rows[e];
      hit[m++] = values[e];
    }
  }
  return m;
}

#pragma GCC diagnostic push  // GCC 12 warns inside its own intrinsic headers
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// With `Sum` it adds below[row] - value over the hits in lanes of doubles
// instead of listing them, as kept_gain_below does, and reports whether one
// was tiny.
template <bool Sum>
__attribute__((target("avx512f,avx512dq,popcnt"))) std::size_t narrow_below_lanes(
    const std::uint32_t* rows, const float* values, const float* below, std::size_t len,
    std::uint32_t* found, float* hit, float tiny, double* sum) {
  const __m512 floor = _mm512_set1_ps(tiny);
  __m512d acc[2] = {_mm512_setzero_pd(), _mm512_setzero_pd()};
  __mmask16 tiny_seen = 0;
  std::size_t m = 0;
  for (std::size_t e = 0; e < len; e += 16) {
    const std::size_t left = std::min<std::size_t>(16, len - e);
    const auto lanes = static_cast<__mmask16>(left == 16 ? 0xFFFF : (1u << left) - 1);
    const __m512i at = _mm512_maskz_loadu_epi32(lanes, rows + e);
    const __m512 d = _mm512_maskz_loadu_ps(lanes, values + e);
    const __m512 b = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), lanes, at, below, 4);
    const __mmask16 gains = _mm512_mask_cmp_ps_mask(lanes, d, b, _CMP_LT_OQ);
    if constexpr (Sum) {
      tiny_seen |= simd::add_gain_terms(acc, gains, b, d, floor);
    } else {
      _mm512_storeu_si512(found + m, _mm512_maskz_compress_epi32(gains, at));
      _mm512_storeu_ps(hit + m, _mm512_maskz_compress_ps(gains, d));
      m += static_cast<std::size_t>(_mm_popcnt_u32(gains));
    }
  }
  if constexpr (Sum) {
    *sum = _mm512_reduce_add_pd(_mm512_add_pd(acc[0], acc[1]));
    return tiny_seen == 0 ? 1 : 0;
  }
  return m;
}
#pragma GCC diagnostic pop

std::size_t narrow_below_avx512(const std::uint32_t* rows, const float* values,
                                const float* below, std::size_t len, std::uint32_t* found,
                                float* hit) {
  return narrow_below_lanes<false>(rows, values, below, len, found, hit, 0.0f, nullptr);
}

bool narrow_gain_avx512(const std::uint32_t* rows, const float* values, const float* below,
                        std::size_t len, float tiny, double* sum) {
  return narrow_below_lanes<true>(rows, values, below, len, nullptr, nullptr, tiny, sum) != 0;
}

bool narrow_gain_plain(const std::uint32_t* rows, const float* values, const float* below,
                       std::size_t len, float tiny, double* sum) {
  double acc = 0.0;
  bool fine = true;
  for (std::size_t e = 0; e < len; ++e) {
    const float b = below[rows[e]], d = values[e];
    if (d < b) {
      fine = fine && gain_term_fits(b, d, tiny);
      acc += static_cast<double>(b) - static_cast<double>(d);
    }
  }
  *sum = acc;
  return fine;
}

// narrow_below_lanes with eight lanes and gathers.
template <bool Sum>
__attribute__((target("avx2,fma,popcnt"))) std::size_t narrow_below_lanes_avx2(
    const std::uint32_t* rows, const float* values, const float* below, std::size_t len,
    std::uint32_t* found, float* hit, float tiny, double* sum) {
  const __m256 floor = _mm256_set1_ps(tiny);
  const __m256i step = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
  __m256 tiny_seen = _mm256_setzero_ps();
  std::size_t m = 0;
  for (std::size_t e = 0; e < len; e += 8) {
    const auto left = static_cast<int>(std::min<std::size_t>(8, len - e));
    const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(left), step);
    const __m256i at = _mm256_maskload_epi32(reinterpret_cast<const int*>(rows + e), lanes);
    const __m256 d = _mm256_maskload_ps(values + e, lanes);
    const __m256 b =
        _mm256_mask_i32gather_ps(_mm256_setzero_ps(), below, at, _mm256_castsi256_ps(lanes), 4);
    const __m256 gains = _mm256_and_ps(_mm256_castsi256_ps(lanes), _mm256_cmp_ps(d, b, _CMP_LT_OQ));
    if constexpr (Sum) {
      tiny_seen = _mm256_or_ps(tiny_seen, simd::add_gain_terms8(acc, gains, b, d, floor));
    } else {
      const auto bits = static_cast<unsigned>(_mm256_movemask_ps(gains));
      const __m256i order = simd::lane_table(simd::kLaneTables.compress, bits);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(found + m),
                          _mm256_permutevar8x32_epi32(at, order));
      _mm256_storeu_ps(hit + m, _mm256_permutevar8x32_ps(d, order));
      m += static_cast<std::size_t>(std::popcount(bits));
    }
  }
  if constexpr (Sum) {
    *sum = simd::lane_sum(acc);
    return _mm256_movemask_ps(tiny_seen) == 0 ? 1 : 0;
  }
  return m;
}

std::size_t narrow_below_avx2(const std::uint32_t* rows, const float* values, const float* below,
                              std::size_t len, std::uint32_t* found, float* hit) {
  return narrow_below_lanes_avx2<false>(rows, values, below, len, found, hit, 0.0f, nullptr);
}

bool narrow_gain_avx2(const std::uint32_t* rows, const float* values, const float* below,
                      std::size_t len, float tiny, double* sum) {
  return narrow_below_lanes_avx2<true>(rows, values, below, len, nullptr, nullptr, tiny, sum) != 0;
}

using NarrowGain = bool (*)(const std::uint32_t*, const float*, const float*, std::size_t, float,
                            double*);
constexpr NarrowGain kNarrowGain[] = {narrow_gain_plain, narrow_gain_avx2, narrow_gain_avx512};

// The sum of below[row] - value over a narrow copy's hits, as kept_gain_below
// for kept values.
bool narrow_gain(const std::uint32_t* rows, const float* values, const float* below,
                 std::size_t len, float tiny, double* sum) {
  static const NarrowGain chosen = kNarrowGain[static_cast<int>(active_kernel_level())];
  return chosen(rows, values, below, len, tiny, sum);
}

using NarrowBelow = std::size_t (*)(const std::uint32_t*, const float*, const float*, std::size_t,
                                    std::uint32_t*, float*);
constexpr NarrowBelow kNarrowBelow[] = {narrow_below_plain, narrow_below_avx2, narrow_below_avx512};

std::size_t narrow_below(const std::uint32_t* rows, const float* values, const float* below,
                         std::size_t len, std::uint32_t* found, float* hit) {
  static const NarrowBelow chosen = kNarrowBelow[static_cast<int>(active_kernel_level())];
  return chosen(rows, values, below, len, found, hit);
}

// After the rows of memo.chain: each column's distances below `floor`, from
// its narrow copy or else its kept values, as a new narrow copy. A column
// whose copy does not fit the budget, less half its reserve, goes on
// without: copies are made only once every column is kept, so what else
// the call still asks for is little more than the sweep's checkpoints.
void narrow_level(const Points& points, Memo& memo, const float* floor) {
  const std::size_t n = points.n();
  const std::size_t level = memo.chain.size();
  const MemoryLedger& ledger = memo.matrix->ledger;
  const std::size_t reserve = reserve_of(ledger) / 2;
  struct Room {
    std::vector<std::uint32_t> rows;
    std::vector<float> values;
  };
  pool::map_chunks(
      n, [&] { return Room{std::vector<std::uint32_t>(n + 16), std::vector<float>(n + 16)}; },
      [&](Room& room, std::size_t c) {
        if (c % 256 == 0) control::poll();
        Memo::Narrow& slot = memo.narrow[c];
        // Where the kept columns fill the budget, claim() would refuse a new
        // copy whatever its size: skip the pass over the column that sizes it.
        if (!slot.rows && ledger.used() + reserve > ledger.budget()) return;
        std::size_t count = 0;
        if (slot.rows) {
          count = narrow_below(slot.rows.get(), slot.values.get(), floor, slot.count,
                               room.rows.data(), room.values.data());
        } else {
          const Memo::Kept& kept = memo.kept[c];
          if (!kept.support) return;
          count = kept_below(kept.support.get(), kept.packed, floor, n, room.rows.data(),
                             room.values.data());
        }
        const std::size_t bytes = count * (sizeof(std::uint32_t) + sizeof(float));
        const bool fresh = !slot.rows;
        if (fresh && !claim(memo, bytes, reserve)) return;
        Memo::Narrow made;
        try {
          made.rows.reset(new std::uint32_t[std::max<std::size_t>(count, 1)]);
          made.values.reset(new float[std::max<std::size_t>(count, 1)]);
        } catch (const std::bad_alloc&) {
          if (fresh) release(memo, bytes);
          return;
        }
        std::copy(room.rows.begin(), room.rows.begin() + static_cast<std::ptrdiff_t>(count),
                  made.rows.get());
        std::copy(room.values.begin(), room.values.begin() + static_cast<std::ptrdiff_t>(count),
                  made.values.get());
        made.count = count;
        made.bytes = bytes;
        made.level = level;
        if (!fresh) release(memo, slot.bytes - bytes);
        slot = std::move(made);
      });
}

}  // namespace

FacilityLocation::FacilityLocation(std::shared_ptr<Shared> shared, std::size_t n)
    : shared_(std::move(shared)), best_(n, 0.0), below_(n, shared_->below_empty) {}

FacilityLocation FacilityLocation::create(const Points& points) {
  float scale = 1.0f;
  if (points.metric() == Metric::Euclidean) {
    const float d = points.n() >= 2 ? points.diameter().d : 0.0f;
    if (std::isfinite(d) && d > 0.0f) scale = d;
  }
  return FacilityLocation(std::make_shared<Shared>(scale), points.n());
}

float FacilityLocation::scale() const noexcept { return shared_->scale; }

void FacilityLocation::check_points(const Points& points) const {
  if (best_.size() != points.n()) {
    throw ContractViolation(
        "facility-location cache was built for a different point set (left: " +
        std::to_string(best_.size()) + ", right: " + std::to_string(points.n()) + ")");
  }
}

const FacilityLocation::Memo* FacilityLocation::memo(const Points& points) const {
  Shared& shared = *shared_;
  shared.once.call([&] { build_memo(points, shared, shared.memo); });
  return shared.memo.matrix == points.data() ? &shared.memo : nullptr;
}

namespace {

// A column's narrow copy or kept values where they serve a run that matched
// the memo's chain for `matched` commits, or else null.
const Memo::Narrow* narrow_for(const Memo* m, std::size_t c, std::size_t matched) {
  return m != nullptr && m->narrow[c].rows && m->narrow[c].level <= matched ? &m->narrow[c]
                                                                              : nullptr;
}

const Memo::Kept* kept_for(const Memo* m, std::size_t c, std::size_t matched) {
  return m != nullptr && m->kept[c].support && m->kept[c].level <= matched ? &m->kept[c]
                                                                            : nullptr;
}

}  // namespace

template <class Visit>
void FacilityLocation::for_each_gaining_row(std::size_t c, const Points& points,
                                            Visit visit) const {
  const std::size_t n = best_.size();
  std::uint32_t found[kRowChunk + 16];
  float values[kRowChunk + 16];
  const Memo* m = memo(points);
  if (const Memo::Narrow* narrow = narrow_for(m, c, matched_)) {
    for (std::size_t e0 = 0; e0 < narrow->count; e0 += kRowChunk) {
      const std::size_t len = std::min(kRowChunk, narrow->count - e0);
      const std::size_t count = narrow_below(narrow->rows.get() + e0, narrow->values.get() + e0,
                                             below_.data(), len, found, values);
      for (std::size_t e = 0; e < count; ++e) visit(found[e], values[e]);
    }
    return;
  }
  if (const Memo::Kept* kept = kept_for(m, c, matched_)) {
    const std::uint64_t* support = kept->support.get();
    const float* packed = kept->packed;
    const std::uint64_t* offsets = kept->offsets.get();
    for (std::size_t base = 0; base < n; base += kRowChunk) {
      const std::size_t len = std::min(kRowChunk, n - base);
      const std::size_t count = kept_below(support + base / 64, packed + offsets[base / kRowChunk],
                                           below_.data() + base, len, found, values);
      for (std::size_t e = 0; e < count; ++e) visit(base + found[e], values[e]);
    }
    return;
  }
  // Computed afresh rather than through the matrix's cache: a dense column
  // would take the room of several kept ones.
  const float* d = points.columns().find(c);
  if (d == nullptr) {
    thread_local std::vector<float> room;
    room.resize(n);
    distance_column(points.values(), points.dim(), points.metric(), c, 0, n, room.data());
    d = room.data();
  }
  std::uint64_t hits[kRowChunk / 64];
  for (std::size_t base = 0; base < n; base += kRowChunk) {
    const std::size_t len = std::min(kRowChunk, n - base);
    below_masks(d + base, below_.data() + base, len, hits);
    for (std::size_t w = 0; w * 64 < len; ++w) {
      for (std::uint64_t h = hits[w]; h != 0; h &= h - 1) {
        const std::size_t i = base + w * 64 + static_cast<std::size_t>(std::countr_zero(h));
        visit(i, d[i]);
      }
    }
  }
}

double FacilityLocation::marginal(std::size_t c, const Points& points) const {
  check_points(points);
  if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  if (committed_ == 0) {
    if (const Memo* m = memo(points); m != nullptr && m->first_exact) return m->first[c];
  }
  const Shared& shared = *shared_;
  // Under cosine a gaining row's term is exactly below_[i] - d (best_[i] is
  // 1 - below_[i], or 0 where below_[i] is 1). Where every such value is 0
  // or at least 2^(bits(n) - 30), each term is a multiple of u = 2^(bits(n) -
  // 53) and at most 1, so every partial sum of n of them is a multiple of u
  // below 2^53 u, exact in doubles: any order of addition gives the
  // row-order sum, and the kept values' kernel adds them in lanes.
  const Memo* m = shared.unit_scale ? memo(points) : nullptr;
  if (m != nullptr) {
    const std::size_t n = best_.size();
    const float tiny = std::ldexp(1.0f, static_cast<int>(std::bit_width(n)) - 30);
    double sum = 0.0;
    if (const Memo::Narrow* narrow = narrow_for(m, c, matched_)) {
      if (narrow_gain(narrow->rows.get(), narrow->values.get(), below_.data(), narrow->count,
                      tiny, &sum)) {
        return sum;
      }
    } else if (const Memo::Kept* kept = kept_for(m, c, matched_);
               kept != nullptr &&
               kept_gain_below(kept->support.get(), kept->packed, below_.data(), n, tiny, &sum)) {
      return sum;
    }
  }
  double acc = 0.0;
  for_each_gaining_row(c, points, [&](std::size_t i, float d) {
    acc += shared.raw_similarity(d) - best_[i];
  });
  return acc;
}

bool FacilityLocation::holds_column(const Memo* m, std::size_t c, const Points& points) const {
  return narrow_for(m, c, matched_) != nullptr || kept_for(m, c, matched_) != nullptr ||
         points.columns().find(c) != nullptr;
}

bool FacilityLocation::keeps_afresh(const Points& points, std::size_t count) const {
  const Memo& memo = shared_->memo;
  if (memo.matrix != points.data() || matched_ != committed_ || committed_ != memo.chain.size() ||
      shared_.use_count() != 1 || memo.missing.load(std::memory_order_relaxed) == 0 ||
      memo.floor_level == 0 || memo.full_at.load(std::memory_order_relaxed) == committed_) {
    return false;
  }
  const MemoryLedger& ledger = memo.matrix->ledger;
  return ledger.used() + reserve_of(ledger) + count * kept_bytes_for(0, best_.size()) <=
         ledger.budget();
}

void FacilityLocation::gains_afresh(std::span<const std::size_t> cols, const Points& points,
                                    double* out) const {
  constexpr std::size_t kBlock = 256;
  const std::size_t n = best_.size(), count = cols.size();
  thread_local std::vector<float> room;
  room.resize(kBlock * kAfresh);
  float* block = room.data();
  Shared& shared = *shared_;
  // The run that grows the memo keeps the columns it computes while there is
  // room (its bounds are never looser than the memo's floor).
  static_assert(kAfresh == kGroup && kBlock == Scratch::kBlock);
  Memo& memo = shared.memo;
  std::unique_ptr<Scratch> keeping;
  const std::size_t reserve = memo.matrix ? reserve_of(memo.matrix->ledger) : 0;
  if (keeps_afresh(points, count)) {
    keeping = memo.shelf.take();
    keeping->begin(count, n);
  }
  ScreenUse screen(memo.matrix == points.data() && memo.codes ? &*memo.codes : nullptr);
  double acc[kAfresh] = {};
  // Where nothing is kept, the values a block's screen lets through add
  // their terms as they are, in each column's row order as add_gains does.
  for (std::size_t rb = 0; rb < n; rb += kBlock) {
    control::poll();
    const std::size_t re = std::min(n, rb + kBlock);
    // Lanes past `count` add stale values to sums that are dropped.
    if (const Through* through =
            distances_below(points, screen, cols.data(), count, rb, re, below_.data(),
                            keeping ? memo.floor.data() : nullptr, 0.0f, block, nullptr, !keeping)) {
      for (std::size_t q = 0, k = 0; q < count; ++q) {
        for (; k < through->ends[q]; ++k) {
          const std::uint32_t i = through->rows[k];
          const float d = through->values[k];
          if (d < below_[i]) acc[q] += shared.raw_similarity(d) - best_[i];
        }
      }
      continue;
    }
    add_gains(block, re - rb, below_.data() + rb, best_.data() + rb, shared.scale,
              shared.unit_scale, acc);
    if (keeping) keep_below(block, re - rb, rb, count, memo.floor.data(), 0.0f, *keeping);
  }
  std::copy(acc, acc + count, out);
  if (keeping) {
    std::size_t claimed[kAfresh], qs[kAfresh], m = 0;
    for (std::size_t q = 0; q < count; ++q) {
      if (claim(memo, kept_bytes_for(keeping->kept[q], n), reserve)) {
        claimed[m] = cols[q];
        qs[m++] = q;
      } else {
        memo.full_at.store(committed_, std::memory_order_relaxed);
      }
    }
    if (m > 0) keep_claimed(memo, claimed, qs, m, *keeping, memo.floor_level, n);
    memo.shelf.give(std::move(keeping));
  }
}

void FacilityLocation::marginals(std::span<const std::size_t> rows,
                                 const Points& points,
                                 std::span<double> out) const {
  // Below this many rows a gain is too cheap to hand to another thread.
  constexpr std::size_t kParallelRows = 4096;
  check_points(points);
  for (std::size_t c : rows) {
    if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  }
  const Memo* m = memo(points);  // built once, before any worker asks for it
  // Tasks: one per row whose values are at hand, one per kAfresh others.
  std::vector<std::size_t> held, afresh;
  for (std::size_t q = 0; q < rows.size(); ++q) {
    ((committed_ == 0 && m != nullptr && m->first_exact) || holds_column(m, rows[q], points)
         ? held
         : afresh)
        .push_back(q);
  }
  std::vector<std::size_t> cols;
  const std::size_t groups = (afresh.size() + kAfresh - 1) / kAfresh;
  const auto task = [&](std::vector<std::size_t>& room, std::size_t t) {
    if (t < held.size()) {
      out[held[t]] = marginal(rows[held[t]], points);
      return;
    }
    const std::size_t g0 = (t - held.size()) * kAfresh;
    const std::size_t count = std::min(kAfresh, afresh.size() - g0);
    room.resize(count);
    for (std::size_t q = 0; q < count; ++q) room[q] = rows[afresh[g0 + q]];
    double gains[kAfresh];
    gains_afresh(room, points, gains);
    for (std::size_t q = 0; q < count; ++q) out[afresh[g0 + q]] = gains[q];
  };
  const std::size_t tasks = held.size() + groups;
  if (tasks < 2 || best_.size() < kParallelRows) {
    for (std::size_t t = 0; t < tasks; ++t) task(cols, t);
    return;
  }
  pool::map_chunks(tasks, [] { return std::vector<std::size_t>(); }, task);
}

void FacilityLocation::first_bounds(const Points& points, std::size_t begin,
                                    std::span<double> bounds, std::span<std::uint8_t> exact) const {
  check_points(points);
  if (begin > best_.size() || bounds.size() > best_.size() - begin) {
    index_out_of_range(begin + bounds.size() - 1, best_.size(), "rows");
  }
  const Memo* m = memo(points);
  if (m == nullptr || committed_ != 0) {
    Utility::first_bounds(points, begin, bounds, exact);
    return;
  }
  std::copy_n(m->first.begin() + static_cast<std::ptrdiff_t>(begin), bounds.size(), bounds.begin());
  std::fill(exact.begin(), exact.end(), std::uint8_t{m->first_exact});
}

void FacilityLocation::tighten(std::span<const std::size_t> rows,
                               std::span<const std::size_t> stamps, const Points& points,
                               std::span<double> bounds, std::span<std::uint8_t> exact) const {
  check_points(points);
  for (std::size_t c : rows) {
    if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  }
  const std::size_t n = best_.size();
  const Memo* m = memo(points);
  // raised_since[s]: how many rows the commits after the first s raised, at
  // most; from below history_from_, unknown.
  std::vector<std::size_t> raised_since(committed_ + 1, 0);
  for (std::size_t u = committed_; u-- > history_from_;) {
    raised_since[u] = raised_since[u + 1] + history_[u].rows.size();
  }
  // Following a gain costs a distance per raised row; a gain computed again
  // costs one per row, or much less from a column at hand, and the memo keeps
  // what is computed while it has room, which makes later gains cheap.
  const bool keeping = keeps_afresh(points, rows.size()) && shared_->memo.fits_from <= committed_;
  // Under Euclidean distance a raised row's exact distance, gathered for
  // four columns a pass, costs several times what the 8-bit screen costs a
  // row computed again (about 19 ns against 1 ns at 40,000 rows), and a
  // followed gain is only a bound, computed again once it comes out on top:
  // where the screen runs, gains are computed again instead.
  const bool follows = !(points.metric() == Metric::Euclidean && m != nullptr && m->codes);
  std::vector<std::size_t> direct, followed;
  for (std::size_t q = 0; q < rows.size(); ++q) {
    const std::size_t s = stamps[q];
    const bool follow = follows && !keeping && s >= history_from_ && s < committed_ &&
                        std::isfinite(bounds[q]) && bounds[q] >= 0.0 &&
                        4 * raised_since[s] <= 3 * n && !holds_column(m, rows[q], points);
    (follow ? followed : direct).push_back(q);
    exact[q] = follow ? 0 : 1;
  }
  if (!direct.empty()) {
    std::vector<std::size_t> cols(direct.size());
    std::vector<double> gains(direct.size());
    for (std::size_t a = 0; a < direct.size(); ++a) cols[a] = rows[direct[a]];
    marginals(cols, points, gains);
    for (std::size_t a = 0; a < direct.size(); ++a) bounds[direct[a]] = gains[a];
  }
  if (followed.empty()) return;
  std::stable_sort(followed.begin(), followed.end(),
                   [&](std::size_t a, std::size_t b) { return stamps[a] < stamps[b]; });
  // The rows raised since each stamp, once each, with their best then and now.
  struct Since {
    std::vector<std::uint32_t> rows;
    std::vector<double> before, now;
    std::vector<float> below;  // the bounds of `before`
    // Where many columns read the rows: a copy of them in this order, which
    // the fused kernel streams rather than gathers (about a tenth faster).
    std::vector<float> copied;
    std::vector<double> copied_squares;  // theirs, where the memo has them
  };
  std::vector<Since> since;
  std::vector<std::size_t> since_of(rows.size());
  std::vector<std::uint8_t> seen;
  for (std::size_t a = 0; a < followed.size(); ++a) {
    const std::size_t s = stamps[followed[a]];
    if (a > 0 && stamps[followed[a - 1]] == s) {
      since_of[followed[a]] = since.size() - 1;
      continue;
    }
    Since& set = since.emplace_back();
    since_of[followed[a]] = since.size() - 1;
    if (committed_ - s > 1) seen.assign(n, 0);
    for (std::size_t u = s; u < committed_; ++u) {
      const Raised& raised = history_[u];
      for (std::size_t e = 0; e < raised.rows.size(); ++e) {
        const std::uint32_t i = raised.rows[e];
        if (committed_ - s > 1) {
          if (seen[i]) continue;
          seen[i] = 1;
        }
        set.rows.push_back(i);
        set.before.push_back(raised.before[e]);
        set.below.push_back(raised.below[e]);
        set.now.push_back(best_[i]);
      }
    }
  }
  constexpr std::size_t kMutualColumns = 2 * kAfresh;
  // Rows copied for at least this many columns, while all copies take at most
  // this much.
  constexpr std::size_t kCopyColumns = 16 * kAfresh, kCopyFloats = std::size_t{16} << 20;
  std::size_t copied = 0;
  // A row's distances from above: where they lie about 2e-5 above the exact
  // ones, a row's drop only grows as its distance shrinks, so the drops are
  // from below and a followed bound stays a bound, 2e-5 a raised row looser,
  // for a kernel 2.5 times as fast. Not under Euclidean distance, whose
  // bounds from the rows' lengths made the sweep's follows slower.
  static_assert(FusedDistances::kColumns == kAfresh);
  const bool from_above = points.metric() == Metric::Cosine && FusedDistances::available(points.dim());
  const double* squares = m != nullptr && m->squares.size() == n ? m->squares.data() : nullptr;
  std::vector<std::uint32_t> listed;  // 0, 1, 2, ...: the copied rows in turn
  // Where many of a stamp's followed columns are rows raised since it, a
  // distance between two of them serves both: those columns go last in its
  // range, in the order of their rows in the set, and are followed together
  // (`Mutual`) through the pairs' upper triangle.
  struct Mutual {
    std::size_t set, begin, end;  // [begin, end) in `followed`
  };
  std::vector<Mutual> mutual;
  std::vector<std::uint32_t> place;  // 1 + a row's place in the set, or 0
  std::vector<std::pair<std::size_t, std::size_t>> ranges;  // of `followed`, by the columns alone
  for (std::size_t a = 0; a < followed.size();) {
    std::size_t same = a + 1;
    while (same < followed.size() && since_of[followed[same]] == since_of[followed[a]]) ++same;
    const std::size_t k = since_of[followed[a]];
    const Since& set = since[k];
    std::size_t alone = same;
    if (same - a >= kMutualColumns && set.rows.size() >= kMutualColumns) {
      place.assign(n, 0);
      for (std::size_t e = 0; e < set.rows.size(); ++e) place[set.rows[e]] = static_cast<std::uint32_t>(e + 1);
      const auto mid = std::stable_partition(followed.begin() + a, followed.begin() + same,
                                             [&](std::size_t q) { return place[rows[q]] == 0; });
      std::sort(mid, followed.begin() + same,
                [&](std::size_t x, std::size_t y) { return place[rows[x]] < place[rows[y]]; });
      const auto at = static_cast<std::size_t>(mid - followed.begin());
      if (same - at >= kMutualColumns) {
        alone = at;
        mutual.push_back(Mutual{k, at, same});
        // The set's rows in a new order: those columns' rows first, in turn.
        Since order;
        std::vector<std::uint8_t> first(set.rows.size(), 0);
        const auto put = [&](std::size_t e) {
          order.rows.push_back(set.rows[e]);
          order.before.push_back(set.before[e]);
          order.below.push_back(set.below[e]);
          order.now.push_back(set.now[e]);
        };
        for (std::size_t j = at; j < same; ++j) {
          const std::size_t e = place[rows[followed[j]]] - 1;
          first[e] = 1;
          put(e);
        }
        for (std::size_t e = 0; e < set.rows.size(); ++e) {
          if (!first[e]) put(e);
        }
        since[k] = std::move(order);
      }
    }
    if (from_above && same - a >= kCopyColumns && set.rows.size() >= 64 &&
        copied + set.rows.size() * points.dim() <= kCopyFloats) {
      Since& reading = since[k];
      copied += reading.rows.size() * points.dim();
      reading.copied.resize(reading.rows.size() * points.dim());
      for (std::size_t e = 0; e < reading.rows.size(); ++e) {
        const float* row = points.values() + std::size_t{reading.rows[e]} * points.dim();
        std::copy(row, row + points.dim(), reading.copied.data() + e * points.dim());
      }
      if (squares != nullptr) {
        for (std::uint32_t i : reading.rows) reading.copied_squares.push_back(squares[i]);
      }
      if (listed.size() < reading.rows.size()) {
        listed.resize(reading.rows.size());
        std::iota(listed.begin(), listed.end(), std::uint32_t{0});
      }
    }
    ranges.emplace_back(a, alone);
    a = same;
  }
  // Tasks of up to kAfresh columns with one stamp, each reading the raised
  // rows in blocks; or of twice that where a stamp has four sets or more
  // (the workers keep work to share), each block read from the cache for
  // its second set. What is left of a stamp's columns, fewer than kAfresh,
  // shares a task with what is left of later stamps whose sets hold at least
  // half as many rows: their sets lie within the first one's, whose rows
  // serve them all, each stamp's own rows with their best then and the others
  // with nothing to drop. The kernel computes sixteen lanes whether each
  // holds a column or not, and a pass over four vectors costs about 2.5
  // times one over one; the stamps with few columns are many.
  constexpr std::size_t kSets = 2;  // the most sets of kAfresh columns a task follows
  struct Piece {
    std::size_t set, begin, end;  // followed[begin, end), in lanes one after the other
  };
  std::vector<Piece> pieces, left;
  std::vector<std::pair<std::size_t, std::size_t>> tasks;  // [begin, end) in `pieces`
  for (auto [a, same] : ranges) {
    const std::size_t k = since_of[followed[a]];
    const std::size_t width = same - a >= 4 * kAfresh ? kSets * kAfresh : kAfresh;
    for (std::size_t b; a < same; a = b) {
      b = std::min(same, a + width);
      (b - a >= kAfresh ? pieces : left).push_back(Piece{k, a, b});
      if (b - a >= kAfresh) tasks.emplace_back(pieces.size() - 1, pieces.size());
    }
  }
  for (std::size_t lanes = 0; const Piece& piece : left) {
    const std::size_t width = piece.end - piece.begin;
    if (lanes == 0 || lanes + width > kAfresh ||
        2 * since[piece.set].rows.size() < since[pieces[tasks.back().first].set].rows.size()) {
      tasks.emplace_back(pieces.size(), pieces.size());
      lanes = 0;
    }
    pieces.push_back(piece);
    ++tasks.back().second;
    lanes += width;
  }
  // For a piece that is not its task's first: its own rows' best before and
  // bound, in the order of the first piece's rows, with now's best and -inf
  // for the others (which drop nothing).
  struct Within {
    std::vector<double> before;
    std::vector<float> below;
  };
  std::vector<Within> within(pieces.size());
  {
    std::vector<std::uint32_t> at;  // 1 + a row's place in a piece's set, or 0
    for (const auto& [p0, p1] : tasks) {
      const Since& carrier = since[pieces[p0].set];
      for (std::size_t p = p0 + 1; p < p1; ++p) {
        const Since& own = since[pieces[p].set];
        if (at.empty()) at.assign(n, 0);
        for (std::size_t e = 0; e < own.rows.size(); ++e) at[own.rows[e]] = static_cast<std::uint32_t>(e + 1);
        Within& w = within[p];
        w.before.resize(carrier.rows.size());
        w.below.resize(carrier.rows.size());
        for (std::size_t e = 0; e < carrier.rows.size(); ++e) {
          const std::uint32_t place = at[carrier.rows[e]];
          w.before[e] = place ? own.before[place - 1] : carrier.now[e];
          w.below[e] = place ? own.below[place - 1] : -std::numeric_limits<float>::infinity();
        }
        for (const std::uint32_t i : own.rows) at[i] = 0;
      }
    }
  }
  const Shared& shared = *shared_;
  // Each sum of n terms in row order lies within n units of its last place,
  // relative, of the exact sum of its terms, and so does the sum of the
  // drops; the margin covers both and the subtraction, several times over.
  const double margin = 8.0 * sum_share(n);
  const auto tightened = [&](std::size_t q, double drop) {
    const double bound = bounds[q];
    const double tight = (bound - drop) + bound * margin;
    if (tight < bound) bounds[q] = std::max(tight, 0.0);
  };
  constexpr std::size_t kBlock = 256;
  // The distances of a set's rows r0 .. r0 + len to columns cols[0 .. count)
  // into `block`.
  struct Source {
    std::optional<FusedDistances> above;
    const Since* set = nullptr;
    const std::uint32_t* listed = nullptr;  // for the copied rows
    void distances(const Points& points, const std::size_t* cols, std::size_t count,
                   std::size_t r0, std::size_t len, float* block) const {
      if (!above) {
        group_distances(points, cols, count, 0, len, set->rows.data() + r0, block);
      } else if (!set->copied.empty()) {
        above->above(listed + r0, len, block, kAfresh);
      } else {
        above->above(set->rows.data() + r0, len, block, kAfresh);
      }
    }
  };
  // Turning the columns around costs about what a few dozen rows do.
  const auto source = [&](const Since& set, const std::size_t* cols, std::size_t count,
                          std::size_t len) {
    Source out;
    out.set = &set;
    out.listed = listed.data();
    if (from_above && len >= 64) {
      out.above.emplace(points.values(), points.dim(), points.metric(), cols, count,
                        set.copied.empty() ? nullptr : set.copied.data(),
                        set.copied.empty() ? squares
                        : set.copied_squares.empty() ? nullptr
                                                     : set.copied_squares.data());
    }
    return out;
  };
  const auto task = [&](std::vector<float>& block, std::size_t t) {
    block.resize(kBlock * kAfresh);
    const auto [p0, p1] = tasks[t];
    const Since& set = since[pieces[p0].set];
    std::size_t cols[kSets][kAfresh], count[kSets] = {}, width = 0;
    for (std::size_t p = p0; p < p1; ++p) {
      for (std::size_t j = pieces[p].begin; j < pieces[p].end; ++j, ++width) {
        cols[width / kAfresh][count[width / kAfresh]++] = rows[followed[j]];
      }
    }
    const std::size_t sets = (width + kAfresh - 1) / kAfresh;
    const std::size_t len = set.rows.size();
    Source from[kSets];
    for (std::size_t h = 0; h < sets; ++h) from[h] = source(set, cols[h], count[h], len);
    double drops[kSets][kAfresh] = {};
    for (std::size_t r0 = 0; r0 < len; r0 += kBlock) {
      control::poll();
      const std::size_t r1 = std::min(len, r0 + kBlock);
      for (std::size_t h = 0; h < sets; ++h) {
        from[h].distances(points, cols[h], count[h], r0, r1 - r0, block.data());
        if (p1 - p0 == 1) {
          // Lanes past the count add stale values to sums that are dropped.
          add_drops(block.data(), r1 - r0, set.before.data() + r0, set.now.data() + r0,
                    set.below.data() + r0, shared.scale, shared.unit_scale, drops[h]);
          continue;
        }
        for (std::size_t p = p0, lane = 0; p < p1; ++p) {
          const std::size_t end = lane + pieces[p].end - pieces[p].begin;
          const bool first = p == p0;
          add_drops(block.data(), r1 - r0, (first ? set.before : within[p].before).data() + r0,
                    set.now.data() + r0, (first ? set.below : within[p].below).data() + r0,
                    shared.scale, shared.unit_scale, drops[h], lane, end);
          lane = end;
        }
      }
    }
    for (std::size_t p = p0, lane = 0; p < p1; ++p) {
      for (std::size_t j = pieces[p].begin; j < pieces[p].end; ++j, ++lane) {
        tightened(followed[j], drops[lane / kAfresh][lane % kAfresh]);
      }
    }
  };
  std::size_t pairs = 0;
  for (const auto& [p0, p1] : tasks) {
    for (std::size_t p = p0; p < p1; ++p) {
      pairs += (pieces[p].end - pieces[p].begin) * since[pieces[p0].set].rows.size();
    }
  }
  std::vector<float> block;
  if (tasks.size() < 2 || pairs < 65536) {
    for (std::size_t t = 0; t < tasks.size(); ++t) task(block, t);
  } else {
    pool::map_chunks(tasks.size(), [] { return std::vector<float>(); }, task);
  }
  // Set k's columns followed[begin .. end) are its first rows, in turn. Each
  // group of kAfresh of them reads the rows from its own on: they add to its
  // columns' drops, and where they are the later groups' columns, the same
  // distances add to theirs, so each pair among them is computed once. In
  // pieces of about equal work, each adding to the later columns' drops on
  // its own.
  const auto follow_mutual = [&](std::size_t k, std::size_t begin, std::size_t end) {
    const Since& set = since[k];
    const std::size_t m = end - begin, len = set.rows.size();
    const std::vector<double>& before = set.before;
    const std::vector<double>& now = set.now;
    const std::size_t groups = (m + kAfresh - 1) / kAfresh;
    const std::size_t count_of = std::max<std::size_t>(
        1, std::min({groups, std::size_t{16}, (std::size_t{64} << 20) / (sizeof(double) * m)}));
    std::vector<std::size_t> starts(count_of + 1, groups);
    starts[0] = 0;
    {
      double work = 0.0, total = 0.0;
      for (std::size_t g = 0; g < groups; ++g) total += static_cast<double>(len - g * kAfresh);
      for (std::size_t g = 0, piece = 1; g < groups && piece < count_of; ++g) {
        work += static_cast<double>(len - g * kAfresh);
        if (work * static_cast<double>(count_of) >= total * static_cast<double>(piece)) starts[piece++] = g + 1;
      }
    }
    std::vector<double> own(m, 0.0);
    std::vector<std::vector<double>> across(count_of);
    const double inf = std::numeric_limits<double>::infinity();
    pool::map_chunks(
        count_of, [] { return std::vector<float>(); },
        [&](std::vector<float>& block, std::size_t piece) {
          block.resize(kBlock * kAfresh);
          std::vector<double>& theirs = across[piece];
          theirs.assign(m, 0.0);
          for (std::size_t g = starts[piece]; g < starts[piece + 1]; ++g) {
            const std::size_t c0 = g * kAfresh, count = std::min(kAfresh, m - c0);
            std::size_t cols[kAfresh];
            double col_before[kAfresh], col_now[kAfresh];  // +inf past the count: no terms
            for (std::size_t q = 0; q < kAfresh; ++q) {
              cols[q] = q < count ? set.rows[c0 + q] : 0;
              col_before[q] = q < count ? before[c0 + q] : inf;
              col_now[q] = q < count ? now[c0 + q] : inf;
            }
            const Source from = source(set, cols, count, len - c0);
            double drops[kAfresh] = {};
            for (std::size_t r0 = c0; r0 < len; r0 += kBlock) {
              control::poll();
              const std::size_t r1 = std::min(len, r0 + kBlock);
              from.distances(points, cols, count, r0, r1 - r0, block.data());
              add_drops(block.data(), r1 - r0, before.data() + r0, now.data() + r0,
                        set.below.data() + r0, shared.scale, shared.unit_scale, drops);
              const std::size_t lo = std::max(r0, c0 + kAfresh), hi = std::min(r1, m);
              if (lo < hi) {
                add_drops_across(block.data() + (lo - r0) * kAfresh, hi - lo, col_before, col_now,
                                 shared.scale, shared.unit_scale, theirs.data() + lo);
              }
            }
            std::copy(drops, drops + count, own.begin() + static_cast<std::ptrdiff_t>(c0));
          }
        });
    for (std::size_t j = 0; j < m; ++j) {
      double drop = own[j];
      for (const auto& theirs : across) drop += theirs[j];
      tightened(followed[begin + j], drop);
    }
  };
  for (const Mutual& job : mutual) follow_mutual(job.set, job.begin, job.end);
}

void FacilityLocation::commit(std::size_t c, const Points& points) {
  check_points(points);
  if (c >= best_.size()) index_out_of_range(c, best_.size(), "rows");
  const Shared& shared = *shared_;
  const std::size_t n = best_.size();
  const bool recording = n <= std::numeric_limits<std::uint32_t>::max();
  Raised raised;
  for_each_gaining_row(c, points, [&](std::size_t i, float d) {
    if (recording) {
      raised.rows.push_back(static_cast<std::uint32_t>(i));
      raised.before.push_back(best_[i]);
      raised.below.push_back(below_[i]);
    }
    best_[i] = shared.raw_similarity(d);
    below_[i] = shared.bound_for(best_[i]);
  });
  history_entries_ += raised.rows.size();
  history_.push_back(std::move(raised));
  // A few entries a row: past that the oldest commits are forgotten, and
  // gains stale since before them are computed again instead.
  while (history_entries_ > 2 * n + 64 && history_from_ < history_.size()) {
    Raised& oldest = history_[history_from_++];
    history_entries_ -= oldest.rows.size();
    oldest = Raised{};
  }
  if (matched_ == committed_ && memo(points) != nullptr) {
    Memo& m = shared_->memo;
    if (m.chain.size() > committed_) {
      if (m.chain[committed_] == c) ++matched_;
    } else if (shared_.use_count() == 1) {
      // No copy shares the memo, so nothing reads it meanwhile (the fence
      // orders this after the last use by a copy that is gone).
      std::atomic_thread_fence(std::memory_order_acquire);
      m.chain.push_back(c);
      ++matched_;
      // This run never asks for c again, so c no longer waits to be kept.
      if (!m.kept[c].support) m.missing.fetch_sub(1, std::memory_order_relaxed);
      const std::size_t level = m.chain.size();
      if (m.missing.load() > 0) {
        if (raises_at(level)) {
          raise_level(points, m, below_.data());
          if (m.fits_from > level) {
            if (const auto bytes =
                    missing_seem_to_fit(points, m, below_.data(), reserve_of(m.matrix->ledger))) {
              m.fits_from = level;
              keep_missing(points, *shared_, m, *bytes);
            }
          }
        }
      } else if (narrows_at(level) && narrows_rows(best_.size())) {
        narrow_level(points, m, below_.data());
      }
      if (m.missing.load() == 0) {
        m.shelf.clear();
        m.floor = std::vector<float>();
      }
    }
  }
  ++committed_;
}

void FacilityLocation::reset() {
  std::fill(best_.begin(), best_.end(), 0.0);
  std::fill(below_.begin(), below_.end(), shared_->below_empty);
  committed_ = 0;
  matched_ = 0;
  history_.clear();
  history_from_ = 0;
  history_entries_ = 0;
}

Status FacilityLocation::validate(const Points& points) const {
  if (best_.size() != points.n()) {
    return std::unexpected(TarvexError(errors::WeightCountMismatch{points.n(), best_.size()}));
  }
  return {};
}

std::unique_ptr<Utility> FacilityLocation::boxed_clone() const {
  return std::make_unique<FacilityLocation>(*this);
}

}  // namespace tarvex
