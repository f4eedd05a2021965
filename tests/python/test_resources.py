"""Leak and resource checks: many calls through every success and failure
path leave memory flat, the array borrow registry empty and the arguments'
reference counts unchanged."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from _support import CallerError, Registry
from tarvex import gist_select, gist_select_full

CALLS = 10_000


class RaisingIndex:
    def __index__(self):
        raise CallerError("index")


@pytest.fixture(scope="module")
def registry():
    return Registry()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use():
    """Bytes the C allocator has handed out and not taken back (glibc), or None.
    Finer than RSS: it sees a leaked buffer that never touched a fresh page."""
    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def make_calls(registry):
    """(function, args, kwargs, expected exception or None) covering every
    path: each result kind, each parser and intake failure, each core error,
    and arrays that another extension holds mutably."""
    rng = np.random.default_rng(3)
    # Big enough that a leaked copy of the matrix or the weights shows.
    x = rng.standard_normal((200, 16)).astype(np.float32)
    w = rng.random(200)
    held_x = x.copy()
    held_w = w.copy()
    cover = [[int(i) for i in rng.integers(0, 300, 3)] for _ in range(200)]
    nan_x = x.copy()
    nan_x[3, 2] = np.nan
    zero_row = x.copy()
    zero_row[5] = 0.0
    unaligned = np.frombuffer(bytearray(x.nbytes + 1), np.float32, offset=1,
                              count=x.size).reshape(x.shape)
    bad_w = w.copy()
    bad_w[7] = -1.0
    ok = None
    calls = [
        # successes
        (gist_select, (x,), dict(k=5), ok),
        (gist_select_full, (x, w), dict(k=5, metric="euclidean"), ok),
        (gist_select_full, (x, cover), dict(k=4, utility="coverage"), ok),
        (gist_select, (x[:40],), dict(k=3, utility="facility_location", diameter="approx"), ok),
        (gist_select_full, (x[:40],), dict(k=40, lam=0.0, exhaustive_thresholds=True), ok),
        # parser
        (gist_select, (x,), {}, TypeError),
        (gist_select, (x, None, 3), {}, TypeError),
        (gist_select, (x,), dict(k=2, nonsense=1), TypeError),
        (gist_select, (x,), dict(k=2, lam="high"), TypeError),
        (gist_select, (x,), dict(k=2, eps=10**400), OverflowError),
        (gist_select, (x,), dict(k=2, metric=1), TypeError),
        (gist_select, (x,), dict(k=2, exhaustive_thresholds=1), TypeError),
        # integer intake
        (gist_select, (x,), dict(k=True), TypeError),
        (gist_select, (x,), dict(k=2.0), TypeError),
        (gist_select, (x,), dict(k=2**63), ValueError),
        (gist_select, (x,), dict(k=0), ValueError),
        (gist_select, (x,), dict(k=RaisingIndex()), CallerError),
        (gist_select, (x,), dict(k=2, diameter_sweeps=-1), ValueError),
        (gist_select, (x,), dict(k=2, diameter_sweeps=True), TypeError),
        # option texts
        (gist_select, (x,), dict(k=2, metric="l2"), ValueError),
        (gist_select, (x,), dict(k=2, utility="lin"), ValueError),
        (gist_select, (x,), dict(k=2, diameter="APPROX"), ValueError),
        # vectors intake
        (gist_select, (x.astype(np.float64),), dict(k=2), TypeError),
        (gist_select, (np.asfortranarray(x),), dict(k=2), TypeError),
        (gist_select, (unaligned,), dict(k=2), TypeError),
        (gist_select, (x.tolist(),), dict(k=2), TypeError),
        (gist_select, (held_x,), dict(k=2), ValueError),
        # utilities intake
        (gist_select, (x, list(w)), dict(k=2), TypeError),
        (gist_select, (x, w[::2]), dict(k=2), TypeError),
        (gist_select, (x, held_w), dict(k=2), ValueError),
        (gist_select, (x,), dict(k=2, utility="coverage"), ValueError),
        (gist_select, (x, [[1], "ab"]), dict(k=2, utility="coverage"), TypeError),
        (gist_select, (x, [[1], [-1]]), dict(k=2, utility="coverage"), ValueError),
        (gist_select, (x, [[RaisingIndex()]]), dict(k=2, utility="coverage"), CallerError),
        (gist_select, (x, []), dict(k=2, utility="facility_location"), ValueError),
        # the core's errors
        (gist_select, (np.zeros((0, 4), np.float32),), dict(k=2), ValueError),
        (gist_select, (np.zeros((4, 0), np.float32),), dict(k=2), ValueError),
        (gist_select, (nan_x,), dict(k=2), ValueError),
        (gist_select, (zero_row,), dict(k=2), ValueError),
        (gist_select, (x, w[:10].copy()), dict(k=2), ValueError),
        (gist_select, (x, bad_w), dict(k=2), ValueError),
        (gist_select, (x, cover[:3]), dict(k=2, utility="coverage"), ValueError),
        (gist_select, (x,), dict(k=2, eps=0.0), ValueError),
        (gist_select, (x,), dict(k=2, lam=float("nan")), ValueError),
    ]
    # Every array a call was given, for the registry check afterwards.
    arrays = [x, w, held_x, held_w, nan_x, zero_row, bad_w, unaligned]
    return calls, arrays, (held_x, held_w)


def run(fn, args, kwargs, expected):
    try:
        fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 -- the exception's type is the check
        assert expected is not None and isinstance(e, expected), repr(e)
    else:
        assert expected is None, f"{fn.__name__}{args[1:]} {kwargs} did not raise"


def test_many_calls_keep_memory_flat_and_the_registry_empty(registry):
    calls, arrays, held = make_calls(registry)
    for array in held:
        assert registry.acquire_mut(array) == 0
    try:
        for _ in range(3):  # warm up: the worker pool, NumPy's API, allocator arenas
            for call in calls:
                run(*call)
        gc.collect()
        before, heap_before = rss_bytes(), heap_in_use()
        for i in range(CALLS):
            run(*calls[i % len(calls)])
        gc.collect()
        growth = rss_bytes() - before
        heap_after = heap_in_use()
    finally:
        for array in held:
            registry.release_mut(array)
    assert growth < 4 * 2**20, f"RSS grew by {growth / 2**20:.1f} MiB over {CALLS} calls"
    if heap_before is not None:
        heap_growth = heap_after - heap_before
        assert heap_growth < 64 * 2**10, f"the heap grew by {heap_growth} bytes over {CALLS} calls"
    for array in arrays:
        assert registry.writable_borrow_possible(array), "a read borrow was left behind"


def test_reference_counts_are_unchanged(registry):
    calls, _arrays, held = make_calls(registry)
    for array in held:
        assert registry.acquire_mut(array) == 0
    try:
        for fn, args, kwargs, expected in calls:
            # Cached small ints are shared with the whole interpreter, so k
            # becomes one of its own; the outcome stays the same.
            kwargs = dict(kwargs)
            if type(kwargs.get("k")) is int and 1 <= kwargs["k"] <= 256:
                kwargs["k"] = int(str(kwargs["k"] + 1000))
            objects = list(args) + list(kwargs.values())
            for a in args:  # the rows and items of coverage lists too
                if isinstance(a, list):
                    objects += a
                    objects += [item for row in a if isinstance(row, list) for item in row]
            objects = [o for o in objects if not _shared(o)]
            counts = [sys.getrefcount(o) for o in objects]
            for _ in range(20):  # a leaked reference per call would show as +20
                run(fn, args, kwargs, expected)
            after = [sys.getrefcount(o) for o in objects]
            assert after == counts, f"{fn.__name__} {kwargs} changed reference counts"
    finally:
        for array in held:
            registry.release_mut(array)


def _shared(o):
    return o is None or type(o) is bool or (type(o) is int and -5 <= o <= 256)


@pytest.mark.parametrize("fn", [gist_select, gist_select_full])
def test_results_hold_no_hidden_references(fn):
    x = np.random.default_rng(5).standard_normal((20, 3)).astype(np.float32)
    result = fn(x, k=4)
    count = sys.getrefcount(result)
    assert count == 2  # the local and getrefcount's argument
    if fn is gist_select_full:
        count = sys.getrefcount(result["selected"])
        assert count == 2  # the dict and the argument