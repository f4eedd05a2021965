"""tarvex.dask against a real LocalCluster of worker processes on the loopback address."""

import json
import re
import subprocess
import sys

import numpy as np
import pytest

import tarvex

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import tarvex.dask as tdask  # noqa: E402

KEYS = ["selected", "f_value", "g_value", "div", "threshold", "stage", "d_max"]


def local_cluster(workers):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                    host="127.0.0.1", dashboard_address=None)


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as cluster, distributed.Client(cluster) as c:
        yield c


def clusters(n, d, centers=8, seed=0):
    rng = np.random.default_rng(seed)
    c = rng.standard_normal((centers, d)).astype(np.float32) * 4
    return (rng.standard_normal((n, d), dtype=np.float32) + c[rng.integers(0, centers, n)])


@pytest.fixture(scope="module")
def data():
    x = clusters(1200, 8)
    rng = np.random.default_rng(1)
    return x, rng.random(len(x)), [rng.integers(0, 40, rng.integers(0, 4)).tolist() for _ in x]


def without_candidates(result):
    result = dict(result)
    assert result.pop("candidates") >= len(result["selected"])
    return result


class TestWholeDataNumbers:
    @pytest.mark.parametrize("metric,utility,diameter,weighted", [
        ("cosine", "linear", "approx", True),
        ("euclidean", "linear", "exact", False),
        ("cosine", "facility_location", "approx", False),
        ("euclidean", "facility_location", "approx", False),
    ])
    def test_every_row_a_candidate_repeats_the_single_machine_result(
            self, client, data, metric, utility, diameter, weighted):
        x, w, _ = data
        u = w if weighted else None
        expected = tarvex.gist_select_full(x, u, k=7, lam=3.0, metric=metric, utility=utility,
                                           diameter=diameter)
        # Uneven row chunks and column chunks, which get rechunked.
        vectors = da.from_array(x, chunks=((500, 1, 699), (5, 3)))
        weights = da.from_array(w, chunks=300) if weighted else None
        got = tdask.gist_select_full(vectors, weights, k=7, lam=3.0, metric=metric,
                                     utility=utility, diameter=diameter, candidates=len(x))
        assert list(got) == KEYS + ["candidates"] and got["candidates"] == len(x)
        assert without_candidates(got) == expected

    def test_memmap_blocks_are_read_by_the_workers(self, client, data, tmp_path):
        x, _, _ = data
        np.save(tmp_path / "x.npy", x)
        mm = np.load(tmp_path / "x.npy", mmap_mode="r")
        got = tdask.gist_select_full(mm[100:], k=5, candidates=len(x), chunk_rows=256)
        assert without_candidates(got) == tarvex.gist_select_full(
            np.ascontiguousarray(x[100:]), k=5, diameter="approx")

    def test_unaligned_blocks_made_on_the_workers(self, client, data):
        # Blocks and weights made by worker tasks, never by the client, and handed on unaligned
        # as pickle protocol 5 buffers can arrive: every task must make its own aligned copy.
        x, w, _ = data

        def unaligned(block):
            distributed.get_worker()  # raises outside a worker
            raw = np.empty(block.nbytes + 1, dtype=np.uint8)[1:]
            out = raw.view(block.dtype).reshape(block.shape)
            out[...] = block
            assert not out.flags.aligned
            return out

        vectors = da.from_array(x, chunks=(300, 8)).map_blocks(unaligned, dtype=np.float32)
        weights = da.from_array(w, chunks=300).map_blocks(unaligned, dtype=np.float64)
        for utility, u in (("linear", weights), ("facility_location", None)):
            got = tdask.gist_select_full(vectors, u, k=6, lam=2.0, utility=utility,
                                         candidates=len(x))
            assert without_candidates(got) == tarvex.gist_select_full(
                x, w if u is not None else None, k=6, lam=2.0, utility=utility, diameter="approx")

    @pytest.mark.parametrize("utility", ["linear", "coverage", "facility_location"])
    def test_default_candidates_report_the_selection_over_all_rows(self, client, data, utility):
        x, w, cov = data
        u = {"linear": w, "coverage": cov, "facility_location": None}[utility]
        got = tdask.gist_select_full(x, u, k=9, lam=2.0, utility=utility, chunk_rows=200)
        sel = got["selected"]
        assert 2 <= len(sel) <= 9 and len(set(sel)) == len(sel)
        assert all(0 <= s < len(x) for s in sel) and got["candidates"] < len(x)
        assert got["d_max"] == tarvex.gist_select_full(x, k=1, diameter="approx")["d_max"]
        if utility == "linear":
            g = 0.0
            for s in sel:
                g += w[s]
            assert got["g_value"] == g
        elif utility == "coverage":
            assert got["g_value"] == len({i for s in sel for i in cov[s]})
        # Uniform weights and lam 0 take every row: div is their smallest distance.
        assert got["div"] == tarvex.gist_select_full(x[sel], k=len(sel), lam=0.0)["div"]
        assert got["f_value"] == got["g_value"] + 2.0 * got["div"]


