// The process-wide worker pool. The rest of the core sees only these two
// operations; the threading library stays behind pool.cpp.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
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
void parallel_chunks(std::size_t n, const std::function<void(std::size_t, std::size_t)>& chunk);
}  // namespace detail

// Reduces [0, n) on the pool: map(begin, end, acc) folds a subrange into acc,
// combine(left, right) joins neighbouring partial results. The combiner must be
// associative; identity stands for an empty subrange.
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
template <class Init, class Body>
void map_chunks(std::size_t n, Init init, Body body) {
  detail::parallel_chunks(n, [&](std::size_t begin, std::size_t end) {
    auto state = init();
    for (std::size_t i = begin; i < end; ++i) body(state, i);
  });
}

}  // namespace tarvex::pool
