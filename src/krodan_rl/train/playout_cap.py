"""Playout cap randomisation: a search player that searches a share of its moves fully, for
policy targets, and the rest cheaply, for more games' worth of value targets in the same time.

Each move is drawn full or cheap from its own seed (``seeds.full_search_draw``), so that what
a game records depends on neither the games searched beside it nor the process that plays it:
a run killed and resumed replays the same draws. The games a call is given are split by kind
and searched in two batches, one per player. The cheap player is made to play without noise or
draws (its search's best move), and its moves are given without a policy (empty ``actions``
and ``probs``), which self-play records as rows for the value only.

Two batched searches rather than one with a budget per game: the native search holds one
simulation count for all its games (the Gumbel root's halving schedule follows from it), and
each game's search depends on its own seed only, so splitting the batch changes no game's
search. The cost is a second, smaller batch of evaluations each round of moves.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.search import ActsBySearch, SearchMove, SearchPlayer
from krodan_rl.seeds import full_search_draw

__all__ = ["PlayoutCapPlayer"]

_NO_ACTIONS = np.empty(0, dtype=np.int32)
_NO_PROBS = np.empty(0, dtype=np.float32)


class PlayoutCapPlayer(ActsBySearch):
    """Searches each move with ``full`` where the move's draw falls below ``full_share`` (its
    policy the target), with ``cheap`` otherwise (its move played, no policy given). Both are
    search players; ``cheap`` should play without noise or draws. ``seed`` and ``name`` as a
    ``GuidedPlayer``'s (``act`` searches one game from the stream of its call)."""

    def __init__(
        self,
        full: SearchPlayer,
        cheap: SearchPlayer,
        full_share: float,
        seed: int | None = None,
        name: str | None = None,
    ) -> None:
        self.full, self.cheap = full, cheap
        self.full_share = arguments.real(full_share, "full_share", minimum=0, maximum=1)
        self.seed = arguments.optional_seed(seed)
        self.name = name if name is not None else f"cap:{self.full_share:g}"
        self._calls = 0

    def is_full(self, seed: int) -> bool:
        """Whether the move searched from ``seed`` is searched fully."""
        return full_search_draw(seed) < self.full_share

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.ArrayLike
    ) -> list[SearchMove | None]:
        """One move per game given (None: none), each from its kind's search with its seed."""
        # uint64: numpy reads a list of ints beyond 2**63 as float64.
        seed_array = np.asarray(seeds, dtype=np.uint64)
        pairs = zip(games, seed_array, strict=True)
        full = [g is not None and self.is_full(int(s)) for g, s in pairs]
        moves: list[Any] = [None] * len(games)
        for player, wanted in ((self.full, True), (self.cheap, False)):
            asked = [g if f == wanted else None for g, f in zip(games, full, strict=True)]
            if all(g is None for g in asked):
                continue
            found = player.search_moves(asked, seed_array)
            for i, game in enumerate(asked):
                if game is not None:
                    moves[i] = found[i] if wanted else _without_policy(found[i])
        return moves

    def __repr__(self) -> str:
        return f"PlayoutCapPlayer({self.full!r}, {self.cheap!r}, {self.full_share:g})"


def _without_policy(found: Any) -> Any:
    """A cheap search's entry for one game: its move without its policy. Anything else goes on
    as it is, for the match runner to refuse."""
    if isinstance(found, Sequence) and not isinstance(found, str) and len(found) == 3:
        return SearchMove(found[0], _NO_ACTIONS, _NO_PROBS)
    return found
