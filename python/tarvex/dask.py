"""GIST over data that does not fit one machine, on Dask.

`gist_select_full` and `gist_select` take the arguments of
`tarvex.gist_select_full` (with ``diameter="approx"`` as the default) and a
`dask.array.Array` of float32 rows chunked along the rows, a NumPy array or an
`np.memmap`. They run as Dask tasks on the current scheduler (the current
`distributed.Client` when there is one):

1. every row block selects candidates with the single-machine core: GIST at
   ``candidates`` (default ``2 * k``) rows, a farthest-first traversal of as
   many rows, and the block's farthest pair;
2. one GIST over the union of the candidates, with the diameter of the whole
   data (``d_max``), picks the selection.

``d_max`` is computed over the whole data by map-reduce passes over the blocks
and equals the single-machine value bit for bit (the same double sweep under
``"approx"``, all pairs under ``"exact"``). ``g_value``, ``div`` and
``f_value`` are those of the returned selection over the whole data. The
client holds only candidate rows and small summaries, never the data; see
docs/distributed.md for the approximation argument and measurements.
"""

from __future__ import annotations

import logging
import mmap
import operator
import time

import dask
import dask.array as da
import numpy as np

from . import _tarvex

__all__ = ["gist_select", "gist_select_full"]

_VECTORS_TYPE = (
    "vectors must be a C-contiguous float32 array of shape (n, d); use "
    "np.ascontiguousarray(x, dtype=np.float32)"
)
_WEIGHTS_TYPE = (
    "utilities must be a C-contiguous float64 array of shape (n,); use "
    "np.ascontiguousarray(u, dtype=np.float64)"
)
_log = logging.getLogger(__name__)
_KINDS = {"linear": 0, "coverage": 1, "facility_location": 2}
# Bytes of float32 rows per block when the input is a NumPy array or memmap.
_BLOCK_BYTES = 64 << 20
# What round 1 keeps per block besides its farthest pair: "gist" (GIST at
# `candidates` rows), "fft" (a farthest-first traversal of as many rows) or
# "both"; docs/distributed.md has the measurements behind the choice.
_ROUND1 = "both"


def gist_select(vectors, utilities=None, *, k, lam=1.0, eps=0.1, metric="cosine",
                utility="linear", diameter="approx", diameter_sweeps=None, candidates=None,
                chunk_rows=None):
    """`gist_select_full(...)["selected"]`: the selected global row indices."""
    return gist_select_full(vectors, utilities, k=k, lam=lam, eps=eps, metric=metric,
                            utility=utility, diameter=diameter,
                            diameter_sweeps=diameter_sweeps, candidates=candidates,
                            chunk_rows=chunk_rows)["selected"]


