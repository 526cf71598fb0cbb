"""Steps, passes, scores and outcomes through the host class."""

import random
import struct

import pytest
from conftest import play_random_turn

from krodan_rl._krodan import PyKrodan


def as_float32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


def expected_outcome(scores: list[int], mode: str) -> list[float]:
    """The outcome of a score vector, computed independently of the engine."""
    values = []
    for s in scores:
        greater = sum(other > s for other in scores)
        tied = scores.count(s)
        if mode == "score":
            values.append(float(s))
        elif mode == "win_share":
            values.append(0.0 if greater else as_float32(1.0 / tied))
        else:
            total = 0.0
            for k in range(greater, greater + tied):
                total = as_float32(total + as_float32((3 - k) / 3.0))
            values.append(as_float32(total / tied))
    return values


def test_refused_steps_change_nothing(game):
    game.step(0)
    before = (game.ply, game.agent_selection, game.scores, game.terminations)
    for action in (None, 36400, 419, 36399, 1):
        with pytest.raises(AssertionError) as info:
            game.step(action)
        assert str(info.value) == "Invalid action: Action index not available"
        assert (game.ply, game.agent_selection, game.scores, game.terminations) == before


def test_each_agent_starts_in_its_own_corner(game):
    for agent in range(4):
        assert game.agent_selection == agent
        game.step(0)  # "I1" at the top-left cell of the agent's own frame
    assert game.ply == 4
    assert game.scores == [-88] * 4


def test_piece_cannot_be_placed_twice(game):
    for _ in range(4):
        game.step(0)
    with pytest.raises(AssertionError):
        game.step(0 + 21)  # "I1" again, at (1, 1) of agent 0's frame


def test_reset_gives_a_new_game(game):
    for _ in range(4):
        game.step(0)
    assert game.reset() is None
    assert (game.ply, game.agent_selection, game.scores, game.terminations, game.rewards) == (
        0, 0, [-89] * 4, [False] * 4, [None] * 4)  # fmt: skip


@pytest.mark.parametrize("seed", range(3))
def test_full_random_game(seed):
    game = PyKrodan()
    rng = random.Random(seed)
    done_before = [False] * 4
    while not game.is_over:
        mover = game.agent_selection
        ply = game.ply
        played = play_random_turn(game, rng)
        assert game.agent_selection == (mover + 1) % 4
        assert game.ply == ply + (played is not None)
        terminations = game.terminations
        assert all(now or not before for now, before in zip(terminations, done_before, strict=True))
        done_before = terminations
        scores, rewards = game.scores, game.rewards
        assert rewards == [s if d else None for s, d in zip(scores, terminations, strict=True)]
        if not all(terminations):
            assert all(game.outcome(m) is None for m in PyKrodan.reward_modes)
    scores = game.scores
    assert all(s in (15, 20) or -89 <= s <= -1 for s in scores)
    assert game.terminations == [True] * 4
    assert game.rewards == scores
    for mode in PyKrodan.reward_modes:
        outcome = game.outcome(mode)
        assert outcome == expected_outcome(scores, mode)
        assert all(type(v) is float for v in outcome)
    assert sum(game.outcome("rank")) == pytest.approx(2.0, abs=1e-6)


def test_steps_after_the_end_only_rotate(finished_games):
    game = finished_games[0]
    ply, scores = game.ply, game.scores
    for _ in range(1, 6):
        before = game.agent_selection
        assert game.step(None) is None
        game.step(123456)
        assert game.agent_selection == (before + 2) % 4
    assert game.ply == ply and game.scores == scores


@pytest.mark.parametrize("mode", ["Rank", "", "win-share", "rank ", "score\x00"])
def test_unknown_modes_before_and_after_the_end(finished_games, mode):
    for game in (PyKrodan(), finished_games[1]):
        with pytest.raises(ValueError) as info:
            game.outcome(mode)
        assert str(info.value) == "Unknown reward mode " + mode
        assert not getattr(info.value, "__notes__", None)


def test_outcome_is_the_same_on_every_call(finished_games):
    game = finished_games[2]
    assert game.outcome("rank") == game.outcome("rank")
    assert game.outcome("score") == [float(s) for s in game.scores]


def test_a_game_played_by_trying_random_indices_ends():
    game = PyKrodan()
    rng = random.Random(11)
    while not game.is_over:
        if game.terminations[game.agent_selection]:
            game.step(None)
            continue
        while True:
            try:
                game.step(rng.randrange(PyKrodan.num_actions))
                break
            except AssertionError:
                pass
    assert game.terminations == [True] * 4
    assert game.outcome("win_share") == expected_outcome(game.scores, "win_share")
