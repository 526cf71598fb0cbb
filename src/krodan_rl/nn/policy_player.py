"""A network's raw policy as a player: one evaluation a move, no search. It decides many games
in one call (``search_moves``), so that the arena and self-play evaluate every game waiting on
it in one batch, and plays single games with ``act``."""

from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import MAX_GAMES, STATE_SIZE
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.search import ActsBySearch, SearchMove
from krodan_rl.views import ViewBuilder

__all__ = ["PolicyPlayer", "observed"]

Array = npt.NDArray[Any]


def observed(games: Sequence[PyKrodan]) -> dict[str, Array]:
    """The movers' views of ``games`` as the arrays a network takes, with their legal actions
    (CSR: ``legal_actions``, ``legal_offsets``). Each game's mover must have a move: a game
    that is over, or whose mover is done (it passes), is refused (ValueError)."""
    for i, game in enumerate(games):
        if game.is_over or game.terminations[game.agent_selection]:
            raise ValueError(f"game {i} has no move to decide: it is over or its mover passes")
    states = np.frombuffer(b"".join(game.to_bytes() for game in games), np.uint8)
    movers = np.array([game.agent_selection for game in games], dtype=np.int8)
    views, _, _ = _builder().build(states.reshape(len(games), STATE_SIZE), movers)
    return views


# Each thread's builder of views, kept from call to call (its batch is costly to make); made
# anew in a new process, since a batch's threads stay behind a fork.
_cached = threading.local()


def _builder() -> ViewBuilder:
    if getattr(_cached, "pid", None) != os.getpid():
        _cached.builder, _cached.pid = ViewBuilder(MAX_GAMES, "csr"), os.getpid()
    builder: ViewBuilder = _cached.builder
    return builder


class PolicyPlayer(ActsBySearch):
    """Plays the network's policy over the legal actions: its most probable action, or with
    ``sample`` a draw from it (each move from the seed it is given, or for ``act`` from
    (seed, number of earlier calls))."""

    def __init__(
        self,
        evaluator: NetworkEvaluator,
        sample: bool = False,
        seed: int | None = None,
        name: str | None = None,
    ) -> None:
        self.evaluator = evaluator
        self.sample = arguments.flag(sample, "sample")
        self.seed = arguments.optional_seed(seed)
        self.name = name if name is not None else "policy"
        self.stateless = not self.sample
        self._calls = 0

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.ArrayLike
    ) -> list[SearchMove | None]:
        asked = [i for i, game in enumerate(games) if game is not None]
        moves: list[SearchMove | None] = [None] * len(games)
        if not asked:
            return moves
        inputs = observed([games[i] for i in asked])  # type: ignore[misc]
        priors, _ = self.evaluator(inputs)
        offsets = inputs["legal_offsets"]
        seed_values = np.asarray(seeds, dtype=np.uint64)
        for k, i in enumerate(asked):
            actions = inputs["legal_actions"][offsets[k] : offsets[k + 1]]
            probs = priors[offsets[k] : offsets[k + 1]]
            if self.sample:
                rng = np.random.default_rng(int(seed_values[i]))
                chosen = int(actions[rng.choice(len(actions), p=probs / probs.sum())])
            else:
                chosen = int(actions[int(np.argmax(probs))])
            moves[i] = SearchMove(chosen, actions, (probs / probs.sum()).astype(np.float32))
        return moves

    def __repr__(self) -> str:
        return f"PolicyPlayer({self.evaluator!r}, sample={self.sample}, name={self.name!r})"
