"""The arena: seat rotation, tables that do not depend on the number of workers (threads for
built-in agents, processes for users' own), users' agents by spec and by object, and the
subcommand end to end."""

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import ClassVar

import numpy as np
import pytest
from arena_players import LowestAction
from fixed_networks import hashed_evaluator

from krodan_rl import arena
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import GreedyAgent
from krodan_rl.search import GuidedPlayer

HERE = Path(__file__).resolve().parent


def test_every_entry_sits_in_every_seat_once_per_block():
    seats = arena.rotation_seats(12)
    for block in seats.reshape(3, 4, 4):
        assert (np.sort(block, axis=0) == np.arange(4)[:, None]).all()  # each seat: every entry
        assert (np.sort(block, axis=1) == np.arange(4)).all()  # each game: every entry once
    assert seats[1].tolist() == [3, 0, 1, 2]  # game 1: entry 0 in seat 1


@pytest.mark.parametrize(
    "entries",
    [
        ["greedy", "random", "mcts:4", "random"],
        ["arena_players:LowestAction", "random", "arena_players:seeded", "greedy"],
        ["guided:test_arena:CountingEvaluator:4", "arena_players:seeded", "mcts:4", "random"],
    ],
)
def test_same_seed_same_table_for_one_and_two_workers(entries):
    one = arena.run(entries, 8, seed=3, workers=1, progress=False)
    two = arena.run(entries, 8, seed=3, workers=2, progress=False)
    assert np.array_equal(one.scores, two.scores)
    assert one.standings.format() == two.standings.format()
    other = arena.run(entries, 8, seed=4, workers=2, progress=False)
    assert not np.array_equal(other.scores, one.scores)


def test_scores_are_those_of_games_replayed_with_the_same_agents():
    # Block 0's four games among a deterministic agent of the user's and three greedy ones,
    # replayed here seat by seat: the arena's seating and scores.
    entries = [LowestAction(), "greedy", "greedy", "greedy"]
    result = arena.run(entries, 4, seed=1, workers=1, progress=False)
    for g in range(4):
        seated = [
            LowestAction() if e == 0 else GreedyAgent(arena.entry_seed(1, int(e), 0))
            for e in result.seats[g]
        ]
        game = PyKrodan()
        while not game.is_over:
            game.step(seated[game.agent_selection].act(game))
        assert result.scores[g].tolist() == game.scores
    assert result.specs[0] == "lowest"


class CountingEvaluator:
    """The fixed network of the guided-search tests, counting its calls in the class."""

    calls = 0

    def __init__(self, seed=None):
        self.evaluate = hashed_evaluator(0)

    def __call__(self, leaves):
        CountingEvaluator.calls += 1
        return self.evaluate(leaves)


GUIDED = "guided:test_arena:CountingEvaluator:4"


def test_a_guided_entry_searches_every_waiting_game_in_one_batch():
    entries = [GUIDED, "greedy", "greedy", "random"]
    CountingEvaluator.calls = 0
    together = arena.run(entries, 16, seed=2, workers=1, progress=False)
    batched = CountingEvaluator.calls
    alone = []
    for g in range(16):
        CountingEvaluator.calls = 0
        scores = arena.play_games(entries, 2, [g])
        assert scores[0].tolist() == together.scores[g].tolist()  # batching changes nothing
        alone.append(CountingEvaluator.calls)
    assert batched <= 1.1 * max(alone)
    assert sum(alone) > 10 * batched


def counting_closure():
    calls = []

    def evaluate(leaves):
        calls.append(len(leaves["mover"]))
        return hashed_evaluator(0)(leaves)

    return evaluate, calls


def test_one_worker_plays_in_this_process_and_takes_a_closure():
    evaluate, calls = counting_closure()
    player = GuidedPlayer(evaluate, simulations=3, name="closure")
    result = arena.run([player, "greedy", "random", "random"], 8, seed=1, workers=1,
                       progress=False)  # fmt: skip
    assert calls and max(calls) > 1  # batches of several games
    assert result.specs[0] == "closure"


