"""The layout of a self-play dataset on disk, declared once: the columns of its two Parquet
tables, in order, their types, the format version and the shard file names. The writer builds
its tables by column name through ``table`` and the reader checks files against the same
schemas, so that a column is added in one place.

Shard s is two files, both with the schema metadata ``krodan_rl.format = "1"``:

- ``turns/shard-{s:06d}.parquet``, one row per placement, sorted by game and ply: ``game_id``
  int64, ``ply`` int16 (the placements made before this one), ``mover`` int8 (the agent
  placing, absolute), ``state`` fixed_size_binary(278) (``PyKrodan.to_bytes`` of the position
  right before the placement, the mover to play), ``action`` int32 (in the mover's frame),
  ``has_policy`` bool, and the policy target ``policy_actions`` list<int32> with
  ``policy_probs`` list<float32> (a search's visit distribution, or one-hot on the action when
  the player gave none, or empty with ``has_policy`` False for a move kept for its value only:
  a cheap search's, which teaches the policy nothing);
- ``games/shard-{s:06d}.parquet``, one row per game: ``game_id`` int64, ``players``
  list<string> (by seat), ``seed`` uint64 (the run's), ``final_scores`` list<int16>,
  ``outcome_score``, ``outcome_win_share`` and ``outcome_rank`` list<float32> (each 4 entries,
  absolute agent order) and ``turns`` int32 (placements).
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa

from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import STATE_SIZE

__all__ = [
    "DONE",
    "FORMAT_KEY",
    "FORMAT_VERSION",
    "GAMES_SCHEMA",
    "MANIFEST",
    "MARKER_PATTERN",
    "MAX_FOOTER_BYTES",
    "OUTCOME_MODES",
    "SHARD_PATTERN",
    "TURNS_SCHEMA",
    "marker_path",
    "shard_name",
    "table",
]

FORMAT_KEY = "krodan_rl.format"
FORMAT_VERSION = "1"
OUTCOME_MODES: tuple[str, ...] = PyKrodan.reward_modes
# Six digits or more: shard 1,000,000 is shard-1000000.parquet.
SHARD_PATTERN = re.compile(r"shard-([0-9]{6,})\.parquet")
# A run folder's shard markers (``_done/{shard:06d}.json``: the run, the shard's games and
# rows, each file's bytes and sha256) and its manifest (the run and the markers known).
DONE = "_done"
MANIFEST = "_manifest.json"
# The name of a marker in ``_done/`` (``marker_path``), its shard's number six digits or more.
MARKER_PATTERN = re.compile(r"([0-9]{6,})\.json")
# A shard's Parquet footer (its schema, metadata and row groups) is a few kilobytes; a larger
# one is refused before it is read.
MAX_FOOTER_BYTES = 1 << 20


def _schema(fields: list[tuple[str, Any]]) -> pa.Schema:
    return pa.schema(
        [pa.field(name, kind, nullable=False) for name, kind in fields],
        metadata={FORMAT_KEY: FORMAT_VERSION},
    )


TURNS_SCHEMA = _schema(
    [
        ("game_id", pa.int64()),
        ("ply", pa.int16()),
        ("mover", pa.int8()),
        ("state", pa.binary(STATE_SIZE)),
        ("action", pa.int32()),
        ("has_policy", pa.bool_()),
        ("policy_actions", pa.list_(pa.int32())),
        ("policy_probs", pa.list_(pa.float32())),
    ]
)

GAMES_SCHEMA = _schema(
    [
        ("game_id", pa.int64()),
        ("players", pa.list_(pa.string())),
        ("seed", pa.uint64()),
        ("final_scores", pa.list_(pa.int16())),
        *((f"outcome_{mode}", pa.list_(pa.float32())) for mode in OUTCOME_MODES),
        ("turns", pa.int32()),
    ]
)


def shard_name(shard: int) -> str:
    """The file name of shard ``shard`` in both ``turns/`` and ``games/``."""
    return f"shard-{shard:06d}.parquet"


def marker_path(root: Path, shard: int) -> Path:
    """Where a run folder keeps the commit marker of shard ``shard``."""
    return root / DONE / f"{shard:06d}.json"


# The numpy dtype of each Arrow type the schemas use (asked of Arrow, it would import pandas).
_NUMPY_TYPES: dict[pa.DataType, Any] = {
    pa.bool_(): np.bool_,
    pa.int8(): np.int8,
    pa.int16(): np.int16,
    pa.int32(): np.int32,
    pa.int64(): np.int64,
    pa.uint64(): np.uint64,
    pa.float32(): np.float32,
}


def _column(kind: pa.DataType, values: Any) -> pa.Array:
    """One column from numpy values; a list column from a sequence of 1-D arrays, one a row."""
    if pa.types.is_list(kind):
        parts: Sequence[Any] = values
        item = kind.value_type
        lengths = np.fromiter((len(p) for p in parts), dtype=np.int64, count=len(parts))
        offsets = np.zeros(len(parts) + 1, dtype=np.int32)
        np.cumsum(lengths, out=offsets[1:])
        if pa.types.is_string(item):
            flat = pa.array([v for p in parts for v in p], type=item)
        else:
            dtype = _NUMPY_TYPES[item]
            flat = pa.array(
                np.concatenate([np.asarray(p, dtype=dtype) for p in parts])
                if len(parts)
                else np.empty(0, dtype=dtype),
                type=item,
            )
        return pa.ListArray.from_arrays(pa.array(offsets, type=pa.int32()), flat)
    if pa.types.is_fixed_size_binary(kind):
        return pa.array(list(values), type=kind)
    return pa.array(np.asarray(values, dtype=_NUMPY_TYPES[kind]), type=kind)


def table(schema: pa.Schema, columns: Mapping[str, Any]) -> pa.Table:
    """A table of ``schema`` from its columns given by name (each a sequence of values, or of
    1-D arrays for a list column), laid out in the schema's order."""
    if set(columns) != set(schema.names):
        missing = sorted(set(schema.names) - set(columns))
        extra = sorted(set(columns) - set(schema.names))
        raise ValueError(f"columns do not match the schema: missing {missing}, extra {extra}")
    arrays = [_column(field.type, columns[field.name]) for field in schema]
    return pa.Table.from_arrays(arrays, schema=schema)
