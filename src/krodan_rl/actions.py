"""What an action index places, as numpy tables read from the engine's own action table.

An action is ``orientation * 400 + row * 20 + column``: one of the 91 orientations of the 21
pieces, its bounding box's top-left cell at (row, column), in the frame of the agent that plays
it (the board turned so that the agent's start cell is the top-left one). 30,433 of the 36,400
indices fit on the board.

    >>> from krodan_rl import actions
    >>> t = actions.table()
    >>> a = 2 * 400 + 5 * 20 + 7
    >>> t.piece_names[t.piece[a]], int(t.size[a]), t.cells[a, : t.size[a]].tolist()
    ('I2', 2, [[5, 7], [6, 7]])
    >>> t.frame_to_board[1, 0, 0].tolist()  # agent 1's top-left cell: its start, top-right
    [0, 19]
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import lru_cache

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, facts
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import BOARD_SIZE, NUM_AGENTS

__all__ = ["ActionTable", "table"]

BOARD = BOARD_SIZE
MAX_CELLS = 5


@dataclass(frozen=True)
class ActionTable:
    """Per action index (36,400 rows): ``orientation``, ``anchor_row`` and ``anchor_col`` (the
    bounding box's top-left cell), whether it ``fits`` on the board, its ``piece`` index (into
    ``piece_names``; -1 where it does not fit), ``size`` (cells; 0 where it does not fit) and
    ``cells`` (5, 2): the (row, column) of each covered cell in the acting agent's frame, -1
    after the last. ``frame_to_board[a, r, c]`` is the board's (row, column) of cell (r, c) of
    agent a's frame."""

    orientation: npt.NDArray[np.int16]
    anchor_row: npt.NDArray[np.int8]
    anchor_col: npt.NDArray[np.int8]
    fits: npt.NDArray[np.bool_]
    piece: npt.NDArray[np.int8]
    size: npt.NDArray[np.int8]
    cells: npt.NDArray[np.int8]
    frame_to_board: npt.NDArray[np.int8]
    piece_names: tuple[str, ...]

    def on_board(self, agent: int, action: int) -> npt.NDArray[np.int8]:
        """The board's (row, column) of each cell ``action`` covers when agent ``agent`` plays
        it, (size, 2); (0, 2) for an action that does not fit. A negative index is refused
        rather than read from the end as numpy would."""
        agent = arguments.integer(agent, "agent", minimum=0, maximum=facts.NUM_AGENTS - 1)
        action = arguments.integer(action, "action", minimum=0, maximum=facts.NUM_ACTIONS - 1)
        cells = self.cells[action, : self.size[action]]
        out: npt.NDArray[np.int8] = self.frame_to_board[agent, cells[:, 0], cells[:, 1]]
        return out


@lru_cache(maxsize=1)
def table() -> ActionTable:
    """The table, built once (read-only arrays)."""
    piece_bytes, cell_bytes, frame_bytes = _native.action_rows()
    index = np.arange(facts.NUM_ACTIONS)
    piece = np.frombuffer(piece_bytes, dtype=np.int8).copy()
    flat_cells = np.frombuffer(cell_bytes, dtype=np.int16).reshape(-1, MAX_CELLS)
    cells = np.where(
        flat_cells[..., None] >= 0,
        np.stack([flat_cells // BOARD, flat_cells % BOARD], axis=-1),
        -1,
    ).astype(np.int8)
    frames = np.frombuffer(frame_bytes, dtype=np.int16).reshape(NUM_AGENTS, BOARD, BOARD)
    frame_to_board = np.stack([frames // BOARD, frames % BOARD], axis=-1).astype(np.int8)
    found = ActionTable(
        orientation=(index // (BOARD * BOARD)).astype(np.int16),
        anchor_row=(index % (BOARD * BOARD) // BOARD).astype(np.int8),
        anchor_col=(index % BOARD).astype(np.int8),
        fits=piece >= 0,
        piece=piece,
        size=(flat_cells >= 0).sum(axis=1).astype(np.int8),
        cells=cells,
        frame_to_board=frame_to_board,
        piece_names=tuple(PyKrodan.piece_names),
    )
    for array in vars(found).values():
        if isinstance(array, np.ndarray):
            array.flags.writeable = False
    return found
