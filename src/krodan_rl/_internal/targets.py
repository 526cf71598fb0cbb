"""What a policy target must be, checked alike where self-play records one and where the loader
reads one back: for each row, distinct legal actions with finite, non-negative probabilities
summing to 1 within ``PROBABILITY_TOLERANCE``; a search's distribution includes the action
played, and any other target is one-hot on it or empty: an empty target marks a row recorded
for its value only (a cheap search's move, which teaches the policy nothing). Rows are CSR: row
i's entries at ``offsets[i]:offsets[i + 1]``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl.facts import NUM_ACTIONS

__all__ = ["PROBABILITY_TOLERANCE", "illegal_policy", "policy_problem"]

Array = npt.NDArray[Any]

#: How far a policy's probabilities may sum from 1. Probabilities computed in double and
#: stored as float32 sum to 1 within about 1e-7; 1e-5 leaves room for a network's own float32
#: arithmetic, and none for a policy that lost or doubled an entry.
PROBABILITY_TOLERANCE = 1e-5


def _keys(offsets: Array, values: Array) -> Array:
    """Each entry as row * NUM_ACTIONS + value: sortable across rows."""
    rows = np.repeat(np.arange(len(offsets) - 1, dtype=np.int64), np.diff(offsets))
    return rows * NUM_ACTIONS + values.astype(np.int64)


def _first(bad: Array, why: str) -> tuple[int, str] | None:
    found = np.flatnonzero(bad)
    return (int(found[0]), why) if found.size else None


def policy_problem(
    actions: Array,
    probs: Array,
    offsets: Array,
    chosen: Array,
    has_policy: Array,
    legal_actions: Array | None = None,
    legal_offsets: Array | None = None,
) -> tuple[int, str] | None:
    """The first row whose target is unsound and why, or None. ``chosen`` is each row's action
    played, ``has_policy`` whether its target came from a search; with the legal lists (CSR,
    ascending), every policy action must be legal. A row without a search's policy and no
    entries is a value-only row (its action is checked where it is replayed)."""
    offsets = np.asarray(offsets, dtype=np.int64)
    lengths = np.diff(offsets)
    rows = len(lengths)
    row_of = np.repeat(np.arange(rows), lengths)
    has_policy = np.asarray(has_policy, dtype=np.bool_)
    # A row without a search's policy may hold no target at all: it trains the value only.
    value_only = (lengths == 0) & ~has_policy
    checks: list[tuple[int, str] | None] = [_first((lengths < 1) & has_policy, "an empty policy")]
    out_of_range = np.zeros(rows, dtype=np.bool_)
    out_of_range[row_of[(actions < 0) | (actions >= NUM_ACTIONS)]] = True
    checks.append(_first(out_of_range, "a policy action out of range"))
    bad_prob = np.zeros(rows, dtype=np.bool_)
    bad_prob[row_of[~np.isfinite(probs) | (probs < 0)]] = True
    checks.append(_first(bad_prob, "a policy probability negative or not finite"))
    sums = np.bincount(row_of, weights=probs.astype(np.float64), minlength=rows)
    checks.append(
        _first(
            (np.abs(sums - 1) > PROBABILITY_TOLERANCE) & ~value_only,
            "policy probabilities not summing to 1",
        )
    )
    keys = np.sort(_keys(offsets, np.clip(actions, 0, NUM_ACTIONS - 1)))
    repeated = np.zeros(rows, dtype=np.bool_)
    repeated[(keys[1:][np.diff(keys) == 0] // NUM_ACTIONS).astype(np.int64)] = True
    checks.append(_first(repeated, "a policy action listed twice"))
    chosen_keys = np.arange(rows, dtype=np.int64) * NUM_ACTIONS + np.asarray(chosen, np.int64)
    at = np.minimum(np.searchsorted(keys, chosen_keys), max(len(keys) - 1, 0))
    listed = keys[at] == chosen_keys if len(keys) else np.zeros(rows, dtype=np.bool_)
    checks.append(_first(~listed & ~value_only, "the action played is not in its policy"))
    one_hot = (lengths == 1) & listed & (sums == 1)
    checks.append(
        _first(
            ~has_policy & ~one_hot & ~value_only,
            "a target without a search is not one-hot on its action, nor empty",
        )
    )
    if legal_actions is not None and legal_offsets is not None:
        checks.append(illegal_policy(actions, offsets, legal_actions, legal_offsets))
    found_problems = [c for c in checks if c is not None]
    return min(found_problems) if found_problems else None


def illegal_policy(
    actions: Array, offsets: Array, legal_actions: Array, legal_offsets: Array
) -> tuple[int, str] | None:
    """The first row with a policy action not among its legal actions (CSR, ascending), and
    why, or None."""
    offsets = np.asarray(offsets, dtype=np.int64)
    rows = len(offsets) - 1
    row_of = np.repeat(np.arange(rows), np.diff(offsets))
    legal = _keys(np.asarray(legal_offsets, np.int64), np.asarray(legal_actions))
    policy_keys = _keys(offsets, np.asarray(actions))
    illegal = np.zeros(rows, dtype=np.bool_)
    if len(legal):
        found = np.minimum(np.searchsorted(legal, policy_keys), len(legal) - 1)
        illegal[row_of[legal[found] != policy_keys]] = True
    else:
        illegal[row_of] = True
    return _first(illegal, "a policy action is not legal in its position")
