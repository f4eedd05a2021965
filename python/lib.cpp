// The Python face of tarvex: the module `_tarvex`, its two entry points and
// the intake of their arguments. The core below never sees a PyObject.
//
// The functions use the fast-call convention with keywords: the arguments
// arrive as a C array plus a tuple of keyword names, so a call builds no tuple
// or dict, and the parser below turns them into plain C++ values before the
// core runs with the thread detached.
#define TARVEX_NUMPY_IMPORTER
#include "borrow.hpp"
#include "pyref.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "control.hpp"
#include "error.hpp"
#include "gist.hpp"
#include "memory.hpp"
#include "metric.hpp"
#include "points.hpp"
#include "utility.hpp"

// The private block kernels of tarvex.dask (dask_kernels.cpp).
int tarvex_add_block_kernels(PyObject* module);

namespace {

using tarvex::GistParams;
using tarvex::GistResult;
using tarvex::Metric;
using tarvex::Points;
using tarvex::Utility;
using tarvex::py::BorrowGuard;
using tarvex::py::panic_abort;
using tarvex::py::Ref;

// ---------------------------------------------------------------------------
// Contained failures

// Raised for a broken internal contract or any other C++ failure that is not a
// TarvexError. It derives from BaseException so that `except Exception` does
// not silently swallow a bug. Created by the first exec step; all module
// objects share it so that `except InternalError` works whichever is imported.
std::atomic<PyObject*> g_internal_error{nullptr};

void raise_internal(const char* what) noexcept {
  PyObject* type = g_internal_error.load(std::memory_order_acquire);
  PyErr_SetString(type != nullptr ? type : PyExc_SystemError, what);
}

// MemoryError saying what was needed (0: unknown) while doing `what`, and
// what is available.
void raise_memory(const char* what, std::uint64_t needed) noexcept {
  const std::uint64_t available = tarvex::available_memory();
  const auto avail = static_cast<unsigned long long>(available);
  if (needed != 0) {
    PyErr_Format(PyExc_MemoryError, "%s needs %llu bytes; %llu are available", what,
                 static_cast<unsigned long long>(needed), avail);
  } else {
    PyErr_Format(PyExc_MemoryError, "%s ran out of memory; %llu bytes are available", what,
                 avail);
  }
}

// Runs the body of an entry point: a C++ exception never crosses into the
// interpreter. Thread state is restored by the RAII guards during unwinding,
// so the handlers run attached.
template <class R, class Body>
R contain(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const tarvex::MemoryShortfall& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    raise_memory("the call", 0);
  } catch (const std::exception& e) {
    try {
      raise_internal(e.what());
    } catch (...) {
      panic_abort();
    }
  } catch (...) {
    raise_internal("unknown internal failure");
  }
  return failure;
}

// Adds "while processing '{name}'" to the pending exception.
void add_note(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *exc = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  if (tb != nullptr && exc != nullptr) PyException_SetTraceback(exc, tb);
  Py_XDECREF(tb);
  Py_XDECREF(type);
#endif
  if (exc == nullptr) return;
  Ref note(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    Ref done(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!done && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      // Before 3.11 there is no add_note; keep the note where 3.11 would.
      PyErr_Clear();
      Ref notes(PyList_New(0));
      if (notes && PyList_Append(notes.get(), note.get()) == 0)
        PyObject_SetAttrString(exc, "__notes__", notes.get());
    }
  }
  PyErr_Clear();  // a failure to annotate must not replace the real error
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

// The interpreter is detached while this exists; it re-attaches on every
// path out, unwinding included.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

  // Runs `step` attached, then detaches again.
  template <class Step>
  auto attached(Step&& step) {
    PyEval_RestoreThread(state_);
    struct Again {
      PyThreadState*& state;
      ~Again() { state = PyEval_SaveThread(); }
    } again{state_};
    return step();
  }

 private:
  PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// NumPy's C API, loaded on the first use of an array

std::atomic<bool> g_numpy_ready{false};
// Replaced in a forked child: the thread that held it there is gone.
std::atomic<std::mutex*> g_numpy_mutex{new std::mutex};

void fork_child() noexcept {
  tarvex::py::unlock_registry_after_fork();
  g_numpy_mutex.store(new std::mutex, std::memory_order_release);
}

std::once_flag g_atfork_once;
void install_fork_handlers() {
  std::call_once(g_atfork_once, [] {
    pthread_atfork(tarvex::py::lock_registry_for_fork, tarvex::py::unlock_registry_after_fork,
                   fork_child);
  });
}

bool ensure_numpy() {
  if (g_numpy_ready.load(std::memory_order_acquire)) return true;
  // Wait for the mutex detached: the thread that holds it may need the
  // interpreter (the import runs Python code) to finish.
  std::unique_lock lock(*g_numpy_mutex.load(std::memory_order_acquire), std::defer_lock);
  {
    Detached detached;
    lock.lock();
  }
  if (g_numpy_ready.load(std::memory_order_relaxed)) return true;
  if (_import_array() < 0) return false;
  g_numpy_ready.store(true, std::memory_order_release);
  return true;
}

// ---------------------------------------------------------------------------
// Argument intake

constexpr const char* kVectorsType =
    "vectors must be a C-contiguous float32 array of shape (n, d); use "
    "np.ascontiguousarray(x, dtype=np.float32)";
constexpr const char* kWeightsType =
    "utilities must be a C-contiguous float64 array of shape (n,); use "
    "np.ascontiguousarray(u, dtype=np.float64)";
constexpr const char* kCoverageType =
    "utilities for utility='coverage' must be a sequence of sequences of non-negative int item "
    "ids, one per vector";

// An int argument (k, diameter_sweeps) as a 64-bit value; bool is refused.
std::optional<std::int64_t> int64_argument(PyObject* value, const char* name) {
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not bool", name);
    return std::nullopt;
  }
  const long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s must fit a 64-bit signed integer", name);
    }
    return std::nullopt;
  }
  return v;
}

