"""The Python entry points: signature, results, argument intake and errors."""

import collections.abc
import inspect
import subprocess
import sys

import numpy as np
import pytest

import tarvex
from tarvex import _tarvex, gist_select, gist_select_full

VECTORS_TYPE = (
    "vectors must be a C-contiguous float32 array of shape (n, d); "
    "use np.ascontiguousarray(x, dtype=np.float32)"
)
WEIGHTS_TYPE = (
    "utilities must be a C-contiguous float64 array of shape (n,); "
    "use np.ascontiguousarray(u, dtype=np.float64)"
)
COVERAGE_TYPE = (
    "utilities for utility='coverage' must be a sequence of sequences of "
    "non-negative int item ids, one per vector"
)
COVERAGE_MISSING = (
    "utility='coverage' requires utilities: a sequence of sequences of item ids, one per vector"
)
SIGNATURE = (
    "(vectors, utilities=None, *, k, lam=1.0, eps=0.1, metric='cosine', utility='linear', "
    "exhaustive_thresholds=False, diameter='exact', diameter_sweeps=None)"
)
KEYS = ["selected", "f_value", "g_value", "div", "threshold", "stage", "d_max"]


@pytest.fixture
def x():
    return np.random.default_rng(7).standard_normal((10, 4)).astype(np.float32)


def line():
    """The three one-dimensional rows 0, 1 and 3."""
    return np.array([[0.0], [1.0], [3.0]], dtype=np.float32)


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


# --- module surface ----------------------------------------------------------


def test_module_surface():
    assert tarvex.__all__ == ["__version__", "gist_select", "gist_select_full"]
    assert _tarvex.__all__ == ["__version__", "gist_select", "gist_select_full"]
    assert tarvex.__version__ == _tarvex.__version__ == "0.1.0"
    assert tarvex.gist_select is _tarvex.gist_select
    assert _tarvex.__doc__ == (
        "The native module `tarvex._tarvex`: `gist_select`, `gist_select_full` and\n"
        "`__version__`. `python/tarvex/__init__` re-exports all three."
    )
    # Internal failures must not be caught by `except Exception`.
    assert issubclass(_tarvex.InternalError, BaseException)
    assert not issubclass(_tarvex.InternalError, Exception)


def test_import_does_not_load_numpy():
    code = "import sys, tarvex._tarvex; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize("fn", [gist_select, gist_select_full])
def test_signature_is_introspectable(fn):
    assert fn.__text_signature__ == SIGNATURE
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURE
    kinds = {name: p.kind for name, p in sig.parameters.items()}
    assert kinds["vectors"] == kinds["utilities"] == inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert all(
        kind == inspect.Parameter.KEYWORD_ONLY
        for name, kind in kinds.items()
        if name not in ("vectors", "utilities")
    )
    # The signature block is not part of the visible documentation.
    assert not fn.__doc__.startswith(fn.__name__)
    assert not fn.__doc__.endswith("\n")


# --- results -------------------------------------------------------------------


def test_worked_example():
    r = gist_select_full(line(), k=2, lam=1, eps=1, metric="euclidean")
    assert r == {
        "selected": [0, 2],
        "f_value": 5.0,
        "g_value": 2.0,
        "div": 3.0,
        "threshold": 3.0,
        "stage": "sweep",
        "d_max": 3.0,
    }
    assert list(r) == KEYS
    assert gist_select(line(), k=2, lam=1, eps=1, metric="euclidean") == [0, 2]


