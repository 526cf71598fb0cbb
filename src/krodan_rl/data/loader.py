"""Batches for training from one or several self-play runs: a fixed batch size across shards
and runs, shuffling through a buffer, a split by game, a window over the latest data, the
legal actions of each row, and value targets on the searches' scale on request.

The rows flow one way: shards (in order, or in a seeded random order) → their checked rows,
kept where the split and window keep them → a buffer that shuffles → batches of rows → the
movers' views rebuilt by the batched engine from the state strings, one engine call a batch.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import outcomes
from krodan_rl._internal import arguments, targets
from krodan_rl.data.final_targets import final_owners, relative_targets
from krodan_rl.data.paths import games_path, shard_paths
from krodan_rl.data.rows import Rows
from krodan_rl.data.shards import read_shard
from krodan_rl.facts import NUM_ACTIONS, NUM_AGENTS
from krodan_rl.views import StateRefused, ViewBuilder

__all__ = ["SPLITS", "WINDOW_UNITS", "load", "validation_games"]

Array = npt.NDArray[Any]

SPLITS = ("train", "validation")
WINDOW_UNITS = ("runs", "shards", "games")
LEGAL_LAYOUTS = {False: None, True: "csr", "csr": "csr", "mask": "mask"}


@dataclass(frozen=True)
class _Source:
    """A turns shard to read: its file, the run (path argument) it belongs to, and the first
    game id kept (a window may cut a shard)."""

    turns: Path
    run: int
    first_game: int | None = None


def load(
    path: str | Path | Sequence[str | Path],
    batch_size: int = 1024,
    dense_policy: bool = False,
    reward_mode: str = "win_share",
    *,
    shuffle: bool = False,
    seed: int = 0,
    shuffle_buffer: int = 65536,
    drop_last: bool = False,
    split: str | None = None,
    validation_fraction: float = 0.05,
    window: tuple[str, int] | None = None,
    legal_actions: bool | str = False,
    normalise_values: bool = False,
    verify: bool = True,
    final_targets: bool = False,
) -> Iterator[dict[str, Array]]:
    """The placements of the runs ``path`` names, in batches of ``batch_size`` rows.

    ``path``: a run folder (or a folder of turns shards, or one shard), or a sequence of them,
    oldest first. Every row comes once per pass; batches span shards and runs, and only the
    last may be shorter (none with ``drop_last``).

    - ``shuffle``: shards are read in a random order and rows drawn through a buffer of
      ``shuffle_buffer`` rows, from the generator of ``seed`` (pass the epoch, say, for a new
      order each pass); without it rows come in order.
    - ``split``: "train" or "validation" keeps the games of that side of a split by game: a
      game is in validation with probability ``validation_fraction``, decided by a hash of its
      run's seed and its id, so it never changes side when shards or runs are added.
    - ``window``: ``("runs", K)``, ``("shards", K)`` or ``("games", K)`` keeps only the last K
      runs (of ``path``), shards or games (in the order of the runs, shard numbers, game ids).
    - ``legal_actions``: True (or "csr") adds each row's legal actions, ascending, as
      ``legal_actions`` int32 with ``legal_offsets`` int32 (B + 1); "mask" adds
      ``action_mask`` bool (B, 36400).
    - ``normalise_values``: ``value`` on the searches' [0, 1] scale (``outcomes.normalise``).
    - ``verify``: each shard's files against the sha256 their marker records (sizes always).
    - ``final_targets``: adds the end of each row's game (``krodan_rl.data.final_targets``),
      in the mover's relative order and frame: ``final_score`` float32 (B, 4), every agent's
      final score on the searches' [0, 1] scale, and ``final_owner`` uint8 (B, 20, 20), each
      cell's final owner (0 empty, 1 + k relative agent k).

    Each batch holds, for B placements:

    - ``observation`` uint8 (B, 12, 20, 20), ``pieces`` uint8 (B, 4, 21), ``done`` uint8
      (B, 4): the mover's view before the placement, as ``PyKrodan.observe(mover)`` gives it;
    - ``action`` int32 (B,), ``mover`` int8, ``game_id`` int64, ``ply`` int16;
    - the policy target: ``policy_actions`` int32 and ``policy_probs`` float32, flat, row i's
      entries at ``policy_offsets[i]:policy_offsets[i + 1]`` (int32, (B + 1,)); or, with
      ``dense_policy``, ``policy`` float32 (B, 36400);
    - ``has_policy`` bool (B,): whether the target came from a search rather than the action;
    - ``policy_weight`` float32 (B,): 1 for a row with a policy target, 0 for a row recorded
      for its value only (no entries: a cheap search's move), whose policy row is all zero;
    - ``value`` float32 (B, 4): the game's outcome in ``reward_mode`` with the agents in the
      mover's relative order (index k is agent (mover + k) % 4).

    Arguments and the files' presence are checked at once. Each shard is checked whole before
    any of its rows is used (``krodan_rl.data.shards``: every row replayed through the engine,
    each state following from the one before); a file that fails raises ValueError naming it
    and the game and ply.
    """
    options = _Options.checked(
        batch_size, dense_policy, reward_mode, shuffle, seed, shuffle_buffer, drop_last, split,
        validation_fraction, legal_actions, normalise_values, verify, final_targets,
    )  # fmt: skip
    sources = _windowed(_sources(path), window)
    return _batches(sources, options)


@dataclass(frozen=True)
class _Options:
    batch_size: int
    dense_policy: bool
    reward_mode: str
    shuffle: bool
    seed: int
    shuffle_buffer: int
    drop_last: bool
    split: str | None
    validation_fraction: float
    legal: str | None
    normalise_values: bool
    verify: bool
    final_targets: bool

    @classmethod
    def checked(cls, *given: Any) -> _Options:
        """The options from ``load``'s arguments, in its order, each checked in its terms."""
        (batch_size, dense_policy, reward_mode, shuffle, seed, shuffle_buffer, drop_last, split,
         validation_fraction, legal_actions, normalise_values, verify,
         final_targets) = given  # fmt: skip
        return cls(
            batch_size=arguments.integer(batch_size, "batch_size", minimum=1),
            dense_policy=arguments.flag(dense_policy, "dense_policy"),
            reward_mode=arguments.reward_mode(reward_mode),
            shuffle=arguments.flag(shuffle, "shuffle"),
            seed=arguments.seed(seed),
            shuffle_buffer=arguments.integer(shuffle_buffer, "shuffle_buffer", minimum=1),
            drop_last=arguments.flag(drop_last, "drop_last"),
            split=None if split is None else arguments.choice(split, "split", SPLITS),
            validation_fraction=arguments.real(
                validation_fraction, "validation_fraction", minimum=0, maximum=1
            ),
            legal=_legal_layout(legal_actions),
            normalise_values=arguments.flag(normalise_values, "normalise_values"),
            verify=arguments.flag(verify, "verify"),
            final_targets=arguments.flag(final_targets, "final_targets"),
        )


def _legal_layout(value: object) -> str | None:
    if isinstance(value, (bool, np.bool_)):
        return LEGAL_LAYOUTS[bool(value)]
    if isinstance(value, str) and value in LEGAL_LAYOUTS:
        return LEGAL_LAYOUTS[value]
    raise ValueError(f"legal_actions must be False, True, 'csr' or 'mask', not {value!r}")


def _sources(path: str | Path | Sequence[str | Path]) -> list[_Source]:
    paths = [path] if isinstance(path, (str, Path)) else list(path)
    if not paths:
        raise ValueError("path names no run")
    return [_Source(turns, run) for run, p in enumerate(paths) for turns in shard_paths(p)]


def _windowed(sources: list[_Source], window: tuple[str, int] | None) -> list[_Source]:
    if window is None:
        return sources
    if isinstance(window, str) or len(window) != 2:
        raise ValueError(f"window must be (unit, count) with unit one of {WINDOW_UNITS}")
    unit = arguments.choice(window[0], "window unit", WINDOW_UNITS)
    count = arguments.integer(window[1], "window count", minimum=1)
    if unit == "runs":
        runs = sorted({s.run for s in sources})[-count:]
        return [s for s in sources if s.run in runs]
    if unit == "shards":
        return sources[-count:]
    kept: list[_Source] = []
    for source in reversed(sources):
        game_ids = _game_ids(source.turns)
        if len(game_ids) >= count:
            kept.append(_Source(source.turns, source.run, int(game_ids[-count])))
            break
        kept.append(source)
        count -= len(game_ids)
    return kept[::-1]


def _game_ids(turns: Path) -> Array:
    import pyarrow.parquet as pq

    path = games_path(turns)
    try:
        column = pq.read_table(path, columns=["game_id"]).column("game_id")
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}: unreadable games shard: {error}") from error
    return np.asarray(column.to_numpy(), dtype=np.int64)


