"""Shards read back and checked: each turns shard read whole into numpy arrays after checking
everything it cheaply can (which shards a path names, and that a run folder's are whole, is
``krodan_rl.data.paths``). Its files against their commit
marker where the run folder has one (size, and sha256 with ``verify``); the Parquet footer's
size and the pages' checksums (files written before checksums load without them); the format
version, columns and types; the games shard's outcomes against its final scores; the rows
against the games (ids, plies, counts) and, through the engine, against each other
(``checks``). A file that fails raises ValueError naming it and the row, never skipped."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pyarrow as pa
import pyarrow.parquet as pq

from krodan_rl._internal.files import read_json, sha256_of
from krodan_rl.data.checks import check_games, check_rows
from krodan_rl.data.paths import games_path, shard_paths
from krodan_rl.data.rows import Rows
from krodan_rl.data.schema import (
    FORMAT_KEY,
    FORMAT_VERSION,
    GAMES_SCHEMA,
    MAX_FOOTER_BYTES,
    OUTCOME_MODES,
    SHARD_PATTERN,
    TURNS_SCHEMA,
    marker_path,
)
from krodan_rl.facts import NUM_ACTIONS, NUM_AGENTS, STATE_SIZE

__all__ = ["GamesTable", "ShardFacts", "games_path", "read_shard", "shard_facts", "shard_paths"]

Array = npt.NDArray[Any]

# The columns of a turns shard checked before the rest is read.
_SMALL_COLUMNS = ["game_id", "ply", "mover", "action", "has_policy"]


def _footer_bytes(path: Path) -> int:
    """The size of a Parquet file's footer, from its last eight bytes; -1 when they are not a
    Parquet ending."""
    with path.open("rb") as file:
        file.seek(0, 2)
        if file.tell() < 12:
            return -1
        file.seek(-8, 2)
        length, magic = struct.unpack("<I4s", file.read(8))
    return int(length) if magic == b"PAR1" else -1


def _open_parquet(path: Path, schema: Any, what: str) -> Any:
    """A Parquet file checked for our format version and exactly the expected columns; its
    pages' checksums are verified as they are read."""
    if not path.is_file():
        raise ValueError(f"{path}: missing (expected the {what} shard)")
    if _footer_bytes(path) > MAX_FOOTER_BYTES:
        raise ValueError(
            f"{path}: a footer of {_footer_bytes(path)} bytes (at most {MAX_FOOTER_BYTES}): "
            f"not a krodan_rl {what} shard"
        )
    try:
        parquet = pq.ParquetFile(path, page_checksum_verification=True)
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


@dataclass(frozen=True)
class GamesTable:
    """A games shard's games: ids (strictly increasing), placements, the run's seed, and the
    outcome of each game in every reward mode (absolute agent order)."""

    game_ids: Array
    turns: Array
    seeds: Array  # uint64
    outcomes: dict[str, Array]  # by mode, float32 (games, 4)
    players: list[list[str]]
    final_scores: Array  # int16 (games, 4)


def read_games(game_file: Path) -> GamesTable:
    games = _open_parquet(game_file, GAMES_SCHEMA, "games")
    try:
        table = _read_columns(games, game_file)
    finally:
        games.close()
    game_ids = _column(table, "game_id", np.int64)
    turns = _column(table, "turns", np.int64)
    outcomes = {
        mode: _fixed_lists(table, f"outcome_{mode}", np.float32, game_file)
        for mode in OUTCOME_MODES
    }
    final_scores = _fixed_lists(table, "final_scores", np.int16, game_file)
    players = _fixed_lists(table, "players", object, game_file)
    if game_ids.size == 0 or (np.diff(game_ids) <= 0).any():
        raise ValueError(f"{game_file}: game_id must be non-empty and strictly increasing")
    if (turns < 1).any():
        raise ValueError(f"{game_file}: every game must have at least one placement")
    seeds = np.asarray(table.column("seed").to_numpy(), dtype=np.uint64)
    problem = check_games(final_scores, outcomes)
    if problem is not None:
        raise ValueError(f"{game_file}: {problem}")
    return GamesTable(game_ids, turns, seeds, outcomes, players.tolist(), final_scores)


def _open_turns(turns_file: Path) -> tuple[Any, GamesTable]:
    """A turns shard opened after checking its small columns against its games shard."""
    game_file = games_path(turns_file)
    if not game_file.is_file():
        raise ValueError(f"{turns_file}: its games shard {game_file} is missing")
    games = read_games(game_file)
    parquet = _open_parquet(turns_file, TURNS_SCHEMA, "turns")
    try:
        _check_turns(
            _read_columns(parquet, turns_file, _SMALL_COLUMNS), turns_file, games.game_ids,
            games.turns,
        )  # fmt: skip
    except BaseException:
        parquet.close()
        raise
    return parquet, games


def _list_column(column: Any, dtype: Any) -> tuple[Array, Array]:
    """A list column as its flat values and int64 offsets starting at 0."""
    column = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    offsets = np.asarray(column.offsets.to_numpy(), dtype=np.int64)
    values = column.flatten()
    if values.null_count:
        raise ValueError("null entries")
    return np.asarray(values.to_numpy(), dtype=dtype), offsets - offsets[0]


