"""The NumPy reference in bench/ that the benchmark measures tarvex against.

It has to run the same algorithm, or the speed ratios mean nothing: on small
inputs it must reach tarvex's objective value (BLAS sums in another order, so
only near-ties may break differently), and on small-integer coordinates under
Euclidean distance, where both compute every distance exactly, the very same
rows.
"""

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

_PATH = Path(__file__).resolve().parents[2] / "bench" / "reference.py"
_spec = importlib.util.spec_from_file_location("gist_reference", _PATH)
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)

import tarvex  # noqa: E402

needs_tarvex = pytest.mark.skipif(
    not hasattr(tarvex, "gist_select_full"), reason="the native module has no gist_select_full"
)

THREE_ROWS = np.array([[0.0], [1.0], [3.0]], dtype=np.float32)


class TestWorkedExample:
    """Rows at 0, 1 and 3 under Euclidean distance, unit weights."""

    @pytest.mark.parametrize(
        "options, expected",
        [
            (dict(k=2, lam=1.0), dict(selected=[0, 2], f_value=5.0, g_value=2.0, div=3.0, threshold=3.0)),
            # The pair does not beat the greedy set at lam 0, but the sweep ties and wins.
            (dict(k=2, lam=0.0), dict(selected=[0, 2], f_value=2.0, g_value=2.0, div=3.0, threshold=3.0)),
            (dict(k=1, lam=1.0), dict(selected=[0], f_value=4.0, g_value=1.0, div=3.0, threshold=3.0)),
            # The approximate ladder adds 6.0, whose single row (f 4) does not win.
            (dict(k=2, lam=1.0, diameter="approx"),
             dict(selected=[0, 2], f_value=5.0, g_value=2.0, div=3.0, threshold=3.0)),
        ],
        ids=["lam1", "lam0", "k1", "approx"],
    )
    def test_result(self, options, expected):
        got = reference.gist_select_full(THREE_ROWS, eps=1.0, metric="euclidean", **options)
        assert {key: got[key] for key in expected} == expected
        assert got["stage"] == "sweep"
        assert got["d_max"] == 3.0

    def test_exhaustive_thresholds_stop_at_half_the_diameter(self):
        # Thresholds 0, 0.5, 1, 1.5: at 1.5 row 1 is shut out and [0, 2] ties the pair (f 2 + 3 * 3).
        got = reference.gist_select_full(THREE_ROWS, k=2, lam=3.0, metric="euclidean", exhaustive_thresholds=True)
        assert (got["selected"], got["f_value"], got["threshold"], got["stage"]) == ([0, 2], 11.0, 1.5, "sweep")


class TestBuildingBlocks:
    @pytest.mark.parametrize("metric", ["cosine", "euclidean"])
    @pytest.mark.parametrize("block", [1, 3, 7, None])
    def test_exact_diameter_matches_brute_force_across_blocks(self, metric, block):
        x = np.random.default_rng(11).standard_normal((23, 5)).astype(np.float32)
        points = reference.Points(x, metric)
        y = points.x.astype(np.float64)
        if metric == "cosine":
            brute = np.clip(1.0 - y @ y.T, 0.0, 2.0)
        else:
            brute = np.sqrt(((y[:, None, :] - y[None, :, :]) ** 2).sum(-1))
        i, j = np.unravel_index(np.argmax(np.triu(brute, 1)), brute.shape)
        d, a, b = reference.exact_diameter(points, block=block)
        assert (a, b) == (i, j)
        assert d == pytest.approx(brute[i, j], rel=1e-5)

    def test_exact_diameter_breaks_ties_by_smallest_pair(self):
        # A square: both diagonals are farthest pairs; (0, 2) comes first.
        x = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.float32)
        assert reference.exact_diameter(reference.Points(x, "euclidean"), block=1)[1:] == (0, 2)

    def test_approx_diameter_on_a_line(self):
        x = np.array([[0.0], [1.0], [2.0], [10.0]], dtype=np.float32)
        assert reference.approx_diameter(reference.Points(x, "euclidean"), 3) == (10.0, 0, 3)

    @pytest.mark.parametrize(
        "d_max, eps, bound, expected",
        [
            (1.0, 1.0, 2.0, [0.5, 1.0]),
            (1.0, 1.0, 4.0, [0.5, 1.0, 2.0]),
            (1.0, 0.5, 4.0, [0.25, 0.375, 0.5625, 0.84375]),
            (0.0, 0.1, 20.0, [0.0]),
            (math.inf, 0.1, 20.0, [math.inf]),
            (1.0, 0.1, 0.5, []),
        ],
    )
    def test_ladder(self, d_max, eps, bound, expected):
        assert reference.thresholds_with_bound(d_max, eps, bound) == expected

    def test_default_ladder_sizes(self):
        eps = float(np.float32(0.1))
        assert len(reference.thresholds_with_bound(1.0, 0.1, 2.0 / eps)) == 32
        assert len(reference.thresholds_with_bound(1.0, 0.1, 4.0 / eps)) == 39

    def test_exhaustive_thresholds(self):
        x = np.array([[0.0], [0.25], [0.5], [0.5]], dtype=np.float32)
        got = reference.exhaustive_threshold_set(reference.Points(x, "euclidean"), block=2)
        assert got == [0.0, 0.125, 0.25]

    def test_coverage_counts_distinct_items(self):
        cov = reference.Coverage([[3, 1, 3, 7], [3, 9], []], 3)
        assert cov.initial_gains(None).tolist() == [3.0, 2.0, 0.0]
        cov.commit(1)
        assert cov.gain(0) == 2.0 and cov.gain(2) == 0.0


