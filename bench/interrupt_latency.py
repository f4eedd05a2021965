"""Latency from SIGINT to KeyboardInterrupt for long calls, one probe per
stage of the core.

Each run starts a call in a fresh process and sends SIGINT to it once the
call has reached the probe's stage (read from the command line's progress
entry point) or, for a stage that reports no progress, after the probe's
delay; it records the seconds from the signal to the exception. Prints the
median and largest latency of each probe over the runs.

    python bench/interrupt_latency.py [--runs 3] [--timeout 120] [--only NAME]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import textwrap

PROBES = {
    # name: (setup, call arguments, stage to wait for, fallback delay in s)
    "cosine-exact-60000x256-k50": (
        "x = rng.standard_normal((60000, 256)).astype(np.float32)",
        "x, k=50", "diameter", 1.5),
    "facility-euclidean-approx-40000x64-k40": (
        "x = rng.standard_normal((40000, 64)).astype(np.float32)",
        "x, k=40, metric='euclidean', utility='facility_location', diameter='approx'",
        "set-up", 1.5),
    "greedy-linear-euclidean-200000x16-k2000": (
        "x = rng.standard_normal((200000, 16)).astype(np.float32)",
        "x, k=2000, metric='euclidean', diameter='approx'", "greedy", 1.5),
    "sweep-linear-euclidean-20000x32-k200-eps0.01": (
        "x = rng.standard_normal((20000, 32)).astype(np.float32)",
        "x, k=200, eps=0.01, metric='euclidean', diameter='approx'", "sweep", 3.0),
    # Passes stop once a start row repeats, so a long approximate diameter
    # needs many rows: the signal comes as the stage starts.
    "approx-diameter-4000000x64": (
        "x = rng.standard_normal((4000000, 64), dtype=np.float32)",
        "x, k=5, metric='euclidean', diameter='approx', diameter_sweeps=10**9", "diameter",
        1.0),
}

CHILD = """
import json, os, signal, threading, time
import numpy as np
from tarvex import _tarvex
rng = np.random.default_rng(0)
{setup}
sent = []

def interrupt():
    if not sent:
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

def progress(stage, done, total):
    if stage == {stage!r}:
        interrupt()

timer = threading.Timer({delay}, interrupt)
start = time.monotonic()
timer.start()
try:
    _tarvex._gist_select_full_progress(progress, {call})
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
end = time.monotonic()
timer.cancel()
print(json.dumps(dict(outcome=outcome, latency=end - sent[0] if sent else None,
                      signalled_at=(sent[0] - start) if sent else None)))
"""


def run_probe(setup, call, stage, delay, timeout):
    code = textwrap.dedent(CHILD).format(setup=setup, call=call, stage=stage, delay=delay)
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        return dict(outcome=f"no exception within {timeout} s", latency=None)
    if proc.returncode != 0:
        return dict(outcome="failed: " + proc.stderr.strip().splitlines()[-1], latency=None)
    return json.loads(proc.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--only", action="append", choices=sorted(PROBES))
    args = parser.parse_args()
    for name in args.only or PROBES:
        setup, call, stage, delay = PROBES[name]
        runs = [run_probe(setup, call, stage, delay, args.timeout) for _ in range(args.runs)]
        latencies = [r["latency"] for r in runs if r["outcome"] == "interrupted"]
        others = sorted({r["outcome"] for r in runs if r["outcome"] != "interrupted"})
        line = f"{name:48s}"
        if latencies:
            line += (f" median {statistics.median(latencies):6.3f} s  max {max(latencies):6.3f} s"
                     f"  ({len(latencies)}/{len(runs)} interrupted")
            at = [r["signalled_at"] for r in runs if r["outcome"] == "interrupted"]
            line += f", signalled {min(at):.1f}-{max(at):.1f} s in)"
        if others:
            line += "  " + "; ".join(others)
        print(line, flush=True)


if __name__ == "__main__":
    main()
