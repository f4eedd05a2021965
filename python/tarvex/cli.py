"""The `tarvex` command: `select` on embedding files, `demo` on bundled handwritten digits."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
import threading
import time
import traceback
import warnings
import zipfile
from pathlib import Path

import numpy as np

PROG = "tarvex"
EXIT_ERROR = 2
RESULT_KEYS = ("selected", "f_value", "g_value", "div", "threshold", "stage", "d_max")
NUMBER_KEYS = ("f_value", "g_value", "div", "threshold", "d_max")
DEMO_MAX_K = 100
DEMO_FILE = "tarvex-demo.png"
DEMO_EXTRA_HINT = 'pip install "tarvex[demo]" (or pip install ".[demo]" in a source checkout)'


class CliError(Exception):
    """A failure reported as one line on stderr with exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse would print the whole usage block; one line is easier to read in logs.
    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')")


# ---------------------------------------------------------------- input files


def _table_has_header(path: Path, delimiter: str | None) -> bool:
    with path.open(encoding="utf-8-sig") as f:
        for line in f:
            if line.strip():
                try:
                    [float(field) for field in line.split(delimiter)]
                except ValueError:
                    return True
                return False
    return False


def _load_table(path: Path, delimiter: str | None, dtype) -> np.ndarray:
    skip = 1 if _table_has_header(path, delimiter) else 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # an empty file is reported below, not as a warning
        table = np.loadtxt(path, delimiter=delimiter, dtype=dtype, ndmin=2, skiprows=skip,
                           encoding="utf-8-sig")
    if table.size == 0:
        raise CliError(f"{path} holds no numbers")
    return table


def _load_npy(path: Path) -> np.ndarray:
    with path.open("rb") as f:
        magic = f.read(6)
    if magic != b"\x93NUMPY":
        raise CliError(f"{path} is not a .npy file")
    return np.load(path, allow_pickle=False)


def _load_npz(path: Path, key: str | None) -> np.ndarray:
    if not zipfile.is_zipfile(path):
        raise CliError(f"{path} is not a .npz file")
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if key is None:
            if len(names) != 1:
                listed = ", ".join(names) if names else "none"
                raise CliError(f"{path} holds {len(names)} arrays ({listed}); choose one with --key")
            key = names[0]
        elif key not in names:
            raise CliError(f"{path} has no array named '{key}' (it holds: {', '.join(names) or 'none'})")
        return archive[key]


def _read(path: Path, what: str, load):
    try:
        return load()
    except CliError:
        raise
    except FileNotFoundError:
        raise CliError(f"{what} file {path} does not exist") from None
    except IsADirectoryError:
        raise CliError(f"{what} file {path} is a directory") from None
    except OSError as e:
        raise CliError(f"cannot read {what} file {path}: {e.strerror or e}") from None
    except (ValueError, EOFError, UnicodeDecodeError, zipfile.BadZipFile) as e:
        raise CliError(f"cannot read {what} file {path}: {e}") from None


def _is_real(dtype: np.dtype) -> bool:
    return dtype.kind in "fiu"


def load_vectors(path: Path, key: str | None, note) -> np.ndarray:
    """Reads INPUT as a C-contiguous float32 (n, d) matrix, converting with a note when needed."""
    suffix = path.suffix.lower()
    if key is not None and suffix != ".npz":
        raise CliError("--key applies only to .npz input")
    if suffix == ".npy":
        arr = _read(path, "input", lambda: _load_npy(path))
    elif suffix == ".npz":
        arr = _read(path, "input", lambda: _load_npz(path, key))
    elif suffix in (".csv", ".tsv"):
        sep = "," if suffix == ".csv" else "\t"
        # Read as float64 so a value beyond float32 range is caught below, not silently inf.
        arr = _read(path, "input", lambda: _load_table(path, sep, np.float64))
        return _to_float32(arr, path, note=None)
    else:
        raise CliError(f"cannot tell the format of {path}: use a .npy, .npz, .csv or .tsv file")
    if arr.ndim != 2:
        raise CliError(f"{path} must hold a 2-D array (one row per vector), got shape {arr.shape}")
    if not _is_real(arr.dtype):
        raise CliError(f"{path} must hold real numbers, got dtype {arr.dtype}")
    if arr.dtype == np.float32 and arr.flags.c_contiguous and arr.flags.aligned:
        return arr
    return _to_float32(arr, path, note)


