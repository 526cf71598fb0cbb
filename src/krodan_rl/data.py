"""Self-play datasets on disk: their Parquet layout, and a reader that turns them into batches
for training.

A dataset is a folder of shards (``krodan_rl.selfplay.generate`` writes them). Shard s is two
files, both with the schema metadata ``krodan_rl.format = "1"``:

- ``turns/shard-{s:06d}.parquet``, one row per placement, sorted by game and ply: ``game_id``
  int64, ``ply`` int16 (the placements made before this one), ``mover`` int8 (the agent
  placing, absolute), ``state`` fixed_size_binary(278) (``PyKrodan.to_bytes`` of the position
  right before the placement, the mover to play), ``action`` int32 (in the mover's frame),
  ``has_policy`` bool, and the policy target ``policy_actions`` list<int32> with
  ``policy_probs`` list<float32> (a search's visit distribution, or one-hot on the action when
  the player gave none);
- ``games/shard-{s:06d}.parquet``, one row per game: ``game_id`` int64, ``players``
  list<string> (by seat), ``seed`` uint64 (the run's), ``final_scores`` list<int16>,
  ``outcome_score``, ``outcome_win_share`` and ``outcome_rank`` list<float32> (each 4 entries,
  absolute agent order) and ``turns`` int32 (placements).

``load(path)`` reads turns shards in order and yields dicts of numpy arrays: the mover's view
rebuilt from the state strings by the batched engine, the action, the policy target and the
game's outcome seen from the mover. A file that is not such a shard is refused with a
ValueError naming it, never skipped.

Needs pyarrow (the ``data`` extra).
"""

from __future__ import annotations

import operator
import re
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError as error:  # pragma: no cover (the data extra is missing)
    raise ImportError("krodan_rl.data needs pyarrow: pip install 'krodan_rl[data]'") from error

from krodan_rl import _native
from krodan_rl._krodan import PyKrodan

__all__ = [
    "FORMAT_KEY",
    "FORMAT_VERSION",
    "GAMES_SCHEMA",
    "TURNS_SCHEMA",
    "ShardFacts",
    "load",
    "shard_facts",
    "shard_name",
    "shard_paths",
]

Array = npt.NDArray[Any]

FORMAT_KEY = "krodan_rl.format"
FORMAT_VERSION = "1"
NUM_AGENTS = _native.NUM_AGENTS
NUM_ACTIONS = _native.NUM_ACTIONS
STATE_SIZE = _native.STATE_SIZE
OUTCOME_MODES = PyKrodan.reward_modes
# Six digits or more: shard 1,000,000 is shard-1000000.parquet.
SHARD_PATTERN = re.compile(r"shard-([0-9]{6,})\.parquet")


def _schema(fields: list[tuple[str, Any]]) -> Any:
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

# The columns checked whole before any row of a turns shard is yielded; the states and policies
# are checked batch by batch as they are read.
_SMALL_COLUMNS = ["game_id", "ply", "mover", "action", "has_policy"]


def shard_name(shard: int) -> str:
    """The file name of shard ``shard`` in both ``turns/`` and ``games/``."""
    return f"shard-{shard:06d}.parquet"


def shard_paths(path: str | Path) -> list[Path]:
    """The turns shards that ``path`` names, in order: the file itself, the shards of a dataset
    folder's ``turns/`` subfolder, or those of a folder of turns shards. Files whose names are
    not ``shard-NNNNNN.parquet`` (an interrupted run's temporary files start with a dot) are
    not shards; shards come in the order of their numbers."""
    root = Path(path)
    if root.is_file():
        return [root]
    if not root.is_dir():
        raise FileNotFoundError(f"no such file or folder: {root}")
    folder = root / "turns" if (root / "turns").is_dir() else root
    numbered = sorted(
        (int(m[1]), p) for p in folder.iterdir() if (m := SHARD_PATTERN.fullmatch(p.name))
    )
    found = [p for _, p in numbered]
    if not found:
        raise ValueError(f"{root}: no turns shards (shard-NNNNNN.parquet) found in {folder}")
    for shard in found:
        if not shard.is_file():
            raise ValueError(f"{shard} is not a file")
    return found


def games_path(turns_path: Path) -> Path:
    """The games shard that goes with a turns shard: ``../games/`` under the same name."""
    return turns_path.parent.parent / "games" / turns_path.name