def gist_select_full(vectors, utilities=None, *, k, lam=1.0, eps=0.1, metric="cosine",
                     utility="linear", diameter="approx", diameter_sweeps=None,
                     candidates=None, chunk_rows=None):
    """The GIST result over all rows of `vectors`, computed block by block.

    Returns the dict of `tarvex.gist_select_full` (same keys and meanings,
    over the whole data) plus ``"candidates"``, the number of rows of the
    final round. `chunk_rows` sets the rows per block of a NumPy or memmap
    input (default: about 64 MiB per block); a dask array keeps its row
    chunks. Argument errors are raised before any task runs, with the
    messages of the single-machine module.
    """
    _check_arguments(vectors, utilities, k, lam, eps, metric, utility, diameter,
                     diameter_sweeps)
    k = operator.index(k)
    sweeps = 3 if diameter_sweeps is None else operator.index(diameter_sweeps)
    per_block = 2 * k if candidates is None else _positive(candidates, "candidates")
    if chunk_rows is not None:
        chunk_rows = _positive(chunk_rows, "chunk_rows")
    rows = _Rows(vectors, chunk_rows)
    weights = _Weights(utilities, rows) if utility == "linear" else None
    coverage = _csr(utilities) if utility == "coverage" else None
    if weights is not None and weights.n != rows.n:
        raise ValueError(f"expected {rows.n} weights, one per point, but got {weights.n}")
    if coverage is not None and len(coverage[0]) - 1 != rows.n:
        raise ValueError(
            f"expected {rows.n} coverage lists, one per point, but got {len(coverage[0]) - 1}")

    exact = diameter == "exact"
    started = time.perf_counter()
    _log.info("%d rows in %d blocks", rows.n, len(rows.sizes))
    # One read of every block checks its values, picks its candidates and,
    # under "approx", makes the first scan of the double sweep.
    round1 = (per_block, lam, eps, metric, utility, sweeps, _ROUND1)
    sweep = not exact and rows.n >= 2
    first = _compute([
        _task(_first_block, b, off, weights.part(i) if weights else None,
              _csr_slice(coverage, off, off + size) if coverage else None, metric,
              rows.row(0) if sweep else None, 0, round1)
        for i, ((b, off), size) in enumerate(zip(rows.blocks(), rows.sizes))], "round 1")
    _raise_data_errors([f[0] for f in first])
    found = [f[2] for f in first]
    _log.info("round 1 done after %.1f s", time.perf_counter() - started)
    if exact:
        far = _exact_pair(rows, metric)
    elif sweep:
        far = _approx_pair(rows, metric, sweeps, _reduce_farthest([f[1] for f in first]))
    else:
        far = (0.0, 0, 0)
    d_max = far[0]
    _log.info("d_max %r after %.1f s", d_max, time.perf_counter() - started)

    kind = _KINDS[utility]
    index = np.concatenate([f[0] for f in found])
    union = np.concatenate([f[1] for f in found])
    union_weights = np.concatenate([f[2] for f in found]) if weights and weights.given else None
    # The diameter pair joins the final round, which tries it as a solution.
    for row in sorted({far[1], far[2]}):
        at = int(np.searchsorted(index, row))
        if at < len(index) and index[at] == row:
            continue
        index = np.insert(index, at, row)
        union = np.insert(union, at, rows.row(row), axis=0)
        if union_weights is not None:
            union_weights = np.insert(union_weights, at, weights.value(row))
    union = np.ascontiguousarray(union, dtype=np.float32)
    indptr = items = None
    if coverage is not None:
        indptr, items = _csr_take(coverage, index)
    ia = int(np.searchsorted(index, far[1]))
    ib = int(np.searchsorted(index, far[2]))
    # Facility location over the candidates sums similarities over them only,
    # about len(index) / n of what the whole data would sum: the final round
    # weighs diversity the same against that.
    lam2 = float(lam) * (len(index) / rows.n if utility == "facility_location" else 1.0)
    result = _tarvex._gist_known(union, kind, union_weights, indptr, items, k, lam2,
                                 float(eps), metric, d_max, ia, ib, exact)
    selected = [int(index[s]) for s in result["selected"]]
    if utility == "facility_location":
        scale = _fl_scale(rows, metric, far if exact else None)
        acc = np.zeros(len(selected), dtype=np.float64)
        chosen = np.ascontiguousarray(union[result["selected"]], dtype=np.float32)
        where = np.array(selected, dtype=np.int64)
        for b, off in rows.blocks():
            acc = _task(_fl_block, b, off, chosen, where, metric, scale, acc)
        acc = _compute([acc])[0]
        g = 0.0
        for gain in acc:
            g += float(gain)
        result["g_value"] = g
        result["f_value"] = g + (0.0 if lam == 0.0 else float(lam) * result["div"])
    result["selected"] = selected
    result["candidates"] = len(index)
    _log.info("done after %.1f s, %d candidates", time.perf_counter() - started, len(index))
    return result


# ---------------------------------------------------------------------------
# Arguments


def _positive(value, name):
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    value = operator.index(value)
    if value <= 0:
        raise ValueError(f"{name} must be greater than zero")
    return value


def _check_arguments(vectors, utilities, k, lam, eps, metric, utility, diameter, sweeps):
    """Lets the single-machine module judge the arguments on a stand-in of
    the data's type and shape, so that its errors, messages and precedence
    come out unchanged; only the data's values are checked later, by tasks."""
    float32_2d = (isinstance(vectors, (np.ndarray, da.Array)) and vectors.ndim == 2
                  and vectors.dtype == np.float32)
    if not float32_2d:
        stand_in = vectors if not isinstance(vectors, da.Array) else np.zeros(1)
        _tarvex.gist_select(stand_in, None, k=k, lam=lam, eps=eps, metric=metric,
                            utility=utility, diameter=diameter, diameter_sweeps=sweeps)
        raise TypeError(_VECTORS_TYPE)  # an array the module accepts but tarvex.dask does not
    n, d = vectors.shape
    if isinstance(vectors, da.Array) and any(np.isnan(c) for c in vectors.chunks[0]):
        raise ValueError("vectors must have known chunk sizes; call compute_chunk_sizes() first")
    rows = 0 if n == 0 else 1
    stand_in_utilities = utilities
    if utility == "coverage" and utilities is not None:
        try:
            m = len(utilities)
        except TypeError:
            m = 1
        if n > 0 and m > 0:
            rows = m
        elif m == 0:
            stand_in_utilities = [[]] if n > 0 else []
    elif utility == "linear" and utilities is not None:
        if isinstance(utilities, da.Array):
            good = utilities.ndim == 1 and utilities.dtype == np.float64
        else:
            good = (isinstance(utilities, np.ndarray) and utilities.ndim == 1
                    and utilities.dtype == np.float64 and utilities.flags.c_contiguous
                    and utilities.flags.aligned)
        stand_in_utilities = np.ones(rows) if good else (
            utilities if not isinstance(utilities, da.Array) else np.zeros(1, np.float32))
    stand_in = np.ones((rows, 0 if d == 0 else 1), dtype=np.float32)
    _tarvex.gist_select(stand_in, stand_in_utilities, k=k, lam=lam, eps=eps, metric=metric,
                        utility=utility, diameter=diameter, diameter_sweeps=sweeps)


