"""GIST written the way a NumPy user would write it without tarvex.

Distances come from BLAS (one matrix-vector product per column, a blocked
Gram matrix for all pairs), each threshold gets its own greedy run (a plain
argmax scan for linear weights, a heapq lazy greedy for the other utilities),
and the ladder and the three stages (greedy, diameter pair, sweep) are the
same as tarvex's. BLAS sums in another order than tarvex's kernels, so
distances differ in the last bits and near-ties may break differently; the
objective value agrees to about 1e-5 relative.

The one entry point, `gist_select_full`, takes tarvex's arguments and returns
the same dict. `Gist` exposes the stages separately so that the benchmark can
time a part of a run and extrapolate the rest.
"""

from __future__ import annotations

import heapq
import math

import numpy as np

MIN_EPS = np.float32(2.0**-23)

# Rows per block of the all-pairs passes: about 64 MiB of float32 per block.
_BLOCK_VALUES = 1 << 24


def default_block(n: int) -> int:
    return int(min(max(_BLOCK_VALUES // max(n, 1), 16), 4096))


class Points:
    """Rows as float32, unit length under cosine, with BLAS distances."""

    def __init__(self, x, metric: str):
        if metric not in ("cosine", "euclidean"):
            raise ValueError(f"metric must be 'cosine' or 'euclidean', got {metric!r}")
        x = np.ascontiguousarray(x, dtype=np.float32)
        if x.ndim != 2 or x.shape[0] == 0 or x.shape[1] == 0:
            raise ValueError("x must be a non-empty 2-d array")
        if not np.isfinite(x).all():
            raise ValueError("x must be finite")
        sq = np.einsum("ij,ij->i", x, x)
        if metric == "cosine":
            norms = np.sqrt(sq)
            if not (np.isfinite(norms).all() and (norms > 0).all()):
                raise ValueError("every row needs a finite, non-zero norm under cosine")
            x = x / norms[:, None]
            sq = None
        self.x = x
        self.sq = sq
        self.metric = metric
        self.n = x.shape[0]

    def _finish(self, dots: np.ndarray, sq_rows, sq_cols) -> np.ndarray:
        """Turns dot products into distances, in place."""
        if self.metric == "cosine":
            np.subtract(np.float32(1.0), dots, out=dots)
            np.clip(dots, 0.0, 2.0, out=dots)
        else:
            dots *= np.float32(-2.0)
            dots += sq_rows
            dots += sq_cols
            np.maximum(dots, 0.0, out=dots)
            np.sqrt(dots, out=dots)
        return dots

    def column(self, c: int) -> np.ndarray:
        """Distances from every row to row c (float32, length n)."""
        dots = self.x @ self.x[c]
        sq = self.sq
        out = self._finish(dots, sq, None if sq is None else sq[c])
        out[c] = 0.0
        return out

    def block(self, rows: slice, cols: slice = slice(None)) -> np.ndarray:
        """Distances between rows[i] and cols[j], a (len(rows), len(cols)) block."""
        dots = self.x[rows] @ self.x[cols].T
        sq = self.sq
        if sq is None:
            out = self._finish(dots, None, None)
        else:
            out = self._finish(dots, sq[rows][:, None], sq[cols][None, :])
        if isinstance(rows, slice) and isinstance(cols, slice):
            # A row against itself: the Gram identity leaves rounding noise that sqrt magnifies.
            r = np.arange(*rows.indices(self.n))
            c0, c1, _ = cols.indices(self.n)
            mine = (r >= c0) & (r < c1)
            out[np.flatnonzero(mine), r[mine] - c0] = 0.0
        return out

    def among(self, idx) -> np.ndarray:
        """Pairwise distances inside a small set of rows."""
        idx = np.asarray(idx, dtype=np.intp)
        sub = self.x[idx]
        dots = sub @ sub.T
        sq = None if self.sq is None else self.sq[idx]
        out = self._finish(dots, None if sq is None else sq[:, None], None if sq is None else sq[None, :])
        np.fill_diagonal(out, 0.0)
        return out


def _better_pair(a, b):
    """The farther pair; the smaller (i, j) on equal distance."""
    if a is None:
        return b
    if b[0] > a[0] or (b[0] == a[0] and (b[1], b[2]) < (a[1], a[2])):
        return b
    return a


def diameter_blocks(points: Points, block: int | None = None):
    """Yields (rows done, pairs done, farthest pair so far) after each block of rows."""
    n = points.n
    b = block or default_block(n)
    best = None
    pairs = 0
    for s in range(0, n - 1, b):
        e = min(s + b, n)
        dist = points.block(slice(s, e), slice(s, n))
        # The leading square holds pairs twice and the diagonal; keep j > i only.
        square = dist[:, : e - s]
        square[np.tril_indices(e - s)] = -np.inf
        flat = int(np.argmax(dist))  # first maximum in row-major order: smallest i, then j
        i, j = divmod(flat, dist.shape[1])
        best = _better_pair(best, (float(dist[i, j]), s + i, s + j))
        pairs += (e - s) * (n - s) - (e - s) * (e - s + 1) // 2
        yield e, pairs, best


def exact_diameter(points: Points, block: int | None = None):
    """Farthest pair (d, i, j), i < j, by blocks of the upper triangle of the Gram matrix."""
    if points.n < 2:
        return (0.0, 0, 0)
    for _, _, best in diameter_blocks(points, block):
        pass
    return best


def approx_diameter(points: Points, sweeps: int):
    """Double sweep from row 0, repeated from the last far row."""
    n = points.n
    if n < 2:
        return (0.0, 0, 0)
    passes = 1 if sweeps == 0 else min(sweeps, n)
    best = None
    start = 0
    for _ in range(passes):
        col = points.column(start)
        col[start] = -np.inf
        a = int(np.argmax(col))
        col = points.column(a)
        col[a] = -np.inf
        b = int(np.argmax(col))
        best = _better_pair(best, (float(col[b]), min(a, b), max(a, b)))
        start = b
    return best


def thresholds_with_bound(d_max: float, eps: float, bound: float) -> list[float]:
    """eps * d_max / 2 * (1 + eps)^i for every i with (1 + eps)^i <= bound, as float32."""
    eps32 = np.float32(eps)
    if not (eps32 >= MIN_EPS) or not math.isfinite(float(eps32)) or not (bound >= 1.0):
        return []
    e = float(eps32)
    d = float(np.float32(d_max))
    ratio = e + 1.0
    p = 1.0
    out: list[float] = []
    while True:
        t = float(np.float32(((p * e) * d) * 0.5))
        if not out or t != out[-1]:
            out.append(t)
        p *= ratio
        if not p <= bound:
            return out


def exhaustive_threshold_set(points: Points, block: int | None = None) -> list[float]:
    """0.0 and every distinct half of a pairwise distance, ascending."""
    n = points.n
    b = block or default_block(n)
    halves = [np.zeros(1, dtype=np.float32)]
    for s in range(0, n, b):
        e = min(s + b, n)
        dist = points.block(slice(s, e), slice(s, n))
        upper = np.triu_indices(e - s, k=1, m=n - s)
        halves.append(dist[upper] * np.float32(0.5))
    return [float(t) for t in np.unique(np.concatenate(halves))]


class Linear:
    lazy = False

    def __init__(self, weights: np.ndarray):
        self.weights = weights

    def reset(self):
        pass

    def gain(self, c: int) -> float:
        return float(self.weights[c])

    def commit(self, c: int):
        pass


class Coverage:
    """Distinct items covered; one boolean per item of the universe."""

    lazy = True

    def __init__(self, rows, n: int):
        if isinstance(rows, np.ndarray) and rows.ndim == 2:
            lengths = np.full(rows.shape[0], rows.shape[1], dtype=np.intp)
            flat = rows.astype(np.int64).ravel()
        else:
            rows = [np.asarray(r, dtype=np.int64).ravel() for r in rows]
            lengths = np.array([r.size for r in rows], dtype=np.intp)
            flat = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
        if lengths.size != n:
            raise ValueError(f"expected {n} coverage lists, one per point, but got {lengths.size}")
        if flat.size and flat.min() < 0:
            raise ValueError("coverage item ids must be non-negative")
        owner = np.repeat(np.arange(n), lengths)
        # Sort by (row, item) and drop repeats inside a row.
        order = np.lexsort((flat, owner))
        owner, flat = owner[order], flat[order]
        keep = np.ones(flat.size, dtype=bool)
        keep[1:] = (owner[1:] != owner[:-1]) | (flat[1:] != flat[:-1])
        owner, flat = owner[keep], flat[keep]
        counts = np.bincount(owner, minlength=n)
        self.items = np.split(flat, np.cumsum(counts)[:-1])
        self.sizes = counts.astype(np.float64)
        self.covered = np.zeros(int(flat.max()) + 1 if flat.size else 0, dtype=bool)

    def reset(self):
        self.covered[:] = False

    def initial_gains(self, points: Points) -> np.ndarray:
        return self.sizes

    def gain(self, c: int) -> float:
        return float(np.count_nonzero(~self.covered[self.items[c]]))

    def commit(self, c: int):
        self.covered[self.items[c]] = True


class FacilityLocation:
    """sum_i max_{c in S} max(0, 1 - dist(i, c) / scale); scale 1 under cosine, the diameter under euclidean."""

    lazy = True

    def __init__(self, points: Points, diameter: float | None = None):
        scale = 1.0
        if points.metric == "euclidean":
            d = diameter if diameter is not None else (exact_diameter(points)[0] if points.n >= 2 else 0.0)
            if math.isfinite(d) and d > 0.0:
                scale = d
        self.points = points
        self.scale = np.float32(scale)
        self.best = np.zeros(points.n, dtype=np.float32)

    def reset(self):
        self.best[:] = 0.0

    def _similarity(self, dist: np.ndarray) -> np.ndarray:
        dist /= self.scale
        np.subtract(np.float32(1.0), dist, out=dist)
        np.maximum(dist, 0.0, out=dist)
        return dist

    def gain_blocks(self, points: Points, block: int | None = None):
        """Yields (start, gains) per block of rows: row sums of the similarity matrix."""
        n = points.n
        b = block or default_block(n)
        for s in range(0, n, b):
            e = min(s + b, n)
            yield s, self._similarity(points.block(slice(s, e))).sum(axis=1, dtype=np.float64)

    def initial_gains(self, points: Points, block: int | None = None) -> np.ndarray:
        """Every row's gain against the empty selection."""
        gains = np.empty(points.n, dtype=np.float64)
        for s, part in self.gain_blocks(points, block):
            gains[s : s + part.size] = part
        return gains

    def gain(self, c: int) -> float:
        sim = self._similarity(self.points.column(c))
        sim -= self.best
        np.maximum(sim, 0.0, out=sim)
        return float(sim.sum(dtype=np.float64))

    def commit(self, c: int):
        np.maximum(self.best, self._similarity(self.points.column(c)), out=self.best)


class Gist:
    """One call's state: points, utility, diameter and the lazy greedy's first gains."""

    def __init__(self, x, utilities=None, *, k, lam=1.0, eps=0.1, metric="cosine", utility="linear",
                 exhaustive_thresholds=False, diameter="exact", diameter_sweeps=None,
                 farthest_pair=None, first_gains=None):
        # farthest_pair and first_gains let the benchmark supply stages that it timed in part.
        if isinstance(k, bool) or int(k) != k or k < 1:
            raise ValueError("k must be a positive int")
        eps32 = np.float32(eps)
        if not (MIN_EPS <= eps32 <= 1.0):
            raise ValueError(f"eps must lie in [2^-23, 1], got {eps}")
        if not (math.isfinite(lam) and lam >= 0.0):
            raise ValueError(f"lam must be finite and non-negative, got {lam}")
        if diameter not in ("exact", "approx"):
            raise ValueError(f"diameter must be 'exact' or 'approx', got {diameter!r}")
        self.points = points = x if isinstance(x, Points) else Points(x, metric)
        n = points.n
        self.m = min(int(k), n)
        self.lam = float(lam)
        self.eps = eps32
        self.exhaustive = bool(exhaustive_thresholds)
        self.diameter_mode = diameter

        if farthest_pair is not None:
            self.d_max, a, b = farthest_pair
        elif diameter == "exact":
            self.d_max, a, b = exact_diameter(points)
        else:
            self.d_max, a, b = approx_diameter(points, 3 if diameter_sweeps is None else int(diameter_sweeps))
        self.pair = (min(a, b), max(a, b))

        if utility == "linear":
            w = np.ones(n) if utilities is None else np.asarray(utilities, dtype=np.float64)
            if w.shape != (n,):
                raise ValueError(f"expected {n} weights, one per point, but got {w.size}")
            if not (np.isfinite(w).all() and (w >= 0).all()):
                raise ValueError("weights must be finite and non-negative")
            self.utility = Linear(w)
        elif utility == "coverage":
            if utilities is None:
                raise ValueError("utility='coverage' requires utilities")
            self.utility = Coverage(utilities, n)
        elif utility == "facility_location":
            if utilities is not None:
                raise ValueError("facility_location takes no utilities array")
            known = self.d_max if diameter == "exact" else None
            self.utility = FacilityLocation(points, known)
        else:
            raise ValueError(f"unknown utility {utility!r}")

        # Gains against the empty selection are the same for every threshold's run.
        self._first_heap = None
        if self.utility.lazy and self.m > 0:
            gains = self.utility.initial_gains(points) if first_gains is None else first_gains
            heap = [(-g, i, 0) for i, g in enumerate(gains.tolist())]
            heapq.heapify(heap)
            self._first_heap = heap

    def thresholds(self) -> list[float]:
        if self.exhaustive:
            return exhaustive_threshold_set(self.points)
        bound = (2.0 if self.diameter_mode == "exact" else 4.0) / float(self.eps)
        return thresholds_with_bound(self.d_max, self.eps, bound)

    def greedy(self, d: float):
        """One greedy independent-set run at threshold d: (selected rows, g as the sum of their gains)."""
        points, util, m = self.points, self.utility, self.m
        d = np.float32(d)
        n = points.n
        min_dist = np.full(n, np.inf, dtype=np.float32)
        taken = np.zeros(n, dtype=bool)
        selected: list[int] = []
        g = 0.0
        util.reset()

        def take(c, gain):
            nonlocal g
            selected.append(c)
            g += gain
            util.commit(c)
            taken[c] = True
            min_dist[c] = -np.inf
            np.fmin(min_dist, points.column(c), out=min_dist)  # a NaN distance shuts nothing out

        if not util.lazy:
            w = util.weights
            while len(selected) < m:
                open_rows = np.flatnonzero(~taken & ~(d > min_dist))
                if open_rows.size == 0:
                    break
                c = int(open_rows[np.argmax(w[open_rows])])
                take(c, float(w[c]))
        else:
            heap = list(self._first_heap) if m > 0 else []  # a copy of a heap is a heap
            while len(selected) < m and heap:
                neg_gain, c, stamp = heapq.heappop(heap)
                if taken[c] or d > min_dist[c]:
                    continue
                if stamp >= len(selected):
                    take(c, -neg_gain)
                else:
                    heapq.heappush(heap, (-util.gain(c), c, len(selected)))
        util.reset()
        return selected, g

    def diversity(self, selected) -> float:
        if len(selected) < 2:
            return float(self.d_max)
        dist = self.points.among(selected)
        return float(dist[np.triu_indices(len(selected), k=1)].min())

    def objective(self, g: float, div: float) -> float:
        return g + (0.0 if self.lam == 0.0 else self.lam * div)

    def evaluate(self, selected):
        """(f, g, div) of a set, g as the sum of its gains in selection order."""
        util = self.utility
        util.reset()
        g = 0.0
        for c in selected:
            g += util.gain(c)
            util.commit(c)
        util.reset()
        div = self.diversity(selected)
        return self.objective(g, div), g, div

    def outcome(self, d: float):
        """(f, g, div, selected) of the greedy run at threshold d."""
        selected, g = self.greedy(d)
        div = self.diversity(selected)
        return self.objective(g, div), g, div, selected

    def run(self) -> dict:
        f, g, div, selected = self.outcome(0.0)
        best = dict(selected=selected, f_value=f, g_value=g, div=div, threshold=0.0, stage="greedy")
        if self.m >= 2:
            pair = list(self.pair)
            pf, pg, pdiv = self.evaluate(pair)
            if pf > best["f_value"]:
                best = dict(selected=pair, f_value=pf, g_value=pg, div=pdiv, threshold=self.d_max,
                            stage="diameter_pair")
        if self.d_max > 0.0:
            for t in self.thresholds():
                f, g, div, selected = self.outcome(t)
                if f >= best["f_value"]:  # later (larger) thresholds win ties
                    best = dict(selected=selected, f_value=f, g_value=g, div=div, threshold=t, stage="sweep")
        best["selected"] = [int(i) for i in best["selected"]]
        best["d_max"] = float(self.d_max)
        keys = ("selected", "f_value", "g_value", "div", "threshold", "stage", "d_max")
        return {key: best[key] for key in keys}


def gist_select_full(x, utilities=None, **options) -> dict:
    """Same arguments and result dict as tarvex.gist_select_full."""
    return Gist(x, utilities, **options).run()


def gist_select(x, utilities=None, **options) -> list[int]:
    return gist_select_full(x, utilities, **options)["selected"]
