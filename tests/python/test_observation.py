"""Observations through the host: byte layout, frames, the action mask and snapshot semantics."""

import gc

import pytest
from conftest import random_positions, set_indices

from krodan_rl._krodan import PyKrodan, PyObservation

BUFFERS = {
    "observation": 1600,
    "corners": 1600,
    "blocked": 1600,
    "pieces": 84,
    "done": 4,
    "action_mask": 36400,
}


def state_with(cells: dict[int, list[tuple[int, int]]], current: int = 0) -> bytes:
    """A state string of a new game in which agent a covers the cells (row, col) of cells[a]."""
    state = bytearray(PyKrodan().to_bytes())
    for agent, covered in cells.items():
        for row, col in covered:
            bit = 21 * row + col
            limb, position = 3 - bit // 128, bit % 128
            state[1 + 69 * agent + 16 * limb + position // 8] |= 1 << (position % 8)
    state[277] = current
    return bytes(state)


def turned_ccw(plane: bytes, quarter_turns: int) -> bytes:
    """A 20 x 20 plane turned counter-clockwise: (r, c) goes to (19 - c, r) per quarter turn."""
    for _ in range(quarter_turns):
        out = bytearray(400)
        for r in range(20):
            for c in range(20):
                out[20 * (19 - c) + r] = plane[20 * r + c]
        plane = bytes(out)
    return plane


def test_property_docs_and_lengths(game):
    obs = game.observe(0)
    docs = {
        "observation": "The occupied cells in (agent, row, col) order.",
        "corners": "The cells each agent's next piece can attach to, in (agent, row, col) order.",
        "blocked": "The cells each agent can never fill, in (agent, row, col) order.",
        "pieces": "The pieces each agent still has, in (agent, piece) order.",
        "done": "Whether each agent is out of moves.",
        "action_mask": "The action mask over the flattened action grid.",
    }
    for name, length in BUFFERS.items():
        assert vars(PyObservation)[name].__doc__ == docs[name]
        value = getattr(obs, name)
        assert type(value) is bytes and len(value) == length


@pytest.mark.parametrize("observer", range(4))
def test_new_game_bytes(game, observer):
    obs = game.observe(observer)
    assert obs.observation == bytes(1600)
    assert obs.blocked == bytes(1600)
    assert set_indices(obs.corners) == [0, 419, 1199, 1580]
    assert obs.pieces == b"\x01" * 84
    assert obs.done == bytes(4)
    mask = set_indices(obs.action_mask)
    assert len(mask) == 58 and all(action % 400 == 0 for action in mask)
    assert obs.action_mask == game.observe(0).action_mask


def test_after_the_one_cell_piece_at_the_origin(game):
    game.step(0)
    obs = game.observe(0)
    assert set_indices(obs.observation) == [0]
    assert set_indices(obs.corners) == [21, 419, 1199, 1580]
    assert set_indices(obs.blocked) == [0, 1, 20, 400, 800, 1200]
    assert obs.pieces[0] == 0 and obs.pieces.count(1) == 83
    obs = game.observe(1)
    assert set_indices(obs.observation) == [1580]
    assert set_indices(obs.corners) == [0, 419, 1199, 1561]
    assert set_indices(obs.blocked) == [380, 780, 1180, 1560, 1580, 1581]
    assert obs.pieces[63] == 0 and obs.pieces.count(1) == 83


def test_observer_whose_start_cell_is_covered():
    game = PyKrodan.from_bytes(state_with({0: [(19, 19)]}))
    assert game.terminations == [False, False, True, False]
    obs = game.observe(2)
    assert obs.corners[:400] == bytes(400)  # its own plane
    assert obs.action_mask == bytes(36400)
    assert obs.done == b"\x01\x00\x00\x00"
    assert game.observe(0).corners[800:1200] == bytes(400)


@pytest.mark.parametrize("observer", range(4))
def test_guard_column_never_leaks_into_column_zero(observer):
    # A vertical line of agent 0 in column 19 of the observer's frame, rows 3-7.
    cells = [(r, 19) for r in range(3, 8)]
    for _ in range(observer):  # back to the board frame: clockwise turns
        cells = [(c, 19 - r) for r, c in cells]
    obs = PyKrodan.from_bytes(state_with({0: cells})).observe(observer)
    plane = (-observer) % 4  # agent 0's relative index
    corners = obs.corners[400 * plane : 400 * plane + 400]
    blocked = obs.blocked[400 * plane : 400 * plane + 400]
    assert all(corners[20 * r] == 0 and blocked[20 * r] == 0 for r in range(20))
    assert blocked[20 * 2 + 19] == 1 and corners[20 * 2 + 18] == 1


def test_every_byte_is_zero_or_one():
    for game in random_positions(4, every=9):
        for observer in range(4):
            obs = game.observe(observer)
            for name in BUFFERS:
                assert set(getattr(obs, name)) <= {0, 1}


def test_mask_is_exactly_what_step_accepts():
    movers = set()
    for seed in (1, 2):
        for game in random_positions(seed, every=5):
            agent = game.agent_selection
            mask = game.observe(agent).action_mask
            if game.terminations[agent]:
                assert mask == bytes(36400)
                continue
            accepted = bytearray(36400)
            trial = game.copy()
            for action in range(36400):
                try:
                    trial.step(action)
                except AssertionError:
                    continue
                accepted[action] = 1
                trial = game.copy()
            assert mask == bytes(accepted)
            movers.add(agent)
    assert movers == {0, 1, 2, 3}


def test_done_observer_has_an_empty_mask(finished_games):
    for agent in range(4):
        obs = finished_games[0].observe(agent)
        assert obs.action_mask == bytes(36400)
        assert obs.done == b"\x01" * 4


def test_observers_see_turned_planes():
    for game in random_positions(6, every=15):
        base = game.observe(0)
        for observer in range(1, 4):
            seen = game.observe(observer)
            for k in range(4):
                agent = (observer + k) % 4
                for name in ("observation", "corners", "blocked"):
                    mine = getattr(seen, name)[400 * k : 400 * k + 400]
                    theirs = getattr(base, name)[400 * agent : 400 * agent + 400]
                    assert mine == turned_ccw(theirs, observer), (name, observer, k)
                assert (
                    seen.pieces[21 * k : 21 * k + 21] == base.pieces[21 * agent : 21 * agent + 21]
                )
                assert seen.done[k] == base.done[agent]


def test_snapshots_survive_steps_and_the_game(game):
    obs = game.observe(0)
    before = {name: getattr(obs, name) for name in BUFFERS}
    game.step(0)
    assert {name: getattr(obs, name) for name in BUFFERS} == before
    assert game.observe(0).observation != before["observation"]
    del game
    gc.collect()
    assert {name: getattr(obs, name) for name in BUFFERS} == before


def test_repeated_reads_are_equal_but_distinct(game):
    obs = game.observe(1)
    for name in BUFFERS:
        first, second = getattr(obs, name), getattr(obs, name)
        assert first == second
        if len(first) > 1:
            assert first is not second
    assert game.observe(1).action_mask == obs.action_mask


def test_properties_are_read_only(game):
    obs = game.observe(0)
    for name in BUFFERS:
        with pytest.raises(AttributeError):
            setattr(obs, name, b"")
        with pytest.raises(AttributeError):
            delattr(obs, name)
    assert obs.done == bytes(4)


@pytest.mark.parametrize(
    ("value", "error", "message", "note"),
    [
        (4, ValueError, "Unknown agent 4", None),
        (2**64 - 1, ValueError, "Unknown agent 18446744073709551615", None),
        (-1, OverflowError, None, "while processing 'agent_idx'"),
        (None, TypeError, None, "while processing 'agent_idx'"),
        ("0", TypeError, None, "while processing 'agent_idx'"),
    ],
)
def test_observe_argument_errors(game, value, error, message, note):
    with pytest.raises(error) as info:
        game.observe(value)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", [None]) == [note]


def test_observe_signature():
    assert PyKrodan.observe.__text_signature__ == "($self, agent_idx)"
    game = PyKrodan()
    assert game.observe(agent_idx=3).corners == game.observe(True + 2).corners


def test_numpy_views():
    numpy = pytest.importorskip("numpy")
    game = PyKrodan()
    game.step(0)
    obs = game.observe(0)
    mask = numpy.frombuffer(obs.action_mask, dtype=numpy.uint8).reshape(91, 20, 20)
    planes = numpy.frombuffer(obs.observation, dtype=numpy.uint8).reshape(4, 20, 20)
    pieces = numpy.frombuffer(obs.pieces, dtype=numpy.uint8).reshape(4, 21)
    assert planes[0, 0, 0] == 1 and planes.sum() == 1
    assert pieces[0, 0] == 0 and pieces.sum() == 83
    orientation, row, col = numpy.nonzero(mask)
    assert len(orientation) == int(mask.sum())
    assert ((orientation * 400 + row * 20 + col) == numpy.flatnonzero(mask)).all()