bool text_is(PyObject* text, const char* expected) {
  return PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// An absent option text (nullptr) is its default.
std::optional<Metric> parse_metric(PyObject* text) {
  if (text == nullptr || text_is(text, "cosine")) return Metric::Cosine;
  if (text_is(text, "euclidean")) return Metric::Euclidean;
  PyErr_Format(PyExc_ValueError, "metric must be 'cosine' or 'euclidean', got '%U'", text);
  return std::nullopt;
}

enum class UtilityKind { Linear, Coverage, FacilityLocation };

std::optional<UtilityKind> parse_utility(PyObject* text) {
  if (text == nullptr || text_is(text, "linear")) return UtilityKind::Linear;
  if (text_is(text, "coverage")) return UtilityKind::Coverage;
  if (text_is(text, "facility_location")) return UtilityKind::FacilityLocation;
  PyErr_Format(PyExc_ValueError,
               "utility must be one of 'linear', 'coverage', 'facility_location', got '%U'", text);
  return std::nullopt;
}

std::optional<tarvex::DiameterMode> parse_diameter(PyObject* text, std::size_t sweeps) {
  if (text == nullptr || text_is(text, "exact")) return tarvex::DiameterExact{};
  if (text_is(text, "approx")) return tarvex::DiameterApprox{sweeps};
  PyErr_Format(PyExc_ValueError, "diameter must be 'exact' or 'approx', got '%U'", text);
  return std::nullopt;
}

// A read view of the caller's float32 matrix, valid while `guard` lives.
struct PointView {
  const float* data = nullptr;
  std::size_t n = 0;
  std::size_t d = 0;
  BorrowGuard guard;

  // Reads the shape and buffer of the held array again; false with the
  // vectors TypeError set when it is no longer a suitable array.
  bool refresh();
};

bool is_array_of(PyObject* obj, int ndim, int type_num) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim) return false;
  Ref wanted(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
  if (!wanted) {
    PyErr_Clear();
    return false;
  }
  return PyArray_EquivTypes(PyArray_DESCR(array),
                            reinterpret_cast<PyArray_Descr*>(wanted.get())) != 0;
}

// The steps both array arguments share: a C-contiguous array of `ndim`
// dimensions equivalent to `type_num`, a read borrow of it, and (when it holds
// any value) an aligned, present data pointer. Failures raise `type_message`
// or the borrow's own error; the guard releases the borrow on every path.
struct BorrowedArray {
  PyArrayObject* array;
  BorrowGuard guard;
  const void* data;  // nullptr for an empty array
};

