#include "control.hpp"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tarvex {

const char* phase_text(Phase phase) noexcept {
  switch (phase) {
    case Phase::Idle: return "idle";
    case Phase::Diameter: return "diameter";
    case Phase::Setup: return "set-up";
    case Phase::Greedy: return "greedy";
    case Phase::Sweep: return "sweep";
    case Phase::Rebuild: return "rebuild";
  }
  return "idle";
}

namespace control::detail {
thread_local CallControl* current = nullptr;
thread_local std::size_t initialising = 0;
}

namespace control {
namespace {

// One watched call: the waiter owns it and destroys it once `done` is seen.
struct Job {
  Job(CallControl& c, const std::function<void()>& w) : control(&c), work(&w) {}
  CallControl* control;
  const std::function<void()>* work;
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr error;

  void run() noexcept {
    {
      Scope scope(control);
      try {
        (*work)();
      } catch (...) {
        error = std::current_exception();
      }
    }
  }
  // The last touch of the job by the helper; the waiter may free it as soon
  // as the lock is released.
  void finish() noexcept {
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_one();
  }
};

struct Helper {
  std::mutex mutex;
  std::condition_variable wake;
  Job* job = nullptr;
};

// Idle helpers. A forked child has none of the parent's threads, and the
// lock may have been held at fork time, so the child starts a fresh set and
// leaks the old one.
struct Helpers {
  std::mutex mutex;
  std::vector<Helper*> idle;
};
constexpr std::size_t kMaxIdle = 8;
std::atomic<Helpers*> g_helpers{new Helpers};

void fresh_helpers_in_child() noexcept { g_helpers.store(new Helpers, std::memory_order_relaxed); }
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, fresh_helpers_in_child);

void helper_main(Helper* self) {
  for (;;) {
    Job* job;
    {
      std::unique_lock lock(self->mutex);
      self->wake.wait(lock, [&] { return self->job != nullptr; });
      job = std::exchange(self->job, nullptr);
    }
    job->run();
    // Idle before the job ends, so a caller's next call finds this helper.
    bool keep = false;
    {
      Helpers* helpers = g_helpers.load(std::memory_order_relaxed);
      std::lock_guard lock(helpers->mutex);
      if (helpers->idle.size() < kMaxIdle) {
        helpers->idle.push_back(self);
        keep = true;
      }
    }
    job->finish();
    if (!keep) {
      delete self;
      return;
    }
  }
}

// Hands the job to an idle helper or a new one; false when no thread can be
// started.
bool dispatch(Job& job) {
  Helper* helper = nullptr;
  {
    Helpers* helpers = g_helpers.load(std::memory_order_relaxed);
    std::lock_guard lock(helpers->mutex);
    if (!helpers->idle.empty()) {
      helper = helpers->idle.back();
      helpers->idle.pop_back();
    }
  }
  if (helper == nullptr) {
    helper = new Helper;
    try {
      std::thread(helper_main, helper).detach();
    } catch (const std::system_error&) {
      delete helper;
      return false;
    }
  }
  std::lock_guard lock(helper->mutex);
  helper->job = &job;
  helper->wake.notify_one();
  return true;
}

}  // namespace

void run_watched(CallControl& control, const std::function<void()>& work,
                 std::chrono::milliseconds period, const std::function<bool()>& tick) {
  Job job(control, work);
  if (!dispatch(job)) {
    job.run();
  } else {
    std::exception_ptr tick_error;
    std::unique_lock lock(job.mutex);
    bool ticking = true;
    while (!job.done) {
      if (!ticking) {
        job.ended.wait(lock, [&] { return job.done; });
        break;
      }
      if (job.ended.wait_for(lock, period, [&] { return job.done; })) break;
      lock.unlock();
      try {
        ticking = tick();
      } catch (...) {
        // The work reads what this frame owns: stop it and let it end first.
        tick_error = std::current_exception();
        control.request_stop();
        ticking = false;
      }
      lock.lock();
    }
    lock.unlock();
    if (tick_error) std::rethrow_exception(tick_error);
  }
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace control
}  // namespace tarvex