@pytest.mark.parametrize(
    "options, expected",
    [
        # The pair does not beat the greedy set, the sweep ties with it.
        (dict(k=2, lam=0), ([0, 2], 2.0, 2.0, 3.0, 3.0, "sweep")),
        (dict(k=1, lam=1), ([0], 4.0, 1.0, 3.0, 3.0, "sweep")),
        # The approximate ladder's extra threshold 6.0 gives [0] and loses.
        (dict(k=2, lam=1, diameter="approx"), ([0, 2], 5.0, 2.0, 3.0, 3.0, "sweep")),
    ],
)
def test_worked_example_variants(options, expected):
    r = gist_select_full(line(), eps=1, metric="euclidean", **options)
    assert (r["selected"], r["f_value"], r["g_value"], r["div"], r["threshold"], r["stage"]) == (
        expected
    )
    assert r["d_max"] == 3.0


@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
def test_full_result_matches_select(x, metric):
    selected = gist_select(x, k=3, metric=metric)
    r = gist_select_full(x, k=3, metric=metric)
    assert list(r) == KEYS
    assert r["selected"] == selected
    assert len(selected) == len(set(selected)) <= 3
    assert all(type(i) is int and 0 <= i < 10 for i in selected)
    assert r["stage"] in ("greedy", "diameter_pair", "sweep")
    for key in ("div", "threshold", "d_max"):  # widened from 32 bits, exactly
        assert type(r[key]) is float and float(np.float32(r[key])) == r[key]
    assert r["f_value"] == pytest.approx(r["g_value"] + r["div"])


@pytest.mark.parametrize(
    "utility, utilities",
    [("linear", None), ("coverage", [[i % 3, i] for i in range(10)]), ("facility_location", None)],
)
@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
@pytest.mark.parametrize("lam", [0.0, -0.0])
def test_lam_zero_gives_f_equal_g(x, utility, utilities, metric, lam):
    r = gist_select_full(x, utilities, k=4, lam=lam, utility=utility, metric=metric)
    assert r["f_value"] == r["g_value"]


def test_single_row():
    r = gist_select_full(np.ones((1, 3), np.float32), k=1)
    assert r["selected"] == [0] and r["stage"] == "greedy" and r["threshold"] == 0.0
    assert r["div"] == r["d_max"] == 0.0


def test_none_means_absent(x):
    assert gist_select_full(x, None, k=3, diameter_sweeps=None, diameter="approx") == (
        gist_select_full(x, k=3, diameter="approx")
    )


def test_weights_steer_the_choice(x):
    weights = np.ones(10)
    weights[6] = 50.0
    r = gist_select_full(x, weights, k=1, lam=0)
    assert r["selected"] == [6] and r["g_value"] == 50.0


def test_coverage_counts_distinct_items():
    pts = np.random.default_rng(1).standard_normal((3, 2)).astype(np.float32)
    r = gist_select_full(pts, [[0, 3], [3], (3, 3, 7)], k=2, lam=0, utility="coverage")
    assert r["g_value"] == 3.0  # items 0, 3 and 7
    r = gist_select_full(pts, [[], [], []], k=2, lam=0, utility="coverage")
    assert r["g_value"] == 0.0  # a universe of 0 is valid


@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
@pytest.mark.parametrize("utility", ["linear", "facility_location"])
def test_inputs_are_never_written(x, metric, utility):
    before = x.copy()
    weights = np.linspace(1, 2, 10) if utility == "linear" else None
    weights_before = None if weights is None else weights.copy()
    gist_select_full(x, weights, k=4, metric=metric, utility=utility)
    np.testing.assert_array_equal(x, before)
    assert x.tobytes() == before.tobytes()
    if weights is not None:
        np.testing.assert_array_equal(weights, weights_before)


def test_read_only_array_accepted(x):
    expected = gist_select(x, k=3)
    x.setflags(write=False)
    assert gist_select(x, k=3) == expected
    weights = np.ones(10)
    weights.setflags(write=False)
    assert gist_select(x, weights, k=3) == expected