def _to_float32(arr: np.ndarray, path: Path, note) -> np.ndarray:
    with np.errstate(over="ignore"):
        out = np.ascontiguousarray(arr, dtype=np.float32)
    if arr.dtype.kind == "f" and arr.dtype.itemsize > 4:
        overflow = np.isinf(out) & np.isfinite(arr)
        if overflow.any():
            row, col = np.argwhere(overflow)[0]
            raise CliError(f"{path}: the value at row {row}, column {col} ({arr[row, col]!r}) "
                           "is too large for float32")
    if note is not None:
        if arr.dtype == np.float32:
            note(f"note: copied {path} into C-contiguous order")
        else:
            note(f"note: converted {path} from {arr.dtype} to C-contiguous float32")
    return out


def load_weights(path: Path) -> np.ndarray:
    """Reads linear weights from .npy or a one-column text file as C-contiguous float64."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        arr = _read(path, "weights", lambda: _load_npy(path))
        if not _is_real(arr.dtype):
            raise CliError(f"{path} must hold real numbers, got dtype {arr.dtype}")
    else:
        sep = {".csv": ",", ".tsv": "\t"}.get(suffix)
        arr = _read(path, "weights", lambda: _load_table(path, sep, np.float64))
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise CliError(f"weights file {path} must hold one column (one weight per row), "
                       f"got shape {arr.shape}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def _item_error(path: Path, where: str, item) -> CliError:
    return CliError(f"coverage file {path}, {where}: {item!r} is not a non-negative integer item id")


def load_coverage(path: Path) -> list[list[int]]:
    """Reads coverage lists: JSON (a list of lists of ints) or text, one whitespace-separated line per row."""
    text = _read(path, "coverage", lambda: path.read_text(encoding="utf-8-sig"))
    if path.suffix.lower() == ".json":
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise CliError(f"coverage file {path} is not valid JSON: {e}") from None
        if not isinstance(data, list) or not all(isinstance(row, list) for row in data):
            raise CliError(f"coverage file {path} must hold a JSON list of lists of item ids, one list per row")
        for r, row in enumerate(data):
            for item in row:
                if type(item) is not int or item < 0:
                    raise _item_error(path, f"row {r}", item)
        return data
    rows = []
    for lineno, line in enumerate(text.splitlines(), start=1):
        items = []
        for token in line.split():
            if not (token.isascii() and token.isdigit()):
                raise _item_error(path, f"line {lineno}", token)
            items.append(int(token))
        rows.append(items)
    return rows


# ---------------------------------------------------------------- output


def render(result: dict, fmt: str) -> str:
    """The result in selection order with every field, in the library's key order."""
    fields = {key: result[key] for key in RESULT_KEYS}
    fields["selected"] = [int(i) for i in fields["selected"]]
    for key in NUMBER_KEYS:
        fields[key] = float(fields[key])
    if fmt == "json":
        # Strict JSON has no infinities or NaN; spell them the way float() reads them back.
        for key in NUMBER_KEYS:
            fields[key] = fields[key] if math.isfinite(fields[key]) else repr(fields[key])
        return json.dumps(fields, allow_nan=False) + "\n"
    summary = [fields[key] if key == "stage" else repr(fields[key]) for key in RESULT_KEYS[1:]]
    if fmt == "csv":
        buf = io.StringIO()
        writer = csv.writer(buf, lineterminator="\n")
        writer.writerow(("position", "index") + RESULT_KEYS[1:])
        writer.writerows([position, index, *summary] for position, index in enumerate(fields["selected"]))
        return buf.getvalue()
    lines = [f"{'selected':<11}" + " ".join(map(str, fields["selected"]))]
    lines += [f"{key:<11}{value}" for key, value in zip(RESULT_KEYS[1:], summary)]
    return "\n".join(lines) + "\n"


def _format_for(output: str | None, fmt: str | None) -> str:
    if fmt is not None:
        return fmt
    suffix = Path(output).suffix.lower() if output else ""
    return {".json": "json", ".csv": "csv"}.get(suffix, "text")


# ---------------------------------------------------------------- progress