std::optional<BorrowedArray> borrow_contiguous(PyObject* obj, int ndim, int type_num,
                                               const char* type_message, const char* name) {
  if (!ensure_numpy()) return std::nullopt;
  if (!is_array_of(obj, ndim, type_num) ||
      !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(obj))) {
    PyErr_SetString(PyExc_TypeError, type_message);
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  auto guard = tarvex::py::borrow_read(array, name);
  if (!guard) return std::nullopt;
  if (PyArray_SIZE(array) == 0) return BorrowedArray{array, std::move(*guard), nullptr};
  if (!PyArray_ISALIGNED(array) || PyArray_DATA(array) == nullptr) {
    PyErr_SetString(PyExc_TypeError, type_message);
    return std::nullopt;
  }
  return BorrowedArray{array, std::move(*guard), PyArray_DATA(array)};
}

bool PointView::refresh() {
  PyArrayObject* array = guard.array();
  auto* obj = reinterpret_cast<PyObject*>(array);
  if (!is_array_of(obj, 2, NPY_FLOAT32) || !PyArray_IS_C_CONTIGUOUS(array) ||
      (PyArray_SIZE(array) != 0 && (!PyArray_ISALIGNED(array) || PyArray_DATA(array) == nullptr))) {
    PyErr_SetString(PyExc_TypeError, kVectorsType);
    return false;
  }
  data = PyArray_SIZE(array) == 0 ? nullptr : static_cast<const float*>(PyArray_DATA(array));
  n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  d = static_cast<std::size_t>(PyArray_DIM(array, 1));
  return true;
}

std::optional<PointView> vectors_intake(PyObject* obj) {
  auto held = borrow_contiguous(obj, 2, NPY_FLOAT32, kVectorsType, "vectors");
  if (!held) return std::nullopt;
  return PointView{static_cast<const float*>(held->data),
                   static_cast<std::size_t>(PyArray_DIM(held->array, 0)),
                   static_cast<std::size_t>(PyArray_DIM(held->array, 1)), std::move(held->guard)};
}

using Weights = std::optional<std::vector<double>>;

// Copies the weights under a borrow that lasts only for the copy.
std::optional<Weights> linear_weights(PyObject* obj) {
  if (obj == nullptr) return Weights{};
  auto held = borrow_contiguous(obj, 1, NPY_FLOAT64, kWeightsType, "utilities");
  if (!held) return std::nullopt;
  if (held->data == nullptr) return Weights{std::vector<double>{}};
  const auto* first = static_cast<const double*>(held->data);
  const auto count = static_cast<std::size_t>(PyArray_SIZE(held->array));
  try {
    return Weights{std::vector<double>(first, first + count)};
  } catch (const std::bad_alloc&) {
    const std::string what = "copying " + std::to_string(count) + " weights";
    raise_memory(what.c_str(), count * sizeof(double));
    return std::nullopt;
  }
}

// Sequence and not str: PySequence_Check, or registered as a Sequence.
int is_item_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) return 0;
  if (PySequence_Check(obj)) return 1;
  Ref abc(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  Ref sequence(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!sequence) return -1;
  return PyObject_IsInstance(obj, sequence.get());
}

// The caller's rows as tuples we own. Nothing can change a tuple, not another
// thread and not the caller's own code called while we read it (even code
// that finds our containers through the garbage collector), so its size and
// items stay valid across every call into caller code. nullopt when the shape
// is wrong or the caller's code raised.
std::optional<std::vector<Ref>> coverage_rows(PyObject* obj) {
  if (is_item_sequence(obj) != 1) return std::nullopt;
  Ref rows(PySequence_Tuple(obj));
  if (!rows) return std::nullopt;
  const Py_ssize_t count = PyTuple_GET_SIZE(rows.get());
  std::vector<Ref> out;
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t r = 0; r < count; ++r) {
    PyObject* row = PyTuple_GET_ITEM(rows.get(), r);  // kept alive by `rows`
    if (is_item_sequence(row) != 1) return std::nullopt;
    Ref items(PySequence_Tuple(row));
    if (!items) return std::nullopt;
    out.push_back(std::move(items));
  }
  return out;
}

