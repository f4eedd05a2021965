#include "pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <cstdlib>
#include <mutex>
#include <thread>

namespace tarvex::pool {
namespace {

std::size_t configured_size() {
  // Refined by the environment rules; see the pool sizing helpers.
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

struct Pool {
  explicit Pool(std::size_t workers)
      : limit(oneapi::tbb::global_control::max_allowed_parallelism, workers),
        arena(static_cast<int>(workers)),
        workers(workers) {}
  oneapi::tbb::global_control limit;
  oneapi::tbb::task_arena arena;
  std::size_t workers;
};

Pool& shared() {
  // Never destroyed: worker threads may outlive static destructors at exit.
  static Pool* pool = new Pool(configured_size());
  return *pool;
}

struct TbbReduce {
  TbbReduce(detail::ReduceBody& b) : body(&b) {}
  TbbReduce(TbbReduce& other, oneapi::tbb::split) : owned(other.body->split()), body(owned.get()) {}
  void operator()(const oneapi::tbb::blocked_range<std::size_t>& r) { body->run(r.begin(), r.end()); }
  void join(TbbReduce& rhs) { body->join(*rhs.body); }
  std::unique_ptr<detail::ReduceBody> owned;
  detail::ReduceBody* body;
};

}  // namespace

std::size_t size() { return shared().workers; }

namespace detail {

void parallel_reduce(std::size_t n, ReduceBody& body) {
  if (n == 0) return;
  TbbReduce tbb_body(body);
  shared().arena.execute([&] {
    oneapi::tbb::parallel_reduce(oneapi::tbb::blocked_range<std::size_t>(0, n, 1), tbb_body,
                                 oneapi::tbb::auto_partitioner());
  });
}

void parallel_chunks(std::size_t n, const std::function<void(std::size_t, std::size_t)>& chunk) {
  if (n == 0) return;
  shared().arena.execute([&] {
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n, 1),
                              [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                chunk(r.begin(), r.end());
                              });
  });
}

}  // namespace detail
}  // namespace tarvex::pool
