"""The arena's games: four entries, seat-rotated blocks, played natively where every entry is a
built-in agent, else side by side in Python so that search players decide many games at once.

Game 4b + r of a run is rotation r of block b: entry e sits in seat (e + r) mod 4. How each
kind of entry plays (``seed`` the run's):

- a built-in spec: an agent with seed ``entry_seed(seed, e, b)`` made for block b, each of the
  block's four games starting from a copy of it (natively: stream b of the agent with seed
  ``entry_seed(seed, e)``);
- a search player (a ``guided:`` spec, or a factory's or your object with ``search_moves``):
  one object, asked once for all the running games that wait on it, each move drawn from
  ``move_seed(seed, e, b, r, ply)``;
- any other player (a factory's product, or your object with ``act``): each game starts from a
  copy of it, unless it declares ``stateless = True``; then the one object plays every game.

A factory spec is called once per worker, with ``seed=entry_seed(seed, e)`` when it takes that
keyword. So tables depend on neither ``workers`` nor the order in which games are played.
"""

from __future__ import annotations

import copy
import os
import pickle
from collections.abc import Sequence
from concurrent.futures import FIRST_EXCEPTION, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, arguments, lockstep, players
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import BuiltInAgent
from krodan_rl.arena.standings import Standings, standings
from krodan_rl.progress import ProgressBar
from krodan_rl.workers import (
    bind_quietly_to_driver,
    defined_in_script,
    pool_context,
    startable_from_any_script,
    stop_pool,
)

__all__ = ["ArenaResult", "entry_seed", "move_seed", "play_games", "rotation_seats", "run"]

NUM_SEATS = 4
#: The most placements a game holds (every agent places every piece): a row of ``placements``.
MAX_PLACEMENTS = _native.NUM_AGENTS * _native.NUM_PIECES
#: Games played side by side by default (in blocks of four).
GAMES_AT_ONCE = 64


@dataclass(frozen=True)
class ArenaResult:
    """Every game's seating and final scores, and the standings drawn from them.

    ``seats[g, m]`` is the entry that played seat m of game g; ``scores[g, m]`` that seat's
    final score. When the games were recorded, ``placements[g]`` holds game g's placements in
    the order played, each an action in its mover's frame, then -1 (passes are left out: they
    follow from the placements); ``game_placements(g)`` gives them as a list.
    """

    specs: list[str]
    seed: int
    seats: npt.NDArray[np.int8]
    scores: npt.NDArray[np.int16]
    standings: Standings
    placements: npt.NDArray[np.int32] | None = None

    def game_placements(self, game: int) -> list[int]:
        if self.placements is None:
            raise ValueError("the games were not recorded (run with record=True)")
        row = self.placements[
            arguments.integer(game, "game", minimum=0, maximum=len(self.placements) - 1)
        ]
        return [int(a) for a in row[row >= 0]]

    def to_dict(self) -> dict[str, Any]:
        return {
            "specs": self.specs,
            "seed": self.seed,
            "games": int(self.scores.shape[0]),
            "standings": self.standings.to_dict(),
            "seats": self.seats.tolist(),
            "scores": self.scores.tolist(),
            **(
                {"placements": [self.game_placements(g) for g in range(len(self.placements))]}
                if self.placements is not None
                else {}
            ),
        }


def rotation_seats(games: int) -> npt.NDArray[np.int8]:
    """The entry in each seat of each game: entry e in seat (e + r) mod 4 in game 4b + r."""
    rotation = np.arange(games) % NUM_SEATS
    return ((np.arange(NUM_SEATS)[None, :] - rotation[:, None]) % NUM_SEATS).astype(np.int8)


def game_seats(game: int) -> list[int]:
    """The entry in each seat of game ``game`` (a row of ``rotation_seats``)."""
    return [(seat - game) % NUM_SEATS for seat in range(NUM_SEATS)]


def _seed_of(words: list[int]) -> int:
    return int(np.random.SeedSequence(words).generate_state(1, np.uint64)[0])


def entry_seed(seed: int, entry: int, block: int | None = None) -> int:
    """The seed of an entry's agent (made for one block when ``block`` is given)."""
    return _seed_of([seed, entry] if block is None else [seed, entry, block])


def move_seed(seed: int, entry: int, block: int, rotation: int, ply: int) -> int:
    """The seed of a search player's move at ``ply`` of game 4 * block + rotation."""
    return _seed_of([seed, entry, block, rotation, ply])


def check_entries(entries: Sequence[Any]) -> None:
    """Refuses a run's entries before any game: not four, or not players."""
    if isinstance(entries, str) or len(entries) != NUM_SEATS:
        raise ValueError(f"an arena run takes exactly {NUM_SEATS} agents")
    for e, entry in enumerate(entries):
        players.check(entry, f"entry {e}")