// KeyboardInterrupt, SystemExit and the like are not the caller's data being
// wrong; they pass through where an Exception would be replaced.
bool passes_through() {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

struct CoverageSets {
  std::vector<std::vector<std::uint32_t>> sets;
  std::size_t universe = 0;
};

std::optional<CoverageSets> coverage_sets(PyObject* obj) {
  if (obj == nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "utility='coverage' requires utilities: a sequence of sequences of item ids, "
                    "one per vector");
    return std::nullopt;
  }
  auto rows = coverage_rows(obj);
  if (!rows) {
    if (passes_through()) return std::nullopt;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, kCoverageType);
    return std::nullopt;
  }
  CoverageSets out;
  std::uint64_t ids = 0;
  for (const Ref& row : *rows) ids += static_cast<std::uint64_t>(PyTuple_GET_SIZE(row.get()));
  try {
    out.sets.reserve(rows->size());
    for (const Ref& row : *rows)
      out.sets.emplace_back().reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(row.get())));
  } catch (const std::bad_alloc&) {
    const std::string what = "converting " + std::to_string(rows->size()) +
                             " coverage lists of " + std::to_string(ids) + " item ids";
    raise_memory(what.c_str(), rows->size() * sizeof(std::vector<std::uint32_t>) +
                                   ids * sizeof(std::uint32_t));
    return std::nullopt;
  }
  std::uint64_t largest = 0;
  bool any = false;
  for (std::size_t r = 0; r < rows->size(); ++r) {
    PyObject* row = (*rows)[r].get();
    const Py_ssize_t len = PyTuple_GET_SIZE(row);
    auto& items = out.sets[r];
    for (Py_ssize_t i = 0; i < len; ++i) {
      PyObject* element = PyTuple_GET_ITEM(row, i);  // kept alive by the tuple
      const long long v = PyLong_AsLongLong(element);
      const bool failed = v == -1 && PyErr_Occurred() != nullptr;
      if (failed && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, kCoverageType);
        return std::nullopt;
      }
      if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
      if (failed || v < 0 || v > 4294967295LL) {
        PyErr_Clear();
        Ref text(PyObject_Str(element));
        if (!text) {
          if (passes_through()) return std::nullopt;
          PyErr_Clear();
          text = Ref(PyUnicode_FromString("<unprintable>"));
          if (!text) return std::nullopt;
        }
        PyErr_Format(PyExc_ValueError,
                     "coverage item id %U at row %zu must be a non-negative int no larger than "
                     "4294967295",
                     text.get(), r);
        return std::nullopt;
      }
      items.push_back(static_cast<std::uint32_t>(v));
      largest = std::max(largest, static_cast<std::uint64_t>(v));
      any = true;
    }
  }
  out.universe = any ? static_cast<std::size_t>(largest) + 1 : 0;
  return out;
}

// The binding's owned description of the utility; the core object is built
// from it once the point matrix exists, with the thread detached.
struct UtilitySpec {
  struct Linear {
    Weights weights;
  };
  struct Coverage {
    std::vector<std::vector<std::uint32_t>> sets;
    std::size_t universe;
  };
  struct FacilityLocation {};
  std::variant<Linear, Coverage, FacilityLocation> data;

  static tarvex::Result<std::unique_ptr<Utility>> build(UtilitySpec spec, const Points& points) {
    using Out = tarvex::Result<std::unique_ptr<Utility>>;
    return std::visit(
        [&](auto&& c) -> Out {
          using C = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<C, Linear>) {
            if (!c.weights) return std::make_unique<tarvex::Linear>(tarvex::Linear::uniform(points.n()));
            return std::make_unique<tarvex::Linear>(std::move(*c.weights));
          } else if constexpr (std::is_same_v<C, Coverage>) {
            auto made = tarvex::Coverage::create(std::move(c.sets), c.universe);
            if (!made) return std::unexpected(made.error());
            return std::make_unique<tarvex::Coverage>(std::move(*made));
          } else {
            return std::make_unique<tarvex::FacilityLocation>(
                tarvex::FacilityLocation::create(points));
          }
        },
        std::move(spec.data));
  }
};

