// The process-wide worker pool. The rest of the core sees only these two
// operations; the threading library stays behind pool.cpp. Every task runs
// under the caller's CallControl (control.hpp) and polls it before it starts,
// so a cancelled call skips the work it has not begun.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace tarvex::pool {

// Number of workers of the shared pool (created on first use).
std::size_t size();

namespace detail {
// A reduction body: run() folds a subrange into this body's partial result;
// split() makes a fresh body holding the identity; join() folds in a body that
// covered the subrange right after this one.
class ReduceBody {
 public:
  virtual ~ReduceBody() = default;
  virtual std::unique_ptr<ReduceBody> split() const = 0;
  virtual void run(std::size_t begin, std::size_t end) = 0;
  virtual void join(ReduceBody& right) = 0;
};

void parallel_reduce(std::size_t n, ReduceBody& body);
// True in a process forked from one that had started the pool: every parallel
// call then runs on the calling thread, with the same results.
bool sequential() noexcept;
void parallel_chunks(std::size_t n, const std::function<void(std::size_t, std::size_t)>& chunk);

// The sizing rule, in pieces that tests can drive without the process's own
// environment and cgroups.

// A positive decimal count ("+" allowed, nothing else around the digits);
// nullopt for anything else, 0 included.
std::optional<std::size_t> parse_count(const char* text);
// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else `available`; a num_threads of
// "0" goes straight to `available`.
std::size_t size_from(const char* num_threads, const char* rs_num_cpus, std::size_t available);
// The CPU quota of the cgroup that /proc/self/cgroup (given as `self_cgroup`)
// names, read under `root` (normally /sys/fs/cgroup), the tightest limit on
// the way up to the root; whole processors rounded up, nullopt when none is set.
std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root,
                                            std::string_view self_cgroup);
// Processors in the affinity mask, limited by the cgroup quota; at least 1.
std::size_t available_processors(const std::filesystem::path& root, std::string_view self_cgroup);
// Workers the environment and machine ask for, before any cap.
std::size_t configured_size();
}  // namespace detail

// Reduces [0, n) on the pool: map(begin, end, acc) folds a subrange into acc,
// combine(left, right) joins neighbouring partial results. The combiner must be
// associative; identity stands for an empty subrange. An exception thrown by
// map or combine on any worker reaches the caller.
template <class T, class Map, class Combine>
T reduce(std::size_t n, T identity, Map map, Combine combine) {
  struct Body final : detail::ReduceBody {
    Body(T init, Map* m, Combine* c) : acc(std::move(init)), map(m), combine(c), identity(acc) {}
    std::unique_ptr<detail::ReduceBody> split() const override {
      return std::make_unique<Body>(identity, map, combine);
    }
    void run(std::size_t b, std::size_t e) override { acc = (*map)(b, e, std::move(acc)); }
    void join(detail::ReduceBody& right) override {
      acc = (*combine)(std::move(acc), std::move(static_cast<Body&>(right).acc));
    }
    T acc;
    Map* map;
    Combine* combine;
    T identity;
  };
  Body body(identity, &map, &combine);
  detail::parallel_reduce(n, body);
  return std::move(body.acc);
}

// Visits [0, n) on the pool in contiguous chunks: each chunk makes its own state
// with init() and then calls body(state, i) for its indices in ascending order.
// An exception thrown by init or body reaches the caller.
template <class Init, class Body>
void map_chunks(std::size_t n, Init init, Body body) {
  detail::parallel_chunks(n, [&](std::size_t begin, std::size_t end) {
    auto state = init();
    for (std::size_t i = begin; i < end; ++i) body(state, i);
  });
}

}  // namespace tarvex::pool
