"""The `tarvex` command, run as `python -m tarvex` in a child process."""

import argparse
import csv
import io
import json
import re
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import tarvex
from tarvex.cli import ElapsedTime

pytestmark = pytest.mark.skipif(not hasattr(tarvex, "gist_select_full"),
                                reason="the native module has no gist_select_full")

RESULT_KEYS = ["selected", "f_value", "g_value", "div", "threshold", "stage", "d_max"]
ROWS, DIMS = 30, 4


def run(*argv, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarvex", *map(str, argv)],
                          capture_output=True, text=True, timeout=300, cwd=cwd)


def run_without(module, *argv):
    """The command with `module` made unimportable, as on a machine without it."""
    code = (f"import sys; sys.modules[{module!r}] = None; from tarvex.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    return subprocess.run([sys.executable, "-c", code, *map(str, argv)],
                          capture_output=True, text=True, timeout=300)


READERS = {"pyarrow": run, "numpy": lambda *argv: run_without("pyarrow", *argv)}


def select_json(*argv):
    proc = run("select", *argv, "--format", "json")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout), proc.stderr


@pytest.fixture(scope="module")
def points():
    return np.random.default_rng(7).normal(size=(ROWS, DIMS)).astype(np.float32)


def expected(points, utilities=None, **options):
    options.setdefault("k", 5)
    return tarvex.gist_select_full(points, utilities, **options)


class TestInputFormats:
    @pytest.mark.parametrize("convert, notes", [
        (lambda x: x, 0),
        (lambda x: x.astype(np.float64), 1),
        (np.asfortranarray, 1),
    ])
    def test_npy_is_converted_to_c_contiguous_float32_with_a_note(self, tmp_path, points, convert, notes):
        path = tmp_path / "x.npy"
        np.save(path, convert(points))
        before = path.read_bytes()
        got, stderr = select_json(path, "-k", 5)
        assert got == expected(points)
        assert len(stderr.splitlines()) == notes and ("C-contiguous" in stderr) == bool(notes)
        assert path.read_bytes() == before

    def test_npz_picks_the_named_array_or_the_only_one(self, tmp_path, points):
        np.savez(tmp_path / "two.npz", other=points[::-1].copy(), emb=points)
        np.savez(tmp_path / "one.npz", emb=points)
        assert select_json(tmp_path / "two.npz", "--key", "emb", "-k", 5)[0] == expected(points)
        assert select_json(tmp_path / "one.npz", "-k", 5)[0] == expected(points)

    @pytest.mark.parametrize("suffix, sep", [(".csv", ","), (".tsv", "\t")])
    @pytest.mark.parametrize("header", [False, True])
    def test_text_tables(self, tmp_path, points, suffix, sep, header):
        path = tmp_path / f"x{suffix}"
        names = sep.join(f"c{j}" for j in range(DIMS)) if header else ""
        np.savetxt(path, points, fmt="%.9g", delimiter=sep, header=names, comments="")
        got, stderr = select_json(path, "-k", 5)
        assert got == expected(points)
        assert stderr == ""


