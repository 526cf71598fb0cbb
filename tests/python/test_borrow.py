"""The borrow flag: a call made from inside another call's argument conversion on the same game
meets the borrow, fails at once, and leaves the game unchanged."""

import pytest

from krodan_rl._krodan import PyKrodan


class Reentrant:
    """An index whose conversion runs `action` on the game, recording what it raised."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value
        self.raised = None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as error:
            self.raised = error
            raise
        return self.value


READS = {
    "agents": lambda g: g.agents,
    "agent_selection": lambda g: g.agent_selection,
    "terminations": lambda g: g.terminations,
    "rewards": lambda g: g.rewards,
    "scores": lambda g: g.scores,
    "is_over": lambda g: g.is_over,
    "ply": lambda g: g.ply,
    "outcome": lambda g: g.outcome("rank"),
}
WRITES = {
    "step": lambda g: g.step(0),
    "reset": lambda g: g.reset(),
}


def snapshot(game):
    return (game.ply, game.agent_selection, game.scores, game.terminations)


@pytest.mark.parametrize("name", sorted(READS))
def test_reads_inside_step_conversion_are_mutably_borrowed(name):
    game = PyKrodan()
    before = snapshot(game)
    index = Reentrant(lambda: READS[name](game))
    with pytest.raises(RuntimeError) as info:
        game.step(index)
    assert str(info.value) == "Already mutably borrowed"
    assert info.value is index.raised
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    assert snapshot(game) == before


@pytest.mark.parametrize("name", sorted(WRITES))
def test_writes_inside_step_conversion_are_borrowed(name):
    game = PyKrodan()
    game.step(0)
    before = snapshot(game)
    with pytest.raises(RuntimeError) as info:
        game.step(Reentrant(lambda: WRITES[name](game)))
    assert str(info.value) == "Already borrowed"
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    assert snapshot(game) == before


def test_the_borrow_is_released_after_every_path():
    game = PyKrodan()
    with pytest.raises(RuntimeError):
        game.step(Reentrant(lambda: game.ply))
    with pytest.raises(TypeError):
        game.step("x")
    with pytest.raises(AssertionError):
        game.step(5)
    with pytest.raises(ValueError):
        game.outcome("bogus")
    game.step(0)
    game.reset()
    assert game.ply == 0


def test_other_games_are_not_borrowed():
    game, other = PyKrodan(), PyKrodan()
    game.step(Reentrant(lambda: other.step(0)))
    assert game.ply == 1 and other.ply == 1
