"""Parameter lists and argument conversion: exact host errors, notes, and no change on failure."""

import pytest

from krodan_rl._krodan import PyKrodan


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda g: g.step(), "PyKrodan.step() missing 1 required positional argument: 'action_idx'"),
        (lambda g: g.step(1, 2), "PyKrodan.step() takes 1 positional arguments but 2 were given"),
        (lambda g: g.step(1, 2, 3), "PyKrodan.step() takes 1 positional arguments but 3 were given"),
        (lambda g: g.step(1, action_idx=1),
         "PyKrodan.step() got multiple values for argument 'action_idx'"),
        (lambda g: g.step(action=1), "PyKrodan.step() got an unexpected keyword argument 'action'"),
        (lambda g: g.outcome(), "PyKrodan.outcome() missing 1 required positional argument: 'mode'"),
        (lambda g: g.outcome("rank", mode="rank"),
         "PyKrodan.outcome() got multiple values for argument 'mode'"),
        (lambda g: PyKrodan(1), "PyKrodan.__new__() takes 0 positional arguments but 1 was given"),
        (lambda g: PyKrodan(1, 2), "PyKrodan.__new__() takes 0 positional arguments but 2 were given"),
        (lambda g: PyKrodan(x=1), "PyKrodan.__new__() got an unexpected keyword argument 'x'"),
    ],
)  # fmt: skip
def test_parameter_list_errors(game, call, message):
    with pytest.raises(TypeError) as info:
        call(game)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert game.ply == 0 and game.agent_selection == 0


@pytest.mark.parametrize("name", ["reset"])
def test_members_without_parameters_leave_errors_to_the_host(game, name):
    with pytest.raises(TypeError):
        getattr(game, name)(1)
    with pytest.raises(TypeError):
        getattr(game, name)(x=1)


def test_keyword_and_positional_are_the_same_call():
    a, b = PyKrodan(), PyKrodan()
    a.step(0)
    b.step(action_idx=0)
    assert a.ply == b.ply == 1 and a.scores == b.scores
    assert a.outcome(mode="rank") is None


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (-(2**70), OverflowError, None),
        ("3", TypeError, None),
        (3.0, TypeError, None),
        (b"\x00", TypeError, None),
        (Index(-5), OverflowError, None),
        (Index(2**64), OverflowError, None),
    ],
)
def test_action_idx_conversion_failures(game, value, error, message):
    with pytest.raises(error) as info:
        game.step(value)
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    assert game.ply == 0 and game.agent_selection == 0


class IndexError_(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise IndexError_("no index")


def test_index_that_raises_keeps_its_error_and_gets_the_note(game):
    with pytest.raises(IndexError_) as info:
        game.step(RaisingIndex())
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    assert game.agent_selection == 0


@pytest.mark.parametrize("value", [0, False, Index(0)])
def test_action_idx_accepts_index_values(value):
    game = PyKrodan()
    game.step(value)  # action 0: "I1" on the start cell
    assert game.ply == 1 and game.agent_selection == 1


@pytest.mark.parametrize("value", [True, 1, Index(1), 36400, 2**64 - 1])
def test_in_range_values_reach_the_engine(game, value):
    with pytest.raises(AssertionError, match=r"^Invalid action: Action index not available$"):
        game.step(value)
    assert game.ply == 0 and game.agent_selection == 0


@pytest.mark.parametrize(
    ("value", "error", "message"),
    [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (b"rank", TypeError, "'bytes' object is not an instance of 'str'"),
        (Index(1), TypeError, "'Index' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_mode_conversion_failures(game, value, error, message):
    with pytest.raises(error) as info:
        game.outcome(value)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'mode'"]


def test_mode_accepts_str_subclasses(finished_games):
    class Mode(str):
        pass

    game = finished_games[0]
    assert game.outcome(Mode("rank")) == game.outcome("rank")
