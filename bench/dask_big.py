"""Selection from a memory-mapped matrix larger than memory, on a LocalCluster.

    python bench/dask_big.py generate PATH [--rows N] [--dim D]
    python bench/dask_big.py run PATH [-k K] [--workers W] [--memory-limit 8GB] [--round1 RULE]

`generate` writes a .npy of N x D float32 rows (default 6.4e7 x 128, 32.8 GB)
drawn from 64 Gaussian clusters, block by block, so it never holds more than
one block. `run` memory-maps it, selects k rows with tarvex.dask on a local
cluster of W single-threaded worker processes, and prints the time, the
result and each worker's peak RSS as one JSON line. The data file is never
part of the repository.
"""

import argparse
import json
import os
import resource
import sys
import time

import numpy as np


def generate(path, rows, dim, block=1 << 20, seed=0):
    rng = np.random.default_rng(seed)
    centers = (rng.standard_normal((64, dim)) * 4.0).astype(np.float32)
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(rows, dim))
    start = time.perf_counter()
    for s in range(0, rows, block):
        m = min(block, rows - s)
        x = rng.standard_normal((m, dim), dtype=np.float32)
        x += centers[rng.integers(0, 64, m)]
        out[s:s + m] = x
        if (s // block) % 8 == 0:
            out.flush()
            print(f"{s + m} rows, {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
    out.flush()
    del out


def peak_rss_bytes():
    """This process's peak RSS. Linux's VmHWM starts afresh at exec; ru_maxrss would
    carry over the RSS of the process a worker was forked from."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def watch_rss(stop, every=60.0):
    """Logs the peak RSS of this process's children (the workers) so far."""
    import psutil

    peak = {}
    me = psutil.Process()
    while not stop.wait(every):
        for child in me.children(recursive=True):
            try:
                peak[child.pid] = max(peak.get(child.pid, 0), child.memory_info().rss)
            except psutil.Error:
                pass
        print(time.strftime("%H:%M:%S"), "peak RSS so far (GB):",
              sorted(round(v / 1e9, 2) for v in peak.values()), file=sys.stderr, flush=True)


def run(path, k, workers, memory_limit, chunk_rows, lam, round1):
    import logging

    from distributed import Client, LocalCluster

    logging.basicConfig(format="%(asctime)s %(name)s %(message)s")
    logging.getLogger("tarvex.dask").setLevel(logging.INFO)

    import tarvex.dask

    if round1:
        tarvex.dask._ROUND1 = round1
    x = np.load(path, mmap_mode="r")
    # One core-pool thread per worker process: the cluster already uses both cores.
    os.environ["RAYON_NUM_THREADS"] = "1"
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, memory_limit=memory_limit) as cluster, \
            Client(cluster) as client:
        import threading

        stop = threading.Event()
        threading.Thread(target=watch_rss, args=(stop,), daemon=True).start()
        start = time.perf_counter()
        result = tarvex.dask.gist_select_full(x, k=k, lam=lam, chunk_rows=chunk_rows)
        seconds = time.perf_counter() - start
        stop.set()
        rss = client.run(peak_rss_bytes)
    print(json.dumps({
        "rows": int(x.shape[0]), "dim": int(x.shape[1]), "gigabytes": x.nbytes / 1e9,
        "k": k, "lam": lam, "round1": tarvex.dask._ROUND1, "workers": workers,
        "chunk_rows": chunk_rows, "seconds": seconds,
        "worker_peak_rss_gb": sorted(v / 1e9 for v in rss.values()),
        "client_peak_rss_gb": peak_rss_bytes() / 1e9,
        "candidates": result["candidates"], "f_value": result["f_value"],
        "g_value": result["g_value"], "div": result["div"], "d_max": result["d_max"],
        "stage": result["stage"], "selected": result["selected"]}))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate")
    g.add_argument("path")
    g.add_argument("--rows", type=int, default=64_000_000)
    g.add_argument("--dim", type=int, default=128)
    r = sub.add_parser("run")
    r.add_argument("path")
    r.add_argument("-k", type=int, default=100)
    r.add_argument("--lam", type=float, default=1.0)
    r.add_argument("--workers", type=int, default=2)
    r.add_argument("--memory-limit", default="8GB")
    r.add_argument("--chunk-rows", type=int, default=None)
    r.add_argument("--round1", choices=("both", "gist", "fft"), default=None,
                   help="round 1's rule (default: tarvex.dask's)")
    a = p.parse_args()
    if a.command == "generate":
        generate(a.path, a.rows, a.dim)
    else:
        run(a.path, a.k, a.workers, a.memory_limit, a.chunk_rows, a.lam, a.round1)


if __name__ == "__main__":
    main()