class ElapsedTime:
    """Shows elapsed time on a terminal while a long native call runs.

    The selection releases the interpreter lock, so a second thread can draw;
    nothing is drawn for calls shorter than `delay` or when the stream is not a terminal.
    """

    def __init__(self, label: str, stream=None, delay: float = 1.0, interval: float = 0.1):
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        self.delay = delay
        self.interval = interval
        self._done = threading.Event()
        self._thread = None
        self._drawn = False

    def _on_terminal(self) -> bool:
        try:
            return self.stream.isatty()
        except (AttributeError, ValueError):
            return False

    def __enter__(self):
        if self._on_terminal():
            self._start = time.monotonic()
            self._thread = threading.Thread(target=self._draw, name="tarvex-elapsed", daemon=True)
            self._thread.start()
        return self

    def _draw(self):
        if self._done.wait(self.delay):
            return
        while True:
            self.stream.write(f"\r{self.label}: {time.monotonic() - self._start:.1f} s")
            self.stream.flush()
            self._drawn = True
            if self._done.wait(self.interval):
                return

    def __exit__(self, *exc):
        if self._thread is not None:
            self._done.set()
            self._thread.join()
            if self._drawn:
                self.stream.write("\r\033[K")
                self.stream.flush()
        return False


# ---------------------------------------------------------------- select


def _select(args) -> int:
    from tarvex import gist_select_full

    def note(message):
        print(f"{PROG}: {message}", file=sys.stderr)

    utility = args.utility or ("coverage" if args.coverage else "linear")
    if args.weights and utility != "linear":
        raise CliError(f"--weights applies only to --utility linear, not {utility}")
    if args.coverage and utility != "coverage":
        raise CliError(f"--coverage applies only to --utility coverage, not {utility}")
    if utility == "coverage" and not args.coverage:
        raise CliError("--utility coverage needs --coverage FILE (one list of item ids per row)")
    fmt = _format_for(args.output, args.format)

    if args.dask is None:
        vectors = load_vectors(Path(args.input), args.key, note)
    utilities = None
    if args.weights:
        utilities = load_weights(Path(args.weights))
    elif args.coverage:
        utilities = load_coverage(Path(args.coverage))

    if args.dask is not None:
        if args.exhaustive_thresholds or Path(args.input).suffix.lower() != ".npy":
            raise CliError("--dask takes an .npy input and no --exhaustive-thresholds")
        from tarvex.dask import select_npy

        with ElapsedTime("selecting"):
            result = select_npy(
                args.input, args.dask or None, chunk_rows=args.chunk_rows, utilities=utilities,
                k=args.k, lam=args.lam, eps=args.eps, metric=args.metric, utility=utility,
                diameter=args.diameter or "approx", diameter_sweeps=args.diameter_sweeps)
    else:
        with ElapsedTime("selecting"):
            result = gist_select_full(
                vectors, utilities, k=args.k, lam=args.lam, eps=args.eps, metric=args.metric,
                utility=utility, exhaustive_thresholds=args.exhaustive_thresholds,
                diameter=args.diameter or "exact", diameter_sweeps=args.diameter_sweeps)

    text = render(result, fmt)
    if args.output:
        try:
            Path(args.output).write_text(text, encoding="utf-8", newline="")
        except OSError as e:
            raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
    else:
        sys.stdout.write(text)
    return 0


# ---------------------------------------------------------------- demo


# Contact-sheet layout, in inches.
_CELL = 0.72
_PANEL_MIN_W = 3.4
_HEADER_H = 0.95
_FOOTER_H = 0.35
_MARGIN = 0.1


def _grid(count: int) -> tuple[int, int]:
    rows = max(1, round(math.sqrt(count / 2)))
    return rows, math.ceil(count / rows)


def demo_sheet_size(k: int) -> tuple[float, float]:
    """Figure size in inches of the contact sheet: three panels of `k` images each."""
    rows, cols = _grid(k)
    panel_w = max(_PANEL_MIN_W, cols * _CELL + 2 * _MARGIN)
    return 3 * panel_w, _HEADER_H + rows * _CELL + _MARGIN + _FOOTER_H