def _all_built_in(entries: Sequence[Any]) -> bool:
    return all(isinstance(e, str) and players.parse(e).built_in for e in entries)


def run(
    agents: Sequence[Any],
    games: int,
    seed: int = 0,
    workers: int | None = None,
    *,
    progress: bool | None = None,
    games_at_once: int = GAMES_AT_ONCE,
    record: bool = False,
) -> ArenaResult:
    """Plays ``games`` games (a multiple of 4) among four entries and returns the standings.

    An entry is a spec of ``krodan_rl.players`` or a player object. ``workers`` threads (for
    built-in agents only) or processes (None: one per core; 1: this process, where entries
    need not pickle) share the games; ``games_at_once`` games are played side by side in each.
    A progress bar is drawn on a terminal unless ``progress`` is False. With ``record`` the
    result keeps every game's placements, to replay or watch (``krodan_rl.replay``); the
    games are the same either way.
    """
    check_entries(agents)
    games = arguments.integer(games, "games", minimum=1)
    if games % NUM_SEATS:
        raise ValueError(f"games must be a positive multiple of {NUM_SEATS}, not {games}")
    seed = arguments.seed(seed)
    workers = (
        os.cpu_count() or 1
        if workers is None
        else arguments.integer(workers, "workers", minimum=1, maximum=_native.MAX_THREADS)
    )
    at_once = arguments.integer(games_at_once, "games_at_once", minimum=1)
    record = arguments.flag(record, "record")
    seats = rotation_seats(games)
    bar = ProgressBar(games, enabled=progress)
    placements = np.full((games, MAX_PLACEMENTS), -1, dtype=np.int32)
    if _all_built_in(agents):
        scores = _play_built_in(
            [str(e) for e in agents], games, seed, workers, bar, placements if record else None
        )
    else:
        scores = _play_lockstep(list(agents), games, seed, workers, at_once, bar, placements)
    specs = [players.name(e) for e in agents]
    table = standings(specs, seats, scores, seed=seed)
    return ArenaResult(specs, seed, seats, scores, table, placements if record else None)


def _play_built_in(
    specs: list[str],
    games: int,
    seed: int,
    workers: int,
    bar: ProgressBar,
    placements: npt.NDArray[np.int32] | None,
) -> npt.NDArray[np.int16]:
    """Native games on ``workers`` threads, a chunk of blocks per call so the bar moves."""
    # One copy of each entry per rotation: the four games of a block play at once, each from
    # stream b of its own copies, which start equal.
    entries = [players.make(s, entry_seed(seed, e)) for e, s in enumerate(specs)]
    copies = [[copy.deepcopy(a)._native for a in entries] for _ in range(NUM_SEATS)]
    seats = rotation_seats(games)
    scores = np.empty((games, NUM_SEATS), dtype=np.int16)
    blocks = games // NUM_SEATS
    chunk = max(1, min(blocks, 8 * workers, 256))
    for first in range(0, blocks, chunk):
        block_ids = range(first, min(first + chunk, blocks))
        lineups, streams = [], []
        for b in block_ids:
            for r in range(NUM_SEATS):
                g = NUM_SEATS * b + r
                lineups.append([copies[r][e] for e in seats[g]])
                streams.append(b)
        start = NUM_SEATS * block_ids.start
        record = None if placements is None else placements[start : start + len(lineups)]
        played = _native.play_games(
            lineups, streams, workers, None if record is None else record.reshape(-1)
        )
        scores[start : start + len(lineups)] = np.frombuffer(played, dtype=np.int16).reshape(
            -1, NUM_SEATS
        )
        bar.update(start + len(lineups))
    return scores


class _Entries:
    """The entries as one process plays them: specs checked, factories called and search
    players made once; what is made for each block or game is made by ``for_game``."""

    def __init__(self, entries: Sequence[Any], seed: int) -> None:
        self.seed = seed
        self.names = [players.name(e) for e in entries]
        self.specs: dict[int, str] = {}  # built-in specs, made per block
        self.made: dict[int, Any] = {}  # the rest, made once
        for e, entry in enumerate(entries):
            if isinstance(entry, str) and players.parse(entry).built_in:
                self.specs[e] = entry
            else:
                self.made[e] = players.make(entry, entry_seed(seed, e))
        self.blocks: dict[int, dict[int, BuiltInAgent]] = {}

    def for_game(self, game: int) -> list[Any]:
        """The players of game ``game``, by seat."""
        block = game // NUM_SEATS
        if block not in self.blocks:
            self.blocks = {
                block: {e: players.make(s, entry_seed(self.seed, e, block))
                        for e, s in self.specs.items()}
            }  # fmt: skip
        seated: list[Any] = []
        for e in game_seats(game):
            made = self.made.get(e)
            if made is None:
                seated.append(copy.deepcopy(self.blocks[block][e]))
            elif players.is_search_player(made) or players.is_stateless(made):
                seated.append(made)
            else:
                seated.append(copy.deepcopy(made))
        return seated


