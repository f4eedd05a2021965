"""The `tarvex` command: `select` on embedding files, `demo` on bundled handwritten digits."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import re
import sys
import threading
import time
import traceback
import warnings
import zipfile
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, Literal

import numpy as np

PROG = "tarvex"
EXIT_ERROR = 2
RESULT_KEYS = ("selected", "f_value", "g_value", "div", "threshold", "stage", "d_max")
NUMBER_KEYS = ("f_value", "g_value", "div", "threshold", "d_max")
DEMO_MAX_K = 100
DEMO_FILE = "tarvex-demo.png"
DEMO_EXTRA_HINT = 'pip install ".[demo]" in a tarvex checkout (or "WHEEL[demo]" for a built wheel)'
PARQUET_EXTRA_HINT = 'pip install ".[parquet]" in a tarvex checkout (or "WHEEL[parquet]" for a built wheel)'


class CliError(Exception):
    """A failure reported as one line on stderr with exit status 2."""


class _HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    # A default of None or False means "not given"; such options say in their help what happens then.
    def _get_help_string(self, action):
        if action.default is None or action.default is False:
            return action.help
        return super()._get_help_string(action)


class _Parser(argparse.ArgumentParser):
    # argparse would print the whole usage block; one line is easier to read in logs.
    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')")


# ---------------------------------------------------------------- input files

# A locator names where a value of the matrix came from: "row 3, column 0" (0-based) for
# array files, "line 5, column 1" (1-based) for text, the way an editor counts.
Locate = Callable[[int, int | None], str]


def _array_location(row: int, col: int | None) -> str:
    return f"row {row}" if col is None else f"row {row}, column {col}"


def _scan_table(path: Path, delimiter: str | None) -> tuple[np.ndarray, list[int]]:
    """Parses a text table in Python, with the line of every row.

    Slow, so it runs only when the fast reader refused the file (to say where) or
    when a value needs a location; it is the reference both fast readers must match.
    A first non-blank line that is not all numbers is a header.
    """
    rows: list[list[float]] = []
    lines: list[int] = []
    first = 0
    with path.open(encoding="utf-8-sig", newline="") as f:
        for lineno, line in enumerate(f, start=1):
            line = line.rstrip("\r\n")
            if not line.strip():
                continue
            fields = line.split(delimiter)
            values = []
            for col, field in enumerate(fields, start=1):
                try:
                    values.append(float(field))
                except ValueError:
                    if not rows and not first:
                        break
                    raise CliError(f"{path}, line {lineno}, column {col}: "
                                   f"{field.strip()!r} is not a number") from None
            else:
                if rows and len(values) != len(rows[0]):
                    raise CliError(f"{path}, line {lineno}: {len(values)} values, but line {lines[0]} "
                                   f"has {len(rows[0])}")
                rows.append(values)
                lines.append(lineno)
            first = first or lineno
    if not rows:
        raise CliError(f"{path} holds no numbers")
    return np.array(rows, dtype=np.float64), lines


def _first_data_line(path: Path, delimiter: str | None) -> tuple[int, int]:
    """The number of lines before the data (blank lines and a header) and the data's width.

    A width of 0 sends the file to the scanner: no data, or a second line that is not numbers.
    """
    with path.open(encoding="utf-8-sig", newline="") as f:
        skip = 0
        header = False
        for line in f:
            if line.strip():
                fields = line.rstrip("\r\n").split(delimiter)
                try:
                    [float(field) for field in fields]
                except ValueError:
                    if header:
                        return skip, 0
                    header = True
                    skip += 1
                    continue
                return skip, len(fields)
            skip += 1
    return skip, 0


def _read_table_numpy(path: Path, delimiter: str | None, skip: int) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # an empty file is reported by the caller, not as a warning
        return np.loadtxt(path, delimiter=delimiter, dtype=np.float64, ndmin=2, skiprows=skip,
                          encoding="utf-8-sig", comments=None)


def _read_table_arrow(path: Path, delimiter: str, skip: int, width: int) -> np.ndarray:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    names = [f"f{j}" for j in range(width)]
    # No quoting and no null spellings: the same text is accepted as by the NumPy reader.
    table = pacsv.read_csv(
        path, read_options=pacsv.ReadOptions(skip_rows=skip, column_names=names),
        parse_options=pacsv.ParseOptions(delimiter=delimiter, quote_char=False),
        convert_options=pacsv.ConvertOptions(column_types={n: pa.float64() for n in names},
                                             null_values=[], strings_can_be_null=False))
    if table.num_columns != width or any(column.null_count for column in table.columns):
        raise ValueError("ragged table")
    return np.column_stack([column.to_numpy() for column in table.columns]).reshape(-1, width)


def _has_pyarrow() -> bool:
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return False
    return True


def _load_table(path: Path, delimiter: str | None) -> tuple[np.ndarray, Locate]:
    """A text table as float64 (so a value beyond float32 range is caught, not made inf).

    pyarrow's reader when the 'parquet' extra is installed, NumPy's otherwise; when the
    fast reader refuses the file, the Python scanner says where (or reads it, if it can).
    """
    skip, width = _first_data_line(path, delimiter)
    scanned: list[list[int]] = []

    def locate(row: int, col: int | None) -> str:
        if not scanned:
            scanned.append(_scan_table(path, delimiter)[1])
        where = f"line {scanned[0][row]}"
        return where if col is None else f"{where}, column {col + 1}"

    table = None
    if width:
        try:
            if delimiter is not None and _has_pyarrow():
                table = _read_table_arrow(path, delimiter, skip, width)
            else:
                table = _read_table_numpy(path, delimiter, skip)
        except (ValueError, IndexError):
            table = None
    if table is None or table.size == 0 or table.shape[1] != width:
        table, lines = _scan_table(path, delimiter)
        scanned.append(lines)
    return table, locate


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


def _load_parquet(path: Path, column: str | None) -> np.ndarray:
    """One list or fixed-size-list column of floats as an (n, d) array, one row per list."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.parquet as pq
    except ImportError:
        raise CliError(f"reading {path} needs pyarrow, which the 'parquet' extra installs: "
                       f"{PARQUET_EXTRA_HINT}") from None
    schema = pq.read_schema(path)
    names = list(schema.names)
    if column is None:
        if len(names) != 1:
            raise CliError(f"{path} holds {len(names)} columns ({', '.join(names) or 'none'}); "
                           "choose one with --column")
        column = names[0]
    elif column not in names:
        raise CliError(f"{path} has no column named '{column}' (it holds: {', '.join(names) or 'none'})")
    kind = schema.field(column).type
    if not ((pa.types.is_list(kind) or pa.types.is_large_list(kind) or pa.types.is_fixed_size_list(kind))
            and pa.types.is_floating(kind.value_type)):
        raise CliError(f"{path}: column '{column}' holds {kind}, not a list of floats (one vector per row)")
    lists = pq.read_table(path, columns=[column]).column(column).combine_chunks()
    if len(lists) == 0:
        raise CliError(f"{path}: column '{column}' holds no rows")
    if lists.null_count:
        row = int(np.flatnonzero(lists.is_null().to_numpy(zero_copy_only=False))[0])
        raise CliError(f"{path}, row {row}: column '{column}' is null")
    lengths = pc.list_value_length(lists).to_numpy(zero_copy_only=False)
    ragged = np.flatnonzero(lengths != lengths[0])
    if ragged.size:
        row = int(ragged[0])
        raise CliError(f"{path}, row {row}: column '{column}' holds {lengths[row]} values, "
                       f"but row 0 holds {lengths[0]}")
    values = lists.flatten()
    if values.null_count:
        at = int(np.flatnonzero(values.is_null().to_numpy(zero_copy_only=False))[0])
        raise CliError(f"{path}, {_array_location(*divmod(at, int(lengths[0])))}: "
                       f"a value of column '{column}' is null")
    return values.to_numpy(zero_copy_only=False).reshape(len(lists), int(lengths[0]))


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