class TestOptions:
    @pytest.mark.parametrize("argv, options", [
        (["--metric", "euclidean", "--utility", "facility_location", "--lam", "0.5"],
         dict(metric="euclidean", utility="facility_location", lam=0.5)),
        (["--eps", "0.5", "--exhaustive-thresholds", "--lam", "0"],
         dict(eps=0.5, exhaustive_thresholds=True, lam=0.0)),
        (["--diameter", "approx", "--diameter-sweeps", "1", "--metric", "euclidean"],
         dict(diameter="approx", diameter_sweeps=1, metric="euclidean")),
    ])
    def test_options_reach_the_library(self, tmp_path, points, argv, options):
        np.save(tmp_path / "x.npy", points)
        got, _ = select_json(tmp_path / "x.npy", "-k", 7, *argv)
        assert got == expected(points, k=7, **options)

    @pytest.mark.parametrize("name, write", [
        ("w.npy", lambda path, w: np.save(path, w)),
        ("w.txt", lambda path, w: np.savetxt(path, w, fmt="%.17g")),
    ])
    def test_linear_weights(self, tmp_path, points, name, write):
        weights = np.linspace(0.0, 3.0, ROWS)
        np.save(tmp_path / "x.npy", points)
        write(tmp_path / name, weights)
        got, _ = select_json(tmp_path / "x.npy", "-k", 5, "--weights", tmp_path / name)
        assert got == expected(points, weights)

    def test_coverage_from_json_and_text_agree(self, tmp_path, points):
        lists = [[i % 7, (3 * i) % 11] if i % 5 else [] for i in range(ROWS)]
        np.save(tmp_path / "x.npy", points)
        (tmp_path / "c.json").write_text(json.dumps(lists))
        (tmp_path / "c.txt").write_text("".join(" ".join(map(str, row)) + "\n" for row in lists))
        want = expected(points, lists, utility="coverage")
        for name in ("c.json", "c.txt"):
            # --coverage alone implies the coverage utility.
            got, _ = select_json(tmp_path / "x.npy", "-k", 5, "--coverage", tmp_path / name)
            assert got == want


class TestOutputFormats:
    @pytest.fixture()
    def case(self, tmp_path, points):
        np.save(tmp_path / "x.npy", points)
        return tmp_path, expected(points)

    def test_json_keeps_the_library_key_order(self, case):
        got, _ = select_json(case[0] / "x.npy", "-k", 5)
        assert list(got) == RESULT_KEYS

    def test_csv_has_one_row_per_selected_index_in_order(self, case):
        tmp_path, want = case
        proc = run("select", tmp_path / "x.npy", "-k", 5, "--format", "csv")
        rows = list(csv.DictReader(io.StringIO(proc.stdout)))
        assert [(int(r["position"]), int(r["index"])) for r in rows] == list(enumerate(want["selected"]))
        assert {r["stage"] for r in rows} == {want["stage"]}
        for key in ("f_value", "g_value", "div", "threshold", "d_max"):
            assert {float(r[key]) for r in rows} == {want[key]}

    def test_text_lists_every_field(self, case):
        tmp_path, want = case
        proc = run("select", tmp_path / "x.npy", "-k", 5)
        fields = dict(line.split(None, 1) for line in proc.stdout.splitlines())
        assert list(fields) == RESULT_KEYS
        assert [int(i) for i in fields["selected"].split()] == want["selected"]
        assert float(fields["div"]) == want["div"] and fields["stage"] == want["stage"]

    @pytest.mark.parametrize("name, parse", [
        ("out.json", lambda text: json.loads(text)["selected"]),
        ("out.csv", lambda text: [int(r["index"]) for r in csv.DictReader(io.StringIO(text))]),
    ])
    def test_output_file_format_follows_its_suffix(self, case, name, parse):
        tmp_path, want = case
        proc = run("select", tmp_path / "x.npy", "-k", 5, "--output", tmp_path / name)
        assert proc.returncode == 0 and proc.stdout == ""
        assert parse((tmp_path / name).read_text()) == want["selected"]