def play_games(entries: Sequence[Any], seed: int, game_ids: Sequence[int]) -> npt.NDArray[np.int16]:
    """The final scores (by seat) of games ``game_ids`` of a run among ``entries`` with
    ``seed``, played side by side in this process: the rows ``run`` gives them."""
    check_entries(entries)
    return _play(_Entries(entries, arguments.seed(seed)), game_ids)[0]


Played = tuple[npt.NDArray[np.int16], npt.NDArray[np.int32]]


def _play(entries: _Entries, game_ids: Sequence[int]) -> Played:
    """The final scores of games ``game_ids`` (by seat) and their placements, played side by
    side."""
    games = [PyKrodan() for _ in game_ids]
    placements = np.full((len(game_ids), MAX_PLACEMENTS), -1, dtype=np.int32)
    placed = [0] * len(game_ids)
    lineups = [entries.for_game(g) for g in game_ids]

    def move_seed_of(i: int, seat: int, ply: int) -> int:
        block, rotation = divmod(game_ids[i], NUM_SEATS)
        entry = game_seats(game_ids[i])[seat]
        return move_seed(entries.seed, entry, block, rotation, ply)

    def describe(i: int, seat: int) -> str:
        entry = game_seats(game_ids[i])[seat]
        return f"entry {entry} ({entries.names[entry]}) in seat {seat} of game {game_ids[i]}"

    def record(i: int, game: PyKrodan, decision: lockstep.Decision) -> None:
        if decision.action >= 0:
            placements[i, placed[i]] = decision.action
            placed[i] += 1

    lockstep.play(games, lineups, move_seed_of, describe, record)
    scores = np.array([game.scores for game in games], dtype=np.int16).reshape(-1, NUM_SEATS)
    return scores, placements


def _play_lockstep(
    entries: list[Any],
    games: int,
    seed: int,
    workers: int,
    at_once: int,
    bar: ProgressBar,
    placements: npt.NDArray[np.int32],
) -> npt.NDArray[np.int16]:
    blocks_at_once = max(1, at_once // NUM_SEATS)
    chunks = [
        list(range(first * NUM_SEATS, min(first + blocks_at_once, games // NUM_SEATS) * NUM_SEATS))
        for first in range(0, games // NUM_SEATS, blocks_at_once)
    ]
    scores = np.empty((games, NUM_SEATS), dtype=np.int16)
    done = 0
    if workers == 1 or len(chunks) == 1:
        made = _Entries(entries, seed)
        for chunk in chunks:
            scores[chunk], placements[chunk] = _play(made, chunk)
            done += len(chunk)
            bar.update(done)
        return scores
    _check_travels(entries)
    with ProcessPoolExecutor(
        min(workers, len(chunks)),
        mp_context=pool_context(),
        initializer=bind_quietly_to_driver,
        initargs=(os.getpid(),),
    ) as pool:
        waiting: set[Future[Played]] = set()
        which: dict[Future[Played], list[int]] = {}
        try:
            with startable_from_any_script():  # the workers start as chunks are submitted
                for chunk in chunks:
                    future = pool.submit(_play_in_worker, entries, seed, chunk)
                    waiting.add(future)
                    which[future] = chunk
            while waiting:
                finished, waiting = wait(waiting, return_when=FIRST_EXCEPTION)
                for future in finished:
                    scores[which[future]], placements[which[future]] = future.result()
                    done += len(which[future])
                    bar.update(done)
        except BaseException:  # Ctrl-C, or a player's error: the other games are not wanted
            stop_pool(pool)
            raise
    return scores


def _check_travels(entries: list[Any]) -> None:
    """Refuses entries that cannot reach worker processes, before any is started."""
    try:
        pickle.dumps(entries)
    except Exception as error:  # whatever stops pickling, the run is refused
        raise TypeError(
            f"agents must pickle to play in worker processes (or use workers=1): {error}"
        ) from error
    found = defined_in_script(entries)
    if found:
        raise TypeError(
            f"agents defined in a script without a file ({', '.join(found)}) cannot reach "
            "worker processes: define them in a module, or use workers=1"
        )


# The entries of a worker process, made at its first chunk: factories run once per worker.
_worker_entries: _Entries | None = None


def _play_in_worker(entries: list[Any], seed: int, game_ids: list[int]) -> Played:
    global _worker_entries
    if _worker_entries is None:
        _worker_entries = _Entries(entries, seed)
    return _play(_worker_entries, game_ids)
