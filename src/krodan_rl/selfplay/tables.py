"""The Parquet tables of a shard, built from game records column by column, by name, in the
order the dataset's schema declares."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import fields
from typing import Any

import numpy as np

from krodan_rl.data.schema import GAMES_SCHEMA, TURNS_SCHEMA, table
from krodan_rl.selfplay.record import SelfPlayRecord, Turn

__all__ = ["games_table", "turns_table"]

_TURN_FIELDS = tuple(f.name for f in fields(Turn))


def turns_table(first_id: int, records: Sequence[SelfPlayRecord]) -> Any:
    """The turns rows of consecutive games, the first with id ``first_id``."""
    counts = np.array([len(r.turns) for r in records], dtype=np.int64)
    columns: dict[str, Any] = {
        "game_id": np.repeat(np.arange(first_id, first_id + len(records)), counts)
    }
    for name in _TURN_FIELDS:
        columns[name] = [getattr(turn, name) for record in records for turn in record.turns]
    return table(TURNS_SCHEMA, columns)


def games_table(
    first_id: int, records: Sequence[SelfPlayRecord], players: list[str], seed: int
) -> Any:
    """The games rows of consecutive games, the first with id ``first_id``: their players (by
    seat), the run's seed, and what each game's record holds of its end."""
    n = len(records)
    columns: dict[str, Any] = {
        "game_id": np.arange(first_id, first_id + n),
        "players": [players] * n,
        "seed": [seed] * n,
    }
    ends = [record.game_columns() for record in records]
    for name in ends[0] if ends else ():
        columns[name] = [end[name] for end in ends]
    return table(GAMES_SCHEMA, columns)
