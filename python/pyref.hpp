// Owned Python references for the binding's translation units.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace tarvex::py {

// A strong reference, released on every path.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// For a failure where neither an exception nor unwinding is possible.
[[noreturn]] inline void panic_abort() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace tarvex::py
