"""Ctrl-C ends a command with one line and status 130 however the interrupt lands: in a callback
whose exceptions Python would ignore, or in code that leaves the interpreter's exit crashing."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


@pytest.mark.parametrize(
    "where", ["callback", pytest.param("crash-at-exit", marks=pytest.mark.jax)]
)
def test_an_interrupt_ends_the_arena_in_one_line(tmp_path, where):
    if where == "crash-at-exit":
        pytest.importorskip("jax")
    env = {
        **os.environ,
        "KRODAN_TEST_INTERRUPT": where,
        "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]),
    }
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "arena", "arena_players:InterruptedAt", "greedy",
         "random", "random", "--games", "400", "--workers", "1"],
        env=env, capture_output=True, text=True, timeout=300, check=False,
    )  # fmt: skip
    assert (child.returncode, child.stderr.splitlines()) == (
        130,
        ["python -m krodan_rl arena: interrupted; no standings written"],
    )
    assert child.stdout == ""
