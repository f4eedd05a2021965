#!/usr/bin/env python3
"""tarvex against what a user would run instead, side by side.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/run.py --threads 1,2

Methods: tarvex's whole call; the NumPy/BLAS implementation of the same
algorithm in bench/reference.py; for the exact diameter, NumPy's blocked Gram
matrix and scipy's pdist; for facility location, apricot-select's lazy greedy.
Data: seeded synthetic Gaussian clusters, and scikit-learn's bundled digits.

Every (data set, thread count) pair runs in a fresh worker process whose
thread pools (tarvex's, BLAS's, numba's) are sized by the environment; each
measurement there records its wall time and its peak resident memory above
the resident size at its start (the peak is reset between measurements).

A measurement predicted (from the same case on smaller data) to take longer
than --cap seconds is not run in full: the NumPy reference then times part of
the work (a share of the all-pairs blocks, the greedy stage and a few sweep
runs) and extrapolates, and tarvex's predicted time is shown instead. Both are
marked as estimates in the table.

Writes docs/performance.md (the tables) and docs/performance.png (time against
n, log-log); --quick runs a small smoke set and writes nothing unless --out is
given.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import queue
import subprocess
import sys
import threading
import time
import tempfile
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COMMAND = "env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/run.py --threads 1,2"

# ----------------------------------------------------------------------------------------------
# What runs


@dataclass(frozen=True)
class Data:
    name: str
    kind: str  # "synthetic" or "digits"
    n: int
    d: int
    seed: int = 0

    @property
    def input_mib(self) -> float:
        return self.n * self.d * 4 / 2**20


@dataclass(frozen=True)
class Job:
    section: str  # "call", "facility", "diameter", "digits"
    data: str
    method: str  # "tarvex", "numpy", "numpy-gram", "scipy-pdist", "apricot"
    metric: str = "cosine"
    utility: str = "linear"
    diameter: str = "exact"
    k: int = 100
    force: bool = field(default=False, compare=False)  # a target's measurement: always run in full

    @property
    def case(self) -> str:
        if self.section == "diameter":
            return f"exact diameter, {self.metric}"
        if self.method == "apricot":
            return f"facility_location k={self.k}, {self.metric}"
        return f"{self.utility}, {self.diameter}, k={self.k}, {self.metric}"

    @property
    def quadratic(self) -> bool:
        """Whether the work grows with n^2 (all pairs) rather than n."""
        return (self.section == "diameter" or self.diameter == "exact" or self.utility == "facility_location"
                or self.method == "apricot")


SECTIONS = {
    "call": "Whole GIST call, synthetic clusters",
    "facility": "Facility location, n = 2 * 10^4, d = 128, k = 50",
    "diameter": "Exact diameter",
    "digits": "scikit-learn's bundled digits (8 x 8 images), Euclidean",
}

UTILITIES = ("linear", "coverage", "facility_location")


def plan(quick: bool) -> tuple[list[Data], list[Job]]:
    if quick:
        sizes, dims, ks = (500, 1500), (16, 64), (10,)
    else:
        sizes, dims, ks = (10_000, 100_000), (128, 768), (10, 100)
    digits = Data(f"digits {600 if quick else 1797} x 64", "digits", 600 if quick else 1797, 64)
    datasets = [digits]
    for n in sizes:
        for d in dims:
            datasets.append(Data(f"synthetic {n} x {d}", "synthetic", n, d, seed=n + d))
    fl_n = 600 if quick else 20_000
    fl_k = 10 if quick else 50
    datasets.insert(1 + len(dims), Data(f"synthetic {fl_n} x 128", "synthetic", fl_n, 128, seed=fl_n + 128))

    jobs: list[Job] = []
    for utility in UTILITIES:
        for k in ks:
            for method in ("tarvex", "numpy"):
                jobs.append(Job("digits", digits.name, method, "euclidean", utility, "exact", k))
            if utility == "facility_location":
                jobs.append(Job("digits", digits.name, "apricot", "euclidean", utility, "exact", k))
    headline = (sizes[-1], dims[0])
    for n in sizes:
        for d in dims:
            data = f"synthetic {n} x {d}"
            for utility in UTILITIES:
                for diameter in ("exact", "approx"):
                    for k in ks:
                        force = (n, d) == headline and utility == "linear" and diameter == "exact" and k == ks[-1]
                        for method in ("tarvex", "numpy"):
                            jobs.append(Job("call", data, method, "cosine", utility, diameter, k, force))
            # Under Euclidean tarvex reads the input in place: the memory target.
            jobs.append(Job("call", data, "tarvex", "euclidean", "linear", "approx", ks[-1]))
            # A k = 1 call is the exact diameter and little else.
            jobs.append(Job("diameter", data, "tarvex", "cosine", "linear", "exact", 1, (n, d) == headline))
            jobs.append(Job("diameter", data, "numpy-gram", "cosine"))
            jobs.append(Job("diameter", data, "scipy-pdist", "cosine"))
    data = f"synthetic {fl_n} x 128"
    for method in ("tarvex", "numpy", "apricot"):
        jobs.append(Job("facility", data, method, "cosine", "facility_location", "exact", fl_k, force=True))
    for method in ("tarvex", "numpy"):  # one more point on the n axis of the plot
        jobs.append(Job("call", data, method, "cosine", "linear", "exact", ks[-1]))
    return datasets, jobs


# ----------------------------------------------------------------------------------------------
# Worker: one process per (data set, thread count)


def make_data(data: Data):
    import numpy as np

    if data.kind == "digits":
        from sklearn.datasets import load_digits

        x = np.ascontiguousarray(load_digits().data[: data.n], dtype=np.float32)
    else:
        # Gaussian clusters, made block by block in float32 so that no float64 copy inflates the peak.
        rng = np.random.default_rng(data.seed)
        centres = 2.0 * rng.standard_normal((64, data.d), dtype=np.float32)
        labels = rng.integers(0, 64, data.n)
        x = np.empty((data.n, data.d), dtype=np.float32)
        for s in range(0, data.n, 8192):
            e = min(s + 8192, data.n)
            x[s:e] = centres[labels[s:e]] + rng.standard_normal((e - s, data.d), dtype=np.float32)
    rng = np.random.default_rng(data.seed + 1)
    items = rng.integers(0, 4096, (x.shape[0], 8))  # coverage: 8 items per row out of 4096
    return x, items


def _status() -> dict:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                key, value = line.split(":")
                out[key] = int(value.split()[0]) * 1024
    return out


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Meter:
    """Wall time and peak resident memory above the resident size at the start."""

    def __enter__(self):
        self.exact_peak = _reset_peak()
        self.base = _status().get("VmRSS", 0)
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        peak = _status().get("VmHWM", 0) if self.exact_peak else _ru_maxrss()
        self.peak = max(0, peak - self.base)


def _ru_maxrss() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _load_reference():
    sys.path.insert(0, str(ROOT / "bench"))
    import reference

    return reference


def _call_options(job: Job) -> dict:
    return dict(k=job.k, metric=job.metric, utility=job.utility, diameter=job.diameter)


def _utilities(job: Job, items):
    return items if job.utility == "coverage" else None


def run_full(job: Job, x, items, threads: int):
    """Returns (callable, what its result reports)."""
    import numpy as np

    if job.method == "tarvex":
        import tarvex

        return lambda: tarvex.gist_select_full(x, _utilities(job, items), **_call_options(job))
    if job.method == "numpy":
        reference = _load_reference()
        return lambda: reference.gist_select_full(x, _utilities(job, items), **_call_options(job))
    if job.method == "numpy-gram":
        reference = _load_reference()
        return lambda: {"d_max": reference.exact_diameter(reference.Points(x, job.metric))[0]}
    if job.method == "scipy-pdist":
        from scipy.spatial.distance import pdist

        def farthest():
            dist = pdist(x, job.metric)
            return {"d_max": float(dist[int(np.argmax(dist))])}

        return farthest
    if job.method == "apricot":
        from apricot import FacilityLocationSelection

        def select():
            FacilityLocationSelection(job.k, metric=job.metric, optimizer="lazy", n_jobs=threads).fit(x)
            return {}

        return select
    raise ValueError(job.method)


def estimate_reference(job: Job, x, items, budget: float) -> dict:
    """Times part of the NumPy reference's work and extrapolates the rest.

    All-pairs passes (exact diameter, facility location's first gains) run block
    by block until their share of `budget` is spent; then the greedy stage and a
    few evenly spaced sweep runs are timed, and the sweep is scaled to the whole
    ladder. The rows whose first gains were not computed get a sampled estimate,
    which only steers the timed runs.
    """
    import numpy as np

    reference = _load_reference()
    seconds = 0.0
    notes = []

    def partial(blocks, total):
        nonlocal seconds
        start = time.perf_counter()
        done, last = 0, None
        for done, last in blocks:
            if time.perf_counter() - start > budget / 4:
                break
        spent = time.perf_counter() - start
        seconds += spent * total / max(done, 1)
        return done, last

    t = time.perf_counter()
    points = reference.Points(x, job.metric)
    seconds += time.perf_counter() - t
    n = points.n

    if job.section == "diameter":
        done, (_, _, best) = partial(((pairs, (e, pairs, best)) for e, pairs, best in reference.diameter_blocks(points)),
                                     n * (n - 1) // 2)
        notes.append(f"{done / (n * (n - 1) / 2):.0%} of pairs timed")
        return {"seconds": seconds, "value": {"d_max": best[0]}, "note": "; ".join(notes)}

    if job.diameter == "exact":
        done, (_, _, best) = partial(((pairs, (e, pairs, best)) for e, pairs, best in reference.diameter_blocks(points)),
                                     n * (n - 1) // 2)
        pair = best
        notes.append(f"diameter: {done / (n * (n - 1) / 2):.0%} of pairs timed")
    else:
        t = time.perf_counter()
        pair = reference.approx_diameter(points, 3)
        seconds += time.perf_counter() - t

    first_gains = None
    if job.utility == "facility_location":
        fl = reference.FacilityLocation(points, pair[0])
        gains = np.empty(n)

        def blocks():
            for s, part in fl.gain_blocks(points):
                gains[s : s + part.size] = part
                yield s + part.size, s + part.size

        covered, _ = partial(blocks(), n)
        if covered < n:
            sample = np.random.default_rng(0).choice(n, size=min(n, 2048), replace=False)
            for s in range(covered, n, 4096):
                e = min(s + 4096, n)
                gains[s:e] = fl._similarity(points.block(slice(s, e), sample)).sum(1) * (n / sample.size)
        first_gains = gains
        notes.append(f"first gains: {covered / n:.0%} of rows timed")

    t = time.perf_counter()
    gist = reference.Gist(points, _utilities(job, items), **_call_options(job), farthest_pair=pair,
                          first_gains=first_gains)
    seconds += time.perf_counter() - t  # the heap of first gains; coverage's own set-up

    t = time.perf_counter()
    f0 = gist.outcome(0.0)[0]
    if gist.m >= 2:
        gist.evaluate(list(gist.pair))
    seconds += time.perf_counter() - t
    ladder = gist.thresholds()
    # Middle, ends, then quarters: however many fit in the budget, they spread over the ladder.
    picks = list(dict.fromkeys(round(q * (len(ladder) - 1)) for q in (0.5, 0.0, 1.0, 0.25, 0.75))) if ladder else []
    t = time.perf_counter()
    timed = 0
    for i in picks:
        gist.outcome(ladder[i])
        timed += 1
        if time.perf_counter() - t > budget / 2:
            break
    if timed:
        seconds += (time.perf_counter() - t) * len(ladder) / timed
    notes.append(f"{timed} of {len(ladder)} sweep runs timed")
    return {"seconds": seconds, "value": {"f_greedy": f0}, "note": "; ".join(notes)}


def _summary(value) -> dict:
    if not isinstance(value, dict):
        return {}
    return {key: value[key] for key in ("f_value", "d_max", "stage", "f_greedy") if key in value}


def _blas() -> list:
    try:
        from threadpoolctl import threadpool_info

        return [{key: info.get(key) for key in ("prefix", "architecture", "num_threads", "version")}
                for info in threadpool_info()]
    except ImportError:
        return []


def worker() -> None:
    request = json.loads(sys.stdin.read())
    data = Data(**request["data"])
    threads = request["threads"]
    import numpy as np

    x, items = make_data(data)
    warmed = set()
    small = np.ascontiguousarray(x[: min(200, x.shape[0])])
    small_items = items[: small.shape[0]]
    for spec in request["jobs"]:
        job, mode = Job(**spec["job"]), spec["mode"]
        result = {"job": spec["job"], "threads": threads}
        try:
            if job.method not in warmed:  # pools, JIT compilation and first-touch costs stay out
                run_full(job, small, small_items, threads)()
                warmed.add(job.method)
            if mode == "estimate":
                with Meter() as meter:
                    got = estimate_reference(job, x, items, spec["budget"])
                result.update(status="estimate", seconds=got["seconds"], value=_summary(got["value"]),
                              note=got["note"], peak=meter.peak)
            else:
                call = run_full(job, x, items, threads)
                with Meter() as meter:
                    value = call()
                best, runs, total = meter.seconds, 1, meter.seconds
                while total < 2.0 and runs < 5:  # short runs: keep the best of a few
                    with Meter() as again:
                        call()
                    best, runs, total = min(best, again.seconds), runs + 1, total + again.seconds
                result.update(status="measured", seconds=best, value=_summary(value), peak=meter.peak, runs=runs)
        except Exception as error:  # noqa: BLE001 - reported in the table
            result.update(status="failed", note=f"{type(error).__name__}: {error}"[:200])
        result["load"] = os.getloadavg()[0]  # the machine is shared: other work skews the figures
        print("RESULT " + json.dumps(result), flush=True)
    print("BLAS " + json.dumps(_blas()), flush=True)


# ----------------------------------------------------------------------------------------------
# Orchestration


def _key(job: Job, threads: int):
    return (job, threads)


def predict(job: Job, threads: int, datasets: dict[str, Data], results: dict) -> float | None:
    """Seconds that `job` should take, from the closest case already timed on the synthetic data.

    The source is the same method and utility on data no larger in n and d (the digits too: a rough guide,
    but better than running blind into a time limit), preferring synthetic data, the same diameter mode, the
    same k and the largest data; it is scaled by n^2 for all-pairs work (n otherwise), by d, and
    by k where the work is not all-pairs. Scales below 1 are not applied: fixed costs do not shrink.
    """
    target = datasets[job.data]
    if job.method == "apricot" or target.kind != "synthetic":
        return None
    found = []
    for (other, t), res in results.items():
        if t != threads or res.get("status") not in ("measured", "estimate", "timeout") or other == job:
            continue
        if (other.method, other.section == "diameter", other.utility) != (
                job.method, job.section == "diameter", job.utility):
            continue
        src = datasets[other.data]
        if src.n <= target.n and src.d <= target.d:
            rank = (src.kind == "synthetic", other.diameter == job.diameter, other.k == job.k, src.n, src.d)
            found.append((rank, src, other, res["seconds"]))
    if not found:
        return None
    _, src, other, seconds = max(found, key=lambda f: f[0])
    scale = (target.n / src.n) ** (2 if job.quadratic else 1) * (target.d / src.d)
    if not job.quadratic:
        scale *= max(1.0, job.k / other.k)
    return seconds * scale


def pdist_bytes(data: Data) -> int:
    return data.n * (data.n - 1) // 2 * 8


def physical_memory() -> int:
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def run_worker(data: Data, threads: int, specs: list[dict], limit: float, log) -> tuple[list[dict], list]:
    env = dict(os.environ)
    for var in ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
                "NUMBA_NUM_THREADS"):
        env[var] = str(threads)
    # A fixed mmap threshold returns every large buffer to the system when it is freed, so that the
    # resident-size peak of one measurement is not hidden by heap memory that an earlier one left behind.
    env.setdefault("MALLOC_MMAP_THRESHOLD_", "131072")
    env.setdefault("MALLOC_TRIM_THRESHOLD_", "131072")
    errors = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([sys.executable, str(Path(__file__).resolve()), "--worker"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=errors, text=True, env=env, cwd=ROOT)
    lines: queue.Queue = queue.Queue()

    def pump():
        for line in proc.stdout:
            lines.put(line)
        lines.put(None)

    threading.Thread(target=pump, daemon=True).start()
    proc.stdin.write(json.dumps({"data": asdict(data), "threads": threads, "jobs": specs}))
    proc.stdin.close()
    out, blas = [], []
    pending = list(specs)
    deadline = time.monotonic() + 60 + (pending[0]["limit"] if pending else 0)
    while True:
        try:
            line = lines.get(timeout=max(0.1, deadline - time.monotonic()))
        except queue.Empty:
            proc.kill()
            spec = pending.pop(0)
            out.append({"job": spec["job"], "threads": threads, "status": "timeout", "seconds": spec["limit"],
                        "note": f"stopped after {spec['limit']:.0f} s"})
            log(f"  stopped: {Job(**spec['job']).method} {Job(**spec['job']).case}")
            # The rest of this worker's list goes to a fresh process.
            if pending:
                more, blas = run_worker(data, threads, pending, limit, log)
                out.extend(more)
            return out, blas
        if line is None:
            break
        if line.startswith("RESULT "):
            res = json.loads(line[7:])
            out.append(res)
            pending.pop(0)
            job = Job(**res["job"])
            log(f"  {job.method:12s} {job.case:45s} {res.get('status'):9s} "
                f"{res.get('seconds', float('nan')):9.3f} s  {res.get('note', '')}")
            deadline = time.monotonic() + 60 + (pending[0]["limit"] if pending else 0)
        elif line.startswith("BLAS "):
            blas = json.loads(line[5:])
    proc.wait()
    if proc.returncode != 0 or pending:
        errors.seek(0)
        err = errors.read()[-400:].replace("\n", " ")
        for spec in pending:
            out.append({"job": spec["job"], "threads": threads, "status": "failed", "note": f"worker died: {err}"})
    return out, blas


def orchestrate(args, save=lambda results, blas: None) -> tuple[list[Data], dict, dict]:
    datasets, jobs = plan(args.quick)
    by_name = {d.name: d for d in datasets}
    results: dict = {}
    blas: dict = {}
    started = time.monotonic()

    def log(msg):
        print(msg, flush=True)

    budget = args.budget * 60
    slots = [(data, threads) for data in datasets for threads in args.threads]

    def forced(job: Job, threads: int) -> bool:
        # The NumPy side of a target is timed in full on the first thread count; an estimate does elsewhere.
        return job.force and (job.method != "numpy" or threads == args.threads[0])

    def decide(job: Job, threads: int) -> tuple[str, float | None, dict | None]:
        """How to take this measurement now: ("full" | "estimate", prediction, None) or (None, _, result)."""
        data = by_name[job.data]
        if job.method == "scipy-pdist" and pdist_bytes(data) > min(8 << 30, physical_memory() // 3):
            return None, None, {"status": "skipped",
                                "note": f"needs {pdist_bytes(data) / 2**30:.0f} GiB for the distances"}
        if job.method == "apricot" and data.n**2 * 8 > physical_memory() // 3:
            return None, None, {"status": "skipped",
                                "note": f"needs {data.n**2 * 8 / 2**30:.0f} GiB for its dense similarity matrix"}
        guess = predict(job, threads, by_name, results)
        # A target's measurement runs in full unless it would take most of the whole budget.
        if guess is None or guess <= (10 * args.cap if forced(job, threads) else args.cap):
            return "full", guess, None
        # A partial run's greedy stage alone costs about 1/30 of the whole; past that, predict.
        if job.method == "numpy-gram" or (job.method == "numpy" and guess <= 20 * args.cap):
            return "estimate", guess, None
        return None, guess, {"status": "predicted", "seconds": guess,
                             "note": "not run: predicted from a case timed on smaller data"}

    def cost(job: Job, mode: str | None, guess: float | None) -> float:
        if mode is None:
            return 0.0
        if mode == "estimate":
            return args.cap / 2
        return guess if guess is not None else (args.cap if job.force else 5.0)

    for slot, (data, threads) in enumerate(slots):
        # Targets' measurements still to come keep their share of the budget.
        reserve = 0.0
        for later, t in slots[slot + 1:]:
            for job in jobs:
                if forced(job, t) and job.data == later.name:
                    mode, guess, _ = decide(job, t)
                    reserve += cost(job, mode, guess)
        planned = time.monotonic() - started
        specs = []
        for job in jobs:
            if job.data != data.name or (job.method == "scipy-pdist" and threads != args.threads[0]):
                continue  # pdist is single-threaded: once is enough
            key = _key(job, threads)
            mode, guess, result = decide(job, threads)
            if result is not None:
                results[key] = result
                continue
            expected = cost(job, mode, guess)
            if not forced(job, threads) and planned + expected + reserve > budget:
                results[key] = ({"status": "predicted", "seconds": guess, "note": "not run: time budget"}
                                if guess is not None else {"status": "skipped", "note": "not run: time budget"})
                continue
            planned += expected
            if mode == "estimate":
                limit = 3 * args.cap
            elif forced(job, threads):
                limit = min(max(4 * args.cap, 2 * (guess or 0.0)), 12 * args.cap)
            else:
                limit = 2 * args.cap
            specs.append({"job": asdict(job), "mode": mode, "budget": args.cap / 4, "limit": limit})
        if not specs:
            continue
        log(f"== {data.name}, {threads} thread(s): {len(specs)} measurements "
            f"({time.monotonic() - started:.0f} s so far, {reserve:.0f} s kept for targets)")
        out, info = run_worker(data, threads, specs, args.cap, log)
        blas[threads] = info or blas.get(threads, [])
        for res in out:
            results[_key(Job(**res["job"]), threads)] = res
        save(results, blas)
    return datasets, results, blas


# ----------------------------------------------------------------------------------------------
# Report


def _fmt_seconds(res: dict | None) -> str:
    if not res or "seconds" not in res:
        return "-"
    s = res["seconds"]
    text = f"{s:.3g}" if s < 100 else f"{s:.0f}"
    return {"measured": text, "timeout": f"> {text}"}.get(res["status"], f"~{text}")


def _ratio(res: dict | None, base: dict | None) -> str:
    if not res or not base or "seconds" not in res or "seconds" not in base:
        return "-"
    r = res["seconds"] / base["seconds"]
    text = f"{r:.2f}" if r < 10 else f"{r:.1f}"
    if res["status"] == base["status"] == "measured":
        return text
    if res["status"] == "timeout" and base["status"] == "measured":
        return f"> {text}"
    if base["status"] == "timeout" and res["status"] == "measured":
        return f"< {text}"
    return f"~{text}"


def _peak(res: dict | None) -> str:
    if not res or "peak" not in res:
        return "-"
    return f"{res['peak'] / 2**20:.0f}" + ("" if res["status"] == "measured" else " (part)")


def _value(job: Job, res: dict | None) -> str:
    if not res:
        return ""
    v = res.get("value", {})
    if "d_max" in v and (job.section == "diameter"):
        return f"d_max = {v['d_max']:.6g}"
    if "f_value" in v:
        return f"f = {v['f_value']:.6g}"
    if "d_max" in v:
        return f"d_max = {v['d_max']:.6g}"
    return ""


def baseline_of(job: Job) -> Job:
    if job.section == "diameter":
        return Job("diameter", job.data, "tarvex", job.metric, "linear", "exact", 1, job.force)
    utility = "facility_location" if job.method == "apricot" else job.utility
    return Job(job.section, job.data, "tarvex", job.metric, utility, job.diameter, job.k, job.force)


def _find(results: dict, threads: int, **fields) -> dict | None:
    for (job, t), res in results.items():
        if t == threads and all(getattr(job, key) == value for key, value in fields.items()):
            return res
    return None


def table(datasets: list[Data], results: dict, threads_list: list[int]) -> list[str]:
    lines = []
    order = {d.name: i for i, d in enumerate(datasets)}
    jobs = sorted({job for job, _ in results}, key=lambda j: (list(SECTIONS).index(j.section), order[j.data],
                                                              j.case, j.method != "tarvex", j.method))
    for section, title in SECTIONS.items():
        rows = [j for j in jobs if j.section == section]
        if not rows:
            continue
        lines += ["", f"### {title}", "",
                  "| data | case | method | threads | seconds | x tarvex | peak MiB | load | result | note |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for job in rows:
            for threads in threads_list:
                res = results.get((job, threads))
                if res is None and job.method == "scipy-pdist":
                    res = results.get((job, threads_list[0]))
                    if res is not None and res.get("status") == "measured":
                        res = dict(res, note=(res.get("note", "") + " single-threaded; same run").strip())
                if res is None:
                    continue
                base = results.get((baseline_of(job), threads))
                ratio = "1" if job.method == "tarvex" and job == baseline_of(job) else _ratio(res, base)
                load = f"{res['load']:.1f}" if "load" in res else "-"
                lines.append(f"| {job.data} | {job.case} | {job.method} | {threads} | {_fmt_seconds(res)} | {ratio} | "
                             f"{_peak(res)} | {load} | {_value(job, res)} | {res.get('note', '')} |")
    return lines


def targets(datasets: list[Data], results: dict, threads_list: list[int]) -> list[str]:
    """One row per target and thread count; `~` where a figure involved is not a full measurement."""
    by_name = datasets_by(datasets)
    grid = [by_name[j.data] for j, _ in results if j.section == "call" and by_name[j.data].kind == "synthetic"]
    if not grid:
        return []
    big = max(d.n for d in grid)
    head = min((d for d in grid if d.n == big), key=lambda d: d.d)
    kmax = max(j.k for j, _ in results if j.section == "call")
    lines = ["| target | threads | measured | met |", "|---|---|---|---|"]

    def usable(res):
        return bool(res) and "seconds" in res

    def ratio(num, den, goal, strict=False):
        r = num["seconds"] / den["seconds"]
        exact = num["status"] == den["status"] == "measured"
        ok = r > goal if strict else r >= goal
        return (f"{r:.2f}x" if exact else f"~{r:.2f}x (estimate)"), ok

    def row(name, threads, text, ok):
        lines.append(f"| {name} | {threads} | {text} | {'-' if ok is None else ('yes' if ok else 'no')} |")

    for t in threads_list:
        ours = _find(results, t, section="call", data=head.name, method="tarvex", metric="cosine",
                     utility="linear", diameter="exact", k=kmax)
        numpy = _find(results, t, section="call", data=head.name, method="numpy", metric="cosine",
                      utility="linear", diameter="exact", k=kmax)
        diam = _find(results, t, section="diameter", data=head.name, method="tarvex")
        if usable(ours) and usable(numpy):
            row(f"1. default call, {head.name}: NumPy / tarvex >= 10", t, *ratio(numpy, ours, 10))
        if usable(ours) and usable(diam):
            rest = ours["seconds"] - diam["seconds"]
            exact = ours["status"] == diam["status"] == "measured"
            row("1. greedy + sweep < half the exact diameter", t,
                f"{'' if exact else '~'}{rest:.3g} s vs {diam['seconds']:.3g} s (the k={kmax} call less the k=1 "
                f"call, against the k=1 call)", rest < 0.5 * diam["seconds"])
    fl = next((j for j, _ in results if j.section == "facility"), None)
    for t in threads_list:
        ours = _find(results, t, section="facility", method="tarvex")
        numpy = _find(results, t, section="facility", method="numpy")
        apricot = _find(results, t, section="facility", method="apricot")
        if fl and usable(ours) and usable(numpy):
            row(f"2. facility location, {fl.data}, k={fl.k}: NumPy / tarvex >= 10", t, *ratio(numpy, ours, 10))
        if fl and usable(ours) and usable(apricot):
            row("2. apricot's lazy greedy / tarvex > 1", t, *ratio(apricot, ours, 1, strict=True))
    dmax = max(d.d for d in grid)
    for data in sorted({d for d in grid if d.d == dmax}, key=lambda d: d.n):
        for t in threads_list:
            ours = _find(results, t, section="diameter", data=data.name, method="tarvex")
            gram = _find(results, t, section="diameter", data=data.name, method="numpy-gram")
            if usable(ours) and usable(gram):
                row(f"3. exact diameter, {data.name}: NumPy blocked Gram / tarvex >= 1", t, *ratio(gram, ours, 1))
    if len(threads_list) > 1:
        t1, t2 = threads_list[0], threads_list[-1]
        for (job, t), res in sorted(results.items(), key=lambda kv: (kv[0][0].data, kv[0][0].case)):
            if t != t1 or job.method != "tarvex" or by_name[job.data].n != big:
                continue
            other = results.get((job, t2))
            if res.get("status") == "measured" and other and other.get("status") == "measured":
                r = res["seconds"] / other["seconds"]
                row(f"4. {t1} -> {t2} threads, {job.data}, {job.case}", f"{t1}, {t2}", f"{r:.2f}x", r >= 1.8)
    for data in sorted({d for d in grid if d.n == big}, key=lambda d: d.d):
        for metric in ("cosine", "euclidean"):
            res = _find(results, threads_list[-1], section="call", data=data.name, method="tarvex", metric=metric,
                        utility="linear", diameter="approx", k=kmax)
            if res and "peak" in res:
                row(f"5. peak memory above the input, {data.name}, {metric}, linear, approx, k={kmax}",
                    threads_list[-1], f"{res['peak'] / 2**20:.1f} MiB (input {data.input_mib:.0f} MiB)", None)
    return lines


def datasets_by(datasets: list[Data]) -> dict[str, Data]:
    return {d.name: d for d in datasets}


def plot(datasets: list[Data], results: dict, threads_list: list[int], path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    by_name = datasets_by(datasets)
    dims = {by_name[j.data].d for j, _ in results if j.section == "diameter"}
    dmin, dmax = min(dims), max(dims)
    kmax = max(j.k for j, _ in results if j.section == "call")
    panels = [
        (f"default call: linear, exact, k={kmax}, cosine, d={dmin}",
         lambda j: j.section == "call" and j.utility == "linear" and j.diameter == "exact" and j.k == kmax
         and j.metric == "cosine" and by_name[j.data].d == dmin),
        (f"facility location, exact, k={kmax}, cosine, d={dmin}",
         lambda j: j.section == "call" and j.utility == "facility_location" and j.diameter == "exact"
         and j.k == kmax and by_name[j.data].d == dmin),
        (f"exact diameter, cosine, d={dmax}",
         lambda j: j.section == "diameter" and by_name[j.data].d == dmax),
    ]
    fig, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), 4.2))
    for ax, (title, keep) in zip(axes, panels):
        lines: dict = {}
        for (job, t), res in results.items():
            if keep(job) and "seconds" in res and res["status"] in ("measured", "estimate", "predicted", "timeout"):
                threads = "1 thread" if job.method == "scipy-pdist" else f"{t} thr"
                lines.setdefault(f"{job.method}, {threads}", []).append(
                    (by_name[job.data].n, res["seconds"], res["status"] != "measured"))
        for label, pts in sorted(lines.items()):
            pts.sort()
            (line,) = ax.plot([p[0] for p in pts], [p[1] for p in pts], label=label)
            for guessed in (False, True):
                part = [p for p in pts if p[2] == guessed]
                if part:
                    ax.plot([p[0] for p in part], [p[1] for p in part], linestyle="none", marker="o",
                            color=line.get_color(), markerfacecolor="white" if guessed else line.get_color())
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("n (rows)")
        ax.set_ylabel("seconds")
        ax.set_title(title, fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
        if lines:
            ax.legend(fontsize=7)
    fig.suptitle("time against n (hollow markers: estimates)", fontsize=10)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    return True


def versions() -> str:
    from importlib import metadata

    out = []
    for name in ("tarvex", "numpy", "scipy", "scikit-learn", "apricot-select", "numba", "threadpoolctl"):
        try:
            out.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            out.append(f"{name} (not installed)")
    return ", ".join(out)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _tarvex_location() -> str:
    try:
        import tarvex

        return str(Path(tarvex.__file__).parent)
    except ImportError:
        return "not installed"


def pythonpath(meta: dict) -> str:
    """The PYTHONPATH prefix of the command when tarvex was not the installed package."""
    where = meta.get("tarvex_from", "")
    if not where or "site-packages" in where or where == "not installed":
        return ""
    return f"PYTHONPATH={Path(where).parent} "


def report(args, datasets, results, blas, meta: dict) -> str:
    blas_text = "; ".join(
        f"{t} thread(s): " + ", ".join(f"{b['prefix']} {b['version']} kernel {b['architecture']} "
                                       f"({b['num_threads']} threads)" for b in info)
        for t, info in sorted(blas.items())) or "threadpoolctl not installed"
    lines = [
        "# Performance",
        "",
        "Produced by this command (from the repository root, after `pip install \".[bench]\"`):",
        "",
        "```sh",
        pythonpath(meta) + COMMAND + (" --quick" if args.quick else "") + (f" --cap {args.cap:g}" if args.cap != 30 else "")
        + (f" --budget {args.budget:g}" if args.budget != 20 else ""),
        "```",
        "",
        f"- Machine: {meta['machine']}; {meta['versions']}.",
        f"- BLAS as threadpoolctl reports it in the workers: {blas_text}. "
        f"OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE: {meta['openblas_env']}.",
        f"- Whole run: {meta['elapsed'] / 60:.1f} minutes, started {meta['started']} with the repository at "
        f"commit {meta.get('commit', 'unknown')} and tarvex imported from {meta.get('tarvex_from', 'unknown')}; "
        f"load average before it: {meta['load']}; each measurement's `load` is the 1-minute load average at its "
        f"end (the machine is shared: above the thread count, other work competed for the cores).",
        "- Synthetic data: 64 Gaussian clusters (centres N(0, 4), unit noise), float32, seeded; coverage gives every "
        "row 8 random items out of 4096 (a 2-d int64 array, converted by each call). Linear uses unit weights, "
        "lam = 1, eps = 0.1, diameter_sweeps = 3.",
        "- Methods: `tarvex` is one `gist_select_full` call; `numpy` is bench/reference.py, the same algorithm "
        "in NumPy/BLAS (it reaches the same objective on small inputs: tests/python/test_reference.py); "
        "`numpy-gram` is the reference's exact diameter alone (blocks of `X[i:i+b] @ X[i:].T`); `scipy-pdist` "
        "is `pdist(X, metric)` and its argmax; `apricot` is apricot-select's `FacilityLocationSelection(k, "
        "optimizer='lazy')`, one selection of the same k (no thresholds, no diversity), with numba's "
        "compilation done by a warm-up call.",
        "- tarvex's exact diameter is timed as a whole call with k = 1 (linear), which adds one greedy pick per "
        "threshold to the diameter.",
        f"- seconds: wall time, the best of up to 5 runs when runs are short. `~` marks an estimate. A "
        f"measurement predicted to exceed --cap = {args.cap:g} s is not run in full (a target's measurement: "
        f"10 x the cap; the NumPy side of a target is timed in full on the first thread count only). The prediction scales the closest case already timed (same method "
        f"and utility, no larger n and d) by n^2 for all-pairs work and n otherwise, by d, and by k where the "
        f"work is not all-pairs. For `numpy`, part of the work is then timed and scaled to the whole (the note "
        f"says which part), or, past 20 x the cap, only the prediction is shown, as for every other method. "
        f"`>` marks a run stopped at its time limit. Once the run's --budget = {args.budget:g} minutes is spent, "
        f"less what the targets' measurements still need, other measurements are shown predicted or skipped "
        f"(note: time budget).",
        "- x tarvex: this method's seconds over tarvex's for the same case and thread count (above 1: tarvex "
        "is faster).",
        "- peak MiB: the worker's peak resident memory during the measurement above its resident size before it, "
        "with the input already allocated (Linux VmHWM, reset per measurement; glibc's mmap threshold is fixed at "
        "128 KiB so that freed buffers leave the resident set). `(part)`: the peak of an estimate's partial run.",
        "",
        "## Targets",
        "",
        *targets(datasets, results, args.threads),
        "",
        "## Time against n",
        "",
        "![time against n](performance.png)",
        "",
        "## All measurements",
        *table(datasets, results, args.threads),
        "",
    ]
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", default="1,2", help="comma-separated thread counts (default 1,2)")
    parser.add_argument("--quick", action="store_true", help="a small smoke run; writes nothing unless --out is given")
    parser.add_argument("--cap", type=float, default=30.0,
                        help="seconds above which a measurement is estimated instead of run (default 30)")
    parser.add_argument("--budget", type=float, default=20.0,
                        help="minutes for the whole run; targets' measurements always run (default 20)")
    parser.add_argument("--out", type=Path, help="markdown report (default docs/performance.md; none with --quick)")
    parser.add_argument("--rerender", type=Path, metavar="JSON",
                        help="write the report from a saved run (build/bench/results.json) instead of running")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        worker()
        return 0
    args.threads = [int(t) for t in args.threads.split(",") if t.strip()]
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if var in os.environ and not args.rerender:
            print(f"note: {var}={os.environ[var]} is set; NumPy may not run its best kernel "
                  f"(run as: {COMMAND})", file=sys.stderr)
    out = args.out if args.out is not None else (None if args.quick else ROOT / "docs" / "performance.md")
    if args.rerender:
        saved = json.loads(args.rerender.read_text())
        for name in ("threads", "quick", "cap", "budget"):
            setattr(args, name, saved["meta"]["args"][name])
        datasets, _ = plan(args.quick)
        results = {(Job(**r["job"]), r["threads"]): r for r in saved["results"]}
        blas = {int(t): info for t, info in saved["blas"].items()}
        meta = saved["meta"]
    else:
        meta = {"machine": f"{cpu_model()}, {os.cpu_count()} cores, {physical_memory() / 2**30:.0f} GiB, "
                           f"Python {platform.python_version()}",
                "versions": versions(),
                "openblas_env": ", ".join(f"{v}={os.environ[v]}" for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                                          if v in os.environ) or "both unset",
                "started": time.strftime("%Y-%m-%d %H:%M"),
                "tarvex_from": _tarvex_location(),
                "commit": subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True,
                                         text=True).stdout.strip() or "unknown",
                "load": " ".join(f"{x:.1f}" for x in os.getloadavg()),
                "args": {"threads": args.threads, "quick": args.quick, "cap": args.cap, "budget": args.budget}}
        started = time.monotonic()
        saved = ROOT / "build" / "bench" / ("results-quick.json" if args.quick else "results.json")
        saved.parent.mkdir(parents=True, exist_ok=True)

        def save(results, blas):  # after every worker, so that a stopped run keeps what it measured
            meta["elapsed"] = time.monotonic() - started
            saved.write_text(json.dumps({"meta": meta, "blas": blas, "results": [
                dict(res, job=asdict(job), threads=t) for (job, t), res in results.items()]}, indent=1))

        datasets, results, blas = orchestrate(args, save)
        save(results, blas)
        print(f"saved the measurements to {saved}")
    text = report(args, datasets, results, blas, meta)
    print("\n".join(table(datasets, results, args.threads)))
    print()
    print("\n".join(targets(datasets, results, args.threads)))
    if out is not None:
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text)
        plotted = plot(datasets, results, args.threads, out.with_suffix(".png"))
        print(f"\nwrote {out}" + (f" and {out.with_suffix('.png')}" if plotted else " (no plot: matplotlib missing)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
