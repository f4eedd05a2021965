"""Results do not depend on concurrent callers or on the size of the pool."""

import json
import os
import subprocess
import sys
import threading

import numpy as np

from tarvex import gist_select_full


def cases():
    rng = np.random.default_rng(11)
    x = rng.standard_normal((400, 16)).astype(np.float32)
    small = rng.standard_normal((60, 5)).astype(np.float32)
    weights = rng.uniform(0.5, 2.0, 400)
    items = [list(rng.integers(0, 50, size=rng.integers(0, 6))) for _ in range(400)]
    return [
        (x, None, dict(k=12)),
        (x, weights, dict(k=12, metric="euclidean", lam=0.3)),
        (x, None, dict(k=8, metric="euclidean", diameter="approx", diameter_sweeps=2)),
        (x, [[int(i) for i in row] for row in items], dict(k=10, utility="coverage", lam=0.5)),
        (small, None, dict(k=6, utility="facility_location", metric="euclidean")),
        (small, None, dict(k=5, exhaustive_thresholds=True, eps=0.2)),
    ]


def run_all():
    return [gist_select_full(v, u, **kw) for v, u, kw in cases()]


def test_concurrent_callers_match_sequential():
    expected = run_all()
    work = cases()
    barrier = threading.Barrier(8)
    results = [None] * 8
    errors = []

    def caller(slot):
        try:
            barrier.wait()
            # Each thread walks the cases from a different start.
            order = [(slot + i) % len(work) for i in range(len(work))]
            out = [None] * len(work)
            for i in order:
                v, u, kw = work[i]
                out[i] = gist_select_full(v, u, **kw)
            results[slot] = out
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=caller, args=(slot,)) for slot in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(r == expected for r in results)


SCRIPT = """
import json, sys
sys.path.insert(0, {here!r})
from test_threads import run_all
print(json.dumps(run_all()))
"""


def test_results_do_not_depend_on_pool_size():
    here = os.path.dirname(os.path.abspath(__file__))
    outputs = {}
    for threads in ("1", "2", "5"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        proc = subprocess.run(
            [sys.executable, "-c", SCRIPT.format(here=here)],
            env=env, capture_output=True, text=True, timeout=300, check=False,
        )
        assert proc.returncode == 0, proc.stderr
        outputs[threads] = json.loads(proc.stdout)
    # JSON keeps every float's repr, so equality here is bit-for-bit.
    assert outputs["1"] == outputs["2"] == outputs["5"]
    assert outputs["1"] == json.loads(json.dumps(run_all()))
