"""The arena: seat rotation, tables that do not depend on the number of workers (threads for
built-in agents, processes for users' own), users' agents by spec and by object, and the
subcommand end to end."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from arena_players import LowestAction

from krodan_rl import arena
from krodan_rl._krodan import PyKrodan

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
    agents = arena.make_block_agents(entries, seed=1, block=0)
    for g in range(4):
        players = [agents[e] for e in result.seats[g]]
        replay = [type(a)(seed=a.seed) if hasattr(a, "seed") else a for a in players]
        game = PyKrodan()
        while not game.is_over:
            game.step(replay[game.agent_selection].act(game))
        assert result.scores[g].tolist() == game.scores
    assert result.specs[0] == "lowest"


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
        (["random", "random", "random", "mcts:0"], "agent spec"),
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
