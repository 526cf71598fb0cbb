import random

import pytest

from krodan_rl._krodan import PyKrodan


def play_random_turn(game: PyKrodan, rng: random.Random) -> int | None:
    """Plays one turn by trying random action indices until `step` accepts one.

    A done agent passes. Returns the action played, None for a pass.
    """
    if game.terminations[game.agent_selection]:
        game.step(None)
        return None
    for _ in range(2_000_000):
        action = rng.randrange(PyKrodan.num_actions)
        try:
            game.step(action)
        except AssertionError:
            continue
        return action
    raise RuntimeError("no legal action found")


def play_random_game(seed: int, max_turns: int = 10_000) -> PyKrodan:
    game = PyKrodan()
    rng = random.Random(seed)
    for _ in range(max_turns):
        if game.is_over:
            return game
        play_random_turn(game, rng)
    raise RuntimeError("the game did not end")


@pytest.fixture
def game() -> PyKrodan:
    return PyKrodan()


@pytest.fixture(scope="session")
def finished_games() -> list[PyKrodan]:
    return [play_random_game(seed) for seed in range(3)]
