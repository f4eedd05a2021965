"""Evidence for docs/guide.md: how well a classifier learns from the rows each method picks.

For each of scikit-learn's bundled datasets (no download), the rows are split into a pool
and a held-out test set; each method picks k rows of the pool, a logistic regression is
trained on those rows alone and scored on the test set. Methods: GIST with each utility
and metric, at lam = 0 (utility only) and at a lam scaled to the data (see `scaled_lam`),
random picks (the mean of several draws) and farthest-first traversal. A second part
measures what eps and the approximate diameter cost on the digits.

    python bench/guide_evidence.py [--out docs] [--draws 20]

writes docs/guide-evidence.md (the tables) and docs/guide-accuracy.png,
docs/guide-eps.png. Under a minute on two cores.
"""

from __future__ import annotations

import argparse
import math
import platform
import statistics
import time
import warnings
from pathlib import Path

import numpy as np
from sklearn import datasets
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import train_test_split
from sklearn.preprocessing import StandardScaler

import tarvex

DATASETS = {
    "digits": (datasets.load_digits, (10, 20, 50, 100, 200)),
    "breast_cancer": (datasets.load_breast_cancer, (10, 20, 50, 100)),
    "wine": (datasets.load_wine, (6, 10, 20, 40)),
    "iris": (datasets.load_iris, (6, 10, 20, 40)),
}
UTILITIES = ("linear", "coverage", "facility_location")
METRICS = ("cosine", "euclidean")
NEIGHBOURS = 10  # coverage: a row covers itself and its nearest neighbours in the pool


def distances(x: np.ndarray, metric: str) -> np.ndarray:
    x = x.astype(np.float64)
    if metric == "cosine":
        u = x / np.linalg.norm(x, axis=1, keepdims=True)
        return np.maximum(0.0, 1.0 - u @ u.T)
    sq = (x * x).sum(1)
    return np.sqrt(np.maximum(0.0, sq[:, None] + sq[None, :] - 2.0 * x @ x.T))


def neighbourhood_items(dist: np.ndarray) -> list[list[int]]:
    """Each row's items are the pool rows nearest to it, so coverage counts the rows represented."""
    return np.argsort(dist, axis=1, kind="stable")[:, :NEIGHBOURS].tolist()


