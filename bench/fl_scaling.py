"""Facility location at growing n: seconds, peak RSS and the column cache's use.

Each case's CPU time is split into user and kernel time, with its page
faults: where first touches of fresh pages are costly, the kernel's share
grows with the memory a case keeps, not with its arithmetic.

Runs the C++ driver benchmark (bench_gist, built with -DTARVEX_BUILD_BENCH=ON)
once per case in a process of its own, so that each peak RSS is that case's,
on standard normal rows (d = 128, k = 50, diameter "approx" unless told),
for both metrics, the given diameter modes and pool sizes (RAYON_NUM_THREADS).
With --repeat R, each case of at most --repeat-max-n rows runs R times and the
table gives the run of median time (the faster of the middle two for an even
R; the host is noisy), and fails if the runs' selections differ.
A case that runs past --timeout is recorded as such and larger n of that
series are skipped. Writes the table as a section of docs/performance.md
(between its markers, replacing an older one) and the plot
docs/performance_facility.png.

With --peers, each n of the first diameter mode also runs (for the metrics of
--peer-metrics, cosine unless told), on the same rows
(bench_gist --save-rows) and the largest pool size, apricot-select's lazy
facility location (one selection of k, in a process whose address space is
capped at the physical memory, so that a dense n x n matrix that does not fit
fails with MemoryError rather than waking the OOM killer) and the NumPy GIST
peer bench/reference.py, which times part of its work and extrapolates the
rest (bench/run.py's estimate) once n is past --peer-full; past
--peer-max-n its time is predicted from the largest n run, by n^2. --resume
takes the cases already printed by an earlier run (its log) instead of
running them again, where they were run with the same k, d, budget and
number of runs.

    python bench/fl_scaling.py --bench build/rel/bench_gist \
        [--n 10000,20000,40000,100000] [--threads 1,2] [--metrics cosine,euclidean] \
        [--diameters approx,exact] [--k 50] [--budget BYTES] [--timeout 600] \
        [--repeat 1] [--repeat-max-n N] [--peers] [--peer-budget 60] [--peer-max-n 50000] \
        [--resume LOG] [--docs docs]
"""

from __future__ import annotations

import argparse
import ast
import json
import math
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402 - bench/run.py: the peers' runs, estimates and meter


def markers(args) -> tuple[str, str, str, str]:
    """The section's first and last lines, its plot and the words its heading
    adds: a forced budget has a section of its own, beside the default budget's."""
    if args.budget is None:
        return ("<!-- facility-scaling: written by bench/fl_scaling.py -->", "<!-- /facility-scaling -->",
                "performance_facility.png", "")
    return (f"<!-- facility-scaling budget={args.budget}: written by bench/fl_scaling.py -->",
            f"<!-- /facility-scaling budget={args.budget} -->", f"performance_facility_{args.budget}.png",
            f", a {args.budget / 2**20:.0f} MiB budget")


LINE = re.compile(
    r"\|\s+(?P<diam>[\d.]+)\s+(?P<greedy>[\d.]+)\s+(?P<pair>[\d.]+)\s+(?P<sweep>[\d.]+)\s+"
    r"(?P<rebuild>[\d.]+)\s+\|\s+(?P<total>[\d.]+)\s+(?P<cpu>[\d.]+)\s+\|.* f=(?P<f>\S+) .*"
    r"cache_peak=(?P<cache>\d+)MB budget=(?P<budget>\d+)MB rss_peak=(?P<rss>\d+)MB sel=(?P<sel>\w+)"
)


def run_case(bench: str, n: int, metric: str, threads: int, diameter: str, args) -> dict:
    cmd = [bench, "--n", str(n), "--utilities", "facility_location", "--diameters", diameter,
           "--metric", metric, "--k", str(args.k), "--dim", str(args.dim), "--fl-max-n", str(10**9)]
    if args.budget is not None:
        cmd += ["--budget", str(args.budget)]
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    start = time.monotonic()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=args.timeout, check=True).stdout
    except subprocess.TimeoutExpired:
        return {"n": n, "metric": metric, "threads": threads, "diameter": diameter,
                "timeout": time.monotonic() - start}
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    match = LINE.search(out)
    if match is None:
        raise RuntimeError(f"unexpected output of {' '.join(cmd)}:\n{out}")
    row = {k: float(v) for k, v in match.groupdict().items() if k != "sel"}
    row.update(n=n, metric=metric, threads=threads, diameter=diameter, sel=match["sel"])
    # The kernel's share (mostly first touches of fresh pages, which some
    # hosts make costly) and the faults that cost it, of this one child.
    row.update(user=after.ru_utime - before.ru_utime, sys=after.ru_stime - before.ru_stime,
               faults=after.ru_minflt - before.ru_minflt)
    return row


