"""Self-play datasets on disk: their Parquet layout (``krodan_rl.data.schema``), and a loader
that turns one run or many into batches for training.

A dataset is a folder of shards (``krodan_rl.selfplay.generate`` writes them): shard s is
``turns/shard-{s:06d}.parquet``, one row per placement with its position as a state string,
its action and its policy target, and ``games/shard-{s:06d}.parquet``, one row per game with
its players and outcome.

``load(path)`` yields dicts of numpy arrays: the mover's view rebuilt from the state strings
by the batched engine, the action, the policy target and the game's outcome seen from the
mover; with shuffling, a split by game, a window over the latest runs, shards or games, the
legal actions of each row, and the end of its game (every agent's final score, every cell's
final owner) on request. A file that is not such a shard is refused with a
ValueError naming it, never skipped; so is a run folder short of a shard its manifest
(``_manifest.json``) records, or a shard short of its commit marker (``_done/``) or of one of
its files, whether the run is still being written or was cut short or damaged since.

Needs pyarrow (the ``data`` extra).
"""

from __future__ import annotations

try:
    import pyarrow  # noqa: F401
except ImportError as error:  # pragma: no cover (the data extra is missing)
    raise ImportError("krodan_rl.data needs pyarrow: pip install 'krodan_rl[data]'") from error

from krodan_rl.data.loader import SPLITS, WINDOW_UNITS, load, validation_games
from krodan_rl.data.paths import games_path, shard_paths
from krodan_rl.data.schema import (
    FORMAT_KEY,
    FORMAT_VERSION,
    GAMES_SCHEMA,
    SHARD_PATTERN,
    TURNS_SCHEMA,
    shard_name,
)
from krodan_rl.data.shards import ShardFacts, shard_facts
from krodan_rl.outcomes import normalise as normalise_values

__all__ = [
    "FORMAT_KEY",
    "FORMAT_VERSION",
    "GAMES_SCHEMA",
    "SHARD_PATTERN",
    "SPLITS",
    "TURNS_SCHEMA",
    "WINDOW_UNITS",
    "ShardFacts",
    "games_path",
    "load",
    "normalise_values",
    "shard_facts",
    "shard_name",
    "shard_paths",
    "validation_games",
]
