"""The engine's facts and the layouts built on them, read from the native module once: every
other module imports them from here and keeps no copy (a test reads the source for copies).

Where each kind of fact lives:

- the game's rules and sizes (agents, pieces, board side, actions, scores): the engine
  (``src/game``), reached here through ``krodan_rl._native``;
- the layouts of what crosses into Python (observation planes, the extras beside them, a
  search's leaves): here, derived from those sizes;
- the limits of native calls (games, threads, simulations, trees): ``krodan_rl._native``,
  named here;
- the options of native objects and their defaults (a search's, a batch's, an agent's): their
  records in ``krodan_rl.native_options``, whose defaults the native module gives;
- what a search player changes to explore: ``krodan_rl.search.EXPLORATION``;
- how seeds derive from seeds: ``krodan_rl.seeds``; how many cores this process may use:
  ``cores()`` below;
- a dataset's columns: ``krodan_rl.data.schema``; a position's views: ``krodan_rl.views``.

``PyKrodan``'s class attributes (``num_actions`` and the rest) give the same numbers, for code
that holds only the game class.
"""

from __future__ import annotations

import os
from typing import Any, Final

import numpy as np

from krodan_rl import _native

__all__ = [
    "BOARD_CELLS",
    "BOARD_SIZE",
    "EXTRAS",
    "FLAT_SIZE",
    "FLAT_SLICES",
    "HIGHEST_SCORE",
    "LEAF_LAYOUT",
    "LOWEST_SCORE",
    "MAX_GAMES",
    "MAX_GUMBEL_ACTIONS",
    "MAX_PLACEMENTS",
    "MAX_SIMULATIONS",
    "MAX_THREADS",
    "MAX_TREES",
    "NUM_ACTIONS",
    "NUM_AGENTS",
    "NUM_ORIENTATIONS",
    "NUM_PIECES",
    "OBSERVATION_LAYOUT",
    "OBSERVATION_SHAPE",
    "OWNER_CLASSES",
    "PLANES",
    "STATE_SIZE",
    "cores",
]

#: Agents (seats) in a game.
NUM_AGENTS: Final[int] = _native.NUM_AGENTS
#: Pieces in each agent's hand at the start.
NUM_PIECES: Final[int] = _native.NUM_PIECES
#: The board's side, in cells.
BOARD_SIZE: Final[int] = _native.BOARD_SIZE
BOARD_CELLS: Final[int] = BOARD_SIZE * BOARD_SIZE
#: Actions: orientation o anchored at row r, column c is ``o * BOARD_CELLS + r * BOARD_SIZE + c``.
NUM_ACTIONS: Final[int] = _native.NUM_ACTIONS
#: Distinct placements of a piece (turns and flips of every piece, duplicates removed).
NUM_ORIENTATIONS: Final[int] = NUM_ACTIONS // BOARD_CELLS
#: The most placements a game holds (every agent places every piece).
MAX_PLACEMENTS: Final[int] = NUM_AGENTS * NUM_PIECES
#: The bytes of a game's state string (``PyKrodan.to_bytes``), as datasets store it.
STATE_SIZE: Final[int] = _native.STATE_SIZE
LOWEST_SCORE: Final[int] = _native.LOWEST_SCORE
HIGHEST_SCORE: Final[int] = _native.HIGHEST_SCORE

#: An observation's planes (planes, rows, columns), in the mover's frame.
OBSERVATION_SHAPE: Final[tuple[int, int, int]] = tuple(_native.OBSERVATION_SHAPE)  # type: ignore[assignment]
PLANES: Final[int] = OBSERVATION_SHAPE[0]
#: What a network takes beside the planes: the pieces in every hand and the done flags.
EXTRAS: Final[int] = NUM_AGENTS * NUM_PIECES + NUM_AGENTS
#: What a cell may hold at a game's end, as an ownership target and head read it: 0 empty, or
#: 1 + k covered by agent k of an observation's relative order.
OWNER_CLASSES: Final[int] = 1 + NUM_AGENTS

Layout = dict[str, tuple[np.dtype[Any], tuple[int, ...]]]

#: One agent's view as the batch, the seat environment and a search give it, each a 0/1 array:
#: name -> (dtype, shape) (``action_mask`` only where dense masks are asked for; the legal
#: actions otherwise come as int32 CSR lists, ``legal_actions`` and ``legal_offsets``).
OBSERVATION_LAYOUT: Final[Layout] = {
    "observation": (np.dtype(np.uint8), OBSERVATION_SHAPE),
    "pieces": (np.dtype(np.uint8), (NUM_AGENTS, NUM_PIECES)),
    "done": (np.dtype(np.uint8), (NUM_AGENTS,)),
    "action_mask": (np.dtype(np.bool_), (NUM_ACTIONS,)),
}


def _flat_slices(layout: Layout) -> dict[str, slice]:
    """Each field's place in the flat row: the fields one after another, in the layout's order."""
    found: dict[str, slice] = {}
    start = 0
    for name, (_, shape) in layout.items():
        found[name] = slice(start, start + int(np.prod(shape)))
        start = found[name].stop
    return found


#: The same view as one flat uint8 row (``SeatVectorEnv(flat=True)``): the fields above in their
#: order, each flattened, the mask last; ``FLAT_SLICES[name]`` is where a field lies in the row.
FLAT_SLICES: Final[dict[str, slice]] = _flat_slices(OBSERVATION_LAYOUT)
FLAT_SIZE: Final[int] = FLAT_SLICES["action_mask"].stop
#: A search's leaves as ``pending`` gives them, one row per leaf: the view, its mover and its
#: game's slot.
LEAF_LAYOUT: Final[Layout] = {
    **OBSERVATION_LAYOUT,
    "mover": (np.dtype(np.int8), ()),
    "game_index": (np.dtype(np.int32), ()),
}

#: The limits of native calls.
MAX_GAMES: Final[int] = _native.MAX_GAMES
MAX_THREADS: Final[int] = _native.MAX_THREADS
MAX_SIMULATIONS: Final[int] = _native.MAX_SIMULATIONS
MAX_TREES: Final[int] = _native.MAX_TREES
MAX_GUMBEL_ACTIONS: Final[int] = _native.MAX_GUMBEL_ACTIONS


def cores() -> int:
    """The cores this process may run on: what "one per core" means everywhere (worker
    processes, native threads). A CPU affinity limit (``taskset``, a container's CPU set) counts,
    not only the machine's count."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1
