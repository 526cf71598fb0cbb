"""Bad input everywhere in the host API: each call raises its documented exception, with the
note naming the parameter where a conversion failed, and leaves the game unchanged."""

import pytest

from krodan_rl import PyKrodan

NEW_GAME = PyKrodan().to_bytes()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise KeyError("index refused")


class Blob(bytes):
    pass


class Text(str):
    pass


def reentrant(action):
    class Reentrant:
        def __index__(self):
            action()
            return 0

    return Reentrant()


# (member, call, exception, message or None, note or None)
CASES = [
    ("step", lambda g: g.step("1"), TypeError, None, "action_idx"),
    ("step", lambda g: g.step(1.5), TypeError, None, "action_idx"),
    ("step", lambda g: g.step([0]), TypeError, None, "action_idx"),
    ("step", lambda g: g.step(-1), OverflowError, None, "action_idx"),
    ("step", lambda g: g.step(2**64), OverflowError, None, "action_idx"),
    ("step", lambda g: g.step(10**100), OverflowError, None, "action_idx"),
    ("step", lambda g: g.step(Index(-3)), OverflowError, None, "action_idx"),
    ("step", lambda g: g.step(RaisingIndex()), KeyError, None, "action_idx"),
    ("step", lambda g: g.step(reentrant(g.reset)), RuntimeError, "Already borrowed", "action_idx"),
    ("step", lambda g: g.step(reentrant(lambda: g.observe(0))), RuntimeError,
     "Already mutably borrowed", "action_idx"),
    ("step", lambda g: g.step(2**64 - 1), AssertionError,
     "Invalid action: Action index not available", None),
    ("step", lambda g: g.step(), TypeError, None, None),
    ("step", lambda g: g.step(0, action_idx=0), TypeError, None, None),
    ("observe", lambda g: g.observe(None), TypeError, None, "agent_idx"),
    ("observe", lambda g: g.observe("0"), TypeError, None, "agent_idx"),
    ("observe", lambda g: g.observe(-1), OverflowError, None, "agent_idx"),
    ("observe", lambda g: g.observe(2**80), OverflowError, None, "agent_idx"),
    ("observe", lambda g: g.observe(4), ValueError, "Unknown agent 4", None),
    ("observe", lambda g: g.observe(Index(7)), ValueError, "Unknown agent 7", None),
    ("observe", lambda g: g.observe(RaisingIndex()), KeyError, None, "agent_idx"),
    ("observe", lambda g: g.observe(reentrant(lambda: g.step(0))), RuntimeError,
     "Already borrowed", "agent_idx"),
    ("outcome", lambda g: g.outcome(None), TypeError, "'None' is not an instance of 'str'", "mode"),
    ("outcome", lambda g: g.outcome(b"rank"), TypeError,
     "'bytes' object is not an instance of 'str'", "mode"),
    ("outcome", lambda g: g.outcome("rank\ud800"), UnicodeEncodeError, None, "mode"),
    ("outcome", lambda g: g.outcome(Text("ranks")), ValueError, "Unknown reward mode ranks", None),
    ("outcome", lambda g: g.outcome("r\x00ank"), ValueError, "Unknown reward mode r\x00ank", None),
    ("from_bytes", lambda g: PyKrodan.from_bytes(bytearray(NEW_GAME)), TypeError,
     "'bytearray' object is not an instance of 'bytes'", "data"),
    ("from_bytes", lambda g: PyKrodan.from_bytes(memoryview(NEW_GAME)), TypeError, None, "data"),
    ("from_bytes", lambda g: PyKrodan.from_bytes(Blob(NEW_GAME[:-1])), ValueError,
     "Not a game state written by to_bytes() of this version", None),
    ("from_bytes", lambda g: PyKrodan.from_bytes(b"\x02" + NEW_GAME[1:]), ValueError, None, None),
    ("__setstate__", lambda g: g.__setstate__(None), TypeError,
     "'None' is not an instance of 'bytes'", "state"),
    ("__setstate__", lambda g: g.__setstate__(NEW_GAME.decode("latin-1")), TypeError, None,
     "state"),
    ("__setstate__", lambda g: g.__setstate__(Blob(b"\xff" * 278)), ValueError, None, None),
    ("__deepcopy__", lambda g: g.__deepcopy__(), TypeError, None, None),
    ("reset", lambda g: g.reset(0), TypeError, None, None),
    ("copy", lambda g: g.copy(None), TypeError, None, None),
    ("to_bytes", lambda g: g.to_bytes(1), TypeError, None, None),
    ("render", lambda g: g.render(False), TypeError, None, None),
    ("PyKrodan", lambda g: PyKrodan(NEW_GAME), TypeError, None, None),
]  # fmt: skip


@pytest.mark.parametrize(("member", "call", "error", "message", "note"), CASES)
def test_bad_input_changes_nothing(member, call, error, message, note):
    game = PyKrodan()
    game.step(0)  # a game in progress
    before = (game.to_bytes(), game.ply, game.agent_selection, game.terminations, game.scores)
    with pytest.raises(error) as info:
        call(game)
    if message is not None:
        assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([f"while processing '{note}'"] if note else [])
    assert (
        game.to_bytes(),
        game.ply,
        game.agent_selection,
        game.terminations,
        game.scores,
    ) == before
    game.step(0)  # the borrow was released
    assert game.ply == 2


def test_every_member_taking_arguments_is_covered():
    covered = {member for member, *_ in CASES}
    takes_arguments = {"step", "observe", "outcome", "from_bytes", "__setstate__", "__deepcopy__"}
    assert takes_arguments <= covered