# --- call shape and the parser's conversions -----------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), dict(k=1)),  # vectors missing
        (("X",), {}),  # k missing
        (("X", None, 3), {}),  # k given positionally
        (("X",), dict(k=1, vectors="X")),  # given twice
        (("X",), dict(k=1, weights=None)),  # unexpected keyword
    ],
)
def test_wrong_call_shape(x, args, kwargs):
    args = tuple(x if a == "X" else a for a in args)
    kwargs = {key: x if v == "X" else v for key, v in kwargs.items()}
    for fn in (gist_select, gist_select_full):
        with pytest.raises(TypeError):
            fn(*args, **kwargs)


@pytest.mark.parametrize(
    "name, value",
    [
        ("lam", "1"),
        ("lam", None),
        ("eps", "0.1"),
        ("metric", 1),
        ("metric", None),
        ("utility", b"linear"),
        ("exhaustive_thresholds", 1),
        ("exhaustive_thresholds", None),
        ("exhaustive_thresholds", np.array([True])),
        ("diameter", None),
    ],
)
def test_conversion_failure_names_the_argument(x, name, value):
    with pytest.raises(TypeError) as info:
        gist_select(x, k=3, **{name: value})
    assert info.value.__notes__ == [f"while processing '{name}'"]


def test_conversion_passes_other_exceptions_on(x):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("no float here")

    with pytest.raises(ZeroDivisionError, match="no float here") as info:
        gist_select(x, k=3, lam=Bad())
    assert info.value.__notes__ == ["while processing 'lam'"]


def test_parser_accepts_numbers_and_numpy_bools(x):
    base = gist_select_full(x, k=3, lam=1.0, exhaustive_thresholds=True)
    assert gist_select_full(x, k=3, lam=1, exhaustive_thresholds=np.True_) == base
    assert gist_select_full(x, k=3, lam=np.float64(1.0), exhaustive_thresholds=True) == base
    assert gist_select_full(x, k=3, exhaustive_thresholds=np.bool_(False)) == gist_select_full(
        x, k=3
    )


def test_eps_is_rounded_to_32_bits(x):
    # 1 + 2**-30 rounds to 1.0, which is accepted; 1 + 2**-23 does not.
    gist_select(x, k=3, eps=1 + 2**-30)
    raises(
        ValueError,
        "epsilon 1.0000001e0 must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1",
        gist_select, x, k=3, eps=1 + 2**-23,
    )
    # The smallest eps gives a ladder of ~10^8 thresholds: one row skips the sweep.
    gist_select(np.ones((1, 2), np.float32), k=1, eps=np.float32(1.1920929e-7))


# --- precedence between failing arguments --------------------------------------

K_ZERO = (ValueError, "k must be greater than zero")
METRIC_X = (ValueError, "metric must be 'cosine' or 'euclidean', got 'x'")
EPS_ZERO = (
    ValueError,
    "epsilon 0e0 must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1",
)


@pytest.mark.parametrize(
    "vectors, utilities, options, expected",
    [
        ("x", None, dict(k=0, metric="x"), K_ZERO),
        ("f64", None, dict(k=3, metric="x"), METRIC_X),
        ("x", None, dict(k=0, lam="a"), (TypeError, None)),
        ("x", None, dict(k=True, diameter_sweeps=True), (TypeError, "k must be an int, not bool")),
        ("x", None, dict(k=1, diameter_sweeps=-1, metric="x"),
         (ValueError, "diameter_sweeps must be non-negative")),
        ("x", None, dict(k=1, utility="x", diameter="x"),
         (ValueError, "utility must be one of 'linear', 'coverage', 'facility_location', got 'x'")),
        ("list", None, dict(k=1, diameter="APPROX"),
         (ValueError, "diameter must be 'exact' or 'approx', got 'APPROX'")),
        ("f64", [1.0], dict(k=1), (TypeError, VECTORS_TYPE)),
        ("x", [1.0], dict(k=1, eps=0), (TypeError, WEIGHTS_TYPE)),
        ("x", [[0]], dict(k=1, eps=0, utility="facility_location"),
         (ValueError, "facility_location takes no utilities array")),
        # The point matrix is checked before the driver's eps.
        ("zero_row", None, dict(k=1, eps=0),
         (ValueError, "row 2 has a zero or un-normalizable L2 norm and cannot be scaled to "
                      "unit length for cosine distance")),
        # The driver checks eps before lam and before the utility's count.
        ("x", "short", dict(k=1, eps=0, lam=-1), EPS_ZERO),
        ("x", "short", dict(k=1, lam=-1), (ValueError, "lambda -1 must be finite and non-negative")),
    ],
)
def test_precedence(x, vectors, utilities, options, expected):
    vectors = {
        "x": x,
        "f64": x.astype(np.float64),
        "list": x.tolist(),
        "zero_row": np.vstack([x[:2], np.zeros((1, 4), np.float32)]),
    }[vectors]
    if utilities == "short":
        utilities = np.ones(3)
    exc, message = expected
    with pytest.raises(exc) as info:
        gist_select(vectors, utilities, **options)
    if message is not None:
        assert str(info.value) == message


