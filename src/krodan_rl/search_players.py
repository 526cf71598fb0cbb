"""What a search player is: the move it gives (``SearchMove``), the protocol the arena and
self-play know it by (``SearchPlayer``), ``act(game)`` for one game written once
(``ActsBySearch``), and what it changes to play for data (``EXPLORATION``). Its names are
``krodan_rl.search``'s too."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from types import MappingProxyType
from typing import Any, Final, NamedTuple, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from krodan_rl import seeds
from krodan_rl._krodan import PyKrodan
from krodan_rl.native_options import SearchConfig

__all__ = ["EXPLORATION", "ActsBySearch", "SearchMove", "SearchPlayer"]

#: What a search player changes when it plays for data rather than to win (``GuidedPlayer``'s
#: keywords): noise on its roots, at a default search's fraction, and a draw from its visits at
#: temperature 1 instead of the most visited action.
EXPLORATION: Final[Mapping[str, Any]] = MappingProxyType(
    {"temperature": 1.0, "dirichlet_fraction": SearchConfig.dirichlet_fraction}
)


class SearchMove(NamedTuple):
    """A searched move: the action played, and the root's visit distribution over the mover's
    legal actions (``actions`` ascending, ``probs`` summing to 1), or none (both empty) for a
    move whose search was too cheap to be a policy target: self-play records it for the value
    only. A plain 3-tuple ``(action, actions, probs)`` is taken wherever a SearchMove is."""

    action: int
    actions: npt.NDArray[np.int32]
    probs: npt.NDArray[np.float32]


@runtime_checkable
class SearchPlayer(Protocol):
    """A player that decides many games in one call and gives its policy: for each game given
    (None for the others) the move searched from the stream of its seed, or None."""

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.NDArray[np.uint64]
    ) -> Sequence[SearchMove | tuple[int, npt.ArrayLike, npt.ArrayLike] | None]: ...


class ActsBySearch:
    """``act(game)`` for a search player: its one game searched with the seed of this call,
    from the player's ``seed`` and how many calls came before (``seeds.call_seeds``)."""

    seed: int
    _calls: int

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.ArrayLike
    ) -> list[SearchMove | None]:
        raise NotImplementedError

    def act(self, game: PyKrodan) -> int | None:
        """The action of the mover of ``game`` in its frame, None when it is done."""
        if game.is_over or game.terminations[game.agent_selection]:
            return None
        seed = seeds.call_seeds(self.seed, self._calls)
        self._calls += 1
        move = self.search_moves([game], seed)[0]
        assert move is not None
        return move.action