def scaled_lam(x, utilities, call: dict, full: dict) -> float:
    """lam at which the whole diversity term is worth one of the last rows picked.

    lam * div is at most lam * d_max. The gain of a late row is estimated from two
    utility-only selections, of k and of k/2 rows: (g_k - g_k/2) / (rows between).
    The first rows of a submodular utility gain far more, so g/|S| would be too large.
    """
    half = tarvex.gist_select_full(x, utilities, lam=0.0, **{**call, "k": max(1, call["k"] // 2)})
    added = len(full["selected"]) - len(half["selected"])
    gain = (full["g_value"] - half["g_value"]) / added if added > 0 else 0.0
    return gain / full["d_max"] if full["d_max"] > 0 else 0.0


def farthest_first(dist: np.ndarray, k: int) -> list[int]:
    start = int(np.argmin(dist.sum(1)))  # the most central row: deterministic and typical
    chosen = [start]
    nearest = dist[start].copy()
    while len(chosen) < min(k, len(dist)):
        nxt = int(np.argmax(nearest))
        chosen.append(nxt)
        nearest = np.minimum(nearest, dist[nxt])
    return chosen


def accuracy(x_pool, y_pool, picks, x_test, y_test) -> float:
    picks = np.asarray(picks, dtype=np.intp)
    labels = y_pool[picks]
    if len(np.unique(labels)) < 2:
        return float(np.mean(y_test == labels[0]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        model = LogisticRegression(max_iter=2000).fit(x_pool[picks], labels)
    return float(model.score(x_test, y_test))


def classification_evidence(draws: int):
    rows = []  # (dataset, k, method, accuracy, rows picked, classes picked)
    for name, (load, ks) in DATASETS.items():
        data = load()
        x_pool, x_test, y_pool, y_test = train_test_split(
            data.data, data.target, test_size=0.3, random_state=0, stratify=data.target)
        scaler = StandardScaler().fit(x_pool)
        x_pool = scaler.transform(x_pool)
        x_test = scaler.transform(x_test)
        # Standardised features with zero variance stay 0; keep every row non-zero for cosine.
        x32 = np.ascontiguousarray(x_pool, dtype=np.float32)
        dist = {m: distances(x32, m) for m in METRICS}
        items = {m: neighbourhood_items(dist[m]) for m in METRICS}
        rng = np.random.default_rng(0)
        for k in ks:
            def record(method, picks):
                picks = list(picks)
                rows.append((name, k, method, accuracy(x_pool, y_pool, picks, x_test, y_test),
                             len(picks), len(set(y_pool[picks].tolist()))))

            accs = [accuracy(x_pool, y_pool, rng.choice(len(x32), k, replace=False), x_test, y_test)
                    for _ in range(draws)]
            rows.append((name, k, "random", statistics.fmean(accs), k, None))
            rows.append((name, k, "random (sd)", statistics.stdev(accs), k, None))
            record("farthest-first", farthest_first(dist["euclidean"], k))
            for metric in METRICS:
                for utility in UTILITIES:
                    utilities = items[metric] if utility == "coverage" else None
                    call = dict(k=k, metric=metric, utility=utility)
                    zero = tarvex.gist_select_full(x32, utilities, lam=0.0, **call)
                    record(f"{utility}/{metric}/lam=0", zero["selected"])
                    lam = scaled_lam(x32, utilities, call, zero)
                    scaled = tarvex.gist_select_full(x32, utilities, lam=lam, **call)
                    record(f"{utility}/{metric}/scaled", scaled["selected"])
                    default = tarvex.gist_select_full(x32, utilities, lam=1.0, **call)
                    record(f"{utility}/{metric}/lam=1", default["selected"])
        print(f"{name}: done", flush=True)
    return rows


def ladder_length(eps: float, bound: float) -> int:
    count, p = 0, 1.0
    while True:
        count += 1
        p *= 1.0 + eps
        if p > bound:
            return count


def median_time(fn, repeats=5) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def cost_evidence():
    """eps and diameter mode on the digits (facility location, Euclidean) and a larger matrix."""
    digits = datasets.load_digits()
    x = np.ascontiguousarray(StandardScaler().fit_transform(digits.data), dtype=np.float32)
    big = np.random.default_rng(0).standard_normal((20000, 64)).astype(np.float32)
    eps_rows = []
    for eps in (1.0, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01):
        call = dict(k=50, metric="euclidean", utility="facility_location", eps=eps, lam=0.05)
        result = tarvex.gist_select_full(x, **call)
        seconds = median_time(lambda: tarvex.gist_select_full(x, **call), repeats=3)
        big_call = dict(k=100, metric="euclidean", utility="linear", eps=eps, lam=0.01, diameter="approx")
        big_seconds = median_time(lambda: tarvex.gist_select_full(big, **big_call), repeats=3)
        eps_rows.append((eps, ladder_length(eps, 2.0 / eps), seconds, result["f_value"], big_seconds))
    diam_rows = []
    for data_name, data, k, lam in (("digits 1797 x 64", x, 50, 0.05), ("gaussian 20000 x 64", big, 100, 0.01)):
        for mode in ("exact", "approx"):
            call = dict(k=k, metric="euclidean", utility="linear", lam=lam, diameter=mode)
            result = tarvex.gist_select_full(data, **call)
            seconds = median_time(lambda: tarvex.gist_select_full(data, **call), repeats=3)
            diam_rows.append((data_name, mode, result["d_max"], len(result["selected"]),
                              result["div"], result["f_value"], seconds))
    return eps_rows, diam_rows


def method_label(method: str) -> str:
    return method.replace("facility_location", "facility location")


def write_tables(rows, eps_rows, diam_rows, path: Path, draws: int, seconds: float):
    lines = [
        "# Evidence for the user's guide",
        "",
        f"Made by `python bench/guide_evidence.py --draws {draws}` in {seconds / 60:.1f} minutes "
        f"(tarvex {tarvex.__version__}, Python {platform.python_version()}, NumPy {np.__version__}).",
        "",
        "Test accuracy of a logistic regression trained only on the k picked rows of the pool "
        "(70 % of the data, standardised; 30 % held out, stratified, seed 0). `random`: the mean of "
        f"{draws} draws (its standard deviation in brackets). `lam=0`: utility only; `scaled`: "
        "lam * d_max = the gain of one late row, (g(k) - g(k/2)) / (k - k/2) at lam = 0; `lam=1`: the default. Coverage items: each row "
        f"covers itself and its {NEIGHBOURS - 1} nearest pool rows under the same metric. The column "
        "`rows` gives the rows a method returned when it is fewer than k.",
        "",
    ]
    by_set: dict[str, dict[int, dict[str, tuple]]] = {}
    for name, k, method, acc, picked, classes in rows:
        by_set.setdefault(name, {}).setdefault(k, {})[method] = (acc, picked, classes)
    for name, table in by_set.items():
        ks = sorted(table)
        methods = [m for m in table[ks[0]] if m != "random (sd)"]
        lines += [f"## {name}", "", "| method | " + " | ".join(f"k={k}" for k in ks) + " |",
                  "|---|" + "---|" * len(ks)]
        for method in methods:
            cells = []
            for k in ks:
                acc, picked, _ = table[k][method]
                cell = f"{acc:.3f}"
                if method == "random":
                    cell += f" ({table[k]['random (sd)'][0]:.3f})"
                if picked < k:
                    cell += f" [{picked} rows]"
                cells.append(cell)
            lines.append(f"| {method_label(method)} | " + " | ".join(cells) + " |")
        lines.append("")
    lines += ["## What eps costs", "",
              "Digits (1797 x 64, standardised), facility location, Euclidean, k = 50, lam = 0.05; "
              "median of 3 calls, 2 threads, on a shared machine: compare within the column.", "",
              "Last two columns: Gaussian 20000 x 64, linear, approximate diameter, k = 100, lam = 0.01.", "",
              "| eps | thresholds | seconds | x eps=0.1 | f | seconds, 20000 x 64 | x eps=0.1 |",
              "|---|---|---|---|---|---|---|"]
    ref = next(r[2] for r in eps_rows if r[0] == 0.1)
    ref_big = next(r[4] for r in eps_rows if r[0] == 0.1)
    for eps, count, seconds, f, big_seconds in eps_rows:
        lines.append(f"| {eps:g} | {count} | {seconds:.3f} | {seconds / ref:.2f} | {f:.2f} "
                     f"| {big_seconds:.3f} | {big_seconds / ref_big:.2f} |")
    lines += ["", "## Exact against approximate diameter", "",
              "Linear utility, Euclidean; median of 3 calls.", "",
              "| data | diameter | d_max | rows | div | f | seconds |", "|---|---|---|---|---|---|---|"]
    for data_name, mode, d_max, picked, div, f, seconds in diam_rows:
        lines.append(f"| {data_name} | {mode} | {d_max:.3f} | {picked} | {div:.3f} | {f:.3f} | {seconds:.3f} |")
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def plot_accuracy(rows, path: Path):
    from matplotlib.figure import Figure

    names = list(DATASETS)
    fig = Figure(figsize=(10, 6.4), dpi=72)
    axes = fig.subplots(2, 2).flat
    styles = {
        "random": dict(color="0.45", ls="--", marker="o"),
        "farthest-first": dict(color="tab:brown", ls=":", marker="s"),
        "linear/euclidean/lam=0": dict(color="tab:blue", marker="^"),
        "coverage/euclidean/lam=0": dict(color="tab:green", marker="v"),
        "facility_location/euclidean/lam=0": dict(color="tab:red", marker="D"),
        "facility_location/cosine/lam=0": dict(color="tab:purple", marker="D", ls="-."),
        "linear/euclidean/lam=1": dict(color="tab:blue", marker="x", ls=":", alpha=0.6),
    }
    for ax, name in zip(axes, names):
        for method, style in styles.items():
            pts = sorted((k, acc) for n, k, m, acc, _, _ in rows if n == name and m == method)
            ax.plot([p[0] for p in pts], [p[1] for p in pts], label=method_label(method), lw=1.4, ms=4, **style)
        ax.set_xscale("log")
        ks = DATASETS[name][1]
        ax.set_xticks(ks, [str(k) for k in ks])
        ax.minorticks_off()
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("k (rows picked)", fontsize=8)
        ax.set_ylabel("test accuracy", fontsize=8)
        ax.tick_params(labelsize=8)
        ax.grid(alpha=0.3)
    handles, labels = next(iter(fig.axes)).get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=4, fontsize=8, frameon=False)
    fig.subplots_adjust(left=0.07, right=0.98, top=0.95, bottom=0.19, hspace=0.45, wspace=0.2)
    fig.savefig(path, format="png")


def plot_eps(eps_rows, path: Path):
    from matplotlib.figure import Figure

    fig = Figure(figsize=(6, 3), dpi=80)
    ax1, ax2 = fig.subplots(1, 2)
    eps = [r[0] for r in eps_rows]
    ax1.plot(eps, [r[1] for r in eps_rows], marker="o")
    ax1.set_xscale("log")
    ax1.set_title("thresholds in the ladder", fontsize=9)
    ax2.plot(eps, [r[2] / next(q[2] for q in eps_rows if q[0] == 0.1) for r in eps_rows],
             marker="o", color="tab:red", label="digits, facility location")
    ax2.plot(eps, [r[4] / next(q[4] for q in eps_rows if q[0] == 0.1) for r in eps_rows],
             marker="s", color="tab:blue", label="20000 x 64, linear")
    ax2.set_xscale("log")
    ax2.set_title("time relative to eps = 0.1", fontsize=9)
    ax2.legend(fontsize=7)
    for ax in (ax1, ax2):
        ax.set_xlabel("eps", fontsize=8)
        ax.tick_params(labelsize=8)
        ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, format="png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--out", default="docs", help="directory for the tables and plots")
    parser.add_argument("--draws", type=int, default=20, help="random draws per k")
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    rows = classification_evidence(args.draws)
    eps_rows, diam_rows = cost_evidence()
    seconds = time.perf_counter() - start
    write_tables(rows, eps_rows, diam_rows, out / "guide-evidence.md", args.draws, seconds)
    plot_accuracy(rows, out / "guide-accuracy.png")
    plot_eps(eps_rows, out / "guide-eps.png")
    print(f"wrote {out / 'guide-evidence.md'}, {out / 'guide-accuracy.png'}, {out / 'guide-eps.png'} "
          f"in {seconds:.0f} s")


if __name__ == "__main__":
    main()
