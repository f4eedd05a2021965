// Cancellation and progress of one call. The binding owns a CallControl and
// installs it on the thread that runs the call; the pool carries it into
// every task it runs for that call, so any loop of the core can poll it
// without threading an argument through every signature.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace tarvex {

// Thrown by control::poll() once a stop was requested. It unwinds the call
// like any other exception, freeing what the call holds.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was cancelled"; }
};

// The stages a waiting thread can report.
enum class Phase : std::uint8_t {
  Idle = 0,
  Diameter = 1,
  Setup = 2,  // per-call utility data (facility location's first gains)
  Greedy = 3,
  Sweep = 4,
  Rebuild = 5,
};
const char* phase_text(Phase phase) noexcept;

class CallControl {
 public:
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Starts a phase of `total` units of work (0 when the amount is unknown).
  // The phase and its total share one word, so a snapshot taken while a
  // phase begins never pairs one phase with another's total.
  void begin(Phase phase, std::uint64_t total) noexcept {
    done_.store(0, std::memory_order_relaxed);
    const std::uint64_t capped = total < kTotalMask ? total : kTotalMask;
    stage_.store(static_cast<std::uint64_t>(phase) << kPhaseShift | capped,
                 std::memory_order_release);
  }
  void advance(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }

  struct Progress {
    Phase phase;
    std::uint64_t done;
    std::uint64_t total;
  };
  // A snapshot for display; done never exceeds a non-zero total.
  Progress progress() const noexcept {
    const std::uint64_t stage = stage_.load(std::memory_order_acquire);
    const auto phase = static_cast<Phase>(stage >> kPhaseShift);
    const std::uint64_t total = stage & kTotalMask;
    std::uint64_t done = done_.load(std::memory_order_relaxed);
    if (total != 0 && done > total) done = total;
    return Progress{phase, done, total};
  }

 private:
  static constexpr int kPhaseShift = 56;
  static constexpr std::uint64_t kTotalMask = (std::uint64_t{1} << kPhaseShift) - 1;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> stage_{0};  // phase << kPhaseShift | total
  std::atomic<std::uint64_t> done_{0};
};

namespace control {

namespace detail {
extern thread_local CallControl* current;
extern thread_local std::size_t initialising;  // Once initialisations this thread is inside
}

// Whether this thread is inside a Once's initialisation, or runs a task of a
// pool call made from one: the pool then keeps it from starting other tasks
// while it waits, since one of them could wait on the same Once.
inline bool initialising() noexcept { return detail::initialising != 0; }

// Counts this thread as initialising for the scope's lifetime.
class Initialising {
 public:
  Initialising() noexcept { ++detail::initialising; }
  ~Initialising() { --detail::initialising; }
  Initialising(const Initialising&) = delete;
  Initialising& operator=(const Initialising&) = delete;
};

// A once-guard that a cancelled (or failed) initialisation leaves unset, so
// the next call retries it. std::call_once promises as much, but an
// exception leaving it deadlocks later callers under some pthread_once
// implementations (ThreadSanitizer's among them), and a stop is an exception.
class Once {
 public:
  template <class Init>
  void call(Init&& init) {
    if (done_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (done_.load(std::memory_order_relaxed)) return;
    {
      const Initialising inside;
      init();
    }
    done_.store(true, std::memory_order_release);
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> done_{false};
};

// The control of the call this thread works for, or nullptr.
inline CallControl* current() noexcept { return detail::current; }

// Installs a control on this thread for the scope's lifetime (nullptr
// installs none); scopes nest.
class Scope {
 public:
  explicit Scope(CallControl* control) noexcept : previous_(detail::current) {
    detail::current = control;
  }
  ~Scope() { detail::current = previous_; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  CallControl* previous_;
};

// Throws Cancelled when this thread's call was asked to stop. Cheap enough
// for every unit of work (a strip of tiles, a column, a pick, a threshold).
inline void poll() {
  if (CallControl* c = detail::current; c != nullptr && c->stop_requested()) throw Cancelled();
}

inline void begin(Phase phase, std::uint64_t total) noexcept {
  if (CallControl* c = detail::current) c->begin(phase, total);
}
inline void advance(std::uint64_t units) noexcept {
  if (CallControl* c = detail::current) c->advance(units);
}

// Runs `work` under `control` on a helper thread while this thread waits,
// waking every `period` to call `tick` (which may request a stop) until it
// returns false; then waits for the work to end. An exception of `work`
// reaches the caller once the work has ended. Helper threads are kept for
// the next call, so a short call pays no thread start; when none can be
// started the work runs on this thread without ticks.
void run_watched(CallControl& control, const std::function<void()>& work,
                 std::chrono::milliseconds period, const std::function<bool()>& tick);

}  // namespace control
}  // namespace tarvex