def load_vectors(path: Path, key: str | None, note, column: str | None = None,
                 metric: str | None = None) -> np.ndarray:
    """Reads INPUT as a C-contiguous float32 (n, d) matrix, converting with a note when needed.

    Values that the library would refuse (NaN, infinities, a zero row under cosine) are
    reported here, where the file and the place in it are known.
    """
    suffix = path.suffix.lower()
    if key is not None and suffix != ".npz":
        raise CliError("--key applies only to .npz input")
    if column is not None and suffix != ".parquet":
        raise CliError("--column applies only to .parquet input")
    locate: Locate = _array_location
    if suffix == ".npy":
        arr = _read(path, "input", lambda: _load_npy(path))
    elif suffix == ".npz":
        arr = _read(path, "input", lambda: _load_npz(path, key))
    elif suffix == ".parquet":
        arr = _read(path, "input", lambda: _load_parquet(path, column))
        note = None  # always a copy out of Arrow's buffers; nothing to tell
    elif suffix in (".csv", ".tsv"):
        sep = "," if suffix == ".csv" else "\t"
        arr, locate = _read(path, "input", lambda: _load_table(path, sep))
        note = None
    else:
        raise CliError(f"cannot tell the format of {path}: use a .npy, .npz, .parquet, .csv or .tsv file")
    if arr.ndim != 2:
        raise CliError(f"{path} must hold a 2-D array (one row per vector), got shape {arr.shape}")
    if not _is_real(arr.dtype):
        raise CliError(f"{path} must hold real numbers, got dtype {arr.dtype}")
    if not (arr.dtype == np.float32 and arr.flags.c_contiguous and arr.flags.aligned):
        arr = _to_float32(arr, path, note, locate)
    _check_vectors(arr, path, locate, metric)
    return arr