def load(
    path: str | Path,
    batch_size: int = 1024,
    dense_policy: bool = False,
    reward_mode: str = "win_share",
) -> Iterator[dict[str, Array]]:
    """The placements of the turns shards ``path`` names, in batches of ``batch_size`` rows (a
    shard's last batch may be shorter; batches never span two shards).

    Each batch holds, for B placements:

    - ``observation`` uint8 (B, 12, 20, 20), ``pieces`` uint8 (B, 4, 21), ``done`` uint8
      (B, 4): the mover's view before the placement, as ``PyKrodan.observe(mover)`` gives it;
    - ``action`` int32 (B,), ``mover`` int8, ``game_id`` int64, ``ply`` int16;
    - the policy target: ``policy_actions`` int32 and ``policy_probs`` float32, flat, row i's
      entries at ``policy_offsets[i]:policy_offsets[i + 1]`` (int32, (B + 1,)); or, with
      ``dense_policy``, ``policy`` float32 (B, 36400);
    - ``has_policy`` bool (B,): whether the target came from a search rather than the action;
    - ``value`` float32 (B, 4): the game's outcome in ``reward_mode`` with the agents in the
      mover's relative order (index k is agent (mover + k) % 4).

    Arguments are checked at once. Each shard and its games shard are checked before any of
    the shard's rows is yielded (format version, columns and types, games present, plies and
    turn counts agreeing); its states and policies as its batches are read. A file that fails
    raises ValueError naming it.
    """
    if isinstance(batch_size, bool):
        raise TypeError("batch_size must be an integer, not bool")
    size = operator.index(batch_size)
    if size < 1:
        raise ValueError(f"batch_size must be at least 1, not {size}")
    if reward_mode not in OUTCOME_MODES:
        raise ValueError(f"unknown reward mode {reward_mode!r}; expected one of {OUTCOME_MODES}")
    shards = shard_paths(path)
    return _batches(shards, size, bool(dense_policy), reward_mode)


def _batches(
    shards: list[Path], batch_size: int, dense_policy: bool, reward_mode: str
) -> Iterator[dict[str, Array]]:
    engine = _ViewBuilder(batch_size)
    for turns_file in shards:
        parquet, outcomes = _open_shard(turns_file, reward_mode)
        try:
            batches = parquet.iter_batches(batch_size=batch_size)
            for batch in _checked_read(batches, turns_file):
                yield _batch(batch, turns_file, engine, outcomes, dense_policy)
        finally:
            parquet.close()


def _checked_read(batches: Iterator[Any], path: Path) -> Iterator[Any]:
    """The record batches of a file; an error of the decoder becomes a ValueError naming it."""
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except (OSError, pa.ArrowException) as error:
            raise ValueError(f"{path}: unreadable Parquet data: {error}") from error
        yield batch


def _open_parquet(path: Path, schema: Any, what: str) -> Any:
    """A Parquet file checked for our format version and exactly the expected columns."""
    if not path.is_file():
        raise ValueError(f"{path}: missing (expected the {what} shard)")
    try:
        parquet = pq.ParquetFile(path)
    except (OSError, pa.ArrowException) as error:
        raise ValueError(f"{path}: not a readable Parquet file: {error}") from error
    try:
        found = parquet.schema_arrow
        metadata = found.metadata or {}
        version = metadata.get(FORMAT_KEY.encode())
        if version is None:
            raise ValueError(
                f"{path}: not a krodan_rl {what} shard (no {FORMAT_KEY} in its metadata)"
            )
        if version != FORMAT_VERSION.encode():
            raise ValueError(
                f"{path}: {FORMAT_KEY} is {version.decode(errors='replace')!r}; this reader "
                f"reads version {FORMAT_VERSION}"
            )
        if not found.remove_metadata().equals(schema.remove_metadata()):
            expected = ", ".join(f"{f.name}: {f.type}" for f in schema)
            got = ", ".join(f"{f.name}: {f.type}" for f in found)
            raise ValueError(
                f"{path}: not a krodan_rl {what} shard: columns ({got}), expected ({expected})"
            )
    except BaseException:
        parquet.close()
        raise
    return parquet


def _read_columns(parquet: Any, path: Path, columns: list[str] | None = None) -> Any:
    try:
        return parquet.read(columns=columns)
    except (OSError, pa.ArrowException) as error:
        raise ValueError(f"{path}: unreadable Parquet data: {error}") from error


def _column(table: Any, name: str, dtype: Any) -> Array:
    return np.asarray(table.column(name).to_numpy(), dtype=dtype)


