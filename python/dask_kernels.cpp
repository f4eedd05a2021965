// Private entry points of `_tarvex` for tarvex.dask: the pieces of one
// selection that run on a block of rows at a time, each bit-identical to what
// the whole-matrix core computes for those rows. They take plain buffers
// (float32 rows, float64 weights, int64/uint32 item arrays) that the Python
// side has already shaped; everything is checked again here, strictly.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "columns.hpp"
#include "control.hpp"
#include "gist.hpp"
#include "metric.hpp"
#include "points.hpp"
#include "utility.hpp"

namespace {

using tarvex::FarPair;
using tarvex::Metric;
using tarvex::Points;

// A buffer view held for the length of one call.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // A C-contiguous, aligned buffer of `ndim` dimensions whose items have the
  // given size and one of the format letters; raises TypeError otherwise.
  bool take(PyObject* obj, int ndim, Py_ssize_t itemsize, const char* formats, const char* name) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      return fail(name);
    }
    held_ = true;
    const char* f = view_.format != nullptr ? view_.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    if (view_.ndim != ndim || view_.itemsize != itemsize || f[0] == '\0' || f[1] != '\0' ||
        std::strchr(formats, f[0]) == nullptr)
      return fail(name);
    if (view_.len > 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % itemsize != 0)
      return fail(name);
    return true;
  }

  std::size_t dim(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
  std::size_t count() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  template <class T>
  const T* data() const {
    return static_cast<const T*>(view_.buf);
  }

 private:
  bool fail(const char* name) {
    PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous, aligned array of the expected "
                 "dtype and dimensions", name);
    return false;
  }
  Py_buffer view_{};
  bool held_ = false;
};

std::optional<Metric> metric_of(PyObject* text) {
  if (PyUnicode_Check(text)) {
    if (PyUnicode_CompareWithASCIIString(text, "cosine") == 0) return Metric::Cosine;
    if (PyUnicode_CompareWithASCIIString(text, "euclidean") == 0) return Metric::Euclidean;
  }
  PyErr_SetString(PyExc_ValueError, "metric must be 'cosine' or 'euclidean'");
  return std::nullopt;
}

std::optional<std::size_t> index_of(PyObject* value, const char* name) {
  const Py_ssize_t v = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  if (v < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be non-negative", name);
    return std::nullopt;
  }
  return static_cast<std::size_t>(v);
}

// Runs `body` with the thread detached; a failure inside becomes a Python
// exception once it is attached again.
template <class Body>
bool detached(Body&& body) {
  enum class Failure { None, Memory, Cancelled, Other } failure = Failure::None;
  std::string text;
  Py_BEGIN_ALLOW_THREADS
  try {
    body();
  } catch (const std::bad_alloc& e) {
    failure = Failure::Memory;
    text = e.what();
  } catch (const tarvex::Cancelled&) {
    failure = Failure::Cancelled;
  } catch (const std::exception& e) {
    failure = Failure::Other;
    text = e.what();
  } catch (...) {
    failure = Failure::Other;
    text = "unknown failure";
  }
  Py_END_ALLOW_THREADS
  switch (failure) {
    case Failure::None: return true;
    case Failure::Memory: PyErr_SetString(PyExc_MemoryError, text.c_str()); return false;
    case Failure::Cancelled: PyErr_SetNone(PyExc_KeyboardInterrupt); return false;
    case Failure::Other: PyErr_SetString(PyExc_RuntimeError, text.c_str()); return false;
  }
  return false;
}

// Rows (m, d) as a point matrix; a rejected block raises ValueError with the
// core's text (its row numbers counted within the block).
struct Rows {
  Buffer buffer;
  std::size_t m = 0, d = 0;
  bool take(PyObject* obj, const char* name) {
    if (!buffer.take(obj, 2, 4, "f", name)) return false;
    m = buffer.dim(0);
    d = buffer.dim(1);
    return true;
  }
  std::span<const float> values() const { return {buffer.data<float>(), m * d}; }
};

PyObject* raise_core(const tarvex::TarvexError& e) {
  PyErr_SetString(PyExc_ValueError, e.to_string().c_str());
  return nullptr;
}