def _dask_input(path: Path, args) -> np.ndarray:
    """INPUT memory-mapped for the Dask path, which reads it block by block on the workers:
    nothing is converted or checked here (the blocks' first read checks the values)."""
    if args.exhaustive_thresholds or args.key is not None or args.column is not None:
        raise CliError("--dask takes no --exhaustive-thresholds, --key or --column")
    if path.suffix.lower() != ".npy":
        raise CliError(f"--dask reads a memory-mapped .npy file, not {path}")
    arr = _read(path, "input", lambda: np.load(path, mmap_mode="r", allow_pickle=False))
    if arr.ndim != 2:
        raise CliError(f"{path} must hold a 2-D array (one row per vector), got shape {arr.shape}")
    if arr.dtype != np.float32 or not arr.flags.c_contiguous:
        raise CliError(f"--dask needs {path} to hold C-contiguous float32, got {arr.dtype}"
                       f"{'' if arr.flags.c_contiguous else ' in Fortran order'}: convert it once first")
    return arr


def _to_float32(arr: np.ndarray, path: Path, note, locate: Locate = _array_location) -> np.ndarray:
    with np.errstate(over="ignore"):
        out = np.ascontiguousarray(arr, dtype=np.float32)
    if arr.dtype.kind == "f" and arr.dtype.itemsize > 4:
        overflow = np.isinf(out) & np.isfinite(arr)
        if overflow.any():
            row, col = np.argwhere(overflow)[0]
            raise CliError(f"{path}, {locate(int(row), int(col))}: the value {float(arr[row, col])!r} "
                           "is too large for float32")
    if note is not None:
        if arr.dtype == np.float32:
            note(f"note: copied {path} into C-contiguous order")
        else:
            note(f"note: converted {path} from {arr.dtype} to C-contiguous float32")
    return out


def _check_vectors(arr: np.ndarray, path: Path, locate: Locate, metric: str | None) -> None:
    if arr.size == 0:
        raise CliError(f"{path} holds no vectors (shape {arr.shape})")
    bad = ~np.isfinite(arr)
    if bad.any():
        row, col = np.argwhere(bad)[0]
        raise CliError(f"{path}, {locate(int(row), int(col))}: the value {float(arr[row, col])!r} "
                       "is not a finite number")
    if metric == "cosine":
        zero = np.flatnonzero(~arr.any(axis=1))
        if zero.size:
            raise CliError(f"{path}, {locate(int(zero[0]), None)}: the row is all zeros, which "
                           "cosine distance cannot scale to unit length (try --metric euclidean)")


def load_weights(path: Path, rows: int | None = None) -> np.ndarray:
    """Reads linear weights from .npy or a one-column text file as C-contiguous float64."""
    suffix = path.suffix.lower()
    locate: Locate = _array_location
    if suffix == ".npy":
        arr = _read(path, "weights", lambda: _load_npy(path))
        if not _is_real(arr.dtype):
            raise CliError(f"{path} must hold real numbers, got dtype {arr.dtype}")
    else:
        sep = {".csv": ",", ".tsv": "\t"}.get(suffix)
        arr, locate = _read(path, "weights", lambda: _load_table(path, sep))
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise CliError(f"weights file {path} must hold one column (one weight per row), "
                       f"got shape {arr.shape}")
    weights = np.ascontiguousarray(arr, dtype=np.float64)
    if rows is not None and len(weights) != rows:
        raise CliError(f"weights file {path} holds {len(weights)} weights; expected {rows} weights, "
                       "one per row of the input")
    bad = np.flatnonzero(~(weights >= 0) | ~np.isfinite(weights))
    if bad.size:
        where = f"weight {bad[0]}" if locate is _array_location else locate(int(bad[0]), None)
        raise CliError(f"weights file {path}, {where}: {float(weights[bad[0]])!r} is not a "
                       "finite, non-negative weight")
    return weights


