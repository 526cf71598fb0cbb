"""A shard's rows replayed through the engine: each stored state is a game in progress whose
mover is the row's, its action is legal there, its policy target is sound
(``krodan_rl._internal.targets``), the state after the action and the passes that follow is the next
row's state, and a game's last placement ends it with the scores its games row records, whose
outcomes are those the scores give. A row that fails is named by its game and ply."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, facts, outcomes
from krodan_rl._internal import targets
from krodan_rl.data.rows import Rows

__all__ = ["check_games", "check_rows"]

Array = npt.NDArray[Any]

# How far a stored outcome may lie from the one computed from the final scores (float32).
OUTCOME_TOLERANCE = 1e-6
RANGES = {
    "score": (facts.LOWEST_SCORE, facts.HIGHEST_SCORE),
    "win_share": (0, 1),
    "rank": (0, 1),
}


def _where(rows: Rows, row: int, why: str) -> str:
    return f"game {int(rows.game_id[row])}, ply {int(rows.ply[row])}: {why}"


def check_rows(rows: Rows, final_scores: dict[int, Array]) -> str | None:
    """What is wrong with the first bad row (naming its game and ply), or None. ``final_scores``
    holds each game's recorded final scores (absolute order) by id. The policies' actions are
    checked against the legal lists where those are built (``illegal_policy``)."""
    problem = targets.policy_problem(
        rows.policy_actions, rows.policy_probs, rows.policy_offsets, rows.action, rows.has_policy
    )
    if problem is not None:
        return _where(rows, *problem)
    n = len(rows)
    after = np.empty_like(rows.state)
    movers = np.empty(n, dtype=np.int8)
    over = np.empty(n, dtype=np.uint8)
    scores = np.empty((n, facts.NUM_AGENTS), dtype=np.int16)
    try:
        _native.replay_rows(
            states=np.ascontiguousarray(rows.state).reshape(-1),
            actions=np.ascontiguousarray(rows.action, dtype=np.int64),
            after=after.reshape(-1),
            movers=movers,
            over=over,
            scores=scores.reshape(-1),
        )
    except _native.RowError as error:
        why = f"not a position whose mover plays its action: {error.reason}"
        return _where(rows, error.row, why)
    if not np.array_equal(movers, rows.mover):
        return _where(rows, int(np.flatnonzero(movers != rows.mover)[0]), "not its mover's turn")
    ids = rows.game_id
    has_next = np.zeros(n, dtype=np.bool_)
    has_next[:-1] = ids[1:] == ids[:-1]
    follows = (after[:-1] == rows.state[1:]).all(axis=1)
    broken = np.flatnonzero(has_next[:-1] & ~follows)
    if broken.size:
        return _where(rows, int(broken[0]), "the next row's state does not follow from it")
    ended = over.astype(np.bool_)
    if (ended & has_next).any():
        return _where(rows, int(np.flatnonzero(ended & has_next)[0]), "the game ends too soon")
    if (~ended & ~has_next).any():
        return _where(rows, int(np.flatnonzero(~ended & ~has_next)[0]), "the game goes on")
    for k in np.flatnonzero(~has_next):
        recorded = final_scores.get(int(ids[k]))
        if recorded is None or not np.array_equal(scores[k], recorded):
            return _where(rows, int(k), "the game's final scores are not those recorded")
    return None


def check_games(final_scores: Array, stored: dict[str, Array]) -> str | None:
    """Why a games table's outcomes are wrong (out of their mode's range, or not those its final
    scores give), or None. Arrays are (games, 4), absolute order."""
    for mode, values in stored.items():
        low, high = RANGES[mode]
        if not np.isfinite(values).all() or (values < low).any() or (values > high).any():
            return f"outcome_{mode} holds a value outside [{low}, {high}]"
        computed = outcomes.outcome_values(final_scores, mode)
        if (np.abs(computed - values) > OUTCOME_TOLERANCE).any():
            return f"outcome_{mode} does not follow from final_scores"
    return None