PyObject* pair_tuple(const FarPair& p) {
  const auto word = [](std::size_t v) -> PyObject* {
    return v == std::numeric_limits<std::size_t>::max() ? PyLong_FromLong(-1)
                                                        : PyLong_FromSize_t(v);
  };
  return Py_BuildValue("(dNN)", static_cast<double>(p.d), word(p.i), word(p.j));
}

// _row_error(rows, metric, offset) -> None or (rank, text): the first problem
// Points::borrowed would report for these rows as rows offset.. of a larger
// matrix. Rank 0 is a non-finite value, rank 1 a row cosine cannot scale, so
// that the caller can rank the blocks' reports as the whole matrix would.
PyObject* row_error(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_row_error(rows, metric, offset)");
    return nullptr;
  }
  Rows rows;
  if (!rows.take(args[0], "rows")) return nullptr;
  const auto metric = metric_of(args[1]);
  if (!metric) return nullptr;
  const auto offset = index_of(args[2], "offset");
  if (!offset) return nullptr;
  if (rows.m == 0 || rows.d == 0) Py_RETURN_NONE;
  std::optional<tarvex::TarvexError> error;
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) error = points.error();
      }))
    return nullptr;
  if (!error) Py_RETURN_NONE;
  int rank = 1;
  if (const auto* e = error->get_if<tarvex::errors::NonFiniteCoordinate>()) {
    error = tarvex::TarvexError(tarvex::errors::NonFiniteCoordinate{e->row + *offset, e->col});
    rank = 0;
  } else if (const auto* e = error->get_if<tarvex::errors::UnnormalizableRow>()) {
    error = tarvex::TarvexError(tarvex::errors::UnnormalizableRow{e->row + *offset});
  }
  const std::string text = error->to_string();
  return Py_BuildValue("(is)", rank, text.c_str());
}

// _weight_error(weights, offset) -> None or the text of the first weight
// Linear::validate would reject, at its index offset + i.
PyObject* weight_error(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_weight_error(weights, offset)");
    return nullptr;
  }
  Buffer w;
  if (!w.take(args[0], 1, 8, "d", "weights")) return nullptr;
  const auto offset = index_of(args[1], "offset");
  if (!offset) return nullptr;
  const double* v = w.data<double>();
  for (std::size_t i = 0; i < w.count(); ++i) {
    if (!std::isfinite(v[i]) || v[i] < 0.0) {
      const std::string text =
          tarvex::TarvexError(tarvex::errors::InvalidWeight{v[i], i + *offset}).to_string();
      return PyUnicode_FromString(text.c_str());
    }
  }
  Py_RETURN_NONE;
}

// _farthest_from(rows, query, metric, skip) -> (d, j): the row j != skip of
// the block farthest from the query row under the total order, the smaller j
// on a tie, each distance computed as Points::dist(query, j) would be; (-inf,
// -1) when no row is left. skip = -1 skips nothing.
PyObject* farthest_from(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_farthest_from(rows, query, metric, skip)");
    return nullptr;
  }
  Rows rows;
  if (!rows.take(args[0], "rows")) return nullptr;
  Buffer query;
  if (!query.take(args[1], 1, 4, "f", "query")) return nullptr;
  const auto metric = metric_of(args[2]);
  if (!metric) return nullptr;
  const Py_ssize_t skip = PyNumber_AsSsize_t(args[3], PyExc_OverflowError);
  if (skip == -1 && PyErr_Occurred()) return nullptr;
  if (query.count() != rows.d || rows.m == 0) {
    PyErr_SetString(PyExc_ValueError, "query must have one value per column of a non-empty rows");
    return nullptr;
  }
  std::optional<tarvex::TarvexError> error;
  FarPair best = tarvex::kPairIdentity;
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        auto q = Points::borrowed(std::span<const float>(query.data<float>(), rows.d), rows.d,
                                  *metric);
        if (!q) {
          error = q.error();
          return;
        }
        const float* from = q->row(0);
        std::int32_t best_key = tarvex::total_order_key(-std::numeric_limits<float>::infinity());
        for (std::size_t j = 0; j < rows.m; ++j) {
          if (static_cast<Py_ssize_t>(j) == skip) continue;
          if ((j & 0xfff) == 0) tarvex::control::poll();
          const float dj = points->distance_of(from, points->row(j));
          const auto key = tarvex::total_order_key(dj);
          if (best.i == std::numeric_limits<std::size_t>::max() || key > best_key) {
            best_key = key;
            best = FarPair{dj, j, j};
          }
        }
      }))
    return nullptr;
  if (error) return raise_core(*error);
  return Py_BuildValue("(dn)", static_cast<double>(best.d),
                       best.i == std::numeric_limits<std::size_t>::max()
                           ? Py_ssize_t{-1}
                           : static_cast<Py_ssize_t>(best.i));
}