# --- k and diameter_sweeps -------------------------------------------------------


@pytest.mark.parametrize(
    "options, exc, message",
    [
        (dict(k=True), TypeError, "k must be an int, not bool"),
        (dict(k=False), TypeError, "k must be an int, not bool"),
        (dict(k=2**63), ValueError, "k must fit a 64-bit signed integer"),
        (dict(k=-(2**63) - 1), ValueError, "k must fit a 64-bit signed integer"),
        (dict(k=0), ValueError, "k must be greater than zero"),
        (dict(k=-1), ValueError, "k must be greater than zero"),
        (dict(k=-(2**63)), ValueError, "k must be greater than zero"),
        (dict(k=3, diameter_sweeps=True), TypeError, "diameter_sweeps must be an int, not bool"),
        (dict(k=3, diameter_sweeps=2**63), ValueError,
         "diameter_sweeps must fit a 64-bit signed integer"),
        (dict(k=3, diameter_sweeps=-1), ValueError, "diameter_sweeps must be non-negative"),
    ],
)
def test_integer_intake_errors(x, options, exc, message):
    raises(exc, message, gist_select, x, **options)


@pytest.mark.parametrize("value", [2.0, "3", None, np.float64(3.0)])
def test_non_integer_k_raises_interpreter_type_error(x, value):
    with pytest.raises(TypeError) as info:
        gist_select(x, k=value)
    assert not getattr(info.value, "__notes__", None)


def test_integer_intake_accepts(x):
    expected = gist_select(x, k=3)
    assert gist_select(x, k=np.int64(3)) == expected
    assert gist_select(x, k=np.uint8(3)) == expected
    assert sorted(gist_select(x, k=2**63 - 1, metric="euclidean")) == list(range(10))
    gist_select(x, k=3, diameter_sweeps=0, diameter="approx")
    gist_select(x, k=3, diameter_sweeps=np.int32(5), diameter="approx")


# --- option texts --------------------------------------------------------------


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("metric", "Cosine", "metric must be 'cosine' or 'euclidean', got 'Cosine'"),
        ("metric", " cosine", "metric must be 'cosine' or 'euclidean', got ' cosine'"),
        ("metric", "cos", "metric must be 'cosine' or 'euclidean', got 'cos'"),
        ("metric", "cosine\0", "metric must be 'cosine' or 'euclidean', got 'cosine\0'"),
        ("metric", "cösine", "metric must be 'cosine' or 'euclidean', got 'cösine'"),
        ("utility", "Linear",
         "utility must be one of 'linear', 'coverage', 'facility_location', got 'Linear'"),
        ("utility", "", "utility must be one of 'linear', 'coverage', 'facility_location', got ''"),
        ("diameter", "APPROX", "diameter must be 'exact' or 'approx', got 'APPROX'"),
        ("diameter", "exact ", "diameter must be 'exact' or 'approx', got 'exact '"),
    ],
)
def test_option_texts_match_exactly(x, name, value, message):
    raises(ValueError, message, gist_select, x, k=2, **{name: value})


