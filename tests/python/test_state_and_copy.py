"""State strings, copies and pickling."""

import copy
import pickle

import pytest
from conftest import random_positions

from krodan_rl._krodan import PyKrodan

NOT_A_STATE = "Not a game state written by to_bytes() of this version"
NEW_GAME = b"\x01" + (bytes(64) + b"\xff\xff\x1f\x00" + b"\x00") * 4 + b"\x00"
BUFFERS = ("observation", "corners", "blocked", "pieces", "done", "action_mask")


def properties(game: PyKrodan) -> tuple:
    return (game.agent_selection, game.ply, game.terminations, game.rewards, game.scores,
            game.is_over, [game.outcome(m) for m in PyKrodan.reward_modes])  # fmt: skip


def observations(game: PyKrodan) -> list[bytes]:
    return [getattr(game.observe(a), name) for a in range(4) for name in BUFFERS]


def changed(state: bytes, at: int, value: int) -> bytes:
    return state[:at] + bytes([value]) + state[at + 1 :]


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        ("copy", "($self)", "An independent copy of the game."),
        ("__copy__", "($self)", None),
        ("__deepcopy__", "($self, _memo)", None),
        ("__getstate__", "($self)", "Pickles the game as its `to_bytes` state."),
        ("__setstate__", "($self, state)", None),
        ("to_bytes", "($self)", "The game state as bytes, restore it with `from_bytes`."),
        ("from_bytes", "(data)", None),
        ("render", "($self)", None),
    ],
)
def test_signatures_and_docs(name, signature, doc):
    member = getattr(PyKrodan, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc
    assert ("reduce" not in name) and "__reduce__" not in vars(PyKrodan)


def test_new_game_state_string(game):
    assert game.to_bytes() == NEW_GAME
    assert game.__getstate__() == NEW_GAME


def test_four_bytes_change_after_the_one_cell_piece(game):
    game.step(0)
    state = game.to_bytes()
    assert [i for i in range(278) if state[i] != NEW_GAME[i]] == [49, 65, 69, 277]
    assert (state[49], state[65], state[69], state[277]) == (0x01, 0xFE, 0x01, 0x01)


REFUSED = {
    "277 bytes": NEW_GAME[:-1],
    "279 bytes": NEW_GAME + b"\x00",
    "empty": b"",
    "version 0": changed(NEW_GAME, 0, 0),
    "version 2": changed(NEW_GAME, 0, 2),
    "current agent 4": changed(NEW_GAME, 277, 4),
    "current agent 255": changed(NEW_GAME, 277, 255),
    "last piece 4": changed(NEW_GAME, 1 + 68, 4),
    "last piece 102": changed(NEW_GAME, 1 + 69 + 68, 102),
    "guard bit of row 0": changed(NEW_GAME, 1 + 48 + 2, 0x10),
    "guard bit of row 19": changed(NEW_GAME, 1 + 4, 0x08),
    "bit 420": changed(NEW_GAME, 1 + 4, 0x10),
    "block byte 8": changed(NEW_GAME, 1 + 69 + 8, 1),
    "block byte 15": changed(NEW_GAME, 1 + 3 * 69 + 15, 0x80),
    "remaining 0x200000": changed(NEW_GAME, 1 + 2 * 69 + 66, 0x20),
}


@pytest.mark.parametrize("name", sorted(REFUSED))
def test_refused_states(game, name):
    with pytest.raises(ValueError) as info:
        PyKrodan.from_bytes(REFUSED[name])
    assert str(info.value) == NOT_A_STATE
    game.step(0)
    before = game.to_bytes()
    with pytest.raises(ValueError, match=r"^Not a game state"):
        game.__setstate__(REFUSED[name])
    assert game.to_bytes() == before and game.ply == 1


def test_odd_states_are_accepted():
    # Agent 1 holds no pieces and covers no cell; agent 2 covers agent 3's start cell (19, 0);
    # agent 3 is to move.
    state = bytearray(NEW_GAME)
    state[1 + 69 + 64 : 1 + 69 + 68] = bytes(4)
    state[1 + 2 * 69 + 1] = 0x80  # bit 399
    state[277] = 3
    game = PyKrodan.from_bytes(bytes(state))
    assert game.terminations == [False, True, False, True]
    assert game.ply == 21
    assert game.rewards == [None, 15, None, -89]
    assert game.to_bytes() == bytes(state)
    assert game.agent_selection == 3
    game.step(None)  # a done agent to move passes
    assert game.agent_selection == 0


def test_overlapping_cells_are_accepted():
    state = bytearray(NEW_GAME)
    for agent in (0, 1):
        state[1 + 69 * agent + 48 + 5] = 0x01  # both cover bit 40
    game = PyKrodan.from_bytes(bytes(state))
    assert game.to_bytes() == bytes(state)


@pytest.mark.parametrize("seed", range(4))
def test_round_trips(seed):
    for game in random_positions(seed, every=3):
        state = game.to_bytes()
        restored = PyKrodan.from_bytes(state)
        assert restored.to_bytes() == state
        assert properties(restored) == properties(game)
        assert observations(restored) == observations(game)
        in_place = PyKrodan()
        assert in_place.__setstate__(state) is None
        assert properties(in_place) == properties(game)


def test_from_bytes_on_an_instance_and_with_a_subclass_of_bytes(game):
    class Blob(bytes):
        pass

    game.step(0)
    for restored in (game.from_bytes(game.to_bytes()), PyKrodan.from_bytes(Blob(game.to_bytes()))):
        assert type(restored) is PyKrodan and restored is not game
        assert restored.to_bytes() == game.to_bytes()
    assert PyKrodan.from_bytes(data=game.to_bytes()).ply == 1


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (bytearray(NEW_GAME), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(NEW_GAME), "'memoryview' object is not an instance of 'bytes'"),
        ("x" * 278, "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
    ],
)
def test_states_must_be_bytes(game, value, message):
    with pytest.raises(TypeError) as info:
        PyKrodan.from_bytes(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'data'"]
    with pytest.raises(TypeError) as info:
        game.__setstate__(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'state'"]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda g: PyKrodan.from_bytes(),
         "PyKrodan.from_bytes() missing 1 required positional argument: 'data'"),
        (lambda g: PyKrodan.from_bytes(NEW_GAME, NEW_GAME),
         "PyKrodan.from_bytes() takes 1 positional arguments but 2 were given"),
        (lambda g: g.__setstate__(),
         "PyKrodan.__setstate__() missing 1 required positional argument: 'state'"),
        (lambda g: g.__deepcopy__(),
         "PyKrodan.__deepcopy__() missing 1 required positional argument: '_memo'"),
        (lambda g: g.__deepcopy__({}, memo={}),
         "PyKrodan.__deepcopy__() got an unexpected keyword argument 'memo'"),
    ],
)  # fmt: skip
def test_parameter_list_errors(game, call, message):
    with pytest.raises(TypeError) as info:
        call(game)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make_copy",
    [
        lambda g: g.copy(),
        copy.copy,
        copy.deepcopy,
        lambda g: g.__deepcopy__(None),
        lambda g: g.__deepcopy__(_memo=object()),
    ],
)
def test_copies_are_independent_both_ways(make_copy):
    game = PyKrodan()
    game.step(0)
    twin = make_copy(game)
    assert type(twin) is PyKrodan and twin is not game
    assert twin.to_bytes() == game.to_bytes() and properties(twin) == properties(game)
    state = game.to_bytes()
    twin.step(0)
    assert game.to_bytes() == state
    twin_state = twin.to_bytes()
    game.reset()
    assert twin.to_bytes() == twin_state