std::optional<UtilitySpec> utilities_intake(UtilityKind kind, PyObject* utilities) {
  switch (kind) {
    case UtilityKind::Linear: {
      auto weights = linear_weights(utilities);
      if (!weights) return std::nullopt;
      return UtilitySpec{UtilitySpec::Linear{std::move(*weights)}};
    }
    case UtilityKind::Coverage: {
      auto sets = coverage_sets(utilities);
      if (!sets) return std::nullopt;
      return UtilitySpec{UtilitySpec::Coverage{std::move(sets->sets), sets->universe}};
    }
    case UtilityKind::FacilityLocation:
      if (utilities != nullptr) {
        PyErr_SetString(PyExc_ValueError, "facility_location takes no utilities array");
        return std::nullopt;
      }
      return UtilitySpec{UtilitySpec::FacilityLocation{}};
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The pipeline

// The arguments after the parser's conversions; objects are borrowed from
// the call; absent ones (and None where None means absent) are nullptr.
struct CallArgs {
  PyObject* vectors = nullptr;
  PyObject* utilities = nullptr;
  PyObject* k = nullptr;
  double lam = 1.0;
  float eps = 0.1f;
  PyObject* metric = nullptr;
  PyObject* utility = nullptr;
  bool exhaustive_thresholds = false;
  PyObject* diameter = nullptr;
  PyObject* diameter_sweeps = nullptr;
};

// Touches no Python object. The utility dies before the points it refers to.
tarvex::Result<GistResult> run_core(const PointView& view, Metric metric, UtilitySpec spec,
                                    const GistParams& params) {
  auto points = Points::borrowed(std::span<const float>(view.data, view.n * view.d), view.d,
                                 metric);
  if (!points) return std::unexpected(points.error());
  auto utility = UtilitySpec::build(std::move(spec), *points);
  if (!utility) return std::unexpected(utility.error());
  return tarvex::gist(*points, **utility, params);
}

// How often the waiting thread asks the interpreter for pending signals, and
// how often it reports progress.
constexpr std::chrono::milliseconds kSignalPeriod{20};
constexpr std::chrono::milliseconds kProgressPeriod{100};

// Calls progress(stage, done, total); false with the exception set when it
// raised.
bool report_progress(PyObject* progress, const tarvex::CallControl& control) {
  const auto now = control.progress();
  Ref done(PyObject_CallFunction(progress, "sKK", tarvex::phase_text(now.phase),
                                 static_cast<unsigned long long>(now.done),
                                 static_cast<unsigned long long>(now.total)));
  return static_cast<bool>(done);
}

// Runs the core on a helper thread while this one waits detached, waking to
// run the interpreter's signal handlers (and report progress). When a
// handler (or the progress callback) raises, the core is asked to stop and
// unwinds, and nullopt is returned with that exception set.
bool run_interruptible(const std::function<void()>& work, PyObject* progress) {
  tarvex::CallControl control;
  bool raised = false;
  std::optional<tarvex::Phase> out_of_memory;
  {
    Detached detached;
    auto last = std::chrono::steady_clock::now();
    const auto tick = [&] {
      return detached.attached([&] {
        if (PyErr_CheckSignals() < 0) {
          raised = true;
        } else if (progress != nullptr) {
          const auto now = std::chrono::steady_clock::now();
          if (now - last >= kProgressPeriod) {
            last = now;
            raised = !report_progress(progress, control);
          }
        }
        if (raised) control.request_stop();
        return !raised;
      });
    };
    try {
      tarvex::control::run_watched(control, work, kSignalPeriod, tick);
    } catch (const tarvex::MemoryShortfall&) {
      if (!raised) throw;
    } catch (const std::bad_alloc&) {
      if (!raised) out_of_memory = control.progress().phase;
    } catch (...) {
      // The handler's exception wins over a failure the stop itself caused.
      if (!raised) throw;
    }
  }
  if (out_of_memory) {
    const std::string what = *out_of_memory == tarvex::Phase::Idle
                                 ? std::string("the call")
                                 : std::string("the ") + tarvex::phase_text(*out_of_memory) +
                                       " stage";
    raise_memory(what.c_str(), 0);
    return false;
  }
  return !raised;
}

std::optional<GistResult> solve(const CallArgs& a, PyObject* progress = nullptr) {
  const auto k = int64_argument(a.k, "k");
  if (!k) return std::nullopt;
  if (*k <= 0) {
    PyErr_SetString(PyExc_ValueError, "k must be greater than zero");
    return std::nullopt;
  }
  std::int64_t sweeps = 3;
  if (a.diameter_sweeps != nullptr) {
    const auto s = int64_argument(a.diameter_sweeps, "diameter_sweeps");
    if (!s) return std::nullopt;
    if (*s < 0) {
      PyErr_SetString(PyExc_ValueError, "diameter_sweeps must be non-negative");
      return std::nullopt;
    }
    sweeps = *s;
  }
  const auto metric = parse_metric(a.metric);
  if (!metric) return std::nullopt;
  const auto kind = parse_utility(a.utility);
  if (!kind) return std::nullopt;
  const auto diameter = parse_diameter(a.diameter, static_cast<std::size_t>(sweeps));
  if (!diameter) return std::nullopt;

  // The read borrow of vectors lives in `view` until the end of this call.
  auto view = vectors_intake(a.vectors);
  if (!view) return std::nullopt;
  auto spec = utilities_intake(*kind, a.utilities);
  if (!spec) return std::nullopt;

  // The caller's objects ran code during the utilities intake; read the
  // array's shape and buffer again now that no more caller code runs.
  if (!view->refresh()) return std::nullopt;

  const GistParams params{*diameter, static_cast<std::size_t>(*k), a.lam, a.eps,
                          a.exhaustive_thresholds};
  std::optional<tarvex::Result<GistResult>> outcome;
  const std::function<void()> work = [&] {
    outcome.emplace(run_core(*view, *metric, std::move(*spec), params));
  };
  if (!run_interruptible(work, progress)) return std::nullopt;
  if (!outcome) {
    raise_internal("the call ended without a result");
    return std::nullopt;
  }
  if (!*outcome) {
    const std::string text = outcome->error().to_string();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return std::nullopt;
  }
  return std::move(**outcome);
}

// ---------------------------------------------------------------------------
// Parameter parsing

constexpr std::array<const char*, 10> kParams = {
    "vectors", "utilities", "k", "lam", "eps", "metric", "utility", "exhaustive_thresholds",
    "diameter", "diameter_sweeps"};
enum Param { kVectors, kUtilities, kK, kLam, kEps, kMetric, kUtility, kExhaustive, kDiameter,
             kSweeps };
constexpr Py_ssize_t kMaxPositional = 2;

// Matches the call to the signature; slots of absent arguments stay nullptr.
bool match_call(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::array<PyObject*, kParams.size()>& slots) {
  if (nargs > kMaxPositional) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", fname,
                 kMaxPositional, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    std::size_t p = 0;
    while (p < kParams.size() && !text_is(name, kParams[p])) ++p;
    if (p == kParams.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, name);
      return false;
    }
    if (slots[p] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   fname, kParams[p], p + 1);
      return false;
    }
    slots[p] = args[nargs + i];
  }
  if (slots[kVectors] == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'vectors' (pos 1)", fname);
    return false;
  }
  if (slots[kK] == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument 'k'", fname);
    return false;
  }
  return true;
}