def _demo_panel(fig, images, labels, name, stats, k):
    rows, cols = _grid(k)
    width, height = demo_sheet_size(k)
    panel_w, panel_h = width / 3, height - _FOOTER_H
    side = (panel_w - cols * _CELL) / 2 / panel_w
    fig.text(0.5, 1 - 0.12 / panel_h, name, ha="center", va="top", fontsize=11, fontweight="bold")
    fig.text(0.5, 1 - 0.38 / panel_h, stats, ha="center", va="top", fontsize=9, linespacing=1.45)
    axes = fig.subplots(rows, cols, squeeze=False,
                        gridspec_kw=dict(left=side, right=1 - side, bottom=_MARGIN / panel_h,
                                         top=1 - _HEADER_H / panel_h, wspace=0.1, hspace=0.1))
    for slot, ax in enumerate(axes.flat):
        if slot >= len(images):
            ax.set_axis_off()
            continue
        ax.imshow(images[slot], cmap="gray_r", interpolation="nearest", vmin=0, vmax=16)
        ax.set_xticks([])
        ax.set_yticks([])
        for spine in ax.spines.values():
            spine.set_color("0.8")
        ax.text(0.04, 0.96, str(labels[slot]), transform=ax.transAxes, ha="left", va="top",
                fontsize=7, color="tab:red")


def _facility_location_value(x: np.ndarray, chosen: np.ndarray, scale: float) -> float:
    dist = np.sqrt(((x[:, None, :] - x[None, chosen, :]) ** 2).sum(-1))
    return float(np.maximum(0.0, 1.0 - dist / scale).max(axis=1).sum())


def _min_pairwise(x: np.ndarray, chosen: np.ndarray, d_max: float) -> float:
    if len(chosen) < 2:
        return d_max
    pts = x[chosen]
    dist = np.sqrt(((pts[:, None, :] - pts[None, :, :]) ** 2).sum(-1))
    return float(dist[np.triu_indices(len(chosen), 1)].min())


def _demo(args) -> int:
    k = args.k
    if not 1 <= k <= DEMO_MAX_K:
        raise CliError(f"demo -k must be between 1 and {DEMO_MAX_K}, got {k}")
    try:
        from matplotlib.figure import Figure
        from sklearn.datasets import load_digits
    except ImportError:
        raise CliError("tarvex demo needs scikit-learn and matplotlib, which the 'demo' extra "
                       f"installs: {DEMO_EXTRA_HINT}") from None
    from tarvex import gist_select_full

    outdir = Path(args.output)
    try:
        outdir.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise CliError(f"cannot create {outdir}: {e.strerror or e}") from None

    digits = load_digits()
    # The file cycles through the classes 0..9; shuffling keeps ties between equal
    # gains (broken by the smaller row index) from picking one of each class by luck.
    order = np.random.default_rng(0).permutation(len(digits.target))
    labels, images = digits.target[order], digits.images[order]
    # Pixels in [0, 1] keep distances and div readable; Euclidean is where GIST's bound holds.
    x = np.ascontiguousarray(digits.data[order] / 16.0, dtype=np.float32)
    lam = 1.0
    runs = []
    for utility, name in (("facility_location", "GIST: facility location"),
                          ("linear", "GIST: linear (uniform weights)")):
        with ElapsedTime(f"selecting by {utility}"):
            result = gist_select_full(x, k=k, lam=lam, metric="euclidean", utility=utility)
        runs.append((name, np.asarray(result["selected"], dtype=np.intp), result))

    d_max = runs[0][2]["d_max"]
    sample = np.random.default_rng(1).choice(len(x), size=k, replace=False)
    x64 = x.astype(np.float64)
    g = _facility_location_value(x64, sample, d_max)
    div = _min_pairwise(x64, sample, d_max)
    runs.append(("Random sample", sample,
                 {"f_value": g + lam * div, "g_value": g, "div": div}))

    width, height = demo_sheet_size(k)
    fig = Figure(figsize=(width, height), dpi=100, facecolor="white")
    body, footer = fig.subfigures(2, 1, height_ratios=[height - _FOOTER_H, _FOOTER_H])
    report = []
    for panel, (name, chosen, result) in zip(body.subfigures(1, len(runs)), runs):
        classes = len(set(labels[chosen].tolist()))
        stats = (f"f = {result['f_value']:.1f}    g = {result['g_value']:.1f}    "
                 f"div = {result['div']:.2f}\n{len(chosen)} images, {classes} of 10 digit classes")
        _demo_panel(panel, images[chosen], labels[chosen], name, stats, k)
        report.append(f"{name}: {len(chosen)} images, f={result['f_value']:.2f}, "
                      f"g={result['g_value']:.2f}, div={result['div']:.3f}, "
                      f"{classes}/10 digit classes")
    footer.text(0.5, 0.5, f"scikit-learn digits ({len(x)} images, 8x8 pixels), Euclidean distance, "
                f"lam = {lam:g}.  Red: true digit class.  The random sample is scored with "
                "the facility-location utility.", ha="center", va="center", fontsize=8, color="0.35")
    path = outdir / DEMO_FILE
    try:
        fig.savefig(path, format="png")
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None
    print("\n".join(report))
    print(f"wrote {path}")
    return 0