ITEM_MAX = 2**32 - 1


def _item_error(path: Path, where: str, item) -> CliError:
    return CliError(f"coverage file {path}, {where}: {item!r} is not an item id "
                    f"(an integer from 0 to {ITEM_MAX})")


def load_coverage(path: Path, rows: int | None = None) -> list[list[int]]:
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
            for c, item in enumerate(row):
                if type(item) is not int or not 0 <= item <= ITEM_MAX:
                    raise _item_error(path, f"row {r}, item {c}", item)
        lists = data
        unit = "lists"
    else:
        lists = []
        for lineno, line in enumerate(text.splitlines(), start=1):
            items = []
            # Columns count characters here: ids are separated by any run of whitespace.
            for match in re.finditer(r"\S+", line):
                token = match.group()
                if not (token.isascii() and token.isdigit()) or int(token) > ITEM_MAX:
                    raise _item_error(path, f"line {lineno}, column {match.start() + 1}", token)
                items.append(int(token))
            lists.append(items)
        unit = "lines"
    if rows is not None and len(lists) != rows:
        raise CliError(f"coverage file {path} holds {len(lists)} {unit}; expected {rows}, "
                       "one per row of the input")
    return lists


# ---------------------------------------------------------------- output


def render(result: Mapping[str, Any], fmt: str) -> str:
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
    from tarvex._progress import select_full

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

    if args.dask is not None:
        vectors = _dask_input(Path(args.input), args)
    else:
        vectors = load_vectors(Path(args.input), args.key, note, args.column, args.metric)
    utilities: np.ndarray | list[list[int]] | None = None
    if args.weights:
        utilities = load_weights(Path(args.weights), len(vectors))
    elif args.coverage:
        utilities = load_coverage(Path(args.coverage), len(vectors))

    options: dict[str, Any] = dict(
        k=args.k, lam=args.lam, eps=args.eps, metric=args.metric, utility=utility,
        exhaustive_thresholds=args.exhaustive_thresholds,
        diameter=args.diameter or ("approx" if args.dask is not None else "exact"),
        diameter_sweeps=args.diameter_sweeps)
    if args.dask is not None:
        from tarvex.dask import select_npy

        del options["exhaustive_thresholds"]
        with ElapsedTime("selecting"):
            result = select_npy(args.input, args.dask or None, chunk_rows=args.chunk_rows,
                                utilities=utilities, **options)
    else:
        result = select_full(vectors, utilities, **options)

    text = render(result, fmt)
    if args.output:
        try:
            Path(args.output).write_text(text, encoding="utf-8", newline="")
        except OSError as e:
            raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
    else:
        sys.stdout.write(text)
        sys.stdout.flush()
    # After the result, so that the warning's own utility-only call can never cost it. On
    # Dask that call would read the whole file into this process: only linear weights warn.
    warning = None
    if args.dask is None or utility == "linear":
        warning = few_rows_warning(result, vectors, utilities, options)
    if warning:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    return 0


def _round_down(x: float) -> float:
    """x cut to two significant digits, never rounded up."""
    scale = 10.0 ** (math.floor(math.log10(x)) - 1)
    return math.floor(x / scale) * scale


def few_rows_warning(result: Mapping[str, Any], vectors: np.ndarray, utilities, options: dict) -> str | None:
    """A warning when the selection holds fewer than half of min(k, n) rows, with a lam to try.

    A set W scores g(W) + lam * div(W) <= g(W) + lam * d_max, and the utility-only greedy
    set of min(k, n) rows, g_full, is always among the candidates, so the winner keeps
    g(W) >= g_full - lam * d_max. With lam = (g_full - g(S)) / (2 * d_max) the winner's
    utility is at least halfway from the small selection's to g_full; under the uniform
    linear utility (g counts rows) that is at least (k + m) / 2 rows for m rows now, which
    no longer warns. g_full is known for linear weights (the largest weights) and takes
    one cheap utility-only call (eps = 1, approximate diameter) for the other utilities.
    """
    from tarvex import gist_select_full

    k, lam = int(options["k"]), float(options["lam"])
    wanted = min(k, len(vectors))
    picked = len(result["selected"])
    d_max = float(result["d_max"])
    if 2 * picked >= wanted:
        return None
    head = f"selected {picked} of {k} rows: "
    g_now = float(result["g_value"])
    if options["utility"] == "linear":
        g_full = float(wanted if utilities is None else np.sort(utilities)[::-1][:wanted].sum())
    else:
        quick = dict(options, lam=0.0, eps=1.0, diameter="approx", diameter_sweeps=None,
                     exhaustive_thresholds=False)
        g_full = float(gist_select_full(vectors, utilities, **quick)["g_value"])
    gain = g_full - g_now
    if lam == 0.0 or not gain > 1e-9 * max(1.0, abs(g_full)):
        return head + f"more rows add no utility (g = {g_now:g} with {picked} rows)"
    if not (d_max > 0.0 and math.isfinite(d_max)):
        return None
    suggestion = min(gain / (2.0 * d_max), lam / 2.0)
    return head + f"lam * div outweighs the utility of more rows; try --lam {_round_down(suggestion):.2g}"