# -- agreement with tarvex -------------------------------------------------------------------------

UTILITIES = ["linear", "coverage", "facility_location"]


@st.composite
def problems(draw, integer_coordinates):
    n = draw(st.integers(2, 40))
    d = draw(st.integers(2, 6))  # on a line, mirror-image rows tie in gain too often
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    if integer_coordinates:
        x = rng.integers(-6, 7, size=(n, d)).astype(np.float32)
    else:
        centres = rng.standard_normal((3, d))
        x = (centres[rng.integers(0, 3, n)] + 0.4 * rng.standard_normal((n, d))).astype(np.float32)
    options = dict(
        k=draw(st.integers(1, 12)),
        lam=draw(st.sampled_from([0.0, 0.5, 1.0, 4.0])),
        eps=draw(st.sampled_from([0.1, 0.25, 1.0])),
        diameter=draw(st.sampled_from(["exact", "approx"])),
    )
    weights = draw(st.sampled_from([None, "random"]))
    weights = None if weights is None else rng.uniform(0.0, 2.0, n)
    items = [rng.integers(0, 15, rng.integers(0, 5)).tolist() for _ in range(n)]
    return x, options, weights, items


# The examples are fixed (derandomize): a near-tie in gain or distance may legitimately break the
# other way under BLAS's summation order, and a test that fails at random teaches nothing.


def _utility_data(utility, weights, items):
    return {"linear": weights, "coverage": items, "facility_location": None}[utility]


def _both(x, utilities, **options):
    ours = tarvex.gist_select_full(x, utilities, **options)
    theirs = reference.gist_select_full(x, utilities, **options)
    return ours, theirs


@needs_tarvex
@pytest.mark.parametrize("utility", UTILITIES)
@pytest.mark.parametrize("metric", ["cosine", "euclidean"])
@settings(max_examples=30, deadline=None, derandomize=True, database=None)
@given(problem=problems(integer_coordinates=False))
def test_same_objective_as_tarvex(utility, metric, problem):
    x, options, weights, items = problem
    ours, theirs = _both(x, _utility_data(utility, weights, items), metric=metric, utility=utility, **options)
    assert theirs["d_max"] == pytest.approx(ours["d_max"], rel=1e-5, abs=1e-6)
    assert theirs["f_value"] == pytest.approx(ours["f_value"], rel=1e-5, abs=1e-6)


@needs_tarvex
@pytest.mark.parametrize("utility", ["linear", "coverage"])
@settings(max_examples=30, deadline=None, derandomize=True, database=None)
@given(problem=problems(integer_coordinates=True))
def test_same_rows_as_tarvex_when_distances_are_exact(utility, problem):
    # Small integers make every squared distance exact in float32 on both sides.
    x, options, weights, items = problem
    ours, theirs = _both(x, _utility_data(utility, weights, items), metric="euclidean", utility=utility, **options)
    assert theirs["selected"] == ours["selected"]
    assert (theirs["threshold"], theirs["stage"], theirs["d_max"]) == (ours["threshold"], ours["stage"], ours["d_max"])
    assert theirs["f_value"] == pytest.approx(ours["f_value"], rel=1e-12)


@needs_tarvex
@pytest.mark.parametrize("utility", UTILITIES)
def test_same_objective_as_tarvex_under_exhaustive_thresholds(utility):
    rng = np.random.default_rng(5)
    x = rng.standard_normal((30, 4)).astype(np.float32)
    items = [rng.integers(0, 12, rng.integers(0, 4)).tolist() for _ in range(30)]
    data = _utility_data(utility, rng.uniform(0, 1, 30), items)
    for metric in ("cosine", "euclidean"):
        ours, theirs = _both(x, data, k=6, metric=metric, utility=utility, exhaustive_thresholds=True)
        assert theirs["f_value"] == pytest.approx(ours["f_value"], rel=1e-5)
