"""What a finished game is worth to each agent: its outcome in each reward mode, and the same
outcome on the [0, 1] scale that the searches take as values.

    outcome_values(scores, "rank")          # from the final scores
    normalise(outcome, "score")             # scores s as (s - LOWEST_SCORE) / SCORE_RANGE

"win_share" and "rank" outcomes already lie in [0, 1] and are left as they are; scores run from
-89 (every cell in hand) to 20 (every piece placed, the one-cell piece last).
"""

from __future__ import annotations

from typing import Final

import numpy as np
import numpy.typing as npt

from krodan_rl import facts
from krodan_rl._internal import arguments

__all__ = ["HIGHEST_SCORE", "LOWEST_SCORE", "SCORE_RANGE", "normalise", "outcome_values"]

AGENTS: Final = facts.NUM_AGENTS
LOWEST_SCORE: Final = facts.LOWEST_SCORE
HIGHEST_SCORE: Final = facts.HIGHEST_SCORE
SCORE_RANGE: Final = HIGHEST_SCORE - LOWEST_SCORE

FloatArray = npt.NDArray[np.float64]


def outcome_values(scores: npt.ArrayLike, mode: str) -> FloatArray:
    """The four agents' final values in `mode` from their scores, for one game of shape (4,)
    or for games stacked along the leading axes, as the engine's reward modes define them.

    "score" is the score; "win_share" shares one win equally among the top scores; "rank"
    gives each agent the mean value of the places its tie group holds, place k (0 first) being
    worth (3 - k) / 3.
    """
    arguments.reward_mode(mode)
    values = np.asarray(scores)
    if values.ndim == 0 or values.shape[-1] != AGENTS:
        raise ValueError(f"scores must have {AGENTS} values on the last axis")
    if values.dtype.kind not in "iuf" or not np.isfinite(values).all():
        raise ValueError("scores must be finite numbers")
    values = values.astype(np.float64)
    if mode == "score":
        return values
    greater = (values[..., None, :] > values[..., :, None]).sum(axis=-1)
    tied = (values[..., None, :] == values[..., :, None]).sum(axis=-1)
    if mode == "win_share":
        return np.where(greater == 0, 1.0 / tied, 0.0)
    # The tie group holds places greater .. greater + tied - 1, evenly spaced in value: their
    # mean is the value of the middle place.
    last = AGENTS - 1
    return np.asarray((last - greater - (tied - 1) / 2) / last, dtype=np.float64)


def normalise(outcome: npt.ArrayLike, mode: str) -> npt.NDArray[np.float32]:
    """Outcomes in `mode` (any shape) on the searches' [0, 1] scale, float32: scores s as
    (s + 89) / 109, computed in double precision as the native searches compute them; the other
    modes as they are."""
    arguments.reward_mode(mode)
    values = np.asarray(outcome, dtype=np.float64)
    if mode == "score":
        values = (values - LOWEST_SCORE) / SCORE_RANGE
    return values.astype(np.float32)
