#include "borrow.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <numeric>
#include <unordered_map>

namespace tarvex::py {

// The table's layout, shared with every extension that uses it.
struct BorrowApi {
  std::uint64_t version;
  void* flags;
  int (*acquire)(void* flags, PyArrayObject* array);
  int (*acquire_mut)(void* flags, PyArrayObject* array);
  void (*release)(void* flags, PyArrayObject* array);
  void (*release_mut)(void* flags, PyArrayObject* array);
};

namespace {

constexpr const char* kRegistryName = "_RUST_NUMPY_BORROW_CHECKING_API";

// The memory an array view can touch, and how it steps through it.
struct BorrowKey {
  std::intptr_t start;
  std::intptr_t end;
  std::intptr_t data;
  std::intptr_t gcd_strides;

  friend auto operator<=>(const BorrowKey&, const BorrowKey&) = default;

  bool conflicts(const BorrowKey& other) const noexcept {
    if (other.start >= end || start >= other.end) return false;
    const std::intptr_t g = std::gcd(gcd_strides, other.gcd_strides);
    // Zero strides everywhere: no lattice to reason with, assume the worst.
    if (g == 0) return true;
    const std::intptr_t diff = data > other.data ? data - other.data : other.data - data;
    return diff % g == 0;
  }
};

BorrowKey borrow_key(PyArrayObject* array) noexcept {
  const auto data = reinterpret_cast<std::intptr_t>(PyArray_DATA(array));
  const int nd = PyArray_NDIM(array);
  if (nd == 0) return {data, data, data, 1};
  const npy_intp* shape = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  std::intptr_t lo = 0, hi = 0;
  bool empty = false;
  for (int i = 0; i < nd; ++i) empty = empty || shape[i] == 0;
  if (!empty) {
    for (int i = 0; i < nd; ++i) {
      const std::intptr_t offset = (shape[i] - 1) * strides[i];
      (offset >= 0 ? hi : lo) += offset;
    }
    hi += PyArray_ITEMSIZE(array);
  }
  std::intptr_t g = strides[0];
  for (int i = 1; i < nd; ++i) g = std::gcd(g, static_cast<std::intptr_t>(strides[i]));
  return {data + lo, data + hi, data, g};
}

// Views of one buffer share the innermost non-array base object.
void* base_address(PyArrayObject* array) noexcept {
  for (;;) {
    PyObject* base = PyArray_BASE(array);
    if (base == nullptr) return array;
    if (!PyArray_Check(base)) return base;
    array = reinterpret_cast<PyArrayObject*>(base);
  }
}

// Readers count up from 1; a writer is -1. Guarded by its own mutex, so it
// stays correct on an interpreter without a global lock.
struct BorrowFlags {
  std::mutex mutex;
  std::unordered_map<void*, std::map<BorrowKey, std::intptr_t>> by_base;
};

// The table this module published, if any. Its lock is taken across fork()
// so that a child never inherits it held, or the table half-changed, by a
// thread that does not exist there.
std::atomic<BorrowFlags*> g_own_flags{nullptr};

int registry_acquire(void* flags, PyArrayObject* array) noexcept {
  auto& f = *static_cast<BorrowFlags*>(flags);
  const BorrowKey key = borrow_key(array);
  void* base = base_address(array);
  try {
    std::lock_guard lock(f.mutex);
    auto& same_base = f.by_base[base];
    if (auto it = same_base.find(key); it != same_base.end()) {
      if (it->second < 0) return -1;
      ++it->second;
      return 0;
    }
    for (const auto& [other, count] : same_base)
      if (count < 0 && key.conflicts(other)) return -1;
    same_base.emplace(key, 1);
    return 0;
  } catch (...) {
    panic_abort();
  }
}

int registry_acquire_mut(void* flags, PyArrayObject* array) noexcept {
  if (!PyArray_ISWRITEABLE(array)) return -2;
  auto& f = *static_cast<BorrowFlags*>(flags);
  const BorrowKey key = borrow_key(array);
  void* base = base_address(array);
  try {
    std::lock_guard lock(f.mutex);
    auto& same_base = f.by_base[base];
    for (const auto& entry : same_base)
      if (key.conflicts(entry.first) || entry.first == key) return -1;
    same_base.emplace(key, -1);
    return 0;
  } catch (...) {
    panic_abort();
  }
}

void registry_release_any(void* flags, PyArrayObject* array, bool writer) noexcept {
  auto& f = *static_cast<BorrowFlags*>(flags);
  const BorrowKey key = borrow_key(array);
  void* base = base_address(array);
  try {
    std::lock_guard lock(f.mutex);
    auto base_it = f.by_base.find(base);
    if (base_it == f.by_base.end()) return;
    auto& same_base = base_it->second;
    if (auto it = same_base.find(key); it != same_base.end()) {
      if (writer || --it->second <= 0) same_base.erase(it);
    }
    if (same_base.empty()) f.by_base.erase(base_it);
  } catch (...) {
    panic_abort();
  }
}

void registry_release(void* flags, PyArrayObject* array) noexcept {
  registry_release_any(flags, array, false);
}

void registry_release_mut(void* flags, PyArrayObject* array) noexcept {
  registry_release_any(flags, array, true);
}

void registry_destroy(PyObject* capsule) noexcept {
  auto* api = static_cast<BorrowApi*>(PyCapsule_GetPointer(capsule, kRegistryName));
  if (api == nullptr) {
    PyErr_Clear();
    return;
  }
  BorrowFlags* flags = static_cast<BorrowFlags*>(api->flags);
  g_own_flags.compare_exchange_strong(flags, nullptr, std::memory_order_acq_rel);
  delete static_cast<BorrowFlags*>(api->flags);
  delete api;
}

Ref new_registry_capsule() {
  auto* api = new BorrowApi{1,
                            new BorrowFlags,
                            registry_acquire,
                            registry_acquire_mut,
                            registry_release,
                            registry_release_mut};
  PyObject* capsule = PyCapsule_New(api, kRegistryName, registry_destroy);
  if (capsule == nullptr) {
    delete static_cast<BorrowFlags*>(api->flags);
    delete api;
  }
  return Ref(capsule);
}

// The registry in use, held alive for as long as a borrow needs it.
struct Registry {
  Ref capsule;
  const BorrowApi* api = nullptr;
};

std::optional<Registry> borrow_registry() {
  const char* home = PyArray_RUNTIME_VERSION >= NPY_2_0_API_VERSION ? "numpy._core.multiarray"
                                                                     : "numpy.core.multiarray";
  Ref home_name(PyUnicode_FromString(home));
  if (!home_name) return std::nullopt;
  Ref module(PyImport_GetModule(home_name.get()));  // usually loaded already
  if (!module && !PyErr_Occurred()) module = Ref(PyImport_Import(home_name.get()));
  if (!module) return std::nullopt;
  Ref capsule(PyObject_GetAttrString(module.get(), kRegistryName));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
    PyErr_Clear();
    Ref fresh = new_registry_capsule();
    if (!fresh) return std::nullopt;
    PyObject* dict = PyModule_GetDict(module.get());
    Ref key(PyUnicode_FromString(kRegistryName));
    if (dict == nullptr || !key) return std::nullopt;
    // Set-default, not set: another thread or extension may publish first.
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* winner = nullptr;
    if (PyDict_SetDefaultRef(dict, key.get(), fresh.get(), &winner) < 0) return std::nullopt;
    capsule = Ref(winner);
#else
    PyObject* winner = PyDict_SetDefault(dict, key.get(), fresh.get());
    if (winner == nullptr) return std::nullopt;
    capsule = Ref::borrow(winner);
#endif
    if (capsule.get() == fresh.get()) {
      const auto* ours = static_cast<const BorrowApi*>(PyCapsule_GetPointer(fresh.get(), kRegistryName));
      g_own_flags.store(static_cast<BorrowFlags*>(ours->flags), std::memory_order_release);
    }
  }
  if (!PyCapsule_IsValid(capsule.get(), kRegistryName)) {
    PyErr_Format(PyExc_RuntimeError, "%s on %s is not a valid capsule", kRegistryName, home);
    return std::nullopt;
  }
  const auto* api =
      static_cast<const BorrowApi*>(PyCapsule_GetPointer(capsule.get(), kRegistryName));
  if (api->version < 1) {
    PyErr_Format(PyExc_RuntimeError, "version %llu of the array borrow registry is not supported",
                 static_cast<unsigned long long>(api->version));
    return std::nullopt;
  }
  return Registry{std::move(capsule), api};
}

}  // namespace

std::optional<BorrowGuard> borrow_read(PyArrayObject* array, const char* what) {
  auto registry = borrow_registry();
  if (!registry) return std::nullopt;
  if (registry->api->acquire(registry->api->flags, array) != 0) {
    PyErr_Format(PyExc_ValueError,
                 "%s is mutably borrowed by another native extension call; retry once it has "
                 "returned",
                 what);
    return std::nullopt;
  }
  return BorrowGuard(std::move(registry->capsule), registry->api,
                     Ref::borrow(reinterpret_cast<PyObject*>(array)));
}


BorrowGuard::~BorrowGuard() {
  if (api_ != nullptr) api_->release(api_->flags, array());
}

void lock_registry_for_fork() noexcept {
  if (BorrowFlags* f = g_own_flags.load(std::memory_order_acquire)) f->mutex.lock();
}

void unlock_registry_after_fork() noexcept {
  if (BorrowFlags* f = g_own_flags.load(std::memory_order_acquire)) f->mutex.unlock();
}

}  // namespace tarvex::py