// The farthest pair i < j of a row-major matrix with i in [ib, ie) and j in
// [jb, je), visited in strips and cache-sized blocks like the exact diameter.
FarPair farthest_in(const Points& p, std::size_t ib, std::size_t ie, std::size_t jb,
                    std::size_t je) {
  constexpr std::size_t kStrip = 64;
  const std::size_t block = std::clamp<std::size_t>(
      192 * 1024 / (p.dim() * sizeof(float)) / tarvex::kTileRows * tarvex::kTileRows, 16, 1024);
  FarPair acc = tarvex::kPairIdentity;
  for (std::size_t i = ib; i < ie; i += kStrip) {
    tarvex::control::poll();
    const std::size_t i_end = std::min(ie, i + kStrip);
    for (std::size_t j = std::max(jb, i); j < je; j += block) {
      const auto far = tarvex::farthest_in_block(p.values(), p.dim(), p.metric(), i, i_end, j,
                                                 std::min(je, j + block));
      acc = tarvex::better_pair(acc, FarPair{far.d, far.i, far.j});
    }
  }
  return acc;
}

// _farthest_pair(a, b, metric) -> (d, i, j): with b None, the farthest pair
// i < j within a; otherwise the farthest pair with i in a and j in b (j
// counted within b). Ties as the exact diameter breaks them; (-inf, -1, -1)
// when there is no pair.
PyObject* farthest_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_farthest_pair(a, b, metric)");
    return nullptr;
  }
  Rows a, b;
  if (!a.take(args[0], "a")) return nullptr;
  const bool within = args[1] == Py_None;
  if (!within && !b.take(args[1], "b")) return nullptr;
  const auto metric = metric_of(args[2]);
  if (!metric) return nullptr;
  if (a.m == 0 || a.d == 0 || (!within && (b.m == 0 || b.d != a.d))) {
    PyErr_SetString(PyExc_ValueError, "a and b must be non-empty blocks of equal width");
    return nullptr;
  }
  std::optional<tarvex::TarvexError> error;
  FarPair best = tarvex::kPairIdentity;
  if (!detached([&] {
        if (within) {
          auto points = Points::borrowed(a.values(), a.d, *metric);
          if (!points) {
            error = points.error();
            return;
          }
          best = farthest_in(*points, 0, a.m, 0, a.m);
          return;
        }
        // Both blocks in one buffer, so that every pair goes through the
        // same kernel as within one matrix.
        std::vector<float> both(a.m * a.d + b.m * b.d);
        std::memcpy(both.data(), a.buffer.data<float>(), a.m * a.d * sizeof(float));
        std::memcpy(both.data() + a.m * a.d, b.buffer.data<float>(), b.m * b.d * sizeof(float));
        auto points = Points::borrowed(both, a.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        best = farthest_in(*points, 0, a.m, a.m, a.m + b.m);
        if (best.j != std::numeric_limits<std::size_t>::max()) best.j -= a.m;
      }))
    return nullptr;
  if (error) return raise_core(*error);
  return pair_tuple(best);
}

// _approx_pair(rows, metric, sweeps) -> (d, i, j): approx_diameter of the block.
PyObject* approx_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_approx_pair(rows, metric, sweeps)");
    return nullptr;
  }
  Rows rows;
  if (!rows.take(args[0], "rows")) return nullptr;
  const auto metric = metric_of(args[1]);
  if (!metric) return nullptr;
  const auto sweeps = index_of(args[2], "sweeps");
  if (!sweeps) return nullptr;
  std::optional<tarvex::TarvexError> error;
  FarPair best{};
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        best = tarvex::approx_diameter(*points, *sweeps);
      }))
    return nullptr;
  if (error) return raise_core(*error);
  return pair_tuple(best);
}

