"""Placement rules on positions drawn as pictures (see boards.py)."""

import numpy as np
from boards import game_from_picture

from krodan_rl import PyKrodan

EMPTY_ROW = "." * 20


def legal(game: PyKrodan) -> set[int]:
    mask = np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
    return set(np.flatnonzero(mask).tolist())


def i1_at(row: int, col: int) -> int:
    """The action placing the one-cell piece (orientation 0) on (row, column), agent 0's frame."""
    return 20 * row + col


def test_a_drawn_first_move_is_the_same_game_as_a_played_one():
    played = PyKrodan()
    played.step(i1_at(0, 0))
    drawn = game_from_picture(
        "\n".join(["0" + "." * 19] + [EMPTY_ROW] * 19),
        hands={0: [n for n in PyKrodan.piece_names if n != "I1"]},
        to_move=1,
        last_codes={0: 1},
    )
    assert drawn.to_bytes() == played.to_bytes()


def test_only_the_corner_touching_cells_take_a_piece():
    game = game_from_picture(
        """
        00..................
        0...................
        ....................
        """
        + "\n".join([EMPTY_ROW] * 17),
        hands={0: ["I1"]},
    )
    # Diagonal to agent 0's cells and beside none of them: (1, 2) and (2, 1); (1, 1) touches
    # two of its cells along an edge.
    assert legal(game) == {i1_at(1, 2), i1_at(2, 1)}


def test_a_cell_beside_another_agent_is_still_open():
    game = game_from_picture(
        """
        0...................
        .1..................
        """
        + "\n".join([EMPTY_ROW] * 18),
        hands={0: ["I1"]},
    )
    # (1, 1) is taken; edge contact with agent 1's cell does not block agent 0.
    assert legal(game) == set()
    game = game_from_picture(
        """
        0...................
        ..1.................
        """
        + "\n".join([EMPTY_ROW] * 18),
        hands={0: ["I1"]},
    )
    assert legal(game) == {i1_at(1, 1)}