def test_deepcopy_leaves_the_memo_alone(game):
    memo: dict = {}
    clone = copy.deepcopy([game, game], memo)
    assert clone[0] is clone[1]  # the host's memo, not ours, shares the copy
    sentinel = {"key": 1}
    game.__deepcopy__(sentinel)
    assert sentinel == {"key": 1}


def test_copies_keep_done_flags_and_placed_counts(finished_games):
    game = finished_games[0]
    for twin in (game.copy(), PyKrodan.from_bytes(game.to_bytes())):
        assert properties(twin) == properties(game)


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_pickle(protocol):
    for game in random_positions(7, every=20):
        loaded = pickle.loads(pickle.dumps(game, protocol))
        assert type(loaded) is PyKrodan
        assert loaded.to_bytes() == game.to_bytes()
        assert properties(loaded) == properties(game)


class Reentrant:
    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


@pytest.mark.parametrize(
    ("name", "call", "message"),
    [
        ("copy", lambda g: g.copy(), "Already mutably borrowed"),
        ("deepcopy", lambda g: copy.deepcopy(g), "Already mutably borrowed"),
        ("to_bytes", lambda g: g.to_bytes(), "Already mutably borrowed"),
        ("observe", lambda g: g.observe(0), "Already mutably borrowed"),
        ("render", lambda g: g.render(), "Already mutably borrowed"),
        ("__setstate__", lambda g: g.__setstate__(NEW_GAME), "Already borrowed"),
    ],
)
def test_members_inside_step_conversion(name, call, message):
    game = PyKrodan()
    game.step(0)
    before = game.to_bytes()
    with pytest.raises(RuntimeError) as info:
        game.step(Reentrant(lambda: call(game)))
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'action_idx'"]
    assert game.to_bytes() == before


def test_members_inside_observe_conversion():
    game = PyKrodan()
    seen = []
    game.observe(Reentrant(lambda: seen.append((game.ply, game.copy().ply, game.to_bytes()))))
    assert seen == [(0, 0, NEW_GAME)]
    for write in (lambda: game.step(0), lambda: game.reset(), lambda: game.__setstate__(NEW_GAME)):
        with pytest.raises(RuntimeError) as info:
            game.observe(Reentrant(write))
        assert str(info.value) == "Already borrowed"
        assert info.value.__notes__ == ["while processing 'agent_idx'"]
    assert game.to_bytes() == NEW_GAME


def test_from_bytes_touches_no_game():
    game = PyKrodan()
    game.step(Reentrant(lambda: PyKrodan.from_bytes(NEW_GAME)))
    assert game.ply == 1