def _states(column: Any) -> Array:
    """A fixed_size_binary(278) column as a (rows, 278) uint8 array, without a Python object
    per row."""
    array = column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column
    if array.null_count:
        raise ValueError("null states")
    data = array.buffers()[1]
    start = array.offset * STATE_SIZE
    flat = np.frombuffer(data, dtype=np.uint8)[start : start + len(array) * STATE_SIZE]
    return flat.reshape(len(array), STATE_SIZE)


def _marker(turns_file: Path) -> dict[str, Any] | None:
    """The commit marker of a shard in a run folder, or None where it has none (a folder of
    shards, a shard still being committed)."""
    match = SHARD_PATTERN.fullmatch(turns_file.name)
    if match is None or turns_file.parent.name != "turns":
        return None
    path = marker_path(turns_file.parent.parent, int(match[1]))
    if not path.exists():
        return None
    try:
        marker = read_json(path)
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}: an unreadable marker: {error}") from error
    if not isinstance(marker, dict) or not isinstance(marker.get("files"), dict):
        raise ValueError(f"{path}: not a shard marker")
    return marker


def _check_marked_files(turns_file: Path, marker: dict[str, Any], verify: bool) -> None:
    for kind, path in (("turns", turns_file), ("games", games_path(turns_file))):
        entry = marker["files"].get(kind)
        if not isinstance(entry, dict) or not path.is_file():
            raise ValueError(f"{path}: missing, or not in its marker")
        if path.stat().st_size != entry.get("bytes"):
            raise ValueError(
                f"{path}: {path.stat().st_size} bytes, its marker records {entry.get('bytes')}"
            )
        if verify and sha256_of(path) != entry.get("sha256"):
            raise ValueError(f"{path}: its sha256 is not the one its marker records")


def _check_marked_games(turns_file: Path, marker: dict[str, Any], games: GamesTable) -> None:
    """The games of a marked shard are those its number and the run's shard size give."""
    run = marker.get("run")
    per_shard = run.get("games_per_shard") if isinstance(run, dict) else None
    count = marker.get("games")
    match = SHARD_PATTERN.fullmatch(turns_file.name)
    if not isinstance(per_shard, int) or not isinstance(count, int) or match is None:
        raise ValueError(f"{turns_file}: its marker records no games_per_shard or games")
    first = int(match[1]) * per_shard
    if not np.array_equal(games.game_ids, np.arange(first, first + count)):
        raise ValueError(
            f"{games_path(turns_file)}: games {games.game_ids[0]}-{games.game_ids[-1]}, but "
            f"shard {int(match[1])} of its run holds games {first}-{first + count - 1}"
        )


def read_shard(
    turns_file: str | Path, verify: bool = True, markers: bool = True
) -> tuple[Rows, GamesTable]:
    """Every row of a turns shard, checked (see the module's documentation), with its games
    shard. ``verify``: the files' sha256 against their marker, beside their sizes; without
    ``markers`` the files are checked on their own."""
    turns_file = Path(turns_file)
    marker = _marker(turns_file) if markers else None
    if marker is not None:
        _check_marked_files(turns_file, marker, verify)
    parquet, games = _open_turns(turns_file)
    try:
        table = _read_columns(parquet, turns_file)
    finally:
        parquet.close()
    if marker is not None:
        _check_marked_games(turns_file, marker, games)
    try:
        actions, offsets = _list_column(table.column("policy_actions"), np.int32)
        probs, prob_offsets = _list_column(table.column("policy_probs"), np.float32)
        states = _states(table.column("state"))
    except ValueError as error:
        raise ValueError(f"{turns_file}: {error}") from error
    if not np.array_equal(offsets, prob_offsets):
        raise ValueError(f"{turns_file}: policy_actions and policy_probs differ in length")
    rows = Rows(
        game_id=_column(table, "game_id", np.int64),
        ply=_column(table, "ply", np.int16),
        mover=_column(table, "mover", np.int8),
        state=states,
        action=_column(table, "action", np.int32),
        has_policy=np.asarray(table.column("has_policy").to_numpy(), dtype=np.bool_),
        policy_offsets=offsets,
        policy_actions=actions,
        policy_probs=probs,
    )
    final_scores = dict(zip(games.game_ids.tolist(), games.final_scores, strict=True))
    problem = check_rows(rows, final_scores)
    if problem is not None:
        raise ValueError(f"{turns_file}: {problem}")
    return rows, games


@dataclass(frozen=True)
class ShardFacts:
    """What a whole, valid shard holds, for a run that finds it without its marker."""

    game_ids: Array
    rows: int
    players: list[list[str]]  # each game's, by seat
    seeds: list[int]  # each game's run seed


def shard_facts(turns_file: str | Path) -> ShardFacts:
    """Checks a turns shard and its games shard as ``load`` does before yielding their rows,
    but for their marker, which a run folder looks for this when it lacks (ValueError naming
    the file otherwise), and returns what they hold."""
    rows, games = read_shard(turns_file, verify=False, markers=False)
    return ShardFacts(games.game_ids, len(rows), games.players, [int(s) for s in games.seeds])


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