def _fixed_lists(table: Any, name: str, dtype: Any, path: Path) -> Array:
    """A list column whose every entry has 4 values, as a (rows, 4) array."""
    column = table.column(name).combine_chunks()
    lengths = np.asarray(column.value_lengths().to_numpy(zero_copy_only=False))
    if column.values.null_count or not (lengths == NUM_AGENTS).all():
        raise ValueError(f"{path}: column {name} must hold {NUM_AGENTS} values in every row")
    values = column.flatten().to_numpy(zero_copy_only=False)
    return np.asarray(values, dtype=dtype).reshape(-1, NUM_AGENTS)


def _open_shard(turns_file: Path, reward_mode: str) -> tuple[Any, tuple[Array, Array]]:
    """Opens a turns shard after checking it against its games shard; returns the open file and
    each game's outcome in ``reward_mode`` (absolute order)."""
    game_file = games_path(turns_file)
    if not game_file.is_file():
        raise ValueError(f"{turns_file}: its games shard {game_file} is missing")
    games = _open_parquet(game_file, GAMES_SCHEMA, "games")
    try:
        table = _read_columns(games, game_file)
    finally:
        games.close()
    game_ids = _column(table, "game_id", np.int64)
    turns = _column(table, "turns", np.int64)
    outcomes = _fixed_lists(table, f"outcome_{reward_mode}", np.float32, game_file)
    for name in ("players", "final_scores"):
        _fixed_lists(table, name, object if name == "players" else np.int16, game_file)
    if game_ids.size == 0 or (np.diff(game_ids) <= 0).any():
        raise ValueError(f"{game_file}: game_id must be non-empty and strictly increasing")
    if (turns < 1).any():
        raise ValueError(f"{game_file}: every game must have at least one placement")

    parquet = _open_parquet(turns_file, TURNS_SCHEMA, "turns")
    try:
        _check_turns(
            _read_columns(parquet, turns_file, _SMALL_COLUMNS), turns_file, game_ids, turns
        )
    except BaseException:
        parquet.close()
        raise
    return parquet, (game_ids, outcomes)


@dataclass(frozen=True)
class ShardFacts:
    """What a whole, valid shard holds, for a run that finds it without its marker."""

    game_ids: Array
    rows: int
    players: list[list[str]]  # each game's, by seat
    seeds: list[int]  # each game's run seed


def shard_facts(turns_file: str | Path) -> ShardFacts:
    """Checks a turns shard and its games shard as ``load`` does before yielding their rows
    (ValueError naming the file otherwise) and returns what they hold."""
    turns_file = Path(turns_file)
    parquet, (game_ids, _) = _open_shard(turns_file, OUTCOME_MODES[0])
    try:
        rows = parquet.metadata.num_rows
    finally:
        parquet.close()
    games = _open_parquet(games_path(turns_file), GAMES_SCHEMA, "games")
    try:
        table = _read_columns(games, games_path(turns_file), ["players", "seed"])
    finally:
        games.close()
    return ShardFacts(
        game_ids,
        int(rows),
        [list(row) for row in table.column("players").to_pylist()],
        [int(seed) for seed in table.column("seed").to_pylist()],
    )


def _check_turns(table: Any, path: Path, game_ids: Array, turns: Array) -> None:
    """The rows of a turns shard are the placements of the games of its games shard, each game's
    plies 0, 1, ... in order, as many as its recorded turns."""
    rows = _column(table, "game_id", np.int64)
    if rows.size != int(turns.sum()):
        raise ValueError(
            f"{path}: {rows.size} rows, but its games shard records {int(turns.sum())} placements"
        )
    expected_ids = np.repeat(game_ids, turns)
    if not np.array_equal(rows, expected_ids):
        raise ValueError(f"{path}: its game_ids do not match its games shard's games and turns")
    starts = np.repeat(np.cumsum(turns) - turns, turns)
    expected_ply = np.arange(rows.size) - starts
    if not np.array_equal(_column(table, "ply", np.int64), expected_ply):
        raise ValueError(f"{path}: each game's plies must run 0, 1, 2, ... in order")
    movers = _column(table, "mover", np.int64)
    if ((movers < 0) | (movers >= NUM_AGENTS)).any():
        raise ValueError(f"{path}: mover must be from 0 to {NUM_AGENTS - 1}")
    actions = _column(table, "action", np.int64)
    if ((actions < 0) | (actions >= NUM_ACTIONS)).any():
        raise ValueError(f"{path}: action must be from 0 to {NUM_ACTIONS - 1}")


