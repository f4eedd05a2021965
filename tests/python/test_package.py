import subprocess
import sys
from pathlib import Path

import pytest

import tarvex

ROOT = Path(__file__).resolve().parents[2]


def test_version():
    assert tarvex.__version__ == "0.1.0"


def test_package_type_checks_against_its_stubs():
    pytest.importorskip("mypy")
    # The configuration in pyproject.toml names the files; the stubs describe the native module.
    proc = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir=/dev/null"], cwd=ROOT,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


FORCED_RUN = """
import json, numpy as np, tarvex
from tarvex import _tarvex
rng = np.random.default_rng(5)
x = rng.standard_normal((300, 37)).astype(np.float32)
items = [[int(i) for i in rng.integers(0, 40, 3)] for _ in range(300)]
out = [_tarvex._kernel_build]
for metric in ("cosine", "euclidean"):
    for utility, u in (("linear", rng.random(300)), ("coverage", items), ("facility_location", None)):
        for diameter in ("exact", "approx"):
            r = tarvex.gist_select_full(x, u, k=12, lam=0.5, metric=metric, utility=utility,
                                        diameter=diameter)
            out.append([r["selected"], r["f_value"].hex(), r["div"], r["d_max"], r["stage"]])
print(json.dumps(out))
"""


@pytest.mark.parametrize("build", ["baseline", "avx2"])
def test_a_forced_lower_build_gives_the_same_results(build):
    import json
    import os

    def run(env):
        proc = subprocess.run([sys.executable, "-c", FORCED_RUN], capture_output=True, text=True,
                              timeout=300, env=env)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout)

    plain = {k: v for k, v in os.environ.items() if k != "TARVEX_FORCE_BUILD"}
    default, forced = run(plain), run({**plain, "TARVEX_FORCE_BUILD": build})
    assert forced[0] == build
    assert forced[1:] == default[1:]
