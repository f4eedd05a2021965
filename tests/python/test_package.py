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
