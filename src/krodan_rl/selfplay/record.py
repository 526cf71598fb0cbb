"""The record of a self-play game, ``SelfPlayRecord``: one ``Turn`` per placement, with the
fields of a turns row named as the dataset's columns, and the game's end. Tables are built from
records by column name (``krodan_rl.selfplay.tables``), so a new column is a field here and a
column in the schema, never a position to keep in step. (``krodan_rl.play.GameRecord`` is
another thing: a timed demo game's end.) ``GameRecord`` is this class's older name, deprecated.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl._krodan import PyKrodan
from krodan_rl.matches.lockstep import Decision

__all__ = ["SelfPlayRecord", "Turn"]


@dataclass(frozen=True)
class Turn:
    """One placement: the fields of its turns row but ``game_id`` (the record's game)."""

    ply: int
    mover: int
    state: bytes  # the position before the placement, the mover to play
    action: int
    has_policy: bool
    policy_actions: npt.NDArray[np.int32]
    policy_probs: npt.NDArray[np.float32]


@dataclass
class SelfPlayRecord:
    """A self-play game's turns as they are played, each with its position and policy target,
    and its end once it is over: the rows it gives the dataset."""

    turns: list[Turn] = field(default_factory=list)
    placements: int = 0  # kept when the turns are released
    final_scores: list[int] = field(default_factory=list)
    outcomes: dict[str, list[float]] = field(default_factory=dict)

    def add(self, game: PyKrodan, decision: Decision) -> None:
        """The decision about to be played in ``game``."""
        self.turns.append(
            Turn(
                ply=game.ply,
                mover=game.agent_selection,
                state=game.to_bytes(),
                action=decision.action,
                has_policy=decision.has_policy,
                policy_actions=decision.actions,
                policy_probs=decision.probs,
            )
        )
        self.placements += 1

    def finish(self, game: PyKrodan) -> None:
        self.final_scores = list(game.scores)
        for mode in PyKrodan.reward_modes:
            outcome = game.outcome(mode)
            assert outcome is not None  # the game is over
            self.outcomes[mode] = outcome

    def release(self) -> None:
        """Forgets the turns, once written; the end of the game stays."""
        self.turns = []

    def game_columns(self) -> dict[str, Any]:
        """The games row's fields that come from the game itself."""
        return {
            "final_scores": self.final_scores,
            **{f"outcome_{mode}": values for mode, values in self.outcomes.items()},
            "turns": self.placements,
        }


def __getattr__(name: str) -> Any:
    if name == "GameRecord":
        warnings.warn(
            "krodan_rl.selfplay.record.GameRecord is now SelfPlayRecord",
            DeprecationWarning,
            stacklevel=2,
        )
        return SelfPlayRecord
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
