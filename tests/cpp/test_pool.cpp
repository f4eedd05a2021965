#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "child_process.hpp"
#include "control.hpp"
#include "pool.hpp"

namespace tarvex {
namespace {

namespace fs = std::filesystem;
using pool::detail::cgroup_cpu_limit;
using pool::detail::size_from;

TEST(PoolSizeRule, EnvironmentTakesPrecedenceInOrder) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;
  };
  constexpr std::size_t kAvailable = 7;
  const Case cases[] = {
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"+2", nullptr, 2},
      {"007", nullptr, 7},
      {nullptr, "4", 4},
      {nullptr, nullptr, kAvailable},
      // Not a number: fall back to RAYON_RS_NUM_CPUS.
      {"abc", "5", 5},
      {"", "5", 5},
      {" 3", "5", 5},
      {"3 ", "5", 5},
      {"-1", "5", 5},
      {"+", "5", 5},
      {"99999999999999999999999", "5", 5},
      {"abc", nullptr, kAvailable},
      {"abc", "x", kAvailable},
      // Zero means "the processors", skipping RAYON_RS_NUM_CPUS.
      {"0", "5", kAvailable},
      {"000", "5", kAvailable},
      {nullptr, "0", kAvailable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(size_from(c.num_threads, c.rs_num_cpus, kAvailable), c.expected)
        << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
        << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
  }
}

class FakeCgroup : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarvex-cgroup-" + std::to_string(::getpid()) + "-" + current_name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const fs::path& relative, const std::string& text) {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative) << text;
  }
  static std::string current_name() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  fs::path root_;
};

