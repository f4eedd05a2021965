"""The exact diameter: tarvex's C++ core against what a NumPy user would do.

Side by side in one run, on 1 and 2 threads:
  - tarvex: the bench_diameter binary (Points::diameter on the worker pool,
    sized by RAYON_NUM_THREADS);
  - BLAS: the Gram matrix in row blocks, X[i:i+b] @ X.T, then the largest
    off-diagonal distance (OpenBLAS threads set through threadpoolctl);
  - scipy: pdist(X, metric).max(), single-threaded, where memory allows.

Prints seconds and each time divided by the BLAS time. OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE, which pin old OpenBLAS builds to a slower kernel on these
machines, are removed from this process's environment (it re-executes itself
once) so that NumPy runs at its best; the kernel in use is printed.

    python bench/diameter_vs_numpy.py [--n 20000] [--dims 128,768]
        [--threads 1,2] [--binary build/b/bench_diameter] [--pdist-dims 128,768]

Build the binary with -DTARVEX_BUILD_BENCH=ON.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

_PINNED = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
if any(name in os.environ for name in _PINNED) and "--keep-openblas-env" not in sys.argv:
    env = {k: v for k, v in os.environ.items() if k not in _PINNED}
    os.execve(sys.executable, [sys.executable, *sys.argv], env)

import numpy as np  # noqa: E402  (after the environment is settled)
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_binary(given: str | None) -> str:
    if given:
        return given
    found = sorted(glob.glob(os.path.join(ROOT, "build", "*", "bench_diameter")),
                   key=os.path.getmtime)
    if not found:
        sys.exit("bench_diameter not found: build with -DTARVEX_BUILD_BENCH=ON or pass --binary")
    return found[-1]


def tarvex_seconds(binary: str, data_file: str, n: int, d: int, metric: str,
                   threads: int) -> tuple[float, float, float]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    out = subprocess.run([binary, "--n", str(n), "--dims", str(d), "--metrics", metric,
                          "--input", data_file],
                         env=env, check=True, capture_output=True, text=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("diameter "))
    fields = dict(re.findall(r"(\w+)=(\S+)", line))
    return float(fields["seconds"]), float(fields["cpu_seconds"]), float(fields["d_max"])


def blas_diameter(x: np.ndarray, metric: str, block: int) -> float:
    """Largest off-diagonal distance from the Gram matrix, block of rows at a time."""
    n = x.shape[0]
    if metric == "cosine":
        smallest = np.inf
        for i in range(0, n, block):
            g = x[i:i + block] @ x.T
            rows = np.arange(g.shape[0])
            g[rows, i + rows] = np.inf
            smallest = min(smallest, float(g.min()))
        return min(max(1.0 - smallest, 0.0), 2.0)
    sq = np.einsum("ij,ij->i", x, x)
    largest = -np.inf
    for i in range(0, n, block):
        g = x[i:i + block] @ x.T
        g *= -2.0
        g += sq[None, :]
        g += sq[i:i + block, None]
        rows = np.arange(g.shape[0])
        g[rows, i + rows] = -np.inf
        largest = max(largest, float(g.max()))
    return float(np.sqrt(max(largest, 0.0)))


def timed(fn, *args):
    """Wall seconds, process CPU seconds (all threads) and the value."""
    cpu, start = time.process_time(), time.perf_counter()
    value = fn(*args)
    return time.perf_counter() - start, time.process_time() - cpu, value


def pdist_fits(n: int) -> bool:
    need = n * (n - 1) // 2 * 8
    try:
        with open("/proc/meminfo") as f:
            available = next(int(l.split()[1]) * 1024 for l in f if l.startswith("MemAvailable"))
    except (OSError, StopIteration):
        return False
    return need < available // 3


def run_dim(args, binary, data_file, x, d, metrics, threads, pdist_dims, scaling) -> None:
    for metric in metrics:
        data = x / np.linalg.norm(x, axis=1, keepdims=True) if metric == "cosine" else x
        pdist_s = pdist_d = None
        if d in pdist_dims and pdist_fits(args.n):
            from scipy.spatial.distance import pdist
            pdist_s, _, pdist_d = timed(lambda: float(pdist(data, metric).max()))
        for t in threads:
            ours_s, ours_cpu, ours_d = tarvex_seconds(binary, data_file, args.n, d, metric, t)
            with threadpool_limits(limits=t, user_api="blas"):
                blas_s, blas_cpu, blas_d = timed(blas_diameter, data, metric, args.block)
            scaling[(d, metric, t)] = ours_s
            pd = f"{pdist_s:8.2f}" if pdist_s is not None else f"{'-':>8}"
            pr = f"{pdist_s / blas_s:10.2f}" if pdist_s is not None else f"{'-':>10}"
            pv = f"{pdist_d:.6g}" if pdist_d is not None else "-"
            print(f"{d:>5} {metric:>9} {t:>3} {ours_s:8.2f} {blas_s:8.2f} {pd} "
                  f"{ours_s / blas_s:11.2f} {pr} {ours_cpu:8.2f} {blas_cpu:8.2f}  "
                  f"{ours_d:.6g} / {blas_d:.6g} / {pv}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--dims", default="128,768")
    parser.add_argument("--metrics", default="cosine,euclidean")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--block", type=int, default=1024, help="rows per Gram block")
    parser.add_argument("--binary", help="path of bench_diameter")
    parser.add_argument("--pdist-dims", default=None,
                        help="dims to run scipy's pdist on (default: all; '' for none)")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="leave OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE as they are")
    args = parser.parse_args()

    binary = find_binary(args.binary)
    dims = [int(v) for v in args.dims.split(",") if v]
    metrics = [m for m in args.metrics.split(",") if m]
    threads = [int(v) for v in args.threads.split(",") if v]
    pdist_dims = dims if args.pdist_dims is None else [int(v) for v in args.pdist_dims.split(",") if v]

    for info in threadpool_info():
        if info.get("user_api") == "blas":
            print(f"# BLAS: {info.get('internal_api')} {info.get('version')} "
                  f"kernel={info.get('architecture')} ({os.path.basename(info['filepath'])})")
    print(f"# tarvex: {binary}")
    print(f"# n={args.n}, Gram blocks of {args.block} rows; wall seconds, '/blas' is the time "
          "divided by the BLAS time (below 1 is faster); cpu: CPU seconds of all threads")
    with open("/proc/loadavg") as f:
        print(f"# load average before the run: {f.read().split()[0]}")
    header = f"{'d':>5} {'metric':>9} {'thr':>3} {'tarvex':>8} {'blas':>8} {'pdist':>8} " \
             f"{'tarvex/blas':>11} {'pdist/blas':>10} {'cpu:tarv':>8} {'cpu:blas':>8}  " \
             "d_max (tarvex / blas / pdist)"
    print(header)

    rng = np.random.default_rng(12345)
    scaling = {}
    data_file = tempfile.NamedTemporaryFile(suffix=".f32", delete=False).name
    try:
        for d in dims:
            x = rng.standard_normal((args.n, d), dtype=np.float32)
            x.tofile(data_file)  # tarvex normalises its own copy under cosine
            run_dim(args, binary, data_file, x, d, metrics, threads, pdist_dims, scaling)
    finally:
        os.unlink(data_file)
    if len(threads) >= 2:
        lo, hi = threads[0], threads[-1]
        for d in dims:
            for metric in metrics:
                speedup = scaling[(d, metric, lo)] / scaling[(d, metric, hi)]
                print(f"# tarvex scaling {lo}->{hi} threads, d={d} {metric}: {speedup:.2f}x")


if __name__ == "__main__":
    main()