// _farthest_first(rows, metric, count, start) -> list: a farthest-first
// traversal of the block from row `start`: each next row is the one whose
// distance to the rows taken is largest (smaller index on a tie), until
// `count` rows are taken or every row is.
PyObject* farthest_first(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_farthest_first(rows, metric, count, start)");
    return nullptr;
  }
  Rows rows;
  if (!rows.take(args[0], "rows")) return nullptr;
  const auto metric = metric_of(args[1]);
  if (!metric) return nullptr;
  const auto count = index_of(args[2], "count");
  if (!count) return nullptr;
  const auto start = index_of(args[3], "start");
  if (!start) return nullptr;
  if (*start >= rows.m) {
    PyErr_SetString(PyExc_ValueError, "start must be a row of the block");
    return nullptr;
  }
  std::optional<tarvex::TarvexError> error;
  std::vector<std::size_t> taken;
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        const std::size_t m = rows.m, want = std::min(*count, m);
        std::vector<float> closest(m, std::numeric_limits<float>::infinity()), column(m);
        std::vector<bool> in(m, false);
        std::size_t next = *start;
        while (taken.size() < want) {
          tarvex::control::poll();
          taken.push_back(next);
          in[next] = true;
          tarvex::distance_column(points->values(), points->dim(), points->metric(), next, 0, m,
                                  column.data());
          std::size_t far = m;
          std::int32_t far_key = 0;
          for (std::size_t i = 0; i < m; ++i) {
            if (column[i] < closest[i]) closest[i] = column[i];
            if (in[i]) continue;
            const auto key = tarvex::total_order_key(closest[i]);
            if (far == m || key > far_key) {
              far = i;
              far_key = key;
            }
          }
          if (far == m) break;
          next = far;
        }
      }))
    return nullptr;
  if (error) return raise_core(*error);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(taken.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t t = 0; t < taken.size(); ++t) {
    PyObject* v = PyLong_FromSize_t(taken[t]);
    if (v == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(t), v);
  }
  return list;
}

// _fl_fold(rows, offset, selected, where, metric, scale, acc) -> None: adds
// to acc[t], in row order, each row's facility-location gain from the t-th
// selected row (row where[t] of the whole matrix, whose rows offset.. these
// are) given the ones before it, exactly as FacilityLocation::marginal sums
// them. Folding the blocks in row order, one after another, gives each
// marginal of the whole matrix bit for bit.
PyObject* fl_fold(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7) {
    PyErr_SetString(PyExc_TypeError, "_fl_fold(rows, offset, selected, where, metric, scale, acc)");
    return nullptr;
  }
  Rows rows, selected;
  Buffer where;
  if (!rows.take(args[0], "rows") || !selected.take(args[2], "selected") ||
      !where.take(args[3], 1, 8, "lq", "where"))
    return nullptr;
  const auto offset = index_of(args[1], "offset");
  if (!offset) return nullptr;
  const auto metric = metric_of(args[4]);
  if (!metric) return nullptr;
  const double scale_in = PyFloat_AsDouble(args[5]);
  if (scale_in == -1.0 && PyErr_Occurred()) return nullptr;
  const float scale = static_cast<float>(scale_in);
  if (!(std::isfinite(scale) && scale > 0.0f)) {
    PyErr_SetString(PyExc_ValueError, "scale must be finite and positive");
    return nullptr;
  }
  Py_buffer acc{};
  if (PyObject_GetBuffer(args[6], &acc, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0)
    return nullptr;
  struct Release {
    Py_buffer* b;
    ~Release() { PyBuffer_Release(b); }
  } release{&acc};
  const char* f = acc.format != nullptr ? acc.format : "B";
  if (*f == '<' || *f == '=' || *f == '@') ++f;
  if (acc.ndim != 1 || acc.itemsize != 8 || std::strcmp(f, "d") != 0 ||
      reinterpret_cast<std::uintptr_t>(acc.buf) % 8 != 0 ||
      static_cast<std::size_t>(acc.shape[0]) != selected.m || where.count() != selected.m ||
      (selected.m > 0 && selected.d != rows.d) || rows.m == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "acc must be a writable float64 array with one value per selected row of the "
                    "block's width");
    return nullptr;
  }
  std::optional<tarvex::TarvexError> error;
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        const std::size_t k = selected.m;
        if (k == 0) return;
        auto sel = Points::borrowed(selected.values(), rows.d, *metric);
        if (!sel) {
          error = sel.error();
          return;
        }
        auto* out = static_cast<double*>(acc.buf);
        const auto* at = where.data<std::int64_t>();
        const bool unit = scale == 1.0f;
        const double s = scale;
        for (std::size_t i = 0; i < rows.m; ++i) {
          if ((i & 0xff) == 0) tarvex::control::poll();
          double best = 0.0;
          for (std::size_t t = 0; t < k; ++t) {
            // A row's distance to itself is 0 by definition, not by arithmetic.
            const float d = static_cast<std::int64_t>(i + *offset) == at[t]
                                ? 0.0f
                                : points->distance_of(points->row(i), sel->row(t));
            const double raw = unit ? 1.0 - static_cast<double>(d) : 1.0 - static_cast<double>(d) / s;
            if (raw > best) {
              out[t] += raw - best;
              best = raw;
            }
          }
        }
      }))
    return nullptr;
  if (error) return raise_core(*error);
  Py_RETURN_NONE;
}