# ---------------------------------------------------------------- demo


# Contact-sheet layout, in inches.
_CELL = 0.72
_PANEL_MIN_W = 3.4
_HEADER_H = 0.95
_FOOTER_H = 0.5
_MARGIN = 0.1
_MAP_MIN_H = 3.0
_MAP_MAX_H = 6.0


def _grid(count: int) -> tuple[int, int]:
    rows = max(1, round(math.sqrt(count / 2)))
    return rows, math.ceil(count / rows)


def demo_sheet_size(k: int) -> tuple[float, float]:
    """Figure size in inches of the contact sheet: three panels of `k` images each."""
    rows, cols = _grid(k)
    panel_w = max(_PANEL_MIN_W, cols * _CELL + 2 * _MARGIN)
    return 3 * panel_w, _HEADER_H + rows * _CELL + _MARGIN + _FOOTER_H


def demo_map_height(k: int) -> float:
    """Height in inches of the row of 2-D maps under the contact sheet."""
    width = demo_sheet_size(k)[0] / 3
    return min(_MAP_MAX_H, max(_MAP_MIN_H, 0.6 * width))


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


def _principal_plane(x: np.ndarray) -> np.ndarray:
    centred = x - x.mean(axis=0)
    _, _, vt = np.linalg.svd(centred, full_matrices=False)
    return centred @ vt[:2].T