def repeats(n: int, args) -> int:
    return args.repeat if args.repeat_max_n is None or n <= args.repeat_max_n else 1


def setup_of(n: int, method: str | None, args) -> dict:
    """What a case's figures depend on besides its key: a case of a log made
    otherwise is run again rather than resumed."""
    out = {"k": args.k, "dim": args.dim}
    if method is None:  # tarvex's
        out.update(budget=args.budget, repeat=repeats(n, args))
    return out


def run_median(bench: str, n: int, metric: str, threads: int, diameter: str, args) -> dict:
    """run_case, --repeat times where n allows: the run of median time, with every run's."""
    runs = []
    for _ in range(repeats(n, args)):
        row = run_case(bench, n, metric, threads, diameter, args)
        if "timeout" in row:
            return row
        if runs and (row["sel"], row["f"]) != (runs[0]["sel"], runs[0]["f"]):
            raise RuntimeError(f"n={n} {metric} threads={threads} {diameter}: the runs selected differently")
        runs.append(row)
    runs.sort(key=lambda r: r["total"])
    median = dict(runs[(len(runs) - 1) // 2])
    if len(runs) > 1:
        median["runs"] = [r["total"] for r in runs]
    return median


def peer_worker(args) -> None:
    """One peer's run, in this process: prints one JSON line."""
    import numpy as np

    x = np.load(args.rows)
    job = run.Job("facility", "rows", args.peer_worker, metric=args.metrics, utility="facility_location",
                  diameter=args.diameters, k=args.k)
    out = {"method": args.peer_worker}
    try:
        if job.method == "numpy" and x.shape[0] > args.peer_full:
            with run.Meter() as meter:
                got = run.estimate_reference(job, x, None, args.peer_budget)
            out.update(status="estimate", seconds=got["seconds"], note=got["note"])
        else:
            run.run_full(job, x[:200], None, args.threads)()  # numba's compilation stays out
            with run.Meter() as meter:
                value = run.run_full(job, x, None, args.threads)()
            out.update(status="measured", seconds=meter.seconds)
            if job.method == "numpy":
                out["f"] = float(value["f_value"])
        out["peak"] = meter.peak
    except MemoryError as error:
        out.update(status="out of memory", note=f"MemoryError: {error}"[:160])
    print("PEER " + json.dumps(out), flush=True)


def run_peer(method: str, rows: Path, n: int, metric: str, threads: int, diameter: str, args) -> dict:
    cmd = [sys.executable, __file__, "--peer-worker", method, "--rows", str(rows), "--metrics", metric,
           "--diameters", diameter, "--k", str(args.k), "--threads", str(threads),
           "--peer-budget", str(args.peer_budget), "--peer-full", str(args.peer_full)]
    count = str(threads)
    env = dict(os.environ, OMP_NUM_THREADS=count, OPENBLAS_NUM_THREADS=count, MKL_NUM_THREADS=count,
               NUMBA_NUM_THREADS=count)
    limit = run.physical_memory()

    def cap() -> None:
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    row = {"n": n, "metric": metric, "threads": threads, "diameter": diameter, "method": method}
    try:
        done = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=args.timeout,
                              preexec_fn=cap if method == "apricot" else None)
    except subprocess.TimeoutExpired:
        return {**row, "status": f"> {args.timeout:.0f} s (stopped)"}
    for line in done.stdout.splitlines():
        if line.startswith("PEER "):
            return {**row, **json.loads(line[5:])}
    tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
    return {**row, "status": "failed", "note": tail[:160]}


def peer_table(peers: list[dict], rows: list[dict]) -> list[str]:
    lines = [
        "| metric | threads | n | method | seconds | x tarvex | peak MB | note |",
        "|---|---|---|---|---|---|---|---|",
    ]
    ours = {(r["metric"], r["threads"], r["diameter"], r["n"]): r for r in rows if "timeout" not in r}
    for p in peers:
        base = ours.get((p["metric"], p["threads"], p["diameter"], p["n"]))
        seconds = ratio = peak = ""
        if p["status"] in ("measured", "estimate", "predicted"):
            mark = "" if p["status"] == "measured" else "~"
            seconds = f"{mark}{p['seconds']:.3g}"
            ratio = f"{mark}{p['seconds'] / base['total']:.1f}" if base else ""
            if "peak" in p:
                peak = f"{p['peak'] / 2**20:.0f}" + (" (part)" if p["status"] == "estimate" else "")
        else:
            seconds = p["status"]
        note = p.get("note", "")
        if "f" in p and base is not None:
            same = abs(p["f"] - base["f"]) <= 1e-9 * abs(base["f"])
            note = f"f = {p['f']:.10g}, " + ("the same as tarvex's" if same else f"tarvex's {base['f']:.10g}")
        lines.append(f"| {p['metric']} | {p['threads']} | {p['n']:,} | {p['method']} | {seconds} | {ratio} | "
                     f"{peak} | {note} |")
    return lines


def table(rows: list[dict], args) -> list[str]:
    lines = [
        "| diameter | metric | threads | n | seconds | x per doubling | greedy s | sweep s | cpu s | sys s | "
        "user x per doubling | page faults | peak RSS MB | cache peak MB | budget MB | runs s |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    previous: dict = {}
    for r in rows:
        key = (r["diameter"], r["metric"], r["threads"])
        if "timeout" in r:
            lines.append(f"| {r['diameter']} | {r['metric']} | {r['threads']} | {r['n']:,} | "
                         f"> {args.timeout:.0f} (stopped) | | | | | | | | | | | |")
            continue
        growth = user_growth = ""
        if key in previous:
            before = previous[key]
            # Scaled to one doubling of n, so steps of 2x and 2.5x compare.
            per = 1 / max(1e-9, math.log2(r["n"] / before["n"]))
            growth = f"{(r['total'] / before['total']) ** per:.2f}"
            if before.get("user") and "user" in r:
                user_growth = f"{(r['user'] / before['user']) ** per:.2f}"
        previous[key] = r
        sys_s, faults = (f"{r['sys']:.2f}", f"{r['faults']:,.0f}") if "sys" in r else ("", "")
        lines.append(
            f"| {r['diameter']} | {r['metric']} | {r['threads']} | {r['n']:,} | {r['total']:.2f} | {growth} | {r['greedy']:.2f} | "
            f"{r['sweep']:.2f} | {r['cpu']:.2f} | {sys_s} | {user_growth} | {faults} | {r['rss']:.0f} | "
            f"{r['cache']:.0f} | {r['budget']:.0f} | {', '.join(f'{t:.2f}' for t in r.get('runs', []))} |"
        )
    return lines


def plot(rows: list[dict], path: Path, budget: str = "") -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    modes = list(dict.fromkeys(r["diameter"] for r in rows))
    fig, axes = plt.subplots(1, len(modes), figsize=(6.4 * len(modes), 4.2), squeeze=False, sharey=True)
    for ax, mode in zip(axes[0], modes):
        series: dict = {}
        for r in rows:
            if "timeout" not in r and r["diameter"] == mode:
                series.setdefault((r["metric"], r["threads"]), []).append((r["n"], r["total"]))
        for (metric, threads), points in sorted(series.items()):
            xs, ys = zip(*points)
            ax.loglog(xs, ys, marker="o", label=f"{metric}, {threads} thread{'s' if threads > 1 else ''}")
        if series:
            n0, t0 = min(min(p) for p in series.values())
            xs = [n0, max(r["n"] for r in rows)]
            ax.loglog(xs, [t0 * (x / n0) ** 2 for x in xs], "k:", label="quadratic")
        ax.set_xlabel("rows n")
        ax.set_title(f"Facility location, d = 128, k = 50, diameter \"{mode}\"{budget}", fontsize=10)
        ax.legend(fontsize=8)
    axes[0][0].set_ylabel("seconds, whole call")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def write_section(rows: list[dict], peers: list[dict], args, docs: Path) -> None:
    begin, end, plot_name, budget = markers(args)
    body = [
        begin,
        f"## Facility location against n (d = {args.dim}, k = {args.k}{budget})",
        "",
        "Standard normal rows, one process per case (`bench/fl_scaling.py` over `bench_gist`); "
        "\"x per doubling\" is the time ratio to the row above, scaled to one doubling of n, and "
        "\"user x per doubling\" the same for the CPU time spent outside the kernel; \"sys s\" is the CPU time "
        "in the kernel, almost all of it the first touch of fresh pages, counted under \"page faults\"; "
        "\"cache peak\" is the most the matrix's column cache (kept columns, dense columns, checkpoints) held at once"
        + (f"; a case of at most {args.repeat_max_n or max(int(v) for v in args.n.split(',')):,} rows ran "
           f"{args.repeat} times, each with the same selection, and its row is the run of median time "
           "(\"runs s\" lists them all)" if args.repeat > 1 else "")
        + (f"; budget forced to {args.budget} bytes" if args.budget is not None else "; default budget") + ".",
        "",
        *table(rows, args),
        "",
        f"![facility location against n]({plot_name})",
    ]
    if peers:
        body += [
            "",
            "The peers on the same rows (`--peers`): apricot-select's lazy facility location, one selection of k "
            "with no thresholds, in a process whose address space is capped at the physical memory; the NumPy "
            "GIST peer (`bench/reference.py`), in full up to "
            f"{args.peer_full:,} rows, past that timing part of its work for about {args.peer_budget:.0f} s and "
            f"extrapolating the rest (marked ~), and past {args.peer_max_n:,} rows predicted from its largest run "
            "by n^2. \"x tarvex\" divides by the tarvex call's seconds above; "
            "peak is above the process's resident size at the start.",
            "",
            *peer_table(peers, rows),
        ]
    body.append(end)
    page = docs / "performance.md"
    text = page.read_text() if page.exists() else "# Performance\n"
    if begin in text and end in text:
        text = text[: text.index(begin)] + "\n".join(body) + text[text.index(end) + len(end):]
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(body) + "\n"
    page.write_text(text)
    plot(rows, docs / plot_name, budget)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", help="bench_gist (required but for a peer's worker)")
    parser.add_argument("--n", default="10000,20000,40000,100000")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--metrics", default="cosine,euclidean")
    parser.add_argument("--diameters", default="approx")
    parser.add_argument("--k", type=int, default=50)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--budget", type=int, default=None)
    parser.add_argument("--timeout", type=float, default=600.0)
    parser.add_argument("--repeat", type=int, default=1, help="runs of each case; the table takes the median")
    parser.add_argument("--repeat-max-n", type=int, default=None, help="larger cases run once")
    parser.add_argument("--peers", action="store_true")
    parser.add_argument("--peer-budget", type=float, default=60.0)
    parser.add_argument("--peer-full", type=int, default=5000)
    parser.add_argument("--peer-max-n", type=int, default=50000)
    parser.add_argument("--peer-metrics", default="cosine")
    parser.add_argument("--resume", type=Path, help="a log of an earlier run whose cases are taken as printed")
    parser.add_argument("--docs", default=str(Path(__file__).resolve().parent.parent / "docs"))
    parser.add_argument("--peer-worker", choices=("apricot", "numpy"), help=argparse.SUPPRESS)
    parser.add_argument("--rows", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peer_worker:
        args.threads = int(args.threads)
        peer_worker(args)
        return
    if args.bench is None:
        parser.error("--bench is required")
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")

    defaults = parser.parse_args([])
    # Cases printed by an earlier run, by what identifies them.
    done: dict = {}
    for line in (args.resume.read_text().splitlines() if args.resume else []):
        if line.startswith("{"):
            case = ast.literal_eval(line)
            done[tuple(case.get(k) for k in ("n", "metric", "threads", "diameter", "method"))] = case

    def once(key: tuple, run_it):
        n, method = key[0], key[4]
        setup = setup_of(n, method, args)
        row = done.get(key)
        # Logs from before the setup was printed: the defaults, one run each.
        if row is None or row.get("setup", setup_of(n, method, defaults)) != setup:
            row = {**run_it(), "setup": setup}
        print(row, flush=True)
        return row

    rows, peers = [], []
    thread_counts = [int(t) for t in args.threads.split(",")]
    sizes = [int(v) for v in args.n.split(",")]
    for diameter in args.diameters.split(","):
        for metric in args.metrics.split(","):
            for threads in thread_counts:
                for n in sizes:
                    row = once((n, metric, threads, diameter, None),
                               lambda: run_median(args.bench, n, metric, threads, diameter, args))
                    rows.append(row)
                    if "timeout" in row:
                        break
    if args.peers:
        diameter, threads = args.diameters.split(",")[0], max(thread_counts)
        with tempfile.TemporaryDirectory() as tmp:
            for metric in args.peer_metrics.split(","):
                timed = None  # the NumPy peer's largest run: (n, seconds)
                for n in sizes:
                    path = Path(tmp) / f"rows{n}.npy"
                    for method in ("apricot", "numpy"):
                        def run_it():
                            if method == "numpy" and n > args.peer_max_n and timed is not None:
                                return {"n": n, "metric": metric, "threads": threads, "diameter": diameter,
                                        "method": method, "status": "predicted",
                                        "seconds": timed[1] * (n / timed[0]) ** 2,
                                        "note": f"not run: from n = {timed[0]:,} by n^2"}
                            if not path.exists():
                                subprocess.run([args.bench, "--n", str(n), "--dim", str(args.dim), "--save-rows",
                                                str(path)], check=True, capture_output=True)
                            return run_peer(method, path, n, metric, threads, diameter, args)
                        peer = once((n, metric, threads, diameter, method), run_it)
                        peers.append(peer)
                        if method == "numpy" and peer["status"] in ("measured", "estimate"):
                            timed = (n, peer["seconds"])
                    path.unlink(missing_ok=True)
    print("\n".join(table(rows, args)))
    if peers:
        print("\n".join(peer_table(peers, rows)))
    write_section(rows, peers, args, Path(args.docs))


if __name__ == "__main__":
    main()
