// The cross-extension array borrow registry: native extensions that share
// NumPy arrays register their borrows in one table published as a capsule on
// NumPy's multiarray module. We join an existing table or publish one with the
// same layout and rules, so a writer elsewhere cannot change rows under a call.
#pragma once

#include <optional>

#include "pyref.hpp"

// The NumPy API table is imported by lib.cpp; other files only use it.
#ifndef TARVEX_NUMPY_IMPORTER
#define NO_IMPORT_ARRAY
#endif
#define PY_ARRAY_UNIQUE_SYMBOL tarvex_ARRAY_API
#include <numpy/arrayobject.h>

namespace tarvex::py {

struct BorrowApi;

// Owns one read borrow; releases it (attached) when destroyed.
class BorrowGuard {
 public:
  BorrowGuard() noexcept = default;
  BorrowGuard(Ref capsule, const BorrowApi* api, Ref array) noexcept
      : capsule_(std::move(capsule)), api_(api), array_(std::move(array)) {}
  BorrowGuard(BorrowGuard&& o) noexcept
      : capsule_(std::move(o.capsule_)), api_(std::exchange(o.api_, nullptr)),
        array_(std::move(o.array_)) {}
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  ~BorrowGuard();

  PyArrayObject* array() const noexcept { return reinterpret_cast<PyArrayObject*>(array_.get()); }

 private:
  Ref capsule_;  // keeps the table alive for as long as the borrow
  const BorrowApi* api_ = nullptr;
  Ref array_;
};

// A read borrow of `array`; nullopt with ValueError set ("<what> is mutably
// borrowed ...") when a writer holds it, or with the import's error.
std::optional<BorrowGuard> borrow_read(PyArrayObject* array, const char* what);

// The table this module published is locked across fork(), so that a child
// never inherits it held, or half-changed, by a thread that does not exist
// there.
void lock_registry_for_fork() noexcept;
void unlock_registry_after_fork() noexcept;

}  // namespace tarvex::py