def _demo_map(fig, plane: np.ndarray, labels: np.ndarray, chosen: np.ndarray, name: str):
    from matplotlib import colormaps

    ax = fig.subplots()
    ax.scatter(plane[:, 0], plane[:, 1], s=4, c="0.85", linewidths=0)
    colours = colormaps["tab10"]
    # The picks are drawn as their digit, so the map also shows which classes were found.
    for i in chosen:
        ax.text(plane[i, 0], plane[i, 1], str(labels[i]), ha="center", va="center", fontsize=9,
                fontweight="bold", color=colours(int(labels[i])))
    ax.set_title(name, fontsize=9)
    ax.set_xticks([])
    ax.set_yticks([])
    fig.subplots_adjust(left=0.03, right=0.97, bottom=0.04, top=0.9)


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
    runs: list[tuple[str, np.ndarray, Mapping[str, Any]]] = []
    methods: tuple[tuple[Literal["facility_location", "linear"], str], ...] = (
        ("facility_location", "GIST: facility location"), ("linear", "GIST: linear (uniform weights)"))
    for utility, name in methods:
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

    width, sheet_h = demo_sheet_size(k)
    map_h = demo_map_height(k)
    height = sheet_h + map_h
    fig = Figure(figsize=(width, height), dpi=100, facecolor="white")
    body, maps, footer = fig.subfigures(3, 1, squeeze=False,
                                        height_ratios=[sheet_h - _FOOTER_H, map_h, _FOOTER_H]).ravel()
    plane = _principal_plane(x64)
    report = [f"scikit-learn digits: {len(x)} images of 8x8 pixels, each pixel scaled from 0..16 "
              f"to 0..1 (divided by 16); Euclidean distance, lam = {lam:g}"]
    panels = body.subfigures(1, len(runs), squeeze=False).ravel()
    map_panels = maps.subfigures(1, len(runs), squeeze=False).ravel()
    for panel, map_panel, (name, chosen, scores) in zip(panels, map_panels, runs):
        classes = len(set(labels[chosen].tolist()))
        stats = (f"f = {scores['f_value']:.1f}    g = {scores['g_value']:.1f}    "
                 f"div = {scores['div']:.2f}\n{len(chosen)} images, {classes} of 10 digit classes")
        _demo_panel(panel, images[chosen], labels[chosen], name, stats, k)
        _demo_map(map_panel, plane, labels, chosen, name)
        report.append(f"{name}: {len(chosen)} images, f={scores['f_value']:.2f}, "
                      f"g={scores['g_value']:.2f}, div={scores['div']:.3f}, "
                      f"{classes}/10 digit classes")
    footer.text(0.5, 0.5, f"scikit-learn digits ({len(x)} images of 8x8 pixels, each scaled from 0..16 "
                f"to 0..1), Euclidean distance, lam = {lam:g}; red: true digit class.\n"
                "Below: every digit (grey) on the first two principal components, the picks drawn as "
                "their digit. The random sample is scored with facility location.",
                ha="center", va="center", fontsize=8, color="0.35", linespacing=1.4)
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
                        help="show the full traceback of an error (default: off)")

    parser = _Parser(prog=PROG, parents=[common], formatter_class=_HelpFormatter,
                     description="Select a diverse, useful subset of rows with GIST.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)

    sel = sub.add_parser("select", parents=[common], help="select rows of a matrix in a file",
                         formatter_class=_HelpFormatter,
                         description="Select up to K rows of INPUT and print their indices "
                                     "in selection order with the objective's values.")
    sel.add_argument("input", metavar="INPUT",
                     help="vectors, one per row: .npy, .npz (see --key), .parquet (see --column), "
                          ".csv or .tsv")
    sel.add_argument("-k", "--k", type=int, required=True, help="largest number of rows to select")
    sel.add_argument("--key", help="name of the array inside an .npz file (default: its only array)")
    sel.add_argument("--column", metavar="NAME",
                     help="list-of-floats column of a .parquet file, one vector per row "
                          "(default: its only column; needs the 'parquet' extra)")
    sel.add_argument("--metric", choices=("cosine", "euclidean"), default="cosine",
                     help="distance between rows: 1 - cos, or Euclidean in the data's units")
    sel.add_argument("--utility", choices=("linear", "coverage", "facility_location"),
                     help="the utility g (default: coverage with --coverage, otherwise linear)")
    sel.add_argument("--weights", metavar="FILE",
                     help="linear weights, one per row: .npy or a one-column text file "
                          "(default: a weight of 1 per row)")
    sel.add_argument("--coverage", metavar="FILE",
                     help="item ids per row: JSON list of lists, or text with one line per row "
                          "(default: none; the coverage utility needs it)")
    sel.add_argument("--lam", type=float, default=1.0,
                     help="weight of the diversity term; lam * d_max should stay below the gain "
                          "of one row (see docs/guide.md)")
    sel.add_argument("--eps", type=float, default=0.1,
                     help="accuracy of the threshold ladder: about log(2/eps)/log(1+eps) thresholds")
    sel.add_argument("--diameter", choices=("exact", "approx"), default=None,
                     help="all pairs (quadratic) or a double-sweep estimate (linear time) "
                          "(default: exact; approx with --dask)")
    sel.add_argument("--diameter-sweeps", type=int, metavar="N",
                     help="double sweeps of --diameter approx (default: 3)")
    sel.add_argument("--exhaustive-thresholds", action="store_true",
                     help="sweep every pairwise half-distance instead of the geometric ladder "
                          "(default: off; small inputs only)")
    sel.add_argument("--dask", nargs="?", const="", default=None, metavar="SCHEDULER",
                     help="select on Dask from the memory-mapped .npy: on the cluster at the "
                          "SCHEDULER address, or on a local cluster when none is given "
                          "(default: off, one process in memory)")
    sel.add_argument("--chunk-rows", type=int, metavar="N",
                     help="rows per block with --dask (default: about 64 MiB of rows)")
    sel.add_argument("--output", metavar="FILE",
                     help="write the result here (default: stdout)")
    sel.add_argument("--format", choices=("text", "json", "csv"),
                     help="output format (default: from --output's suffix, otherwise text)")
    sel.set_defaults(run=_select)

    demo = sub.add_parser("demo", parents=[common], help="show a selection of handwritten digits",
                          formatter_class=_HelpFormatter,
                          description="Select K of scikit-learn's bundled handwritten digits by "
                                      "facility location and by the linear utility and draw them "
                                      "beside a random sample (needs the 'demo' extra).")
    demo.add_argument("-k", "--k", type=int, default=10,
                      help=f"images per panel, 1 to {DEMO_MAX_K}")
    demo.add_argument("--output", metavar="DIR", default=".",
                      help=f"directory for {DEMO_FILE} (default: the current directory)")
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
