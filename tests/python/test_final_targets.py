"""The ends of games the loader rebuilds (every agent's final score, every cell's final owner)
against each game replayed from its first placement through the game class, read in each row's
mover's frame from the final position's own observation."""

import numpy as np
import pytest

pytest.importorskip("pyarrow")

from conftest import dataset_rows

from krodan_rl import data, outcomes
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import BOARD_SIZE, NUM_AGENTS

# Random agents run out of moves early, so that games hold passes and cells left empty.
PLAYERS = ["greedy", "random", "mcts:4", "random"]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """Five games in shards of two."""
    out = tmp_path_factory.mktemp("ends") / "run"
    data_seed = 11
    from krodan_rl import selfplay

    selfplay.generate(5, PLAYERS, out, games_per_shard=2, seed=data_seed, workers=1)
    return out


def replayed_finals(run):
    """Each game's final position, by id: its stored placements played from a new game, each
    agent that has no placement left passing when its turn comes."""
    turns = dataset_rows(run)["turns"]
    finals = {}
    for game_id, mover, action in zip(
        turns["game_id"], turns["mover"], turns["action"], strict=True
    ):
        game = finals.setdefault(game_id, PyKrodan())
        while game.agent_selection != mover:
            game.step(None)
        game.step(action)
    assert all(game.is_over for game in finals.values())
    return finals


def expected_targets(game, mover):
    """What the final position holds for ``mover``: scores in its relative order on the [0, 1]
    scale, and each cell's class in its frame (0 empty, 1 + k relative agent k's)."""
    scores = np.asarray(game.scores)[(mover + np.arange(NUM_AGENTS)) % NUM_AGENTS]
    planes = np.frombuffer(game.observe(mover).observation, np.uint8)
    cells = planes[: NUM_AGENTS * BOARD_SIZE**2].reshape(NUM_AGENTS, BOARD_SIZE, BOARD_SIZE)
    owner = np.where(cells.any(axis=0), cells.argmax(axis=0) + 1, 0)
    assert (cells.sum(axis=0) <= 1).all()
    return outcomes.normalise(scores, "score"), owner


def test_the_loaded_ends_of_games_are_the_replayed_final_positions(run):
    finals = replayed_finals(run)
    options = {"shuffle": True, "seed": 5, "shuffle_buffer": 40, "legal_actions": "mask"}
    plain = list(data.load(run, 37, **options))
    loaded = list(data.load(run, 37, final_targets=True, **options))
    assert len(loaded) == len(plain)
    movers_seen, owners_seen = set(), set()
    for batch, without in zip(loaded, plain, strict=True):
        assert set(batch) - set(without) == {"final_score", "final_owner"}
        for key, value in without.items():
            np.testing.assert_array_equal(batch[key], value)
        assert batch["final_score"].dtype == np.float32
        assert batch["final_owner"].dtype == np.uint8
        for row in range(len(batch["mover"])):
            mover = int(batch["mover"][row])
            scores, owner = expected_targets(finals[int(batch["game_id"][row])], mover)
            np.testing.assert_array_equal(batch["final_score"][row], scores)
            np.testing.assert_array_equal(batch["final_owner"][row], owner)
            movers_seen.add(mover)
            owners_seen.update(np.unique(owner).tolist())
    # Every frame and every class was met: a target wrong in any of them would have shown.
    assert movers_seen == set(range(NUM_AGENTS))
    assert owners_seen == set(range(1 + NUM_AGENTS))
    assert sum(len(b["mover"]) for b in loaded) == len(dataset_rows(run)["turns"]["game_id"])