class TestErrors:
    @pytest.fixture()
    def files(self, tmp_path, points):
        np.save(tmp_path / "x.npy", points)
        np.save(tmp_path / "flat.npy", points.ravel())
        np.save(tmp_path / "text.npy", np.array([["a", "b"]]))
        np.save(tmp_path / "big.npy", np.array([[1.0, 2.0], [3.0, 1e300]]))
        np.savez(tmp_path / "two.npz", a=points, b=points)
        np.save(tmp_path / "w_short.npy", np.ones(ROWS - 1))
        np.save(tmp_path / "none.npy", np.zeros((0, DIMS), np.float32))
        np.save(tmp_path / "zero.npy", np.vstack([points[:3], np.zeros((1, DIMS), np.float32)]))
        for name, text in [("fake.npy", "1,2\n"), ("bad.csv", "1,2\n3,x\n"), ("empty.csv", ""),
                           ("w2.txt", "1 2\n3 4\n"), ("c_float.json", "[[1.5]]"),
                           ("w_neg.txt", "1\n\n-2\n" + "1\n" * (ROWS - 2)),
                           ("c_big.txt", "1\n2 4294967296\n"),
                           ("c_obj.json", '{"a": [1]}'), ("c_neg.txt", "1 2\n-3\n")]:
            (tmp_path / name).write_text(text)
        return tmp_path

    @pytest.mark.parametrize("argv, fragment", [
        ([], "required"),
        (["select", "{d}/x.npy"], "-k"),
        (["select", "{d}/x.npy", "-k", "3", "--metric", "manhattan"], "manhattan"),
        (["select", "{d}/missing.npy", "-k", "3"], "does not exist"),
        (["select", "{d}/x.bin", "-k", "3"], "format"),
        (["select", "{d}/zero.npy", "-k", "3"], "zero.npy, row 3: the row is all zeros"),
        (["select", "{d}/none.npy", "-k", "3"], "none.npy holds no vectors"),
        (["select", "{d}/flat.npy", "-k", "3"], "2-D"),
        (["select", "{d}/text.npy", "-k", "3"], "real numbers"),
        (["select", "{d}/big.npy", "-k", "3"], "row 1, column 1"),
        (["select", "{d}/fake.npy", "-k", "3"], "not a .npy file"),
        (["select", "{d}/two.npz", "-k", "3"], "--key"),
        (["select", "{d}/bad.csv", "-k", "3"], "bad.csv, line 2, column 2: 'x' is not a number"),
        (["select", "{d}/empty.csv", "-k", "3"], "no numbers"),
        (["select", "{d}/x.npy", "-k", "0"], "k must be greater than zero"),
        (["select", "{d}/x.npy", "-k", "3", "--eps", "0"], "epsilon"),
        (["select", "{d}/x.npy", "-k", "3", "--weights", "{d}/w_short.npy"], f"expected {ROWS} weights"),
        (["select", "{d}/x.npy", "-k", "3", "--weights", "{d}/w2.txt"], "one column"),
        (["select", "{d}/x.npy", "-k", "3", "--weights", "{d}/w_neg.txt"], "w_neg.txt, line 3: -2.0"),
        (["select", "{d}/x.npy", "-k", "3", "--coverage", "{d}/c_big.txt"], "c_big.txt, line 2, column 3"),
        (["select", "{d}/x.npy", "-k", "3", "--utility", "coverage"], "--coverage"),
        (["select", "{d}/x.npy", "-k", "3", "--coverage", "{d}/c_float.json"], "1.5"),
        (["select", "{d}/x.npy", "-k", "3", "--coverage", "{d}/c_obj.json"], "list of lists"),
        (["select", "{d}/x.npy", "-k", "3", "--coverage", "{d}/c_neg.txt"], "c_neg.txt, line 2, column 1"),
        (["select", "{d}/x.npy", "-k", "3", "--output", "{d}/no/dir/out.json"], "cannot write"),
        (["demo", "-k", "0"], "-k"),
    ])
    def test_one_line_and_status_2(self, files, argv, fragment):
        proc = run(*[a.format(d=files) for a in argv])
        assert proc.returncode == 2
        assert proc.stdout == ""
        lines = proc.stderr.splitlines()
        assert len(lines) == 1, proc.stderr
        assert lines[0].startswith("tarvex: error: ") and fragment in lines[0]

    def test_debug_adds_the_traceback(self, files):
        proc = run("select", files / "x.npy", "-k", "0", "--debug")
        assert proc.returncode == 2
        assert "Traceback" in proc.stderr
        assert proc.stderr.splitlines()[-1] == "tarvex: error: k must be greater than zero"