# --- vectors -------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda x: x.astype(np.float64),
        lambda x: x.astype(np.float16),
        lambda x: x.astype(np.int32),
        lambda x: x.astype(">f4"),  # equal values, other byte order
        lambda x: x.reshape(10, 2, 2),
        lambda x: x.reshape(-1),
        lambda x: np.asfortranarray(x),
        lambda x: x.T,
        lambda x: x[::2],
        lambda x: x[:, :2],
        lambda x: x.tolist(),
        lambda x: None,
        lambda x: np.float32(1.0),
    ],
)
def test_vectors_type_errors(x, make):
    raises(TypeError, VECTORS_TYPE, gist_select, make(x), k=2)


def test_unaligned_vectors_refused():
    raw = np.zeros(4 * 6 + 1, np.uint8)[1:].view(np.float32).reshape(3, 2)
    assert not raw.flags.aligned
    raises(TypeError, VECTORS_TYPE, gist_select, raw, k=2)


def test_vectors_views_accepted(x):
    # Contiguous views read the right rows: a slice gives the same result as a copy.
    sub = x[3:8]
    assert sub.base is x
    assert gist_select(sub, k=3) == gist_select(sub.copy(), k=3)
    col = np.asfortranarray(x[:, :1])  # both C- and F-contiguous
    assert gist_select(col, k=2, metric="euclidean") == gist_select(
        np.ascontiguousarray(col), k=2, metric="euclidean"
    )


@pytest.mark.parametrize(
    "shape, message",
    [
        ((0, 5), "the point matrix is empty"),
        ((5, 0), "the dimensionality must be greater than zero"),
        ((0, 0), "the dimensionality must be greater than zero"),
    ],
)
def test_empty_vectors_reach_the_core(shape, message):
    raises(ValueError, message, gist_select, np.zeros(shape, np.float32), k=2)


@pytest.mark.parametrize(
    "options, message",
    [
        (dict(lam=float("inf")), "lambda inf must be finite and non-negative"),
        (dict(eps=float("nan")),
         "epsilon NaN must be in the range f32::EPSILON (1.1920929e-7) <= eps <= 1"),
    ],
)
def test_core_rejections_become_value_errors(x, options, message):
    raises(ValueError, message, gist_select, x, k=2, **options)
    x[2, 1] = np.nan
    raises(ValueError, "the coordinate at row 2, column 1 is NaN or infinite", gist_select, x, k=2)


# --- linear weights ------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: [1.0] * 10,
        lambda: np.ones(10, np.float32),
        lambda: np.ones((10, 1)),
        lambda: np.ones(20)[::2],
        lambda: np.ones(10, ">f8"),
        lambda: "1" * 10,
    ],
)
def test_weights_type_errors(x, make):
    raises(TypeError, WEIGHTS_TYPE, gist_select, x, make(), k=2)


@pytest.mark.parametrize(
    "weights, message",
    [
        (np.ones(9), "expected 10 weights, one per point, but got 9"),
        (np.ones(0), "expected 10 weights, one per point, but got 0"),
        (np.array([1, 1, 1, -0.5, 1, 1, 1, 1, 1, np.nan]),
         "the weight -0.5 at index 3 must be finite and non-negative"),
    ],
)
def test_weights_checked_by_the_core(x, weights, message):
    raises(ValueError, message, gist_select, x, weights, k=2, utility="linear")


# --- coverage lists --------------------------------------------------------------


class Unmeasurable(collections.abc.Sequence):
    def __len__(self):
        raise RuntimeError("caller's own failure")

    def __getitem__(self, i):
        raise IndexError


def three_rows(row2):
    return [[0], [1], row2]


