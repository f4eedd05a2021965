"""Concurrency soak: 16 Python threads call both entry points with different
inputs, sharing the worker pool and the borrow registry, while a stand-in for
another native extension keeps taking writable borrows of one array. Every
result must equal the one a sequential call gives.

TARVEX_SOAK_SECONDS sets the duration (30 s by default)."""

import os
import threading
import time

import numpy as np

from _support import Registry, mutably_borrowed
from tarvex import gist_select, gist_select_full

THREADS = 16
SECONDS = float(os.environ.get("TARVEX_SOAK_SECONDS", "30"))
BORROWED = mutably_borrowed("vectors")


def make_cases():
    """(function, args, kwargs) with distinct inputs, successes and failures."""
    rng = np.random.default_rng(11)
    cases = []
    for i, (n, d) in enumerate([(6, 2), (40, 8), (120, 16), (200, 12), (25, 3), (80, 32)]):
        x = rng.standard_normal((n, d)).astype(np.float32)
        w = rng.random(n) * 3
        cover = [[int(v) for v in rng.integers(0, 4 * n, 1 + (j % 5))] for j in range(n)]
        k = 2 + i * 3
        cases += [
            (gist_select, (x,), dict(k=k)),
            (gist_select_full, (x, w), dict(k=k, metric="euclidean", lam=0.5)),
            (gist_select_full, (x, cover), dict(k=k, utility="coverage", eps=0.05)),
            (gist_select, (x,), dict(k=k, utility="facility_location", diameter="approx")),
            (gist_select_full, (x,), dict(k=k, lam=0.0, exhaustive_thresholds=n <= 120,
                                          metric="euclidean")),
            (gist_select_full, (x, w[:-1]), dict(k=k)),  # the core rejects the weights
        ]
    nan_x = rng.standard_normal((10, 4)).astype(np.float32)
    nan_x[4, 1] = np.nan
    cases += [
        (gist_select, (nan_x,), dict(k=3)),
        (gist_select_full, (nan_x.astype(np.float64),), dict(k=3)),
        (gist_select, (nan_x,), dict(k=0)),
    ]
    return cases


def outcome(fn, args, kwargs):
    try:
        return fn(*args, **kwargs)
    except (TypeError, ValueError) as e:
        return (type(e), str(e))


def test_threads_get_the_sequential_results():
    registry = Registry()
    cases = make_cases()
    contended = np.random.default_rng(12).standard_normal((60, 10)).astype(np.float32)
    cases += [(gist_select_full, (contended,), dict(k=6, metric="euclidean")),
              (gist_select, (contended,), dict(k=4))]
    contended_cases = {len(cases) - 2, len(cases) - 1}
    expected = [outcome(*case) for case in cases]

    stop = threading.Event()
    start = threading.Barrier(THREADS + 2)
    mismatches = []
    counts = [0] * THREADS
    conflicts = [0]
    deadline = [0.0]

    def caller(t):
        start.wait()
        i = t
        while time.monotonic() < deadline[0]:
            case = i % len(cases)
            try:
                got = outcome(*cases[case])
            except BaseException as e:  # noqa: BLE001 -- anything else is a finding
                mismatches.append((t, case, repr(e), expected[case]))
                return
            if got != expected[case] and not (case in contended_cases and got == (ValueError, BORROWED)):
                mismatches.append((t, case, got, expected[case]))
                return
            counts[t] += 1
            i += 1 + t % 3  # each thread walks the cases in its own order

    def other_extension():
        start.wait()
        while not stop.is_set():
            if registry.acquire_mut(contended) == 0:
                conflicts[0] += 1
                time.sleep(0.0005)
                registry.release_mut(contended)
            time.sleep(0.0005)

    threads = [threading.Thread(target=caller, args=(t,)) for t in range(THREADS)]
    writer = threading.Thread(target=other_extension)
    for th in threads + [writer]:
        th.start()
    deadline[0] = time.monotonic() + SECONDS
    start.wait()
    for th in threads:
        th.join(SECONDS + 120)
    stop.set()
    writer.join(10)

    assert not any(th.is_alive() for th in threads + [writer]), "a thread hung"
    assert not mismatches, mismatches[:3]
    assert all(c > 0 for c in counts), counts
    assert conflicts[0] > 0, "the stand-in extension never got its writable borrow"
    # Nothing is left borrowed once every call has returned.
    for fn, args, _ in cases:
        for a in args:
            if isinstance(a, np.ndarray) and a.flags.writeable:
                assert registry.writable_borrow_possible(a)
    assert registry.writable_borrow_possible(contended)