class TestTextErrorsAndReaders:
    @pytest.fixture(params=list(READERS))
    def reader(self, request):
        if request.param == "pyarrow":
            pytest.importorskip("pyarrow")
        return READERS[request.param]

    def test_both_readers_give_the_same_matrix(self, tmp_path, points, reader):
        path = tmp_path / "x.csv"
        rows = [",".join(f"{v:.9g}" for v in row) for row in points]
        path.write_text("\n".join(["c0,c1,c2,c3", *rows[:5], "", *rows[5:]]) + "\n")
        proc = reader("select", path, "-k", 5, "--format", "json")
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout) == expected(points)

    @pytest.mark.parametrize("text, where", [
        ("a,b\n1,2\n\n3,x\n", "line 4, column 2: 'x' is not a number"),
        ("1,2\n3,\n", "line 2, column 2: '' is not a number"),
        ("\na,b\nc,d\n1,2\n", "line 3, column 1: 'c' is not a number"),
        ("1,2\n3,4,5\n", "line 2: 3 values, but line 1 has 2"),
        ("1,2\nnan,1\n", "line 2, column 1: the value nan is not a finite number"),
        ("1,2\n\n3,1e300\n", "line 3, column 2: the value 1e+300 is too large for float32"),
        ("1,2\n0,0\n", "line 2: the row is all zeros"),
    ])
    def test_errors_name_file_line_and_column(self, tmp_path, reader, text, where):
        path = tmp_path / "bad.csv"
        path.write_text(text)
        proc = reader("select", path, "-k", 2)
        assert proc.returncode == 2
        assert proc.stderr.startswith(f"tarvex: error: {path}, {where}"), proc.stderr


class TestParquet:
    @pytest.fixture()
    def pa(self):
        return pytest.importorskip("pyarrow")

    def write(self, path, **columns):
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.table(columns), path)
        return path

    def test_list_and_fixed_size_list_columns(self, tmp_path, points, pa):
        lists = pa.array(list(points.astype(np.float64)), type=pa.list_(pa.float64()))
        fixed = pa.FixedSizeListArray.from_arrays(pa.array(points.ravel()), DIMS)
        two = self.write(tmp_path / "two.parquet", emb=lists, id=pa.array(range(ROWS)))
        one = self.write(tmp_path / "one.parquet", emb=fixed)
        assert select_json(two, "--column", "emb", "-k", 5)[0] == expected(points)
        assert select_json(one, "-k", 5)[0] == expected(points)

    @pytest.mark.parametrize("column, argv, fragment", [
        (lambda pa: pa.array([[1.0, 2.0], [3.0]]), [], "row 1: column 'emb' holds 1 values, but row 0 holds 2"),
        (lambda pa: pa.array([[1.0, 2.0], None]), [], "row 1: column 'emb' is null"),
        (lambda pa: pa.array([[1.0, 2.0], [3.0, None]]), [], "row 1, column 1: a value of column 'emb' is null"),
        (lambda pa: pa.array([[1.0, 2.0], [3.0, float("nan")]]), [], "row 1, column 1: the value nan"),
        (lambda pa: pa.array(["a", "b"]), [], "column 'emb' holds string, not a list of floats"),
        (lambda pa: pa.array([[1.0, 2.0]]), ["--column", "vec"], "has no column named 'vec'"),
    ])
    def test_errors(self, tmp_path, pa, column, argv, fragment):
        path = self.write(tmp_path / "x.parquet", emb=column(pa))
        proc = run("select", path, "-k", 1, "--metric", "euclidean", *argv)
        assert proc.returncode == 2
        assert proc.stderr.startswith(f"tarvex: error: {path}") and fragment in proc.stderr, proc.stderr

    def test_without_pyarrow_names_the_extra(self, tmp_path):
        (tmp_path / "x.parquet").write_bytes(b"PAR1")
        proc = run_without("pyarrow", "select", tmp_path / "x.parquet", "-k", 1)
        assert proc.returncode == 2 and 'pip install ".[parquet]"' in proc.stderr


