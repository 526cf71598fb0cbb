"""Targets from the end of each row's game, rebuilt from the stored games rather than stored
beside them, so that every dataset already written has them: each agent's final score and each
cell's final owner.

The final position is the last row's state with its action played: a games shard holds whole
games, and its checks have replayed every row, so that one native replay per game rebuilds it
exactly. Its owners are read once per game in the board frame; a batch then turns them into
each row's mover's frame and relative order (``relative_targets``), as the observation planes
and the value target are, with a few gathers and no Python loop over rows.
"""

from __future__ import annotations

from functools import lru_cache
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, actions, outcomes
from krodan_rl._krodan import PyKrodan
from krodan_rl.data.rows import Rows
from krodan_rl.facts import BOARD_CELLS, BOARD_SIZE, NUM_AGENTS

__all__ = ["EMPTY", "final_owners", "relative_targets"]

Array = npt.NDArray[Any]

#: The ownership target's class of an empty cell (``facts.OWNER_CLASSES``: 1 + k is a cell of
#: relative agent k, the mover's own cells class 1).
EMPTY = 0


def final_owners(rows: Rows) -> Array:
    """For each of ``rows`` (whole games, each one's rows together, as a shard holds them): the
    owner of each cell of its game's final position, uint8 (rows, 400) in the board frame,
    ``_native.NO_OWNER`` where empty."""
    if not len(rows):
        return np.empty((0, BOARD_CELLS), np.uint8)
    last = np.flatnonzero(np.append(rows.game_id[1:] != rows.game_id[:-1], True))
    after = np.empty((len(last), rows.state.shape[1]), dtype=np.uint8)
    _native.replay_rows(
        states=np.ascontiguousarray(rows.state[last]).reshape(-1),
        actions=np.ascontiguousarray(rows.action[last], dtype=np.int64),
        after=after.reshape(-1),
        movers=np.empty(len(last), dtype=np.int8),
        over=np.empty(len(last), dtype=np.uint8),
        scores=np.empty(len(last) * NUM_AGENTS, dtype=np.int16),
    )
    owners = np.stack([_owner_grid(state) for state in after])
    return np.repeat(owners, np.diff(np.append(-1, last)), axis=0)


def _owner_grid(state: Array) -> Array:
    grid = _native.owner_grid(PyKrodan.from_bytes(state.tobytes()))
    return np.frombuffer(grid, dtype=np.uint8)


@lru_cache(maxsize=1)
def _frame_cells() -> Array:
    """``cells[a, f]``: the board cell (row * 20 + column) at cell f of agent a's frame, the
    frame of its observation planes and actions (read from the engine's action table)."""
    frames = actions.table().frame_to_board.astype(np.intp)
    cells = (frames[..., 0] * BOARD_SIZE + frames[..., 1]).reshape(NUM_AGENTS, BOARD_CELLS)
    cells.flags.writeable = False
    return cells


@lru_cache(maxsize=1)
def _classes() -> Array:
    """``classes[m, o]``: the class, for mover m, of a cell whose owner grid holds o: 1 + the
    owner's index relative to m, or ``EMPTY`` (``_native.NO_OWNER``, or anything else)."""
    classes = np.full((NUM_AGENTS, 256), EMPTY, dtype=np.uint8)
    for mover in range(NUM_AGENTS):
        for owner in range(NUM_AGENTS):
            classes[mover, owner] = 1 + (owner - mover) % NUM_AGENTS
    classes.flags.writeable = False
    return classes


def relative_targets(final_scores: Array, owners: Array, movers: Array) -> dict[str, Array]:
    """The rows' final targets in each one's mover's frame and relative order (index k is agent
    (mover + k) % 4): ``final_score`` float32 (B, 4), the scores on the searches' [0, 1] scale
    (``outcomes.normalise``), and ``final_owner`` uint8 (B, 20, 20), each cell's class
    (``EMPTY``, or 1 + the relative agent that covers it)."""
    mover = np.asarray(movers, dtype=np.intp)
    order = (mover[:, None] + np.arange(NUM_AGENTS)[None, :]) % NUM_AGENTS
    scores = outcomes.normalise(np.take_along_axis(final_scores, order, axis=1), "score")
    owner = np.take_along_axis(owners, _frame_cells()[mover], axis=1)
    classes = _classes()[mover][np.arange(len(mover))[:, None], owner]
    return {
        "final_score": scores,
        "final_owner": classes.reshape(len(mover), BOARD_SIZE, BOARD_SIZE),
    }