bool convert_float(PyObject* obj, const char* name, double& out) {
  if (obj == nullptr) return true;
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    add_note(name);
    return false;
  }
  out = v;
  return true;
}

bool convert_text(const char* fname, PyObject* obj, const char* name, PyObject*& out) {
  if (obj == nullptr) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %s", fname, name,
                 Py_TYPE(obj)->tp_name);
    add_note(name);
    return false;
  }
  out = obj;
  return true;
}

bool convert_flag(const char* fname, PyObject* obj, const char* name, bool& out) {
  if (obj == nullptr) return true;
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (!ensure_numpy()) {
    add_note(name);
    return false;
  }
  if (!PyArray_IsScalar(obj, Bool)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %s", fname, name,
                 Py_TYPE(obj)->tp_name);
    add_note(name);
    return false;
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) {
    add_note(name);
    return false;
  }
  out = truth == 1;
  return true;
}

// Parses and converts the call; nullopt with an exception set on failure.
std::optional<CallArgs> parse_call(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  std::array<PyObject*, kParams.size()> slots{};
  if (!match_call(fname, args, nargs, kwnames, slots)) return std::nullopt;
  auto given = [&](Param p) { return slots[p] == Py_None ? nullptr : slots[p]; };
  CallArgs a;
  a.vectors = slots[kVectors];
  a.utilities = given(kUtilities);
  a.k = slots[kK];
  a.diameter_sweeps = given(kSweeps);
  double eps = 0.1;
  if (!convert_float(slots[kLam], "lam", a.lam)) return std::nullopt;
  if (!convert_float(slots[kEps], "eps", eps)) return std::nullopt;
  a.eps = static_cast<float>(eps);
  if (!convert_text(fname, slots[kMetric], "metric", a.metric)) return std::nullopt;
  if (!convert_text(fname, slots[kUtility], "utility", a.utility)) return std::nullopt;
  if (!convert_flag(fname, slots[kExhaustive], "exhaustive_thresholds", a.exhaustive_thresholds))
    return std::nullopt;
  if (!convert_text(fname, slots[kDiameter], "diameter", a.diameter)) return std::nullopt;
  return a;
}

// ---------------------------------------------------------------------------
// Entry points