def test_result_does_not_depend_on_the_number_of_workers(client, data):
    x, w, _ = data
    vectors = da.from_array(x, chunks=(150, 8))
    run = lambda: tdask.gist_select_full(vectors, w, k=8, lam=2.0, metric="euclidean")  # noqa: E731
    two = run()
    with local_cluster(1) as cluster, distributed.Client(cluster, set_as_default=False) as one:
        with one.as_current():
            import dask

            with dask.config.set(scheduler=one):
                assert run() == two


def test_objective_within_five_percent_of_single_machine(client):
    x = clusters(20000, 16, centers=16, seed=3)
    expected = tarvex.gist_select_full(x, k=20, lam=50.0, metric="euclidean", diameter="approx")
    got = tdask.gist_select_full(x, k=20, lam=50.0, metric="euclidean", chunk_rows=2500)
    assert 50.0 * got["div"] > 0.2 * got["f_value"]  # diversity is a real part of f
    assert got["f_value"] >= 0.95 * expected["f_value"]


def explode(block):
    raise RuntimeError("a task ran")


class TestErrors:
    @pytest.mark.parametrize("shape,dtype,kwargs", [
        ((40, 4), np.float64, {"k": 3}),
        ((40,), np.float32, {"k": 3}),
        ((40, 4), np.float32, {"k": 0}),
        ((40, 4), np.float32, {"k": 3, "metric": "Cosine"}),
        ((40, 4), np.float32, {"k": 3, "eps": 0.0}),
    ])
    def test_argument_errors_come_before_any_task_with_the_module_messages(
            self, client, shape, dtype, kwargs):
        with pytest.raises(Exception) as expected:
            tarvex.gist_select(np.ones(shape, dtype=dtype), **kwargs)
        bomb = da.ones(shape, dtype=dtype, chunks=10).map_blocks(explode, dtype=dtype)
        with pytest.raises(expected.type, match=f"^{re.escape(str(expected.value))}$"):
            tdask.gist_select(bomb, **kwargs)

    def test_data_errors_name_the_row_of_the_whole_matrix(self, client, data):
        x, w, cov = data
        # A zero row in an earlier block than a NaN: the NaN is reported, as
        # the whole matrix's scan finds non-finite values first.
        y = x.copy()
        y[400] = 0.0
        y[1001, 3] = np.nan
        for z in (y, np.where(np.isnan(y), 1.0, y).astype(np.float32)):
            with pytest.raises(ValueError) as expected:
                tarvex.gist_select(z, k=3)
            with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
                tdask.gist_select(z, k=3, chunk_rows=300)
        bad_w = w.copy()
        bad_w[900] = -1.0
        with pytest.raises(ValueError) as expected:
            tarvex.gist_select(x, bad_w, k=3)
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
            tdask.gist_select(da.from_array(x, chunks=(300, 8)), da.from_array(bad_w, chunks=300),
                              k=3)
        with pytest.raises(ValueError, match="expected 1200 coverage lists"):
            tdask.gist_select(x, cov[:-1], k=3, utility="coverage")


def test_importing_tarvex_leaves_dask_alone():
    code = ("import sys, tarvex; "
            "sys.exit(any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules))")
    assert subprocess.run([sys.executable, "-c", code], timeout=60).returncode == 0


def test_command_line_selects_from_the_memory_mapped_file(client, data, tmp_path):

    x, _, _ = data
    np.save(tmp_path / "x.npy", x)
    proc = subprocess.run([sys.executable, "-m", "tarvex", "select", tmp_path / "x.npy", "-k", "6",
                           "--dask", "--chunk-rows", "300", "--format", "json"],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    expected = without_candidates(tdask.gist_select_full(x, k=6, chunk_rows=300))
    assert json.loads(proc.stdout) == expected