@pytest.mark.parametrize(
    "utilities",
    [
        "ab",
        [["a"]] * 10,
        [[1.5]] * 10,
        [1, 2],
        ["ab"] * 10,
        [[None]] * 10,
        [{1, 2}] * 10,
        (row for row in [[1]] * 10),
        {0: [1]},
        Unmeasurable(),
        [[0]] * 9 + [Unmeasurable()],
        # The shape of all rows is checked before any item's value.
        [[-1]] + [[1]] * 8 + [3],
        [[np.float64(1.0)]] * 10,
    ],
)
def test_coverage_type_errors(x, utilities):
    raises(TypeError, COVERAGE_TYPE, gist_select, x, utilities, k=2, utility="coverage")


@pytest.mark.parametrize(
    "utilities, text, row",
    [
        ([[-1]], "-1", 0),
        ([[1], [4294967296]], "4294967296", 1),
        ([[2**70]], str(2**70), 0),
        ([[0], [3, -(2**70)]], str(-(2**70)), 1),
        ([[np.uint64(2**64 - 1)]], "18446744073709551615", 0),
        ([[np.int64(-5)]], "-5", 0),
    ],
)
def test_coverage_item_range_errors(x, utilities, text, row):
    raises(
        ValueError,
        f"coverage item id {text} at row {row} must be a non-negative int no larger than 4294967295",
        gist_select, x, utilities, k=2, utility="coverage",
    )


def test_coverage_item_errors_keep_the_callers_exception(x):
    class Exploding:
        def __index__(self):
            raise KeyError("mine")

    with pytest.raises(KeyError):
        gist_select(x, [[Exploding()]], k=2, utility="coverage")

    class Unprintable:
        def __index__(self):
            return -3

        def __str__(self):
            raise RuntimeError

    raises(
        ValueError,
        "coverage item id <unprintable> at row 0 must be a non-negative int no larger than "
        "4294967295",
        gist_select, x, [[Unprintable()]], k=2, utility="coverage",
    )


class RowsWithoutIndexing:
    """Iterable and registered as a Sequence, without the sequence protocol."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


collections.abc.Sequence.register(RowsWithoutIndexing)


def test_coverage_conversions_accepted(x):
    lists = [[i % 4, 4294967295 if i == 0 else i] for i in range(10)]
    expected = gist_select_full(x, lists, k=3, utility="coverage")
    assert gist_select_full(x, np.array(lists, np.uint32), k=3, utility="coverage") == expected
    assert gist_select_full(x, np.array(lists), k=3, utility="coverage") == expected
    assert gist_select_full(x, tuple(map(tuple, lists)), k=3, utility="coverage") == expected
    rows = RowsWithoutIndexing([RowsWithoutIndexing(row) for row in lists])
    assert gist_select_full(x, rows, k=3, utility="coverage") == expected
    # bools are items 1 and 0; bytes are sequences of small ints.
    bools = gist_select_full(x, [[True, False]] + [[0]] * 9, k=2, lam=0, utility="coverage")
    assert bools["g_value"] == 2.0
    gist_select(x, [b"\x01\x02"] * 10, k=2, utility="coverage")
    gist_select(x, [range(3)] * 10, k=2, utility="coverage")


def test_coverage_requires_one_list_per_row(x):
    raises(ValueError, COVERAGE_MISSING, gist_select, x, k=2, utility="coverage")
    raises(ValueError, COVERAGE_MISSING, gist_select, x, None, k=2, utility="coverage")
    raises(
        ValueError,
        "expected 10 coverage lists, one per point, but got 2",
        gist_select, x, [[0], [1]], k=2, utility="coverage",
    )


# --- facility location -----------------------------------------------------------


@pytest.mark.parametrize("utilities", [[], np.ones(10), 0, [[0]] * 10])
def test_facility_location_refuses_utilities(x, utilities):
    raises(
        ValueError,
        "facility_location takes no utilities array",
        gist_select, x, utilities, k=2, utility="facility_location",
    )
