"""The package and the native module's stub pass mypy --strict, and the stub matches the
module."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("mypy")


def test_package_and_stub_pass_mypy_strict():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml")],
        cwd=ROOT, capture_output=True, text=True, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stubs_match_the_native_modules():
    # Both in one run: most of stubtest's time is the analysis they share.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "krodan_rl._krodan", "krodan_rl._native"],
        cwd=ROOT / "tests", capture_output=True, text=True, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
