#include "pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

#include "control.hpp"

namespace tarvex::pool {
namespace {

// More threads than this only exhaust the process; no result depends on it.
constexpr std::size_t kMaxWorkers = 1024;

std::optional<std::string> read_text(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Optional "+", then decimal digits and nothing else; 0 included.
std::optional<std::size_t> parse_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A number in a cgroup file, which ends in a newline.
std::optional<std::size_t> parse_u64(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return parse_decimal(text);
}

std::optional<std::size_t> cpus_of(std::size_t quota, std::size_t period) {
  if (period == 0) return std::nullopt;
  return std::max<std::size_t>(1, quota / period + (quota % period != 0));
}

// cgroup v2: "max <period>" or "<quota> <period>".
std::optional<std::size_t> v2_limit(const std::filesystem::path& dir) {
  const auto text = read_text(dir / "cpu.max");
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  std::string quota, period;
  if (!(in >> quota >> period) || quota == "max") return std::nullopt;
  const auto q = parse_u64(quota), p = parse_u64(period);
  if (!q || !p) return std::nullopt;
  return cpus_of(*q, *p);
}

// cgroup v1: a quota of -1 means none.
std::optional<std::size_t> v1_limit(const std::filesystem::path& dir) {
  const auto quota = read_text(dir / "cpu.cfs_quota_us");
  const auto period = read_text(dir / "cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  const auto q = parse_u64(*quota), p = parse_u64(*period);
  if (!q || !p) return std::nullopt;
  return cpus_of(*q, *p);
}

// The tightest limit from the process's own cgroup up to the hierarchy's
// root; a missing level (a namespaced or re-mounted hierarchy) is skipped.
template <class Limit>
std::optional<std::size_t> tightest(const std::filesystem::path& mount, std::string_view relative,
                                    Limit limit) {
  std::optional<std::size_t> best;
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  std::filesystem::path dir = mount / std::filesystem::path(relative).lexically_normal();
  for (;;) {
    if (const auto cpus = limit(dir)) best = best ? std::min(*best, *cpus) : *cpus;
    if (relative.empty()) break;
    const auto slash = relative.find_last_of('/');
    relative = slash == std::string_view::npos ? std::string_view{} : relative.substr(0, slash);
    dir = mount / std::filesystem::path(relative);
  }
  return best;
}

std::size_t affinity_count() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count > 0) return static_cast<std::size_t>(count);
      break;
    }
    CPU_FREE(set);
    if (errno != EINVAL) break;  // EINVAL: the mask is larger than our set
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

struct Pool {
  explicit Pool(std::size_t workers)
      : raise(workers > static_cast<std::size_t>(oneapi::tbb::info::default_concurrency())
                  ? std::make_unique<oneapi::tbb::global_control>(
                        oneapi::tbb::global_control::max_allowed_parallelism, workers)
                  : nullptr),
        arena(static_cast<int>(workers)),
        workers(workers) {}
  // oneTBB caps every arena at the machine's concurrency unless told
  // otherwise; only raise that cap, so that other users of oneTBB in the
  // process are not throttled by a small pool.
  std::unique_ptr<oneapi::tbb::global_control> raise;
  oneapi::tbb::task_arena arena;
  std::size_t workers;
};

// oneTBB's workers do not survive fork() and the locks they held stay held
// in the child, so a child of a process that started the pool never enters
// oneTBB: it runs every parallel call on the calling thread instead.
std::atomic<bool> g_pool_started{false};
std::atomic<bool> g_sequential{false};

void mark_child() noexcept {
  if (g_pool_started.load(std::memory_order_relaxed))
    g_sequential.store(true, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, mark_child);

Pool& shared() {
  // Never destroyed: worker threads may outlive static destructors at exit.
  static Pool* pool = [] {
    g_pool_started.store(true, std::memory_order_relaxed);
    return new Pool(std::min(detail::configured_size(), kMaxWorkers));
  }();
  return *pool;
}

// The sequential path still polls between pieces, so a long call stays
// interruptible; the pieces keep the order a parallel run would join in.
constexpr std::size_t kSequentialPieces = 64;

template <class Piece>
void in_pieces(std::size_t n, Piece piece) {
  const std::size_t pieces = std::min(n, kSequentialPieces);
  for (std::size_t p = 0; p < pieces; ++p) {
    control::poll();
    piece(n * p / pieces, n * (p + 1) / pieces);
  }
}

// libtbb from the wheel is not built with ThreadSanitizer, so the TSan build
// compiles this file (the only one that sees oneTBB) uninstrumented and states
// here the ordering that oneTBB guarantees: what precedes a parallel call
// happens before its tasks, operations on one body are sequenced, and every
// task happens before the call returns.
#if defined(TARVEX_TSAN_HANDOFFS)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
void handoff_acquire(const void* at) { __tsan_acquire(const_cast<void*>(at)); }
void handoff_release(const void* at) { __tsan_release(const_cast<void*>(at)); }
#else
void handoff_acquire(const void*) {}
void handoff_release(const void*) {}
#endif

// How many of the pool's tasks this thread is running: more than one where a
// thread waiting on a call made from a task has started another task.
thread_local std::size_t t_running = 0;

// One parallel call: its start precedes every task, every task precedes its
// end. Made on the calling thread, whose control and initialising state every
// task carries: a task of a call made from a once-initialisation works for it
// too, so that the calls it makes in turn are isolated as well.
struct Handoff {
  char start = 0;
  char end = 0;
  CallControl* caller = control::current();
  bool initialising = control::initialising();
};

// Runs a task of `call` on this thread, under the caller's control; on
// leaving it (also by an exception) publishes what the task did for the
// caller and, if given, for the next user of the same body.
class TaskScope {
 public:
  TaskScope(const Handoff& call, const void* body = nullptr)
      : call_(call), body_(body), control_(call.caller) {
    handoff_acquire(&call_.start);
    if (body_) handoff_acquire(body_);
    ++t_running;
    if (call_.initialising) for_init_.emplace();
  }
  ~TaskScope() {
    --t_running;
    if (body_) handoff_release(body_);
    handoff_release(&call_.end);
  }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  const Handoff& call_;
  const void* body_;
  control::Scope control_;
  std::optional<control::Initialising> for_init_;
};

// Operations on one body are sequenced by oneTBB, but a split may run while
// the body it splits from is in use: each operation acquires the bodies it
// reads and releases only the one it writes.
struct TbbReduce {
  TbbReduce(detail::ReduceBody& b, const Handoff& call) : body(&b), call(&call) {}
  TbbReduce(TbbReduce& other, oneapi::tbb::split) : call(other.call) {
    handoff_acquire(&call->start);
    handoff_acquire(other.body);  // only reads it
    owned = other.body->split();
    body = owned.get();
    handoff_release(body);
  }
  ~TbbReduce() {
    if (owned) handoff_acquire(body);
  }
  void operator()(const oneapi::tbb::blocked_range<std::size_t>& r) {
    TaskScope task(*call, body);
    control::poll();
    body->run(r.begin(), r.end());
  }
  void join(TbbReduce& rhs) {
    handoff_acquire(rhs.body);
    TaskScope task(*call, body);
    body->join(*rhs.body);
  }
  std::unique_ptr<detail::ReduceBody> owned;
  detail::ReduceBody* body;
  const Handoff* call;
};

// A call from outside the pool's tasks is isolated: a thread waiting on it
// runs only its tasks, never a task of an outer call of its own (work that
// this call may be part of). A call from a task, such as one run of the
// sweep's, is not: the threads that wait on the outer call take its tasks
// too, rather than idle beside the outer call's last long task. Its waiting
// thread may then start another outer task, whose own calls are isolated
// again, and so are calls from a once-initialisation or from the tasks of a
// call made in one: another outer task could wait on that once.
template <class Run>
void on_pool(const Run& run) {
  if (t_running == 1 && !control::initialising()) {
    run();
    return;
  }
  shared().arena.execute([&] { oneapi::tbb::this_task_arena::isolate(run); });
}

// Starts a parallel call on the calling thread; the end is acquired on leaving,
// also when a task's exception comes through.
class CallScope {
 public:
  explicit CallScope(Handoff& call) : call_(call) { handoff_release(&call_.start); }
  ~CallScope() { handoff_acquire(&call_.end); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Handoff& call_;
};

}  // namespace

std::size_t size() { return detail::sequential() ? 1 : shared().workers; }

namespace detail {

bool sequential() noexcept { return g_sequential.load(std::memory_order_relaxed); }

std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  const auto value = parse_decimal(text);
  if (!value || *value == 0) return std::nullopt;
  return value;
}

std::size_t size_from(const char* num_threads, const char* rs_num_cpus, std::size_t available) {
  const auto threads = num_threads ? parse_decimal(num_threads) : std::nullopt;
  if (threads && *threads > 0) return *threads;
  if (!threads) {
    if (const auto cpus = parse_count(rs_num_cpus)) return *cpus;
  }
  return available;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::filesystem::path& root,
                                            std::string_view self_cgroup) {
  std::optional<std::size_t> best;
  const auto keep = [&](std::optional<std::size_t> cpus) {
    if (cpus) best = best ? std::min(*best, *cpus) : *cpus;
  };
  // Lines of "<id>:<controllers>:<path>".
  while (!self_cgroup.empty()) {
    const auto end = self_cgroup.find('\n');
    const std::string_view line = self_cgroup.substr(0, end);
    self_cgroup = end == std::string_view::npos ? std::string_view{} : self_cgroup.substr(end + 1);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view relative = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      keep(tightest(root, relative, v2_limit));
      continue;
    }
    bool has_cpu = false;
    for (std::string_view rest = controllers; !rest.empty();) {
      const auto comma = rest.find(',');
      has_cpu |= rest.substr(0, comma) == "cpu";
      rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    if (!has_cpu) continue;
    // v1 mounts the cpu controller under its own name or joined with cpuacct.
    std::error_code ec;
    for (const char* mount : {"cpu", "cpu,cpuacct", "cpuacct,cpu"}) {
      if (std::filesystem::is_directory(root / mount, ec)) {
        keep(tightest(root / mount, relative, v1_limit));
        break;
      }
    }
  }
  return best;
}

std::size_t available_processors(const std::filesystem::path& root, std::string_view self_cgroup) {
  std::size_t count = affinity_count();
  if (const auto quota = cgroup_cpu_limit(root, self_cgroup)) count = std::min(count, *quota);
  return std::max<std::size_t>(1, count);
}

std::size_t configured_size() {
  const char* num_threads = std::getenv("RAYON_NUM_THREADS");
  const char* rs_num_cpus = std::getenv("RAYON_RS_NUM_CPUS");
  if (const auto n = parse_count(num_threads)) return *n;
  const std::string self = read_text("/proc/self/cgroup").value_or("");
  return size_from(num_threads, rs_num_cpus, available_processors("/sys/fs/cgroup", self));
}

void parallel_reduce(std::size_t n, ReduceBody& body) {
  if (n == 0) return;
  if (sequential()) return in_pieces(n, [&](std::size_t b, std::size_t e) { body.run(b, e); });
  Handoff call;
  TbbReduce tbb_body(body, call);
  CallScope scope(call);
  on_pool([&] {
    oneapi::tbb::parallel_reduce(oneapi::tbb::blocked_range<std::size_t>(0, n, 1), tbb_body,
                                 oneapi::tbb::auto_partitioner());
  });
}

void parallel_chunks(std::size_t n, const std::function<void(std::size_t, std::size_t)>& chunk) {
  if (n == 0) return;
  if (sequential()) return in_pieces(n, chunk);
  Handoff call;
  CallScope scope(call);
  on_pool([&] {
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n, 1),
                              [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                TaskScope task(call);
                                control::poll();
                                chunk(r.begin(), r.end());
                              });
  });
}

}  // namespace detail
}  // namespace tarvex::pool