def validation_games(run_seeds: npt.ArrayLike, game_ids: npt.ArrayLike, fraction: float) -> Array:
    """Which games are in the validation split: a hash (splitmix64) of each game's run seed and
    id, read as a number in [0, 1), below ``fraction``."""
    x = np.asarray(run_seeds, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    x = x ^ np.asarray(game_ids, dtype=np.int64).astype(np.uint64)
    with np.errstate(over="ignore"):
        x = x + np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    x = x ^ (x >> np.uint64(31))
    return (x >> np.uint64(11)).astype(np.float64) / 2.0**53 < fraction


def _shard_rows(source: _Source, index: int, options: _Options) -> Rows:
    """A shard's rows that the split and window keep, with their value targets."""
    rows, games = read_shard(source.turns, options.verify)
    at = np.searchsorted(games.game_ids, rows.game_id)
    keep = np.ones(len(rows), dtype=np.bool_)
    if source.first_game is not None:
        keep &= rows.game_id >= source.first_game
    if options.split is not None:
        held_out = validation_games(games.seeds, games.game_ids, options.validation_fraction)
        keep &= held_out[at] == (options.split == "validation")
    absolute = games.outcomes[options.reward_mode][at]
    mover = rows.mover.astype(np.int64)
    order = (mover[:, None] + np.arange(NUM_AGENTS)[None, :]) % NUM_AGENTS
    value = np.take_along_axis(absolute, order, axis=1)
    if options.normalise_values:
        value = outcomes.normalise(value, options.reward_mode)
    final = (games.final_scores[at], final_owners(rows)) if options.final_targets else None
    rows = rows.with_targets(value.astype(np.float32), index, final)
    return rows if keep.all() else rows.take(keep)


def _batches(sources: list[_Source], options: _Options) -> Iterator[dict[str, Array]]:
    rng = np.random.default_rng(options.seed)
    order = rng.permutation(len(sources)) if options.shuffle else np.arange(len(sources))
    views = ViewBuilder(options.batch_size, options.legal)
    size = options.batch_size
    held: list[Rows] = []
    count = 0
    for k in order:
        rows = _shard_rows(sources[k], int(k), options)
        if not len(rows):
            continue
        held.append(rows)
        count += len(rows)
        # Without shuffling, whole batches go as soon as they are there; with it, once the
        # buffer is full, a random half of it goes and the rest waits for the next shards.
        threshold = options.shuffle_buffer if options.shuffle else size
        if count < threshold:
            continue
        pool = Rows.concat(held)
        if options.shuffle:
            pool = pool.take(rng.permutation(count))
            ready = max(size, (count - options.shuffle_buffer // 2) // size * size)
        else:
            ready = count // size * size
        ready = min(ready, count // size * size)
        for start in range(0, ready, size):
            yield _batch(pool.slice(start, start + size), views, options, sources)
        held, count = ([pool.slice(ready, count)] if ready < count else []), count - ready
    if not count:
        return
    pool = Rows.concat(held)
    if options.shuffle:
        pool = pool.take(rng.permutation(count))
    ends = [*range(size, count + 1, size)]
    if not options.drop_last and count % size:
        ends.append(count)
    start = 0
    for end in ends:
        yield _batch(pool.slice(start, end), views, options, sources)
        start = end


def _naming(rows: Rows, sources: list[_Source], row: int, why: str) -> str:
    """Why a row of a batch is refused, naming its shard, game and ply (rows of several shards
    may share a batch)."""
    assert rows.source is not None
    turns = sources[int(rows.source[row])].turns
    return f"{turns}: game {int(rows.game_id[row])}, ply {int(rows.ply[row])}: {why}"


def _batch(
    rows: Rows, views: ViewBuilder, options: _Options, sources: list[_Source]
) -> dict[str, Array]:
    try:
        out, legal, legal_offsets = views.build(rows.state, rows.mover)
    except StateRefused as refused:
        raise ValueError(_naming(rows, sources, refused.row, refused.why)) from None
    illegal = targets.illegal_policy(rows.policy_actions, rows.policy_offsets, legal, legal_offsets)
    if illegal is not None:
        raise ValueError(_naming(rows, sources, *illegal))
    n = len(rows)
    out["action"] = rows.action
    out["mover"] = rows.mover
    out["game_id"] = rows.game_id
    out["ply"] = rows.ply
    out["has_policy"] = rows.has_policy
    offsets = rows.policy_offsets
    out["policy_weight"] = (np.diff(offsets) > 0).astype(np.float32)
    if options.dense_policy:
        dense = np.zeros((n, NUM_ACTIONS), dtype=np.float32)
        dense[np.repeat(np.arange(n), np.diff(offsets)), rows.policy_actions] = rows.policy_probs
        out["policy"] = dense
    else:
        out["policy_actions"] = rows.policy_actions
        out["policy_probs"] = rows.policy_probs
        out["policy_offsets"] = offsets.astype(np.int32)
    assert rows.value is not None
    out["value"] = rows.value
    if rows.final_scores is not None and rows.final_owners is not None:
        out.update(relative_targets(rows.final_scores, rows.final_owners, rows.mover))
    return out
