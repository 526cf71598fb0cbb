"""A network's raw policy as a player: one evaluation a move, no search. It decides many games
in one call (``search_moves``), so that the arena and self-play evaluate every game waiting on
it in one batch, and plays single games with ``act``."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import seeds
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import NUM_AGENTS, NUM_PIECES, OBSERVATION_SHAPE
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.search import SearchMove

__all__ = ["PolicyPlayer", "observed"]

Array = npt.NDArray[Any]


def observed(games: Sequence[PyKrodan]) -> dict[str, Array]:
    """The movers' views of ``games`` as the arrays a network takes, with their legal actions
    (CSR: ``legal_actions``, ``legal_offsets``)."""
    planes, pieces, done, legal = [], [], [], []
    for game in games:
        view = game.observe(game.agent_selection)
        planes.append(np.frombuffer(view.observation + view.corners + view.blocked, np.uint8))
        pieces.append(np.frombuffer(view.pieces, np.uint8))
        done.append(np.frombuffer(view.done, np.uint8))
        legal.append(np.flatnonzero(np.frombuffer(view.action_mask, np.bool_)).astype(np.int32))
    offsets = np.zeros(len(games) + 1, dtype=np.int32)
    np.cumsum([len(a) for a in legal], out=offsets[1:])
    return {
        "observation": np.stack(planes).reshape(-1, *OBSERVATION_SHAPE),
        "pieces": np.stack(pieces).reshape(-1, NUM_AGENTS, NUM_PIECES),
        "done": np.stack(done).reshape(-1, NUM_AGENTS),
        "legal_actions": np.concatenate(legal) if legal else np.empty(0, np.int32),
        "legal_offsets": offsets,
    }


class PolicyPlayer:
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

    def act(self, game: PyKrodan) -> int | None:
        """The action of the mover of ``game`` in its frame, None when it is done."""
        if game.is_over or game.terminations[game.agent_selection]:
            return None
        seed = seeds.call_seeds(self.seed, self._calls)
        self._calls += 1
        move = self.search_moves([game], seed)[0]
        assert move is not None
        return move.action

    def __repr__(self) -> str:
        return f"PolicyPlayer({self.evaluator!r}, sample={self.sample}, name={self.name!r})"
