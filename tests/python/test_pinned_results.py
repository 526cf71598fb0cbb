"""Results pinned by hashes recorded from an earlier version of the package: a refactoring of
the layers above the engine must leave self-play rows, arena tables and search visit counts as
they were. A change that moves one on purpose updates its hash here and says why."""

import hashlib

import numpy as np
import pytest
from fixed_networks import hashed_evaluator

from krodan_rl import arena
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import MCTSAgent, RandomAgent
from krodan_rl.search import BatchedSearch

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

SELFPLAY_ROWS = "59a5adebca9dbf5fe7a4b0e3cd281e5e7c94673a36b2096ef57ff8e8d448b2c1"
ARENA_TABLE = "503d93a015b8bcd71cc49d3049af55a4e5ed4a7b5276ef8b4f47e979d63bad9d"
MIXED_ARENA_TABLE = "7cc1ac0d16d5dc385eea88c33be30d0523fd617a48336053030430287da8ec07"
MCTS_VISITS = "08aed488dfdad917c9f4a2a529008a8edf20bc246d6b682f762466bb450659b4"
GUIDED_VISITS = "f071ff82c4206175d5f75d1ec3982e15eb09d5381337e10f876d972f62d181e1"


def rows_digest(out):
    digest = hashlib.sha256()
    for kind in ("turns", "games"):
        tables = [pq.read_table(p) for p in sorted((out / kind).glob("shard-*.parquet"))]
        for name, values in pa.concat_tables(tables).to_pydict().items():
            digest.update(f"{kind}.{name}={values!r};".encode())
    return digest.hexdigest()


def positions(count, seed):
    """Positions of one seeded random game after 4, 11, 18, ... placements, movers in play."""
    found = []
    agent = RandomAgent(seed)
    for k in range(count):
        game = PyKrodan()
        for _ in range(4 + 7 * k):
            if game.is_over:
                break
            game.step(agent.act(game))
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
        found.append(game)
    return found


def test_self_play_rows(tmp_path):
    from krodan_rl.selfplay import cli

    spec = "guided:fixed_networks:hashed_evaluator:6"
    args = ["--games", "6", "--out", str(tmp_path), "--games-per-shard", "4", "--seed", "11",
            "--games-at-once", "3", "--workers", "1",
            "--players", "mcts:8", "greedy", spec, "random"]  # fmt: skip
    assert cli.main(args) == 0
    assert rows_digest(tmp_path) == SELFPLAY_ROWS


@pytest.mark.parametrize(
    ("entries", "games", "seed", "workers", "pinned"),
    [
        (["greedy", "random", "mcts:8", "mcts:4:greedy"], 16, 3, 2, ARENA_TABLE),
        (["greedy", "arena_players:LowestAction", "random", "mcts:6"], 8, 4, 1, MIXED_ARENA_TABLE),
    ],
)
def test_arena_tables(entries, games, seed, workers, pinned):
    result = arena.run(entries, games=games, seed=seed, workers=workers, progress=False)
    assert hashlib.sha256(result.scores.tobytes() + result.seats.tobytes()).hexdigest() == pinned


def test_tree_search_visits():
    digest = hashlib.sha256()
    for i, game in enumerate(positions(6, 1)):
        for options in (dict(simulations=300, trees=2), dict(simulations=120, rollout="greedy")):
            found = MCTSAgent(seed=i, **options).search(game)
            digest.update(np.int64(found.action).tobytes() + found.actions.tobytes())
            digest.update(found.visits.tobytes())
    assert digest.hexdigest() == MCTS_VISITS


def test_guided_search_visits():
    digest = hashlib.sha256()
    search = BatchedSearch(8, simulations=40, seed=9, num_threads=2)
    search.start(positions(8, 2))
    evaluator = hashed_evaluator(3)
    for _ in range(3):
        search.run(evaluator)
        visits = search.visit_counts()
        for key in ("actions", "counts", "offsets", "mover"):
            digest.update(visits[key].tobytes())
        search.advance(search.select(1.0))
    assert digest.hexdigest() == GUIDED_VISITS
