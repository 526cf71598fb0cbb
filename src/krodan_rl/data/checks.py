"""A shard's rows replayed through the engine: each stored state is a game in progress whose
mover is the row's, its action is legal there, its policy target is sound (``krodan_rl.targets``),
the state after the action and the passes that follow is the next row's state, and a game's last
placement ends it with the scores its games row records, whose outcomes are those the scores
give. A row that fails is named by its game and ply."""

from __future__ import annotations

import re
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, outcomes, targets
from krodan_rl.data.rows import Rows

__all__ = ["check_games", "check_rows", "refused_row"]

Array = npt.NDArray[Any]

# Rows replayed per engine call: the engine's memory follows this, not the shard's size.
CHUNK_ROWS = 1024
# How far a stored outcome may lie from the one computed from the final scores (float32).
OUTCOME_TOLERANCE = 1e-6
RANGES = {
    "score": (_native.LOWEST_SCORE, _native.HIGHEST_SCORE),
    "win_share": (0, 1),
    "rank": (0, 1),
}


_NATIVE_ROW = re.compile(r"row ([0-9]+): (.*)", re.DOTALL)


def refused_row(error: ValueError) -> tuple[int, str]:
    """The row and reason of the engine's refusal of a batch of state strings."""
    found = _NATIVE_ROW.fullmatch(str(error))
    return (int(found[1]), found[2]) if found else (0, str(error))


class _Replay:
    """Engine batches that take rows' states, one per size asked for."""

    def __init__(self) -> None:
        self.batches: dict[int, tuple[Any, dict[str, Array]]] = {}

    def batch(self, size: int) -> tuple[Any, dict[str, Array]]:
        if size not in self.batches:
            batch = _native.GameBatch(size, 0, "win_share", False, False, False, 0)
            views = {k: np.asarray(v) for k, v in batch.arrays().items() if v is not None}
            self.batches = {size: (batch, views)}  # one size at a time: the last chunk's
        return self.batches[size]


def _where(rows: Rows, row: int, why: str) -> str:
    return f"game {int(rows.game_id[row])}, ply {int(rows.ply[row])}: {why}"


def check_rows(rows: Rows, final_scores: dict[int, Array]) -> str | None:
    """What is wrong with the first bad row (naming its game and ply), or None. ``final_scores``
    holds each game's recorded final scores (absolute order) by id."""
    replay = _Replay()
    n = len(rows)
    for start in range(0, n, CHUNK_ROWS):
        end = min(n, start + CHUNK_ROWS)
        problem = _check_chunk(rows, start, end, replay, final_scores)
        if problem is not None:
            return problem
    return None


def _check_chunk(
    rows: Rows, start: int, end: int, replay: _Replay, final_scores: dict[int, Array]
) -> str | None:
    n = end - start
    batch, views = replay.batch(n)
    try:
        batch.set_state_rows(np.ascontiguousarray(rows.state[start:end]).reshape(-1), n)
    except ValueError as error:
        row, why = refused_row(error)
        return _where(rows, start + row, f"its state is not a game in progress ({why})")
    movers = views["current_agent"][:n]
    if not np.array_equal(movers, rows.mover[start:end]):
        row = start + int(np.flatnonzero(movers != rows.mover[start:end])[0])
        return _where(rows, row, "its state's agent to move is not its mover")
    legal_offsets = views["legal_offsets"][: n + 1]
    legal = np.asarray(batch.legal_actions())[: int(legal_offsets[-1])]
    policy = slice(int(rows.policy_offsets[start]), int(rows.policy_offsets[end]))
    problem = targets.policy_problem(
        rows.policy_actions[policy],
        rows.policy_probs[policy],
        rows.policy_offsets[start : end + 1] - rows.policy_offsets[start],
        rows.action[start:end],
        rows.has_policy[start:end],
        legal,
        legal_offsets,
    )
    if problem is not None:
        return _where(rows, start + problem[0], problem[1])
    batch.step(np.ascontiguousarray(rows.action[start:end], dtype=np.int64))
    after = np.empty((n, rows.state.shape[1]), dtype=np.uint8)
    batch.state_rows(after.reshape(-1), n)
    ids = rows.game_id
    # Row i's successor: the next row of its game, which may lie in the next chunk.
    following = np.arange(start + 1, end + 1)
    has_next = following < len(rows)
    has_next[has_next] = ids[following[has_next]] == ids[start:end][has_next]
    nexts = following[has_next]
    mismatch = np.flatnonzero(has_next)[(after[has_next] != rows.state[nexts]).any(axis=1)]
    if mismatch.size:
        return _where(rows, start + int(mismatch[0]), "the next row's state does not follow")
    ended = views["terminated"][:n]
    last = ~has_next
    if not np.array_equal(ended[last], np.ones(int(last.sum()), dtype=np.bool_)):
        row = start + int(np.flatnonzero(last & ~ended)[0])
        return _where(rows, row, "the game's last placement does not end it")
    if ended[has_next].any():
        row = start + int(np.flatnonzero(has_next & ended)[0])
        return _where(rows, row, "the game ends before its last row")
    scores = views["final_scores"][:n]
    for k in np.flatnonzero(last):
        recorded = final_scores.get(int(ids[start + k]))
        if recorded is None or not np.array_equal(scores[k], recorded):
            return _where(rows, start + int(k), "the game's final scores are not those recorded")
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