TEST_F(FakeCgroup, V2QuotaRoundsUpToWholeProcessors) {
  write("cpu.max", "150000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), 2u);
  write("cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), 2u);
  write("cpu.max", "1000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), 1u);
}

TEST_F(FakeCgroup, NoQuotaMeansNoLimit) {
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), std::nullopt);
  write("cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), std::nullopt);
  write("cpu.max", "lots 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), std::nullopt);
  write("cpu.max", "100000 0\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/\n"), std::nullopt);
  write("cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
  write("cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "4:cpu,cpuacct:/\n"), std::nullopt);
  EXPECT_EQ(cgroup_cpu_limit(root_, ""), std::nullopt);
}

TEST_F(FakeCgroup, V2TightestLimitOnTheWayUp) {
  write("user.slice/cpu.max", "100000 100000\n");
  write("user.slice/app/cpu.max", "300000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/user.slice/app\n"), 1u);
  write("user.slice/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/user.slice/app\n"), 3u);
  // A namespaced process sees its own cgroup as the root.
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/elsewhere/deeper\n"), std::nullopt);
  write("cpu.max", "250000 100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "0::/elsewhere/deeper\n"), 3u);
}

TEST_F(FakeCgroup, V1QuotaUnderEitherMountName) {
  write("cpu,cpuacct/cpu.cfs_quota_us", "250000\n");
  write("cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "5:memory:/\n4:cpu,cpuacct:/\n0::/\n"), 3u);
  fs::remove_all(root_ / "cpu,cpuacct");
  write("cpu/job/cpu.cfs_quota_us", "50000\n");
  write("cpu/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_limit(root_, "1:cpu:/job\n"), 1u);
  // The memory controller's path says nothing about processors.
  EXPECT_EQ(cgroup_cpu_limit(root_, "4:memory:/job\n1:cpu:/\n"), std::nullopt);
}

TEST_F(FakeCgroup, QuotaLimitsTheAffinityCount) {
  const std::size_t unlimited = pool::detail::available_processors(root_, "0::/\n");
  EXPECT_GE(unlimited, 1u);
  write("cpu.max", "100000 100000\n");
  EXPECT_EQ(pool::detail::available_processors(root_, "0::/\n"), 1u);
  write("cpu.max", "100000000 100000\n");
  EXPECT_EQ(pool::detail::available_processors(root_, "0::/\n"), unlimited);
}

std::string read_file(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// In the child: the pool's size and the largest number of threads that were
// inside one parallel loop at once (each waits for the others to arrive).
void report_pool_in_child() {
  const std::size_t size = pool::size();
  std::atomic<std::size_t> active{0}, peak{0};
  std::atomic<bool> gave_up{false};
  pool::map_chunks(
      256, [] { return 0; },
      [&](int&, std::size_t) {
        const std::size_t now = ++active;
        std::size_t seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!gave_up && peak.load() < size) {
          if (std::chrono::steady_clock::now() > deadline) gave_up = true;
          std::this_thread::yield();
        }
        --active;
      });
  std::printf("RESULT size %zu\nRESULT peak %zu\n", size, peak.load());
}

TEST(PoolSizeInProcess, EnvironmentSizesThePoolAndEveryWorkerRuns) {
  if (testing::in_child()) {
    report_pool_in_child();
    return;
  }
  const std::size_t available =
      pool::detail::available_processors("/sys/fs/cgroup", read_file("/proc/self/cgroup"));
  using Env = std::map<std::string, std::optional<std::string>>;
  struct Case {
    Env env;
    std::size_t expected;
  };
  const Case cases[] = {
      {{{"RAYON_NUM_THREADS", "1"}, {"RAYON_RS_NUM_CPUS", std::nullopt}}, 1},
      {{{"RAYON_NUM_THREADS", "3"}, {"RAYON_RS_NUM_CPUS", std::nullopt}}, 3},
      // More than the machine has: oneTBB must be allowed to run them all.
      {{{"RAYON_NUM_THREADS", "8"}, {"RAYON_RS_NUM_CPUS", std::nullopt}}, 8},
      {{{"RAYON_NUM_THREADS", "abc"}, {"RAYON_RS_NUM_CPUS", "3"}}, 3},
      {{{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}, available},
      {{{"RAYON_NUM_THREADS", std::nullopt}, {"RAYON_RS_NUM_CPUS", std::nullopt}}, available},
  };
  for (const auto& c : cases) {
    const auto child = testing::rerun_in_child(c.env);
    const std::string label = c.env.at("RAYON_NUM_THREADS").value_or("(unset)");
    ASSERT_EQ(child.status, 0) << label << "\n" << child.out;
    EXPECT_EQ(testing::child_value(child.out, "size"), std::to_string(c.expected)) << label;
    EXPECT_EQ(testing::child_value(child.out, "peak"), std::to_string(c.expected)) << label;
  }
}

// A non-commutative check of the reduction: partial results are the covered
// interval, and joining anything but neighbours in order marks it broken.
struct Interval {
  std::size_t begin, end;
  bool broken;
};
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

Interval reduce_intervals(std::size_t n) {
  return pool::reduce(
      n, Interval{kNone, kNone, false},
      [](std::size_t b, std::size_t e, Interval acc) {
        if (acc.begin == kNone) return Interval{b, e, acc.broken};
        return Interval{acc.begin, e, acc.broken || acc.end != b};
      },
      [](Interval l, Interval r) {
        if (l.begin == kNone) return r;
        if (r.begin == kNone) return l;
        return Interval{l.begin, r.end, l.broken || r.broken || l.end != r.begin};
      });
}

TEST(PoolReduce, CoversTheRangeOnceJoiningNeighboursInOrder) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 1000u, 100003u}) {
    const Interval got = reduce_intervals(n);
    if (n == 0) {
      EXPECT_EQ(got.begin, kNone);
      continue;
    }
    EXPECT_EQ(got.begin, 0u) << n;
    EXPECT_EQ(got.end, n) << n;
    EXPECT_FALSE(got.broken) << n;
    const auto sum = pool::reduce(
        n, std::uint64_t{0},
        [](std::size_t b, std::size_t e, std::uint64_t acc) {
          for (std::size_t i = b; i < e; ++i) acc += i;
          return acc;
        },
        [](std::uint64_t a, std::uint64_t b) { return a + b; });
    EXPECT_EQ(sum, std::uint64_t{n} * (n - 1) / 2) << n;
  }
}

TEST(PoolMapChunks, EachIndexOnceInAscendingContiguousChunks) {
  for (std::size_t n : {0u, 1u, 7u, 5000u}) {
    struct Chunk {
      std::size_t id, last;
    };
    std::atomic<std::size_t> next_id{0};
    std::vector<std::size_t> owner(n, kNone);
    std::atomic<bool> out_of_order{false};
    pool::map_chunks(
        n, [&] { return Chunk{next_id++, kNone}; },
        [&](Chunk& chunk, std::size_t i) {
          if (chunk.last != kNone && i != chunk.last + 1) out_of_order = true;
          chunk.last = i;
          owner[i] = chunk.id;
        });
    EXPECT_FALSE(out_of_order) << n;
    std::vector<bool> closed(next_id.load(), false);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_NE(owner[i], kNone) << "index " << i << " of " << n << " never visited";
      if (i > 0 && owner[i] != owner[i - 1]) closed[owner[i - 1]] = true;
      EXPECT_FALSE(closed[owner[i]]) << "chunk " << owner[i] << " is not contiguous";
    }
  }
}

TEST(PoolErrors, ExceptionOnAWorkerReachesTheCaller) {
  const auto failing_reduce = [] {
    return pool::reduce(
        100000, 0,
        [](std::size_t b, std::size_t e, int acc) {
          if (b <= 77777 && 77777 < e) throw std::runtime_error("row 77777 failed");
          return acc;
        },
        [](int a, int b) { return a + b; });
  };
  EXPECT_THROW(
      {
        try {
          failing_reduce();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "row 77777 failed");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(pool::map_chunks(
                   100000, [] { return 0; },
                   [](int&, std::size_t i) {
                     if (i == 99999) throw std::length_error("last");
                   }),
               std::length_error);
  EXPECT_THROW(pool::map_chunks(
                   10, []() -> int { throw std::bad_alloc(); }, [](int&, std::size_t) {}),
               std::bad_alloc);
  // The pool is still usable afterwards.
  EXPECT_EQ(reduce_intervals(1000).end, 1000u);
}

// Every task sees the caller's control, and a stop requested mid-call reaches
// the caller as Cancelled instead of finishing the range.
TEST(PoolControl, TasksRunUnderTheCallersControlAndStopOnRequest) {
  CallControl control;
  control::Scope scope(&control);
  std::atomic<std::size_t> foreign{0};
  pool::map_chunks(
      1000, [] { return 0; },
      [&](int&, std::size_t) { foreign += control::current() != &control; });
  EXPECT_EQ(foreign.load(), 0u);

  std::atomic<std::size_t> visited{0};
  EXPECT_THROW(pool::reduce(
                   std::size_t{100000}, 0, [&](std::size_t b, std::size_t e, int acc) {
                     control::poll();
                     if (visited.fetch_add(e - b) > 100) control.request_stop();
                     return acc;
                   },
                   [](int a, int b) { return a + b; }),
               Cancelled);
  EXPECT_LT(visited.load(), 100000u);
  {
    control::Scope none(nullptr);
    EXPECT_NO_THROW(control::poll());
  }
  EXPECT_THROW(control::poll(), Cancelled);
}

TEST(PoolConcurrency, SeveralCallersShareThePool) {
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        const std::size_t n = 1000 + 37 * t + round;
        const Interval got = reduce_intervals(n);
        if (got.begin != 0 || got.end != n || got.broken) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Waits up to ten seconds for `until`, and tells whether it came.
template <class Until>
bool wait_for(Until until) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!until()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A call made from a task shares the threads that wait on the outer call:
// outer task 0 holds the calling thread until task 1 runs elsewhere, and then
// waits on the outer call while task 1's own two tasks must run at once.
// Outer tasks that all wait on a Once whose initialisation calls the pool
// still finish, with one initialisation, and the tasks of a call made from
// one count as working for it on every thread.
TEST(PoolNesting, CallsFromTasksShareTheWaitingThreadsAndOnceStillEnds) {
  if (pool::size() < 2) GTEST_SKIP() << "needs two workers";
  std::atomic<bool> started{false}, met{false}, outer_overlap{true};
  std::atomic<int> inside{0};
  pool::map_chunks(
      2, [] { return 0; },
      [&](int&, std::size_t i) {
        if (i == 0) {
          outer_overlap = wait_for([&] { return started.load(); });
          return;
        }
        started = true;
        pool::map_chunks(
            2, [] { return 0; },
            [&](int&, std::size_t) {
              ++inside;
              if (wait_for([&] { return met.load() || inside.load() == 2; })) met = true;
              --inside;
            });
      });
  ASSERT_TRUE(outer_overlap) << "the outer call's two tasks never ran at once";
  EXPECT_TRUE(met) << "the nested call's tasks never ran at once";

  control::Once once;
  std::atomic<int> inits{0};
  std::atomic<std::size_t> inner{0};
  pool::map_chunks(
      64, [] { return 0; },
      [&](int&, std::size_t) {
        once.call([&] {
          ++inits;
          pool::map_chunks(
              256, [] { return 0; }, [&](int&, std::size_t) { inner += 1; });
        });
      });
  EXPECT_EQ(inits.load(), 1);
  EXPECT_EQ(inner.load(), 256u);

  // Two tasks at once, so that one runs on a worker: each counts as working
  // for the initialisation.
  control::Once solo;
  std::atomic<int> together{0}, unmarked{0};
  solo.call([&] {
    pool::map_chunks(
        2, [] { return 0; },
        [&](int&, std::size_t) {
          ++together;
          EXPECT_TRUE(wait_for([&] { return together.load() == 2; }));
          if (!control::initialising()) ++unmarked;
        });
  });
  EXPECT_EQ(unmarked.load(), 0);
}

// The waiter ticks while the work runs; a tick that asks for a stop makes the
// work's Cancelled reach the caller, and a failure of the work comes through
// once it has ended.
TEST(RunWatched, TicksUntilTheWorkEndsAndCarriesStopsAndErrors) {
  using namespace std::chrono_literals;
  CallControl control;
  std::atomic<bool> release{false};
  int ticks = 0;
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id worker;
  control::run_watched(
      control,
      [&] {
        worker = std::this_thread::get_id();
        while (!release.load()) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(control::current(), &control);
      },
      2ms, [&] {
        if (++ticks == 3) release = true;
        return true;
      });
  EXPECT_GE(ticks, 3);
  EXPECT_NE(worker, caller);

  CallControl stopped;
  std::atomic<std::size_t> steps{0};
  EXPECT_THROW(control::run_watched(
                   stopped,
                   [&] {
                     for (;; ++steps) {
                       control::poll();
                       std::this_thread::sleep_for(1ms);
                     }
                   },
                   2ms,
                   [&] {
                     if (steps.load() == 0) return true;  // a slow start must not pass untested
                     stopped.request_stop();
                     return false;
                   }),
               Cancelled);
  EXPECT_GT(steps, 0u);

  CallControl plain;
  EXPECT_THROW(control::run_watched(
                   plain, [] { throw std::length_error("work"); }, 2ms, [] { return true; }),
               std::length_error);
  EXPECT_THROW(control::run_watched(
                   plain, [] { std::this_thread::sleep_for(10ms); }, 1ms,
                   []() -> bool { throw std::runtime_error("tick"); }),
               std::runtime_error);
}

// Forks the calling process; the child runs `child` and exits with its status.
// Returns the child's status, or -1 when it did not end within the timeout.
template <class Child>
int fork_and_wait(Child child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  for (int waited = 0; waited < 2000; ++waited) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// A child of a process whose pool has run works on the calling thread, with
// the parent's results, also while the parent had a call in flight.
TEST(PoolFork, ChildrenRunSequentiallyWithTheParentsResults) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads in a child of a threaded process";
#endif
#if defined(__SANITIZE_ADDRESS__)
  // GCC's runtime takes no allocator locks around fork (LLVM's has since
  // 2023), so the child can inherit one that a finishing worker held and
  // hang in its first allocation; the other builds run this test.
  GTEST_SKIP() << "GCC's AddressSanitizer allocator is not fork-safe in a threaded process";
#endif
  const auto child_body = [] {
    if (!pool::detail::sequential() || pool::size() != 1) return 2;
    const Interval got = reduce_intervals(100003);
    if (got.begin != 0 || got.end != 100003 || got.broken) return 3;
    std::vector<std::size_t> seen(5000, 0);
    pool::map_chunks(5000, [] { return 0; }, [&](int&, std::size_t i) { ++seen[i]; });
    for (std::size_t s : seen)
      if (s != 1) return 4;
    CallControl control;
    int result = 0;
    control::run_watched(
        control, [&] { result = static_cast<int>(reduce_intervals(10).end); },
        std::chrono::milliseconds(1), [] { return true; });
    return result == 10 ? 0 : 5;
  };
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(reduce_intervals(100003).end, 100003u);
    EXPECT_EQ(fork_and_wait(child_body), 0) << "after a call, round " << round;
  }
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) reduce_intervals(1000003);
  });
  for (int round = 0; round < 3; ++round)
    EXPECT_EQ(fork_and_wait(child_body), 0) << "during a call, round " << round;
  stop = true;
  busy.join();
  EXPECT_FALSE(pool::detail::sequential());
}

}  // namespace
}  // namespace tarvex
