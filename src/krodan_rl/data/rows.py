"""Turns held in memory as columns: what the loader reads from a shard, buffers, shuffles and
cuts into batches. The policy lists are CSR (flat values and offsets), so that taking rows in
any order costs a few vectorised gathers and no Python object per row."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, fields, replace
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Rows"]

Array = npt.NDArray[Any]

# The columns with one entry per row (the rest are the policy lists).
_PER_ROW = (
    "game_id", "ply", "mover", "state", "action", "has_policy", "value", "source",
    "final_scores", "final_owners",
)  # fmt: skip


@dataclass(frozen=True)
class Rows:
    """Turns, one entry per row in every column but the policy lists, whose row i is at
    ``policy_offsets[i]:policy_offsets[i + 1]`` (int64, starting at 0). ``value`` is each row's
    outcome in the mover's relative order, float32 (rows, 4), and ``source`` the index of the
    shard each row came from, once the loader has set them; ``final_scores`` (int16 (rows, 4),
    absolute order) and ``final_owners`` (uint8 (rows, 400), board frame) the end of each row's
    game, where the loader was asked for them (``krodan_rl.data.final_targets``)."""

    game_id: Array
    ply: Array
    mover: Array
    state: Array  # uint8 (rows, 278)
    action: Array
    has_policy: Array
    policy_offsets: Array
    policy_actions: Array
    policy_probs: Array
    value: Array | None = None
    source: Array | None = None
    final_scores: Array | None = None
    final_owners: Array | None = None

    def __len__(self) -> int:
        return int(self.game_id.shape[0])

    def take(self, index: Array) -> Rows:
        """The rows at ``index``, in its order (a bool mask or integer positions)."""
        index = np.flatnonzero(index) if index.dtype == np.bool_ else index
        starts = self.policy_offsets[:-1][index]
        lengths = self.policy_offsets[1:][index] - starts
        offsets = np.zeros(len(index) + 1, dtype=np.int64)
        np.cumsum(lengths, out=offsets[1:])
        # Entry k of the result comes from starts[row of k] + (k - offsets[row of k]).
        flat = np.repeat(starts - offsets[:-1], lengths) + np.arange(offsets[-1])
        taken: dict[str, Any] = {
            name: None if getattr(self, name) is None else getattr(self, name)[index]
            for name in _PER_ROW
        }
        return Rows(
            **taken,
            policy_offsets=offsets,
            policy_actions=self.policy_actions[flat],
            policy_probs=self.policy_probs[flat],
        )

    def slice(self, start: int, end: int) -> Rows:
        """Rows ``start`` to ``end`` - 1, as views where numpy allows."""
        lo, hi = int(self.policy_offsets[start]), int(self.policy_offsets[end])
        sliced: dict[str, Any] = {
            name: None if getattr(self, name) is None else getattr(self, name)[start:end]
            for name in _PER_ROW
        }
        return Rows(
            **sliced,
            policy_offsets=self.policy_offsets[start : end + 1] - lo,
            policy_actions=self.policy_actions[lo:hi],
            policy_probs=self.policy_probs[lo:hi],
        )

    def with_targets(
        self, value: Array, source: int, final: tuple[Array, Array] | None = None
    ) -> Rows:
        """The rows with their value targets and the index of their shard, and their games'
        final scores and owners where ``final`` holds them."""
        scores, owners = (None, None) if final is None else final
        return replace(self, value=value, source=np.full(len(self), source, dtype=np.int32),
                       final_scores=scores, final_owners=owners)  # fmt: skip

    @staticmethod
    def concat(parts: Sequence[Rows]) -> Rows:
        """The rows of ``parts``, one after another."""
        if len(parts) == 1:
            return parts[0]
        columns: dict[str, Any] = {}
        for field in fields(Rows):
            if field.name == "policy_offsets":
                ends = np.cumsum([p.policy_offsets[-1] for p in parts])
                shifted = [p.policy_offsets[1:] + (ends[k] - p.policy_offsets[-1])
                           for k, p in enumerate(parts)]  # fmt: skip
                columns[field.name] = np.concatenate([np.zeros(1, np.int64), *shifted])
            elif getattr(parts[0], field.name) is None:
                columns[field.name] = None
            else:
                columns[field.name] = np.concatenate([getattr(p, field.name) for p in parts])
        return Rows(**columns)
