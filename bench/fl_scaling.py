"""Facility location at growing n: seconds, peak RSS and the column cache's use.

Runs the C++ driver benchmark (bench_gist, built with -DTARVEX_BUILD_BENCH=ON)
once per case in a process of its own, so that each peak RSS is that case's,
on standard normal rows (d = 128, k = 50, diameter "approx" unless told),
for both metrics and the given pool sizes (RAYON_NUM_THREADS). A case that
runs past --timeout is recorded as such and larger n of that series are
skipped. Writes the table as a section of docs/performance.md (between its
markers, replacing an older one) and the plot docs/performance_facility.png.

    python bench/fl_scaling.py --bench build/rel/bench_gist \
        [--n 10000,20000,40000,100000] [--threads 1,2] [--metrics cosine,euclidean] \
        [--diameter approx] [--k 50] [--budget BYTES] [--timeout 600] [--docs docs]
"""

from __future__ import annotations

import argparse
import math
import os
import re
import subprocess
import time
from pathlib import Path

BEGIN = "<!-- facility-scaling: written by bench/fl_scaling.py -->"
END = "<!-- /facility-scaling -->"

LINE = re.compile(
    r"\|\s+(?P<diam>[\d.]+)\s+(?P<greedy>[\d.]+)\s+(?P<pair>[\d.]+)\s+(?P<sweep>[\d.]+)\s+"
    r"(?P<rebuild>[\d.]+)\s+\|\s+(?P<total>[\d.]+)\s+(?P<cpu>[\d.]+)\s+\|.*"
    r"cache_peak=(?P<cache>\d+)MB budget=(?P<budget>\d+)MB rss_peak=(?P<rss>\d+)MB sel=(?P<sel>\w+)"
)


def run_case(bench: str, n: int, metric: str, threads: int, args) -> dict:
    cmd = [bench, "--n", str(n), "--utilities", "facility_location", "--diameters", args.diameter,
           "--metric", metric, "--k", str(args.k), "--dim", str(args.dim), "--fl-max-n", str(10**9)]
    if args.budget is not None:
        cmd += ["--budget", str(args.budget)]
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    start = time.monotonic()
    try:
        out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=args.timeout, check=True).stdout
    except subprocess.TimeoutExpired:
        return {"n": n, "metric": metric, "threads": threads, "timeout": time.monotonic() - start}
    match = LINE.search(out)
    if match is None:
        raise RuntimeError(f"unexpected output of {' '.join(cmd)}:\n{out}")
    row = {k: float(v) for k, v in match.groupdict().items() if k != "sel"}
    row.update(n=n, metric=metric, threads=threads, sel=match["sel"])
    return row


def table(rows: list[dict], args) -> list[str]:
    lines = [
        "| metric | threads | n | seconds | x per doubling | greedy s | sweep s | cpu s | peak RSS MB | cache peak MB | budget MB |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    previous: dict = {}
    for r in rows:
        key = (r["metric"], r["threads"])
        if "timeout" in r:
            lines.append(f"| {r['metric']} | {r['threads']} | {r['n']:,} | > {args.timeout:.0f} (stopped) | | | | | | | |")
            continue
        growth = ""
        if key in previous:
            n0, t0 = previous[key]
            # Scaled to one doubling of n, so steps of 2x and 2.5x compare.
            growth = f"{(r['total'] / t0) ** (1 / max(1e-9, math.log2(r['n'] / n0))):.2f}"
        previous[key] = (r["n"], r["total"])
        lines.append(
            f"| {r['metric']} | {r['threads']} | {r['n']:,} | {r['total']:.2f} | {growth} | {r['greedy']:.2f} | "
            f"{r['sweep']:.2f} | {r['cpu']:.2f} | {r['rss']:.0f} | {r['cache']:.0f} | {r['budget']:.0f} |"
        )
    return lines


def plot(rows: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    series: dict = {}
    for r in rows:
        if "timeout" not in r:
            series.setdefault((r["metric"], r["threads"]), []).append((r["n"], r["total"]))
    for (metric, threads), points in sorted(series.items()):
        xs, ys = zip(*points)
        ax.loglog(xs, ys, marker="o", label=f"{metric}, {threads} thread{'s' if threads > 1 else ''}")
    if series:
        n0, t0 = min(min(p) for p in series.values())
        xs = [n0, max(r["n"] for r in rows)]
        ax.loglog(xs, [t0 * (x / n0) ** 2 for x in xs], "k:", label="quadratic")
    ax.set_xlabel("rows n")
    ax.set_ylabel("seconds, whole call")
    ax.set_title("Facility location, d = 128, k = 50")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def write_section(rows: list[dict], args, docs: Path) -> None:
    body = [
        BEGIN,
        f"## Facility location against n (d = {args.dim}, k = {args.k}, diameter \"{args.diameter}\")",
        "",
        "Standard normal rows, one process per case (`bench/fl_scaling.py` over `bench_gist`); "
        "\"x per doubling\" is the time ratio to the row above, scaled to one doubling of n; "
        "\"cache peak\" is the most the matrix's column cache (kept columns, dense columns, checkpoints) held at once"
        + (f"; budget forced to {args.budget} bytes" if args.budget is not None else "; default budget") + ".",
        "",
        *table(rows, args),
        "",
        "![facility location against n](performance_facility.png)",
        END,
    ]
    page = docs / "performance.md"
    text = page.read_text() if page.exists() else "# Performance\n"
    if BEGIN in text and END in text:
        text = text[: text.index(BEGIN)] + "\n".join(body) + text[text.index(END) + len(END):]
    else:
        text = text.rstrip("\n") + "\n\n" + "\n".join(body) + "\n"
    page.write_text(text)
    plot(rows, docs / "performance_facility.png")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", required=True)
    parser.add_argument("--n", default="10000,20000,40000,100000")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--metrics", default="cosine,euclidean")
    parser.add_argument("--diameter", default="approx")
    parser.add_argument("--k", type=int, default=50)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--budget", type=int, default=None)
    parser.add_argument("--timeout", type=float, default=600.0)
    parser.add_argument("--docs", default=str(Path(__file__).resolve().parent.parent / "docs"))
    args = parser.parse_args()

    rows = []
    for metric in args.metrics.split(","):
        for threads in (int(t) for t in args.threads.split(",")):
            for n in (int(v) for v in args.n.split(",")):
                row = run_case(args.bench, n, metric, threads, args)
                rows.append(row)
                print(row, flush=True)
                if "timeout" in row:
                    break
    print("\n".join(table(rows, args)))
    write_section(rows, args, Path(args.docs))


if __name__ == "__main__":
    main()
