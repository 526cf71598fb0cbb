"""One shard of a run: its games played in chunks by the match runner (``games_at_once`` at a
time, side by side so that search players decide them together; who plays each game is
``krodan_rl.matches.SelfPlayPlan``), recorded with their policies, and written as two Parquet
files whole or not at all; then committed with its marker."""

from __future__ import annotations

import os
import time
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pyarrow.parquet as pq

from krodan_rl import matches
from krodan_rl._internal import files
from krodan_rl.data.schema import TURNS_SCHEMA, shard_name
from krodan_rl.selfplay import run_folder
from krodan_rl.selfplay.config import RunConfig
from krodan_rl.selfplay.record import SelfPlayRecord
from krodan_rl.selfplay.tables import games_table, turns_table

__all__ = ["ShardSummary", "generate_shard", "produce_shard"]

# Games per row group of a turns shard: fixed, so that a shard's bytes depend on neither
# `games_at_once` nor `workers`.
ROW_GROUP_GAMES = 256
SHARD_KINDS = ("turns", "games")

#: Called as a shard's games finish, with how many of them are done.
OnGames = Callable[[int], None]
#: Called before each commit step; raises when the run no longer holds the folder.
Claim = Callable[[], None]


@dataclass(frozen=True)
class ShardSummary:
    shard: int
    games: int
    turns: int
    seconds: float
    turns_path: str
    games_path: str
    sha256: dict[str, str] = field(default_factory=dict)  # of the files written, by kind


def _play_chunk(plan: matches.SelfPlayPlan, first: int, count: int) -> list[SelfPlayRecord]:
    """Games ``first`` to ``first + count - 1`` of a shard, played side by side and recorded,
    every move with the policy behind it."""
    records = [SelfPlayRecord() for _ in range(count)]
    played = matches.play(
        plan,
        range(first, first + count),
        lambda i, game, decision: records[i].add(game, decision),
        policies=True,
    )
    for game, record in zip(played, records, strict=True):
        record.finish(game)
    return records


def _chunks(total: int, size: int) -> Iterator[tuple[int, int]]:
    for first in range(0, total, size):
        yield first, min(size, total - first)


def _write_turns(
    config: RunConfig, shard: int, path: Path, on_games: OnGames | None
) -> list[SelfPlayRecord]:
    """Plays the shard's games in chunks and writes their turns to ``path`` in row groups of
    ``ROW_GROUP_GAMES`` games, each group's bulk released once written; the games' records."""
    count = config.shard_games(shard)
    first_id = shard * config.games_per_shard
    plan = matches.SelfPlayPlan(config.players, config.seed, shard, config.games_per_shard)
    records: list[SelfPlayRecord] = []
    pending: list[SelfPlayRecord] = []
    written = 0
    writer = pq.ParquetWriter(
        path,
        TURNS_SCHEMA,
        use_dictionary=["game_id", "ply", "mover"],
        write_statistics=["game_id", "ply", "mover", "action"],
        write_page_checksum=True,
    )
    try:
        for first, size in _chunks(count, config.games_at_once):
            played = _play_chunk(plan, first, size)
            records.extend(played)
            pending.extend(played)
            while len(pending) >= ROW_GROUP_GAMES or (pending and len(records) == count):
                group = pending[:ROW_GROUP_GAMES]
                writer.write_table(turns_table(first_id + written, group))
                written += len(group)
                for record in group:
                    record.release()
                pending = pending[ROW_GROUP_GAMES:]
            if on_games is not None:
                on_games(len(records))
    finally:
        writer.close()
    return records


def generate_shard(
    config: RunConfig,
    shard: int,
    out_dir: str | Path,
    on_games: OnGames | None = None,
    claim: Claim | None = None,
) -> ShardSummary:
    """Plays shard ``shard`` of a run and writes its two files under ``out_dir``; returns what
    it wrote. ``on_games(n)`` is called as games finish, with the shard's games done so far;
    ``claim()`` before the files are renamed into place.

    The files go to temporary names beginning with a dot (the process id and a fresh uuid in
    them), are flushed to disk and renamed into place, turns first; an older games shard of the
    same name is removed before, so that no turns shard is ever paired with another run's
    games.
    """
    start = time.perf_counter()
    count = config.shard_games(shard)
    first_id = shard * config.games_per_shard
    root = Path(out_dir)
    folders = {kind: root / kind for kind in SHARD_KINDS}
    for folder in folders.values():
        folder.mkdir(parents=True, exist_ok=True)
    name = shard_name(shard)
    tag = f"{os.getpid()}.{uuid.uuid4().hex}"
    temporary = {kind: folder / f".{name}.{tag}.tmp" for kind, folder in folders.items()}
    final = {kind: folder / name for kind, folder in folders.items()}
    try:
        records = _write_turns(config, shard, temporary["turns"], on_games)
        table = games_table(first_id, records, config.player_names, config.seed)
        pq.write_table(table, temporary["games"], write_page_checksum=True)
        for path in temporary.values():
            files.fsync(path)
        digests = {kind: files.sha256_of(path) for kind, path in temporary.items()}
        if claim is not None:
            claim()
        final["games"].unlink(missing_ok=True)
        os.replace(temporary["turns"], final["turns"])
        os.replace(temporary["games"], final["games"])
        for folder in folders.values():
            files.fsync(folder)
    finally:
        for path in temporary.values():
            path.unlink(missing_ok=True)
    return ShardSummary(
        shard,
        count,
        sum(record.placements for record in records),
        time.perf_counter() - start,
        str(final["turns"]),
        str(final["games"]),
        digests,
    )


def produce_shard(
    config: RunConfig,
    shard: int,
    out_dir: str | Path,
    on_games: OnGames | None = None,
    claim: Claim | None = None,
) -> dict[str, Any]:
    """Plays and writes a shard, then commits it with its marker; returns the marker. What a
    worker, a process or a remote actor alike, runs for each shard; ``claim()`` is called
    before each step that commits (the files renamed, the marker written)."""
    summary = generate_shard(config, shard, out_dir, on_games, claim)
    if claim is not None:
        claim()
    return run_folder.commit_shard(
        out_dir, config, shard, summary.games, summary.turns, summary.sha256
    )