// _gist_known(rows, kind, weights, indptr, items, k, lam, eps, metric, d, i,
// j, exact) -> dict: the GIST driver over these rows with a diameter found
// elsewhere, (d, i, j) with i and j rows of this block. kind 0 is linear
// (weights a float64 array or None), 1 coverage (row r's items are
// items[indptr[r]:indptr[r+1]]), 2 facility location.
PyObject* gist_known(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 13) {
    PyErr_SetString(PyExc_TypeError,
                    "_gist_known(rows, kind, weights, indptr, items, k, lam, eps, metric, d, i, "
                    "j, exact)");
    return nullptr;
  }
  Rows rows;
  if (!rows.take(args[0], "rows")) return nullptr;
  const long kind = PyLong_AsLong(args[1]);
  if (kind == -1 && PyErr_Occurred()) return nullptr;
  if (kind < 0 || kind > 2) {
    PyErr_SetString(PyExc_ValueError, "kind must be 0, 1 or 2");
    return nullptr;
  }
  Buffer weights, indptr, items;
  const bool has_weights = args[2] != Py_None;
  if (kind == 0 && has_weights && !weights.take(args[2], 1, 8, "d", "weights")) return nullptr;
  if (kind == 1) {
    if (!indptr.take(args[3], 1, 8, "lq", "indptr") || !items.take(args[4], 1, 4, "I", "items"))
      return nullptr;
    const auto* p = indptr.data<std::int64_t>();
    bool ok = indptr.count() == rows.m + 1 && p[0] == 0 &&
              static_cast<std::size_t>(p[rows.m]) == items.count();
    for (std::size_t r = 0; ok && r < rows.m; ++r) ok = p[r] <= p[r + 1];
    if (!ok) {
      PyErr_SetString(PyExc_ValueError, "indptr must rise from 0 to len(items), one step per row");
      return nullptr;
    }
  }
  const auto k = index_of(args[5], "k");
  if (!k) return nullptr;
  const double lam = PyFloat_AsDouble(args[6]);
  if (lam == -1.0 && PyErr_Occurred()) return nullptr;
  const double eps = PyFloat_AsDouble(args[7]);
  if (eps == -1.0 && PyErr_Occurred()) return nullptr;
  const auto metric = metric_of(args[8]);
  if (!metric) return nullptr;
  const double d = PyFloat_AsDouble(args[9]);
  if (d == -1.0 && PyErr_Occurred()) return nullptr;
  const auto i = index_of(args[10], "i");
  if (!i) return nullptr;
  const auto j = index_of(args[11], "j");
  if (!j) return nullptr;
  const int exact = PyObject_IsTrue(args[12]);
  if (exact < 0) return nullptr;
  if (*i >= rows.m || *j >= rows.m) {
    PyErr_SetString(PyExc_ValueError, "i and j must be rows of the block");
    return nullptr;
  }
  if (kind == 0 && has_weights && weights.count() != rows.m) {
    PyErr_SetString(PyExc_ValueError, "weights must hold one value per row");
    return nullptr;
  }

  std::vector<double> w;
  if (kind == 0 && has_weights) w.assign(weights.data<double>(), weights.data<double>() + rows.m);
  std::vector<std::vector<std::uint32_t>> sets;
  std::size_t universe = 0;
  if (kind == 1) {
    const auto* p = indptr.data<std::int64_t>();
    const auto* v = items.data<std::uint32_t>();
    sets.resize(rows.m);
    for (std::size_t r = 0; r < rows.m; ++r) {
      sets[r].assign(v + p[r], v + p[r + 1]);
      for (auto item : sets[r]) universe = std::max<std::size_t>(universe, std::size_t{item} + 1);
    }
  }
  const tarvex::GistParams params{
      tarvex::DiameterKnown{FarPair{static_cast<float>(d), std::min(*i, *j), std::max(*i, *j)},
                            exact != 0},
      *k, lam, static_cast<float>(eps), false};
  std::optional<tarvex::TarvexError> error;
  tarvex::GistResult result;
  if (!detached([&] {
        auto points = Points::borrowed(rows.values(), rows.d, *metric);
        if (!points) {
          error = points.error();
          return;
        }
        std::unique_ptr<tarvex::Utility> utility;
        if (kind == 0) {
          utility = std::make_unique<tarvex::Linear>(
              has_weights ? tarvex::Linear(std::move(w)) : tarvex::Linear::uniform(rows.m));
        } else if (kind == 1) {
          auto made = tarvex::Coverage::create(std::move(sets), universe);
          if (!made) {
            error = made.error();
            return;
          }
          utility = std::make_unique<tarvex::Coverage>(std::move(*made));
        } else {
          utility = std::make_unique<tarvex::FacilityLocation>(
              tarvex::FacilityLocation::create(*points));
        }
        auto r = tarvex::gist(*points, *utility, params);
        if (!r) {
          error = r.error();
          return;
        }
        result = std::move(*r);
      }))
    return nullptr;
  if (error) return raise_core(*error);
  PyObject* selected = PyList_New(static_cast<Py_ssize_t>(result.selected.size()));
  if (selected == nullptr) return nullptr;
  for (std::size_t t = 0; t < result.selected.size(); ++t) {
    PyObject* v = PyLong_FromSize_t(result.selected[t]);
    if (v == nullptr) {
      Py_DECREF(selected);
      return nullptr;
    }
    PyList_SET_ITEM(selected, static_cast<Py_ssize_t>(t), v);
  }
  const auto stage = tarvex::stage_text(result.stage);
  return Py_BuildValue("{sNsdsdsdsdss#sd}", "selected", selected, "f_value", result.f_value,
                       "g_value", result.g_value, "div", static_cast<double>(result.div),
                       "threshold", static_cast<double>(result.threshold), "stage", stage.data(),
                       static_cast<Py_ssize_t>(stage.size()), "d_max",
                       static_cast<double>(result.d_max));
}

#define TARVEX_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef g_kernels[] = {
    {"_row_error", TARVEX_FASTCALL(row_error), METH_FASTCALL, nullptr},
    {"_weight_error", TARVEX_FASTCALL(weight_error), METH_FASTCALL, nullptr},
    {"_farthest_from", TARVEX_FASTCALL(farthest_from), METH_FASTCALL, nullptr},
    {"_farthest_pair", TARVEX_FASTCALL(farthest_pair), METH_FASTCALL, nullptr},
    {"_approx_pair", TARVEX_FASTCALL(approx_pair), METH_FASTCALL, nullptr},
    {"_farthest_first", TARVEX_FASTCALL(farthest_first), METH_FASTCALL, nullptr},
    {"_fl_fold", TARVEX_FASTCALL(fl_fold), METH_FASTCALL, nullptr},
    {"_gist_known", TARVEX_FASTCALL(gist_known), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// Adds the block kernels to the module; they stay out of __all__.
int tarvex_add_block_kernels(PyObject* module) { return PyModule_AddFunctions(module, g_kernels); }
