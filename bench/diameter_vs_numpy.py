"""The exact diameter: tarvex's C++ core against what a NumPy user would do.

Side by side in one run, on 1 and 2 threads:
  - tarvex: the bench_diameter binary (the exact diameter on the worker pool,
    sized by RAYON_NUM_THREADS), with its screen and with the exact tiles
    alone (--filter exact); 'exact' is the share of pairs the screened run
    computed with the exact kernel;
  - BLAS: the upper triangle of the Gram matrix in row blocks,
    X[i:i+b] @ X[i:].T, then the largest distance (OpenBLAS threads set
    through threadpoolctl);
  - scipy: pdist(X, metric).max(), single-threaded, where memory allows.

Data (--data): 'clusters' (64 Gaussian clusters, centres N(0, 4), unit
noise), 'gauss' (isotropic standard normal) and 'onehot' (row r is the unit
vector r mod d: most pairs sit at the largest distance, so no bound prunes).

Prints seconds and each time divided by the BLAS time. OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE, which pin old OpenBLAS builds to a slower kernel on these
machines, are removed from this process's environment (it re-executes itself
once) so that NumPy runs at its best; the kernel in use is printed.

    python bench/diameter_vs_numpy.py [--n 20000] [--dims 128,768]
        [--data clusters,gauss,onehot] [--threads 1,2]
        [--binary build/b/bench_diameter] [--pdist-dims 128,768]

Build the binary with -DTARVEX_BUILD_BENCH=ON.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import statistics
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


def tarvex_run(binary: str, data_file: str, n: int, d: int, metric: str, threads: int,
               screen: bool) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [binary, "--n", str(n), "--dims", str(d), "--metrics", metric, "--input", data_file]
    if not screen:
        cmd += ["--filter", "exact"]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("diameter "))
    return dict(re.findall(r"(\w+)=(\S+)", line))


def make_data(kind: str, n: int, d: int, rng) -> np.ndarray:
    if kind == "gauss":
        return rng.standard_normal((n, d), dtype=np.float32)
    if kind == "onehot":
        x = np.zeros((n, d), dtype=np.float32)
        x[np.arange(n), np.arange(n) % d] = 1.0
        return x
    centres = 2.0 * rng.standard_normal((64, d), dtype=np.float32)
    labels = rng.integers(0, 64, n)
    return centres[labels] + rng.standard_normal((n, d), dtype=np.float32)


def blas_diameter(x: np.ndarray, metric: str, block: int) -> float:
    """Largest off-diagonal distance from the Gram matrix, block of rows at a time."""
    n = x.shape[0]
    if metric == "cosine":
        smallest = np.inf
        for i in range(0, n, block):
            g = x[i:i + block] @ x[i:].T
            rows = np.arange(g.shape[0])
            g[rows, rows] = np.inf
            smallest = min(smallest, float(g.min()))
        return min(max(1.0 - smallest, 0.0), 2.0)
    sq = np.einsum("ij,ij->i", x, x)
    largest = -np.inf
    for i in range(0, n, block):
        g = x[i:i + block] @ x[i:].T
        g *= -2.0
        g += sq[None, i:]
        g += sq[i:i + block, None]
        rows = np.arange(g.shape[0])
        g[rows, rows] = -np.inf
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


def run_dim(args, binary, data_file, x, kind, d, metrics, threads, pdist_dims, rows) -> None:
    for metric in metrics:
        data = x / np.linalg.norm(x, axis=1, keepdims=True) if metric == "cosine" else x
        pdist_s = None
        if d in pdist_dims and pdist_fits(args.n):
            from scipy.spatial.distance import pdist
            pdist_s, _, _ = timed(lambda: float(pdist(data, metric).max()))
        for t in threads:
            # The three in turn, --repeat times, and the median of each.
            runs = []
            for _ in range(args.repeat):
                ours = tarvex_run(binary, data_file, args.n, d, metric, t, True)
                tiles = tarvex_run(binary, data_file, args.n, d, metric, t, False) if args.tiles else None
                with threadpool_limits(limits=t, user_api="blas"):
                    blas_s, blas_cpu, blas_d = timed(blas_diameter, data, metric, args.block)
                runs.append((float(ours["seconds"]), float(tiles["seconds"]) if tiles else None,
                             blas_s, float(ours["cpu_seconds"]), blas_cpu))
            med = [statistics.median(r[k] for r in runs) if runs[0][k] is not None else None
                   for k in range(5)]
            ours["seconds"], ours["cpu_seconds"] = med[0], med[3]
            tiles = {"seconds": med[1]} if med[1] is not None else None
            blas_s, blas_cpu = med[2], med[4]
            ours_s = float(ours["seconds"])
            rows.append((kind, d, metric, t, ours_s, float(tiles["seconds"]) if tiles else None, blas_s))
            tiles_s = f"{float(tiles['seconds']):.3f}" if tiles else "-"
            pd = f"{pdist_s:.2f}" if pdist_s is not None else "-"
            print(f"| {kind} | {args.n} x {d} | {metric} | {t} | {ours_s:.3f} | {tiles_s} | "
                  f"{blas_s:.3f} | {pd} | {blas_s / ours_s:.2f} | {float(ours['exact_share']):.2g} | "
                  f"{float(ours['cpu_seconds']):.3f} | {blas_cpu:.3f} | "
                  f"{float(ours['d_max']):.6g} / {blas_d:.6g} |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20000)
    parser.add_argument("--dims", default="128,768")
    parser.add_argument("--metrics", default="cosine,euclidean")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--data", default="clusters,gauss,onehot")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each side; medians shown")
    parser.add_argument("--plot", help="write a bar chart of the seconds to this PNG")
    parser.add_argument("--no-tiles", dest="tiles", action="store_false",
                        help="skip the run with the exact tiles alone")
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
    print(f"# n={args.n}, Gram blocks of {args.block} rows; wall seconds (median of {args.repeat}); 'BLAS / tarvex' above 1 "
          "means tarvex is faster; 'exact' is the share of pairs tarvex computed exactly; "
          "cpu: CPU seconds of all threads")
    with open("/proc/loadavg") as f:
        print(f"# load average before the run: {f.read().split()[0]}")
    print("| data | n x d | metric | threads | tarvex | tiles alone | BLAS | pdist | "
          "BLAS / tarvex | exact | cpu tarvex | cpu BLAS | d_max (tarvex / BLAS) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    rows = []
    data_file = tempfile.NamedTemporaryFile(suffix=".f32", delete=False).name
    try:
        for kind in [k for k in args.data.split(",") if k]:
            for d in dims:
                x = make_data(kind, args.n, d, np.random.default_rng(12345))
                x.tofile(data_file)  # tarvex normalises its own copy under cosine
                run_dim(args, binary, data_file, x, kind, d, metrics, threads, pdist_dims, rows)
    finally:
        os.unlink(data_file)
    if args.plot:
        plot(rows, args.plot, args.n)


def plot(rows, path: str, n: int) -> None:
    """Seconds of each case, tarvex against the tiles alone and BLAS, on a log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    threads = sorted({r[3] for r in rows})
    fig, axes = plt.subplots(1, len(threads), figsize=(6 * len(threads), 4.5), squeeze=False)
    for ax, t in zip(axes[0], threads):
        cases = [r for r in rows if r[3] == t]
        labels = [f"{r[0]}\n{r[2][:3]} {r[1]}" for r in cases]
        pos = np.arange(len(cases))
        ax.bar(pos - 0.27, [r[4] for r in cases], 0.27, label="tarvex (screen + exact)")
        ax.bar(pos, [r[5] or 0 for r in cases], 0.27, label="tarvex tiles alone")
        ax.bar(pos + 0.27, [r[6] for r in cases], 0.27, label="OpenBLAS upper-triangle Gram")
        ax.set_yscale("log")
        ax.set_xticks(pos, labels, fontsize=6, rotation=90)
        ax.set_ylabel("seconds")
        ax.set_title(f"exact diameter, n = {n}, {t} thread(s)")
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)

if __name__ == "__main__":
    main()