class TestFewRowsWarning:
    def test_suggested_lam_brings_back_at_least_half_the_rows(self, tmp_path, points):
        path = tmp_path / "x.npy"
        np.save(path, points * 10)
        got, stderr = select_json(path, "-k", 20, "--metric", "euclidean")
        assert len(got["selected"]) == 2
        match = re.fullmatch(r"tarvex: warning: selected 2 of 20 rows: lam \* div outweighs the "
                             r"utility of more rows; try --lam (\S+)\n", stderr)
        assert match, stderr
        got, stderr = select_json(path, "-k", 20, "--metric", "euclidean", "--lam", match[1])
        assert len(got["selected"]) >= 10 and stderr == ""

    def test_saturated_utility_suggests_no_lam(self, tmp_path, points):
        np.save(tmp_path / "x.npy", points)
        (tmp_path / "c.json").write_text(json.dumps([[0]] * ROWS))
        got, stderr = select_json(tmp_path / "x.npy", "-k", 10, "--coverage", tmp_path / "c.json")
        assert len(got["selected"]) < 5
        assert stderr.startswith(f"tarvex: warning: selected {len(got['selected'])} of 10 rows: "
                                 "more rows add no utility")


def test_help_shows_every_default():
    from tarvex.cli import build_parser

    parser = build_parser()
    subparsers = next(a for a in parser._actions if a.choices and "select" in a.choices).choices
    for name, sub in subparsers.items():
        formatter = sub._get_formatter()
        for action in sub._actions:
            if action.option_strings and not action.required and action.dest != "help":
                assert "(default: " in formatter._get_help_string(action), f"{name} {action.option_strings[0]}"
    assert "(default: 0.1)" in run("select", "--help").stdout

class _Terminal(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty
        self.drawn = threading.Event()

    def isatty(self):
        return self.tty

    def write(self, text):
        self.drawn.set()
        return super().write(text)


class TestElapsedTime:
    @pytest.mark.parametrize("tty", [True, False])
    def test_drawn_only_on_a_terminal(self, tty):
        stream = _Terminal(tty)
        with ElapsedTime("selecting", stream=stream, delay=0.0, interval=0.01):
            assert stream.drawn.wait(60 if tty else 0.2) == tty
        text = stream.getvalue()
        if tty:
            assert text.startswith("\rselecting: ") and text.endswith(" s\r\033[K")
        else:
            assert text == ""


def _png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    return struct.unpack(">II", header[16:24])


class TestDemo:
    @pytest.mark.parametrize("output", [None, "pictures"])
    def test_writes_a_contact_sheet(self, tmp_path, output):
        pytest.importorskip("sklearn")
        image = pytest.importorskip("matplotlib.image")
        proc = run("demo", "-k", 4, *(["--output", output] if output else []), cwd=tmp_path)
        assert proc.returncode == 0, proc.stderr
        path = tmp_path / (output or ".") / "tarvex-demo.png"
        assert proc.stdout.splitlines()[-1] == f"wrote {Path(output or '.') / 'tarvex-demo.png'}"
        # Three panels of one row of four 8x8 digits over three 2-D maps, at 100 dots per inch.
        assert _png_size(path) == (1020, 527)
        assert image.imread(path).shape[:2] == (527, 1020)
        lines = proc.stdout.splitlines()  # the data and its scaling, one line per panel, the path
        assert len(lines) == 5 and "scaled from 0..16 to 0..1" in lines[0]

    def test_missing_demo_extra_names_it(self):
        code = ("import sys; sys.modules['sklearn'] = None; from tarvex.cli import main; "
                "sys.exit(main(['demo']))")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert proc.returncode == 2
        assert len(proc.stderr.splitlines()) == 1
        assert 'pip install ".[demo]"' in proc.stderr