def _csr(lists):
    """Coverage lists (already accepted by the module) as row offsets and items."""
    lengths = np.fromiter((len(r) for r in lists), dtype=np.int64, count=len(lists))
    indptr = np.zeros(len(lists) + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    items = np.fromiter((int(v) for r in lists for v in r), dtype=np.uint32,
                        count=int(indptr[-1]))
    return indptr, items


def _csr_slice(csr, start, stop):
    indptr, items = csr
    return indptr[start:stop + 1] - indptr[start], items[indptr[start]:indptr[stop]]


def _csr_take(csr, rows):
    indptr, items = csr
    lengths = indptr[rows + 1] - indptr[rows]
    out_ptr = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum(lengths, out=out_ptr[1:])
    parts = [items[indptr[r]:indptr[r + 1]] for r in rows]
    out_items = np.concatenate(parts) if parts else np.zeros(0, dtype=np.uint32)
    return out_ptr, np.ascontiguousarray(out_items, dtype=np.uint32)


# ---------------------------------------------------------------------------
# The data as row blocks


class _FileBlock:
    """Rows start:stop of a float32 matrix stored in a file, read by the task
    that needs them, so that no block travels between processes."""

    def __init__(self, path, offset, d, start, stop):
        self.path, self.offset, self.d, self.start, self.stop = path, offset, d, start, stop

    def load(self, start=None, stop=None):
        start = self.start if start is None else start
        stop = self.stop if stop is None else stop
        m = np.memmap(self.path, dtype=np.float32, mode="r",
                      offset=self.offset + start * self.d * 4, shape=(stop - start, self.d))
        out = np.array(m)
        del m
        return out


def _file_layout(x):
    """(path, byte offset) of a C-contiguous memmap's first value, or None."""
    if not isinstance(x, np.memmap) or not x.flags.c_contiguous or x.filename is None:
        return None
    root = x
    while isinstance(root.base, np.ndarray):
        root = root.base
    if not isinstance(root.base, mmap.mmap) or not isinstance(root, np.memmap):
        return None
    start = root.offset + (x.__array_interface__["data"][0]
                           - root.__array_interface__["data"][0])
    return x.filename, start


def _block(b):
    if isinstance(b, _FileBlock):
        return b.load()
    # Blocks that crossed a process boundary can arrive unaligned.
    return np.require(b, np.float32, ["C_CONTIGUOUS", "ALIGNED"])


class _Rows:
    def __init__(self, vectors, chunk_rows):
        self.n, self.d = (int(s) for s in vectors.shape)
        self._source = vectors
        if isinstance(vectors, da.Array):
            if vectors.numblocks[1] > 1:
                vectors = vectors.rechunk({1: -1})
            self._source = vectors
            self.sizes = [int(c) for c in vectors.chunks[0]]
            self._parts = list(vectors.to_delayed()[:, 0]) if self.n else []
        else:
            step = chunk_rows or max(1, _BLOCK_BYTES // max(1, 4 * self.d))
            self.sizes = [min(step, self.n - s) for s in range(0, self.n, step)]
            starts = np.cumsum([0] + self.sizes[:-1]).tolist()
            layout = _file_layout(vectors)
            if layout is not None:
                self._parts = [_FileBlock(layout[0], layout[1], self.d, s, s + m)
                               for s, m in zip(starts, self.sizes)]
            else:
                self._parts = _share([vectors[s:s + m] for s, m in zip(starts, self.sizes)])
        self.offsets = np.cumsum([0] + self.sizes[:-1]).tolist() if self.sizes else []

    def blocks(self):
        return list(zip(self._parts, self.offsets))

    def row(self, g):
        """Row g of the data, for the client (one row, never a block)."""
        src = self._source
        if isinstance(src, da.Array):
            r = src[g].compute()
        else:
            r = src[g]
        return np.array(r, dtype=np.float32, copy=True)


def _share(parts):
    """Blocks of a client-side array, handed to the cluster once for all passes."""
    client = _client()
    if client is None:
        return parts
    # Fresh keys: a release of an earlier call's equal blocks cannot cancel these.
    return client.scatter(parts, hash=False)


class _Weights:
    """Linear weights split like the row blocks (or none: every weight is 1)."""

    def __init__(self, weights, rows):
        self.given = weights is not None
        self.n = rows.n if weights is None else int(weights.shape[0])
        self._source = weights
        self._parts = None
        if weights is None or self.n != rows.n:
            return
        if isinstance(weights, da.Array):
            weights = weights.rechunk((tuple(rows.sizes),)) if rows.sizes else weights
            self._source = weights
            self._parts = list(weights.to_delayed()) if rows.n else []
        else:
            self._parts = _share([weights[o:o + m] for o, m in zip(rows.offsets, rows.sizes)])

    def part(self, i):
        return self._parts[i] if self._parts is not None else None

    def value(self, g):
        if not self.given:
            return 1.0
        w = self._source[g]
        return float(w.compute() if isinstance(w, da.Array) else w)

    def __bool__(self):
        return True


# ---------------------------------------------------------------------------
# Passes


def _task(fn, *args):
    return dask.delayed(fn, pure=False)(*args)


def _client():
    """The distributed.Client that dask.compute would use, or None."""
    scheduler = dask.base.get_scheduler()
    client = getattr(scheduler, "__self__", None)
    try:
        from distributed import Client
    except ImportError:
        return None
    return client if isinstance(client, Client) else None


def _compute(tasks, what=None):
    """Runs the tasks; on a cluster, logs the progress of a named pass."""
    if not tasks:
        return []
    client = _client()
    if client is None or what is None:
        return list(dask.compute(*tasks))
    from distributed import as_completed

    futures = client.compute(tasks)
    step = max(1, len(futures) // 50)
    for done, _ in enumerate(as_completed(futures), 1):
        if done % step == 0 or done == len(futures):
            _log.info("%s: %d of %d blocks", what, done, len(futures))
    return client.gather(futures)


def _key(d):
    """The IEEE total order of a float32 distance, as a Python int."""
    bits = int(np.array([d], dtype=np.float32).view(np.int32)[0])
    return bits ^ 0x7FFFFFFF if bits < 0 else bits


def _better_pair(a, b):
    ka, kb = _key(a[0]), _key(b[0])
    if ka != kb:
        return a if ka > kb else b
    return a if (a[1], a[2]) <= (b[1], b[2]) else b


def _check_block(b, offset, metric, w):
    x = _block(b)
    w = None if w is None else np.require(w, np.float64, ["C_CONTIGUOUS", "ALIGNED"])
    return (_tarvex._row_error(x, metric, offset),
            None if w is None else _tarvex._weight_error(w, offset))


def _raise_data_errors(reports):
    """The first error of the whole matrix: any non-finite value before any
    row cosine cannot scale, then the lowest row; then the weights."""
    rows = [r[0] for r in reports if r[0] is not None]
    if rows:
        raise ValueError(min(rows, key=lambda e: e[0])[1])
    for r in reports:
        if r[1] is not None:
            raise ValueError(r[1])


def _sweep_block(b, offset, query, skip, metric):
    x = _block(b)
    local = skip - offset if offset <= skip < offset + len(x) else -1
    query = np.require(query, np.float32, ["C_CONTIGUOUS", "ALIGNED"])
    d, j = _tarvex._farthest_from(x, query, metric, local)
    return d, j + offset if j >= 0 else -1


def _first_block(b, offset, w, cov, metric, query, skip, round1):
    x = _block(b)
    report = _check_block(x, offset, metric, w)
    if report != (None, None):
        return report, None, None
    far = _sweep_block(x, offset, query, skip, metric) if query is not None else None
    return report, far, _round1_block(x, offset, w, cov, *round1)


def _reduce_farthest(found):
    best = None
    for d, j in found:  # blocks in row order: the smaller j wins a tie
        if j >= 0 and (best is None or _key(d) > _key(best[0])):
            best = (d, j)
    return best


def _farthest(rows, query, skip, metric, what):
    return _reduce_farthest(_compute([_task(_sweep_block, b, off, query, skip, metric)
                                      for b, off in rows.blocks()], what))


def _approx_pair(rows, metric, sweeps, first):
    """approx_diameter over the whole data (n >= 2): the same start row,
    scans and ties, each scan a map over the blocks and a reduction in row
    order; `first` is the first scan, from row 0."""
    passes = 1 if sweeps == 0 else min(sweeps, rows.n)
    best, start = None, 0
    for p in range(passes):
        what = f"double sweep {p + 1} of {passes}"
        a = first[1] if p == 0 else _farthest(rows, rows.row(start), start, metric, what)[1]
        d, b = _farthest(rows, rows.row(a), a, metric, what + ", second scan")
        cand = (d, min(a, b), max(a, b))
        best = cand if best is None else _better_pair(best, cand)
        start = b
    return best


def _pair_block(b, c, metric):
    x = _block(b)
    y = None if c is None else _block(c)
    return _tarvex._farthest_pair(x, y, metric)


def _exact_pair(rows, metric):
    """Points::diameter over the whole data: every block pair, reduced by
    better_pair, whose result does not depend on the order."""
    if rows.n < 2:
        return (0.0, 0, 0)
    blocks = rows.blocks()
    tasks, where = [], []
    for p, (bp, op) in enumerate(blocks):
        for q in range(p, len(blocks)):
            bq, oq = blocks[q]
            tasks.append(_task(_pair_block, bp, None if q == p else bq, metric))
            where.append((op, oq))
    best = None
    for (d, i, j), (op, oq) in zip(_compute(tasks, "exact diameter"), where):
        if i < 0:
            continue
        cand = (d, i + op, j + oq)
        best = cand if best is None else _better_pair(best, cand)
    return best


def _round1_block(b, offset, w, cov, count, lam, eps, metric, utility, sweeps, rule):
    x = _block(b)
    if count >= len(x):  # a block no larger than its share goes on whole
        picked = np.arange(len(x), dtype=np.int64)
        local_w = np.array(w, dtype=np.float64) if w is not None else None
        return picked + offset, x, local_w
    _, a, c = _tarvex._approx_pair(x, metric, sweeps)
    chosen = {a, c}
    if rule in ("gist", "both"):
        if utility == "linear":
            local = None if w is None else np.require(w, np.float64, ["C_CONTIGUOUS", "ALIGNED"])
        elif utility == "coverage":
            indptr, items = cov
            local = [items[indptr[r]:indptr[r + 1]].tolist() for r in range(len(x))]
        else:
            local = None
        chosen.update(_tarvex.gist_select(x, local, k=count, lam=lam, eps=eps, metric=metric,
                                          utility=utility, diameter="approx",
                                          diameter_sweeps=sweeps))
    if rule in ("fft", "both"):
        chosen.update(_tarvex._farthest_first(x, metric, count, a))
    picked = np.array(sorted(chosen), dtype=np.int64)
    local_w = np.array(w, dtype=np.float64)[picked] if w is not None else None
    return picked + offset, np.array(x[picked]), local_w


def _fl_scale(rows, metric, exact_pair):
    """FacilityLocation's scale over the whole data: 1 under cosine, else the
    exact diameter (1 when it is not finite and positive)."""
    if metric == "cosine":
        return 1.0
    d = 0.0
    if rows.n >= 2:
        d = (exact_pair if exact_pair is not None else _exact_pair(rows, metric))[0]
    return d if np.isfinite(d) and d > 0.0 else 1.0


def _fl_block(b, offset, chosen, where, metric, scale, acc):
    x = _block(b)
    out = np.array(acc, dtype=np.float64)
    _tarvex._fl_fold(x, offset, np.require(chosen, np.float32, ["C_CONTIGUOUS", "ALIGNED"]),
                     np.require(where, np.int64, ["C_CONTIGUOUS", "ALIGNED"]), metric, scale, out)
    return out


# ---------------------------------------------------------------------------
# Command line


def select_npy(path, scheduler=None, *, chunk_rows=None, utilities=None, **options):
    """`gist_select_full` over the float32 matrix of an .npy file, memory-mapped:
    on the cluster whose scheduler is at `scheduler` (its workers must see the
    same file at the same path), or on a local cluster of one single-threaded
    worker process per core when it is None."""
    import os

    from distributed import Client, LocalCluster

    path = os.path.abspath(path)
    x = np.load(path, mmap_mode="r", allow_pickle=False)
    if scheduler:
        with Client(scheduler) as client, dask.config.set(scheduler=client):
            return gist_select_full(x, utilities, chunk_rows=chunk_rows, **options)
    # The cluster's processes already share the cores: one pool thread each.
    with LocalCluster(processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client, dask.config.set(scheduler=client):
        return gist_select_full(x, utilities, chunk_rows=chunk_rows, **options)
