"""tarvex.dask against single-machine GIST on data that fits one machine.

    python bench/dask_quality.py [--cases n:d:utility:metric:lam ...] [--rules both,gist,fft]

For each case: 64 Gaussian clusters of n rows in d dimensions, linear
utilities with uniform random weights, coverage with 1-5 items per row from
1000, or facility location. Runs `tarvex.gist_select_full(diameter="approx")`
in this process and `tarvex.dask.gist_select_full` on a fresh LocalCluster of
two single-threaded worker processes, and prints one markdown row: the
objective ratio, the share of lam * div in f, both times, the candidates and
each worker's peak RSS.
"""

import argparse
import os
import resource
import time

import numpy as np

DEFAULT_CASES = [
    "200000:64:linear:euclidean:1.0",
    "200000:128:linear:euclidean:1.0",
    "200000:64:coverage:euclidean:1.0",
    "1000000:64:linear:euclidean:1.0",
    "1000000:128:linear:euclidean:1.0",
    "20000:64:facility_location:cosine:2000.0",
]


def clusters(n, d, seed=0):
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((64, d)).astype(np.float32) * 4
    x = rng.standard_normal((n, d), dtype=np.float32)
    x += centers[rng.integers(0, 64, n)]
    return x, rng


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


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--cases", nargs="*", default=DEFAULT_CASES)
    p.add_argument("--rules", default="both")
    p.add_argument("-k", type=int, default=100)
    p.add_argument("--chunk-rows", type=int, default=None)
    a = p.parse_args()

    os.environ["RAYON_NUM_THREADS"] = "1"  # both sides on one core-pool thread per process
    import dask
    from distributed import Client, LocalCluster

    import tarvex
    import tarvex.dask

    print("| n | d | utility | metric | lam | round 1 | ratio f | lam*div / f | single s "
          "| dask s | candidates | worker peak RSS GB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for case in a.cases:
        n, d, utility, metric, lam = case.split(":")
        n, d, lam = int(n), int(d), float(lam)
        x, rng = clusters(n, d)
        u = None
        if utility == "linear":
            u = rng.random(n)
        elif utility == "coverage":
            u = [rng.integers(0, 1000, rng.integers(1, 6)).tolist() for _ in range(n)]
        start = time.perf_counter()
        ref = tarvex.gist_select_full(x, u, k=a.k, lam=lam, metric=metric, utility=utility,
                                      diameter="approx")
        single = time.perf_counter() - start
        for rule in a.rules.split(","):
            tarvex.dask._ROUND1 = rule
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None,
                              env={"RAYON_NUM_THREADS": "1"}) as cluster, \
                    Client(cluster) as client, dask.config.set(scheduler=client):
                client.run(lambda: __import__("tarvex.dask"))
                start = time.perf_counter()
                got = tarvex.dask.gist_select_full(x, u, k=a.k, lam=lam, metric=metric,
                                                   utility=utility, chunk_rows=a.chunk_rows)
                took = time.perf_counter() - start
                rss = sorted(v / 1e9 for v in client.run(peak_rss_bytes).values())
            share = lam * got["div"] / got["f_value"]
            print(f"| {n} | {d} | {utility} | {metric} | {lam:g} | {rule} "
                  f"| {got['f_value'] / ref['f_value']:.4f} | {share:.2f} | {single:.1f} "
                  f"| {took:.1f} | {got['candidates']} | {', '.join(f'{v:.2f}' for v in rss)} |",
                  flush=True)


if __name__ == "__main__":
    main()
