"""The mover's view of stored positions, rebuilt by the batched engine from their state strings:
the observation planes, pieces and done flags, and the legal actions (a CSR list, or a dense
mask on request), exactly as a ``VecKrodan`` gives them for a game in that position."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native
from krodan_rl.data.checks import refused_row

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
        self.batch: Any = None
        self.views: dict[str, Array] = {}

    def _grow(self, rows: int) -> None:
        size = min(self.capacity, max(rows, 2 * self.size, 64))
        dense = self.legal == "mask"
        self.batch = _native.GameBatch(size, 0, "win_share", False, dense, True, 0)
        self.views = {
            name: np.asarray(view) for name, view in self.batch.arrays().items() if view is not None
        }
        self.size = size

    def build(self, states: Array, movers: Array) -> tuple[dict[str, Array], Array, Array]:
        """The views of ``states`` (uint8 (B, 278)) as fresh arrays, and the legal actions
        (CSR: actions, offsets) as views that the next call overwrites. StateRefused names the
        first row whose state string is not a game in progress, or whose mover is not the
        row's."""
        n = len(states)
        if n > self.size:
            self._grow(n)
        try:
            self.batch.set_state_rows(np.ascontiguousarray(states).reshape(-1), n)
        except ValueError as error:
            row, why = refused_row(error)
            raise StateRefused(row, f"the state string is not a game in progress: {why}") from None
        current = self.views["current_agent"][:n]
        if not np.array_equal(current, movers):
            row = int(np.flatnonzero(current != movers)[0])
            raise StateRefused(row, "the state's agent to move is not the row's mover")
        out = {name: self.views[name][:n].copy() for name in ("observation", "pieces", "done")}
        offsets = self.views["legal_offsets"][: n + 1]
        legal = np.asarray(self.batch.legal_actions())[: int(offsets[-1])]
        if self.legal == "mask":
            out["action_mask"] = self.views["action_mask"][:n].copy()
        elif self.legal == "csr":
            out["legal_offsets"] = offsets.copy()
            out["legal_actions"] = legal.copy()
        return out, legal, offsets