class _ViewBuilder:
    """The batched engine that rebuilds the mover's view from state strings."""

    def __init__(self, capacity: int) -> None:
        self.batch = _native.GameBatch(capacity, 0, "win_share", False, False, True, 0)
        views = {k: None if v is None else np.asarray(v) for k, v in self.batch.arrays().items()}
        self.observation: Array = views["observation"]  # type: ignore[assignment]
        self.pieces: Array = views["pieces"]  # type: ignore[assignment]
        self.done: Array = views["done"]  # type: ignore[assignment]
        self.current_agent: Array = views["current_agent"]  # type: ignore[assignment]

    def views(self, states: list[bytes], movers: Array, path: Path) -> dict[str, Array]:
        try:
            self.batch.set_states(list(enumerate(states)))
        except ValueError as error:
            raise ValueError(
                f"{path}: a state string is not a game in progress: {error}"
            ) from error
        n = len(states)
        if not np.array_equal(self.current_agent[:n], movers):
            raise ValueError(f"{path}: a state's agent to move is not the row's mover")
        return {
            "observation": self.observation[:n].copy(),
            "pieces": self.pieces[:n].copy(),
            "done": self.done[:n].copy(),
        }


def _list_column(column: Any, dtype: Any) -> tuple[Array, Array]:
    """A list array (possibly a slice) as its flat values and offsets starting at 0."""
    offsets = np.asarray(column.offsets.to_numpy(), dtype=np.int64)
    values = column.flatten()
    if values.null_count:
        raise ValueError("null entries")
    return np.asarray(values.to_numpy(), dtype=dtype), (offsets - offsets[0]).astype(np.int32)


def _batch(
    batch: Any,
    path: Path,
    engine: _ViewBuilder,
    outcomes: tuple[Array, Array],
    dense_policy: bool,
) -> dict[str, Array]:
    n = batch.num_rows
    columns = {name: batch.column(name) for name in TURNS_SCHEMA.names}
    game_id = np.asarray(columns["game_id"].to_numpy(), dtype=np.int64)
    mover = np.asarray(columns["mover"].to_numpy(), dtype=np.int8)
    states = columns["state"].to_pylist()
    out: dict[str, Array] = engine.views(states, mover, path)
    out["action"] = np.asarray(columns["action"].to_numpy(), dtype=np.int32)
    out["mover"] = mover
    out["game_id"] = game_id
    out["ply"] = np.asarray(columns["ply"].to_numpy(), dtype=np.int16)
    out["has_policy"] = np.asarray(columns["has_policy"].to_numpy(zero_copy_only=False))

    try:
        actions, offsets = _list_column(columns["policy_actions"], np.int32)
        probs, prob_offsets = _list_column(columns["policy_probs"], np.float32)
    except ValueError as error:
        raise ValueError(f"{path}: policy lists with {error}") from error
    if not np.array_equal(offsets, prob_offsets):
        raise ValueError(f"{path}: policy_actions and policy_probs differ in length")
    if (np.diff(offsets) < 1).any():
        raise ValueError(f"{path}: a row has an empty policy")
    if ((actions < 0) | (actions >= NUM_ACTIONS)).any():
        raise ValueError(f"{path}: a policy action is out of range")
    if not np.isfinite(probs).all() or (probs < 0).any():
        raise ValueError(f"{path}: a policy probability is negative or not finite")
    if n and not np.allclose(np.add.reduceat(probs, offsets[:-1]), 1.0, rtol=0, atol=1e-3):
        raise ValueError(f"{path}: a policy's probabilities do not sum to 1")
    if dense_policy:
        dense = np.zeros((n, NUM_ACTIONS), dtype=np.float32)
        rows = np.repeat(np.arange(n), np.diff(offsets))
        dense[rows, actions] = probs
        out["policy"] = dense
    else:
        out["policy_actions"] = actions
        out["policy_probs"] = probs
        out["policy_offsets"] = offsets

    # The outcome of each row's game, turned so that the mover comes first.
    game_ids, game_outcomes = outcomes
    absolute = game_outcomes[np.searchsorted(game_ids, game_id)]
    order = (mover.astype(np.int64)[:, None] + np.arange(NUM_AGENTS)[None, :]) % NUM_AGENTS
    out["value"] = np.take_along_axis(absolute, order, axis=1).astype(np.float32)
    return out
