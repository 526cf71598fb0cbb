"""Each training example in examples/ learns: seeded, after a fixed number of updates, its last
200 episodes win at least 0.30 of the time against three random agents (random play earns
about 0.25). Each runs as a user runs it, as a script, and its printed final figure is read."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.examples

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
LEARNS = 0.30


@pytest.mark.parametrize(
    ("script", "libraries", "updates"),
    [
        ("skrl_ppo.py", ("skrl", "flax", "optax"), 20),
        ("cleanrl_ppo.py", ("jax", "optax"), 16),
    ],
)
def test_example_learns_against_random_agents(script, libraries, updates):
    pytest.importorskip("gymnasium")
    for library in libraries:
        pytest.importorskip(library)
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--updates", str(updates), "--seed", "0"],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    progress = re.findall(r"^update +(\d+) .*\(last (\d+)\) ([0-9.]+)", result.stdout, re.M)
    assert [int(update) for update, _, _ in progress] == list(range(1, updates + 1))
    assert int(progress[-1][1]) == 200, "the figure is over the last 200 episodes"
    final = float(re.search(r"^final win share ([0-9.]+)$", result.stdout, re.M).group(1))
    assert final == float(progress[-1][2])
    assert final >= LEARNS, result.stdout