PyObject* selected_list(const tarvex::Selection& selected) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(selected.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    PyObject* index = PyLong_FromSize_t(selected[i]);
    if (index == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), index);
  }
  return list.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* gist_select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return contain<PyObject*>(nullptr, [&]() -> PyObject* {
    auto call = parse_call("gist_select", args, nargs, kwnames);
    if (!call) return nullptr;
    auto result = solve(*call);
    if (!result) return nullptr;
    return selected_list(result->selected);
  });
}

PyObject* full_result(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject* progress) {
  return contain<PyObject*>(nullptr, [&]() -> PyObject* {
    auto call = parse_call(fname, args, nargs, kwnames);
    if (!call) return nullptr;
    auto result = solve(*call, progress);
    if (!result) return nullptr;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const std::string_view stage = tarvex::stage_text(result->stage);
    const bool ok =
        set_item(dict.get(), "selected", selected_list(result->selected)) &&
        set_item(dict.get(), "f_value", PyFloat_FromDouble(result->f_value)) &&
        set_item(dict.get(), "g_value", PyFloat_FromDouble(result->g_value)) &&
        set_item(dict.get(), "div", PyFloat_FromDouble(static_cast<double>(result->div))) &&
        set_item(dict.get(), "threshold",
                 PyFloat_FromDouble(static_cast<double>(result->threshold))) &&
        set_item(dict.get(), "stage",
                 PyUnicode_FromStringAndSize(stage.data(), static_cast<Py_ssize_t>(stage.size()))) &&
        set_item(dict.get(), "d_max", PyFloat_FromDouble(static_cast<double>(result->d_max)));
    return ok ? dict.release() : nullptr;
  });
}

PyObject* gist_select_full(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return full_result("gist_select_full", args, nargs, kwnames, nullptr);
}

// For the command line: gist_select_full that calls progress(stage, done,
// total) from the waiting thread about every 100 ms; an exception it raises
// stops the call and is raised.
PyObject* gist_select_full_progress(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  if (nargs < 1 || !PyCallable_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError,
                    "_gist_select_full_progress() takes a callable progress(stage, done, total) "
                    "first");
    return nullptr;
  }
  Ref progress = Ref::borrow(args[0]);
  return full_result("_gist_select_full_progress", args + 1, nargs - 1, kwnames, progress.get());
}

#define TARVEX_SIGNATURE                                                                        \
  "(vectors, utilities=None, *, k, lam=1.0, eps=0.1, metric='cosine', utility='linear', "       \
  "exhaustive_thresholds=False, diameter='exact', diameter_sweeps=None)\n--\n\n"

PyDoc_STRVAR(
    gist_select_doc,
    "gist_select" TARVEX_SIGNATURE
    "Select up to `k` rows of `vectors` with GIST (arXiv:2405.18754v3, NeurIPS 2025).\n"
    "\n"
    "GIST maximizes `f(S) = g(S) + lam * div(S)` over `|S| <= k`, where `g` is a\n"
    "monotone submodular utility (`\"linear\"`: a weighted count, `\"coverage\"`: the\n"
    "number of distinct items covered, `\"facility_location\"`: the paper's own\n"
    "choice) and `div(S)` is the minimum pairwise distance inside `S`, and it\n"
    "guarantees `f(S) >= (1/2 - eps) * OPT` for any such `g` (Theorem 3.1) and\n"
    "`(2/3 - eps) * OPT` for a linear `g` (Theorem 3.3). Those bounds are proven\n"
    "for a true metric, so they hold for `metric=\"euclidean\"`; raw cosine\n"
    "distance `1 - cos` -- the paper's own experimental setting and the default\n"
    "here -- is used as a well-behaved heuristic. `vectors` is consumed zero-copy\n"
    "for `metric=\"euclidean\"` (the numpy buffer is borrowed in place under a read\n"
    "lock held for the whole call); `metric=\"cosine\"` makes exactly one\n"
    "L2-normalised copy. The caller's array is never modified, and the solve runs\n"
    "with the interpreter lock released.\n"
    "\n"
    "Returns the selected row indices, in selection order, at most `k` of them.\n"
    "`k` must be a positive `int` -- a `bool` is rejected with `TypeError` rather\n"
    "than read as `0`/`1`. See `gist_select_full` for the objective value and the\n"
    "other diagnostics.");

