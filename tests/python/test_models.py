"""The shipped model: loadable and playable without JAX, its numpy evaluations equal to JAX's on
a fixed set of positions, and playing by name in the arena, the self-play command and
Python."""

import subprocess
import sys

import numpy as np
import pytest
from conftest import random_positions

from krodan_rl import models, players
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.policy_player import observed

pytestmark = pytest.mark.skipif(
    not models.SHIPPED["baseline"].is_file(), reason="no shipped model in this installation"
)


def positions():
    return observed(
        [g for g in random_positions(seed=11, every=6) if not g.is_over and
         not g.terminations[g.agent_selection]][:12]
    )  # fmt: skip


@pytest.mark.jax
def test_numpy_evaluations_equal_jaxs_on_fixed_positions():
    pytest.importorskip("jax")
    leaves = positions()
    by_numpy = models.load("baseline", backend="numpy")(leaves)
    by_jax = models.load("baseline", backend="jax")(leaves)
    assert np.abs(by_numpy[0] - by_jax[0]).max() < 1e-5  # probabilities
    assert np.abs(by_numpy[1] - by_jax[1]).max() < 1e-5  # values


def test_the_model_plays_without_jax():
    script = """
import sys
sys.modules["jax"] = None  # as if JAX were not installed
from krodan_rl import PyKrodan, models, players
evaluator = models.load("baseline")
assert not evaluator.uses_jax
game = PyKrodan()
print(players.make("policy:baseline", seed=1).act(game), players.make("guided:baseline:4", seed=1).act(game))
"""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=300, check=False)  # fmt: skip
    assert child.returncode == 0, child.stderr
    first, second = map(int, child.stdout.split())
    assert first >= 0 and second >= 0


@pytest.mark.jax  # JAX where it is installed, which the sanitizer run leaves out
def test_the_model_plays_by_name_in_the_arena_and_self_play(tmp_path):
    arena = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "arena", "guided:baseline:4", "policy:baseline",
         "greedy", "random", "--games", "4", "--workers", "1"],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert arena.returncode == 0, arena.stderr
    assert "guided:baseline:4" in arena.stdout and "policy:baseline" in arena.stdout
    selfplay = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "selfplay", "--games", "2", "--out", str(tmp_path),
         "--players", "guided:baseline:4", "policy:baseline", "greedy", "random",
         "--workers", "1"],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert selfplay.returncode == 0, selfplay.stderr
    player = players.make("guided:baseline:4", seed=3)
    assert isinstance(player.evaluator, NetworkEvaluator)
