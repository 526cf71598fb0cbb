import random
import signal

import pytest

from krodan_rl._krodan import PyKrodan

# A shell without job control starts its background commands with SIGINT ignored, and a child
# process keeps what it inherits ignored: the tests that interrupt a command they start need
# it delivered, however the suite itself was started.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def set_indices(buffer: bytes) -> list[int]:
    """The indices of the 1 bytes of a 0/1 buffer."""
    found, at = [], buffer.find(1)
    while at != -1:
        found.append(at)
        at = buffer.find(1, at + 1)
    return found


def play_random_turn(game: PyKrodan, rng: random.Random) -> int | None:
    """Plays a uniformly drawn legal action of the agent to move, or its pass when it is done.

    Returns the action played, None for a pass.
    """
    agent = game.agent_selection
    legal = set_indices(game.observe(agent).action_mask)
    action = rng.choice(legal) if legal else None
    game.step(action)
    return action


def play_random_game(seed: int) -> PyKrodan:
    game = PyKrodan()
    rng = random.Random(seed)
    while not game.is_over:
        play_random_turn(game, rng)
    return game


def random_positions(seed: int, every: int = 1) -> list[PyKrodan]:
    """Copies of every `every`-th position of a seeded random game, the final one included."""
    game = PyKrodan()
    rng = random.Random(seed)
    positions = []
    turn = 0
    while True:
        if turn % every == 0 or game.is_over:
            positions.append(game.copy())
        if game.is_over:
            return positions
        play_random_turn(game, rng)
        turn += 1


@pytest.fixture
def game() -> PyKrodan:
    return PyKrodan()


@pytest.fixture(scope="session")
def finished_games() -> list[PyKrodan]:
    return [play_random_game(seed) for seed in range(3)]


def dataset_rows(out) -> dict[str, dict[str, list]]:
    """The rows of every shard of a self-play folder, turns and games, as lists by column."""
    from pathlib import Path

    import pyarrow as pa
    import pyarrow.parquet as pq

    return {
        kind: pa.concat_tables(
            [pq.read_table(p) for p in sorted((Path(out) / kind).glob("shard-*.parquet"))]
        ).to_pydict()
        for kind in ("turns", "games")
    }


@pytest.fixture(scope="session")
def tiny_training(tmp_path_factory):
    """The folder of an undisturbed local training on the tiny preset: the reference that
    resumed and Ray trainings are compared with."""
    pytest.importorskip("jax")
    pytest.importorskip("optax")
    from krodan_rl.train import PRESETS, train

    out = tmp_path_factory.mktemp("tiny") / "az"
    train(PRESETS["tiny"], out, log=lambda line: None)
    return out


def capped_recipe():
    """The tiny-2 recipe with the Gumbel root and playout cap randomisation: a quarter of the
    moves searched fully, the rest with a scheduled number of cheap simulations. Evaluated at
    iteration 0 only, after a shorter warm start."""
    from krodan_rl.train import PRESETS
    from krodan_rl.train.schedules import Schedule

    return PRESETS["tiny-2"].with_options(
        evaluate_every=1000, warm_start_steps=10, root_rule="gumbel", gumbel_actions=4,
        full_search_share=0.25, cheap_simulations=Schedule("steps", ((0, 2), (2, 3))),
    )  # fmt: skip


@pytest.fixture(scope="session")
def capped_training(tmp_path_factory):
    """The folder of an undisturbed local training of ``capped_recipe()``."""
    pytest.importorskip("jax")
    pytest.importorskip("optax")
    from krodan_rl.train import train

    out = tmp_path_factory.mktemp("capped") / "az"
    train(capped_recipe(), out, log=lambda line: None)
    return out