PyDoc_STRVAR(
    gist_select_full_doc,
    "gist_select_full" TARVEX_SIGNATURE
    "`gist_select` with the full GIST result: a dict with keys `selected` (the\n"
    "same list `gist_select` returns), `f_value` (`g(S) + lam * div(S)`, the value\n"
    "maximized -- with `lam == 0` contributing exactly `0.0` rather than\n"
    "`0.0 * div`, so `f_value == g_value` even where `div` is infinite),\n"
    "`g_value`, `div` (the minimum pairwise distance in `S`, or\n"
    "`d_max` when `|S| <= 1`), `threshold` (the distance threshold that produced\n"
    "`selected`: `0.0` for `\"greedy\"`, `d_max` for `\"diameter_pair\"`, the winning\n"
    "`d` for `\"sweep\"`), `stage` (which branch of Algorithm 1 won: `\"greedy\"`,\n"
    "`\"diameter_pair\"` or `\"sweep\"`) and `d_max` (the diameter the sweep was built\n"
    "from -- exact under `diameter=\"exact\"`, the double-sweep estimate `d_hat` in\n"
    "`[d_max/2, d_max]` under `diameter=\"approx\"`). Same objective, guarantees,\n"
    "metric caveat and zero-copy behaviour as `gist_select`.");

PyMethodDef g_gist_select_def = {
    "gist_select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gist_select)),
    METH_FASTCALL | METH_KEYWORDS, gist_select_doc};
PyMethodDef g_progress_def = {
    "_gist_select_full_progress",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gist_select_full_progress)),
    METH_FASTCALL | METH_KEYWORDS,
    "_gist_select_full_progress(progress, vectors, utilities=None, *, k, ...)\n--\n\n"
    "gist_select_full that calls progress(stage, done, total) about every 100 ms while\n"
    "it runs. Private to the command line."};
PyMethodDef g_gist_select_full_def = {
    "gist_select_full",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gist_select_full)),
    METH_FASTCALL | METH_KEYWORDS, gist_select_full_doc};

// ---------------------------------------------------------------------------
// Module initialisation

// Appends `name` to the module's __all__ (made on first use), then sets it.
int add_export(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return -1;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttr(module, key.get(), owned.get());
}

int ensure_internal_error() {
  if (g_internal_error.load(std::memory_order_acquire) != nullptr) return 0;
  PyObject* fresh = PyErr_NewExceptionWithDoc(
      "tarvex._tarvex.InternalError",
      "A failure inside tarvex that is not the caller's fault: a broken internal\n"
      "invariant. It derives from BaseException so that it is not mistaken for\n"
      "an input error.",
      PyExc_BaseException, nullptr);
  if (fresh == nullptr) return -1;
  PyObject* expected = nullptr;
  if (!g_internal_error.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel))
    Py_DECREF(fresh);
  return 0;
}

int _tarvex(PyObject* module) {
  if (ensure_internal_error() < 0) return -1;
  if (tarvex_add_block_kernels(module) < 0) return -1;
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  if (add_export(module, "__version__", PyUnicode_FromString("0.1.0")) < 0) return -1;
  // Private: the kernel build in use, so tests can tell a forced build took.
  if (PyModule_AddStringConstant(module, "_kernel_build",
                                 tarvex::kernel_level_name(tarvex::active_kernel_level())) < 0)
    return -1;
  if (add_export(module, "gist_select", PyCFunction_NewEx(&g_gist_select_def, module, name.get())) <
      0)
    return -1;
  if (add_export(module, "gist_select_full",
                 PyCFunction_NewEx(&g_gist_select_full_def, module, name.get())) < 0)
    return -1;
  Ref progress(PyCFunction_NewEx(&g_progress_def, module, name.get()));
  if (!progress || PyModule_AddObjectRef(module, "_gist_select_full_progress", progress.get()) < 0)
    return -1;
  install_fork_handlers();
  PyObject* internal = g_internal_error.load(std::memory_order_acquire);
  return PyModule_AddObjectRef(module, "InternalError", internal);
}

int tarvex_exec(PyObject* module) noexcept {
  return contain<int>(-1, [&] { return _tarvex(module); });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tarvex_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

PyDoc_STRVAR(module_doc,
             "The native module `tarvex._tarvex`: `gist_select`, `gist_select_full` and\n"
             "`__version__`. `python/tarvex/__init__` re-exports all three.");

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_tarvex", module_doc, 0, nullptr, g_slots,
                        nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarvex(void) { return PyModuleDef_Init(&g_module); }
