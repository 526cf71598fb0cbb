"""The hot loops built for several instruction sets give the same results bit for bit: one fixed
workload (a batch of seeded games observed every turn, single games stepped and observed through
the host API, tree searches with random and greedy rollouts) runs in a fresh process under each
set this build and processor offer, forced through KRODAN_RL_ISA, and its digests must agree.
A value the engine cannot follow is said as a warning, and the best set runs instead."""

import os
import subprocess
import sys

import pytest

from krodan_rl import _native

NAMES = ("baseline", "x86-64-v3", "x86-64-v4")
VARIABLE = "KRODAN_RL_ISA"

WORKLOAD = """
import hashlib
import numpy as np
from krodan_rl import PyKrodan, VecKrodan, _native
from krodan_rl.agents import MCTSAgent, RandomAgent

digest = hashlib.sha256()
vec = VecKrodan(48, num_threads=2, seed=7, copy=False)
for _ in range(140):
    vec.step(vec.random_actions())
    for array in (vec.observation, vec.pieces, vec.done, vec.action_mask, vec.legal_actions,
                  vec.legal_offsets, vec.current_agent, vec.rewards, vec.final_scores,
                  vec.terminated):
        digest.update(np.ascontiguousarray(array).tobytes())

agent = RandomAgent(3)
for _ in range(3):
    game = PyKrodan()
    while not game.is_over:
        seen = game.observe(game.agent_selection)
        digest.update(bytes(seen.observation) + bytes(seen.action_mask))
        game.step(agent.act(game))
    digest.update(repr(game.scores).encode())

game = PyKrodan()
for _ in range(10):
    game.step(agent.act(game))
for rollout, simulations, trees in (("random", 600, 2), ("greedy", 120, 1)):
    found = MCTSAgent(simulations, 1.4142, rollout, trees, seed=5).search(game)
    digest.update(found.actions + found.visits)
print(_native.instruction_set(), digest.hexdigest())
"""


def run_under(isa, code=WORKLOAD, warnings="error"):
    env = {k: v for k, v in os.environ.items() if k != VARIABLE}
    if isa is not None:
        env[VARIABLE] = isa
    return subprocess.run(
        [sys.executable, "-W", warnings, "-c", code],
        env=env,
        capture_output=True,
        text=True,
        check=False,
        timeout=600,
    )


def available():
    """The sets this build and processor run: up to the one chosen when nothing is forced."""
    best = run_under(None, "from krodan_rl import _native; print(_native.instruction_set())")
    assert best.returncode == 0, best.stderr
    return NAMES[: NAMES.index(best.stdout.strip()) + 1]


def test_every_available_instruction_set_gives_the_same_results():
    sets = available()
    digests = {}
    for isa in sets:
        result = run_under(isa)
        assert result.returncode == 0, result.stderr
        ran, digest = result.stdout.split()
        assert ran == isa
        digests[isa] = digest
    assert len(set(digests.values())) == 1, digests
    # The environment of this very process is what CI forces: it is followed here too.
    forced = os.environ.get(VARIABLE)
    if forced == "baseline":
        assert _native.instruction_set() == "baseline"


@pytest.mark.parametrize(
    ("value", "said"),
    [
        ("sse9", "KRODAN_RL_ISA=sse9 names no instruction set"),
        ("x86-64-v5", "KRODAN_RL_ISA=x86-64-v5 names no instruction set"),
    ],
)
def test_an_unknown_value_is_a_warning_and_the_best_set_runs(value, said):
    best = available()[-1]
    code = "from krodan_rl import _native; print(_native.instruction_set())"
    warned = run_under(value, code, warnings="default")
    assert warned.returncode == 0, warned.stderr
    assert warned.stdout.strip() == best
    assert said in warned.stderr and f"running {best}" in warned.stderr
    refused = run_under(value, code, warnings="error")
    assert refused.returncode == 1
    assert "RuntimeWarning: " + said in refused.stderr


def test_a_set_beyond_the_processor_is_a_warning():
    sets = available()
    if len(sets) == len(NAMES):
        pytest.skip("this processor runs every set built")
    beyond = NAMES[len(sets)]
    code = "from krodan_rl import _native; print(_native.instruction_set())"
    warned = run_under(beyond, code, warnings="default")
    assert warned.returncode == 0, warned.stderr
    assert warned.stdout.strip() == sets[-1]
    assert f"run at most {sets[-1]}; running {sets[-1]}" in warned.stderr
