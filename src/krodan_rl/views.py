"""The mover's view of positions, built by the batched engine from their state strings: the
observation planes, pieces and done flags, and the legal actions (a CSR list, or a dense mask
on request), exactly as a ``VecKrodan`` gives them for a game in that position. The datasets'
rows and a network's single games are seen through it, so that the planes have one source, the
engine's observation code."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native
from krodan_rl.native_options import BatchConfig

__all__ = ["StateRefused", "ViewBuilder"]

Array = npt.NDArray[Any]


class StateRefused(ValueError):
    """A stored state the engine refuses: ``row`` of the batch, and why."""

    def __init__(self, row: int, why: str) -> None:
        super().__init__(f"row {row}: {why}")
        self.row = row
        self.why = why


class ViewBuilder:
    """An engine batch of ``capacity`` games, refilled from state strings for each batch of
    rows; its memory grows with the rows asked for, not with ``capacity`` up front."""

    def __init__(self, capacity: int, legal: str | None) -> None:
        self.capacity = capacity
        self.legal = legal  # None, "csr" or "mask"
        self.size = 0
        self.batch: _native.GameBatch | None = None
        self.views: dict[str, Array] = {}

    def _batch_for(self, rows: int) -> _native.GameBatch:
        """The batch, grown first where it holds fewer than ``rows`` games."""
        if self.batch is not None and rows <= self.size:
            return self.batch
        size = min(self.capacity, max(rows, 2 * self.size, 64))
        # Positions as they stand: a finished game is refused, not started again.
        config = BatchConfig(num_games=size, auto_reset=False, dense_mask=self.legal == "mask")
        self.batch = batch = config.native()
        self.views = {
            name: np.asarray(view) for name, view in batch.arrays().items() if view is not None
        }
        self.size = size
        return batch

    def build(self, states: Array, movers: Array) -> tuple[dict[str, Array], Array, Array]:
        """The views of ``states`` (uint8 (B, 278)) as fresh arrays, and the legal actions
        (CSR: actions, offsets) as views that the next call overwrites. StateRefused names the
        first row whose state string is not a game in progress, or whose mover is not the
        row's."""
        n = len(states)
        batch = self._batch_for(n)
        try:
            batch.set_state_rows(np.ascontiguousarray(states).reshape(-1), n)
        except _native.RowError as error:
            why = f"the state string is not a game in progress: {error.reason}"
            raise StateRefused(error.row, why) from None
        current = self.views["current_agent"][:n]
        if not np.array_equal(current, movers):
            row = int(np.flatnonzero(current != movers)[0])
            raise StateRefused(row, "the state's agent to move is not the row's mover")
        out = {name: self.views[name][:n].copy() for name in ("observation", "pieces", "done")}
        offsets = self.views["legal_offsets"][: n + 1]
        legal = np.asarray(batch.legal_actions())[: int(offsets[-1])]
        if self.legal == "mask":
            out["action_mask"] = self.views["action_mask"][:n].copy()
        elif self.legal == "csr":
            out["legal_offsets"] = offsets.copy()
            out["legal_actions"] = legal.copy()
        return out, legal, offsets