class Recorder(LowestAction):
    """Plays the lowest legal action and notes, in the class, which object played each move."""

    seen: ClassVar[set[int]] = set()

    def act(self, game):
        Recorder.seen.add(id(self))
        return super().act(game)


class StatelessRecorder(Recorder):
    stateless = True


@pytest.mark.parametrize(("player", "objects"), [(Recorder(), 8), (StatelessRecorder(), 1)])
def test_a_stateless_player_plays_every_game_itself_and_others_a_copy_each(player, objects):
    Recorder.seen = set()
    arena.run([player, "greedy", "random", "random"], 8, seed=1, workers=1, progress=False)
    assert len(Recorder.seen) == objects and (objects == 8) != (id(player) in Recorder.seen)


FACTORY_LOG = "KRODAN_TEST_FACTORY_LOG"


def logged_factory(seed=None):
    """A factory that logs the process calling it to the file the environment names."""
    with open(os.environ[FACTORY_LOG], "a") as log:
        log.write(f"{os.getpid()}\n")
    return LowestAction()


def test_a_factory_is_called_once_per_worker(tmp_path, monkeypatch):
    log = tmp_path / "calls"
    monkeypatch.setenv(FACTORY_LOG, str(log))
    entries = ["test_arena:logged_factory", "greedy", GUIDED, "random"]
    one = arena.run(entries, 32, seed=5, workers=1, progress=False, games_at_once=4)
    assert len(log.read_text().split()) == 1
    log.unlink()
    two = arena.run(entries, 32, seed=5, workers=2, progress=False, games_at_once=4)
    callers = log.read_text().split()
    assert len(callers) == len(set(callers)) <= 2
    assert np.array_equal(one.scores, two.scores)


@pytest.mark.parametrize(
    ("entries", "games", "error"),
    [
        (["random"] * 3, 4, ValueError),
        (["random"] * 4, 6, ValueError),
        (["random"] * 4, 0, ValueError),
        (["random", "random", "random", "mcts:x"], 4, ValueError),
        (["random", "random", "random", "no_such_module:make"], 4, ValueError),
        (["random", "random", "random", object()], 4, TypeError),
    ],
)
def test_bad_runs_are_refused_before_playing(entries, games, error):
    with pytest.raises(error):
        arena.run(entries, games, progress=False)


def run_cli(*args, cwd=HERE):
    return subprocess.run(
        [sys.executable, "-m", "krodan_rl", "arena", *args],
        capture_output=True, text=True, check=False, cwd=cwd, timeout=300,
    )  # fmt: skip


def test_the_subcommand_end_to_end(tmp_path):
    target = tmp_path / "standings.json"
    tables = []
    for workers in ("1", "2"):
        child = run_cli("mcts:8", "greedy", "random", "random", "--games", "8", "--seed", "5",
                        "--workers", workers, "--json", str(target))  # fmt: skip
        assert child.returncode == 0, child.stderr
        tables.append(child.stdout)
    assert tables[0] == tables[1]
    lines = tables[0].splitlines()
    assert [line.split()[0] for line in lines[1:4]] == ["mcts:8", "greedy", "random"]
    written = json.loads(target.read_text())
    assert written["games"] == 8 and written["specs"][0] == "mcts:8"
    assert len(written["scores"]) == 8 and len(written["standings"]["rows"]) == 3


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["random", "random", "random"], "arguments"),
        (["random"] * 4 + ["--games", "6"], "multiple of 4"),
        (["random", "random", "random", "mcts:0"], "player spec 'mcts:0': simulations"),
        (["random"] * 4 + ["--json", "/no/such/folder/x.json"], "does not exist"),
    ],
)
def test_the_subcommand_refuses_bad_arguments(args, message):
    child = run_cli(*args)
    assert child.returncode == 2 and message in child.stderr
    assert "Traceback" not in child.stderr


def test_help_lists_the_subcommands():
    child = subprocess.run([sys.executable, "-m", "krodan_rl", "--help"],
                           capture_output=True, text=True, check=True)  # fmt: skip
    assert "arena" in child.stdout