# ---------------------------------------------------------------- entry point


def _version() -> str:
    from tarvex import __version__

    return __version__


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show the full traceback of an error")

    parser = _Parser(prog=PROG, parents=[common],
                     description="Select a diverse, useful subset of rows with GIST.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)

    sel = sub.add_parser("select", parents=[common], help="select rows of a matrix in a file",
                         description="Select up to K rows of INPUT and print their indices "
                                     "in selection order with the objective's values.")
    sel.add_argument("input", metavar="INPUT",
                     help="vectors, one per row: .npy, .npz (see --key), .csv or .tsv")
    sel.add_argument("-k", "--k", type=int, required=True, help="largest number of rows to select")
    sel.add_argument("--key", help="name of the array inside an .npz file (needed when it holds several)")
    sel.add_argument("--metric", choices=("cosine", "euclidean"), default="cosine")
    sel.add_argument("--utility", choices=("linear", "coverage", "facility_location"),
                     help="the utility g (default: coverage with --coverage, otherwise linear)")
    sel.add_argument("--weights", metavar="FILE",
                     help="linear weights, one per row: .npy or a one-column text file")
    sel.add_argument("--coverage", metavar="FILE",
                     help="item ids per row: JSON list of lists, or text with one line per row")
    sel.add_argument("--lam", type=float, default=1.0, help="weight of the diversity term (default 1.0)")
    sel.add_argument("--eps", type=float, default=0.1, help="accuracy of the threshold ladder (default 0.1)")
    sel.add_argument("--diameter", choices=("exact", "approx"), default=None,
                     help="diameter mode (default exact, approx with --dask)")
    sel.add_argument("--diameter-sweeps", type=int, metavar="N",
                     help="double sweeps of --diameter approx (default 3)")
    sel.add_argument("--exhaustive-thresholds", action="store_true",
                     help="sweep every pairwise half-distance instead of the geometric ladder")
    sel.add_argument("--dask", nargs="?", const="", default=None, metavar="SCHEDULER",
                     help="select on Dask from the memory-mapped .npy: on the cluster at the "
                          "SCHEDULER address, or on a local cluster when none is given")
    sel.add_argument("--chunk-rows", type=int, metavar="N",
                     help="rows per block with --dask (default: about 64 MiB of rows)")
    sel.add_argument("--output", metavar="FILE", help="write the result here instead of stdout")
    sel.add_argument("--format", choices=("text", "json", "csv"),
                     help="output format (default: from --output's suffix, otherwise text)")
    sel.set_defaults(run=_select)

    demo = sub.add_parser("demo", parents=[common], help="show a selection of handwritten digits",
                          description="Select K of scikit-learn's bundled handwritten digits by "
                                      "facility location and by the linear utility and draw them "
                                      "beside a random sample (needs the 'demo' extra).")
    demo.add_argument("-k", "--k", type=int, default=10,
                      help=f"images per panel, 1 to {DEMO_MAX_K} (default 10)")
    demo.add_argument("--output", metavar="DIR", default="docs",
                      help=f"directory for {DEMO_FILE} (default: docs)")
    demo.set_defaults(run=_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except SystemExit:
        raise
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away; keep the interpreter's final flush from complaining.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERROR
    except BaseException as e:  # noqa: BLE001 -- the library's contained failures derive from BaseException
        if "--debug" in argv:
            traceback.print_exc()
        if isinstance(e, (CliError, ValueError, TypeError, OSError)):
            message = str(e)
        else:
            message = f"internal error: {type(e).__name__}: {e} (rerun with --debug for details)"
        print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)
        return EXIT_ERROR
