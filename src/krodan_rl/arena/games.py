"""The arena's games: four entries, seat-rotated blocks, played natively where every entry is a
built-in agent, else side by side in Python through the match runner (``krodan_rl.matches``),
so that search players decide many games at once.

Game 4b + r of a run is rotation r of block b: entry e sits in seat (e + r) mod 4. How each
kind of entry plays (``seed`` the run's; the seeds are ``krodan_rl.seeds``' arena streams):

- a built-in spec: an agent with seed ``seeds.arena_entry(seed, e, b)`` made for block b, each
  of the block's four games starting from a copy of it (natively: stream b of the agent with
  seed ``seeds.arena_entry(seed, e)``);
- a search player (a ``guided:`` spec, or a factory's or your object with ``search_moves``):
  one object, asked once for all the running games that wait on it, each move drawn from
  ``seeds.arena_move(seed, e, b, r, ply)``;
- any other player (a factory's product, or your object with ``act``): each game starts from a
  copy of it, unless it declares ``stateless = True``; then the one object plays every game.

A factory spec is called once per worker, with ``seed=seeds.arena_entry(seed, e)`` when it
takes that keyword (``matches.ArenaPlan``). So tables depend on neither ``workers`` nor the
order in which games are played. ``entry_seed`` and ``move_seed`` are the seeds' older names.
"""

from __future__ import annotations

import copy
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, facts, matches, players, seeds
from krodan_rl._internal import arguments
from krodan_rl._internal.progress import ProgressBar
from krodan_rl._krodan import PyKrodan
from krodan_rl.arena.standings import Standings, standings
from krodan_rl.matches.lockstep import Decision
from krodan_rl.players import Spec

__all__ = ["ArenaResult", "entry_seed", "move_seed", "play_games", "rotation_seats", "run"]

NUM_SEATS = facts.NUM_AGENTS
#: The most placements a game holds (every agent places every piece): a row of ``placements``.
MAX_PLACEMENTS = facts.MAX_PLACEMENTS
#: Games played side by side by default (in blocks of four).
GAMES_AT_ONCE = 64

#: The seed of an entry's agent (made for one block when ``block`` is given).
entry_seed = seeds.arena_entry
#: The seed of a search player's move at ``ply`` of game 4 * block + rotation.
move_seed = seeds.arena_move


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


def check_entries(entries: Sequence[Any]) -> list[Any]:
    """Refuses a run's entries before any game: not four, or not players. Gives them back as
    they travel on: spec strings parsed into their ``Spec``, objects as they are."""
    if isinstance(entries, str) or len(entries) != NUM_SEATS:
        raise ValueError(f"an arena run takes exactly {NUM_SEATS} agents")
    return [players.resolve(entry, f"entry {e}") for e, entry in enumerate(entries)]


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

    An entry is a spec of ``krodan_rl.players`` (text or ``Spec``) or a player object.
    ``workers`` threads (for built-in agents only) or processes (None: one per core this
    process may use; 1: this process, where entries need not pickle) share the games;
    ``games_at_once`` games are played side by side in each. A progress bar is drawn on a
    terminal unless ``progress`` is False. With ``record`` the result keeps every game's
    placements, to replay or watch (``krodan_rl.replay``); the games are the same either way.
    """
    entries = check_entries(agents)
    games = arguments.integer(games, "games", minimum=1)
    if games % NUM_SEATS:
        raise ValueError(f"games must be a positive multiple of {NUM_SEATS}, not {games}")
    seed = arguments.seed(seed)
    workers = (
        facts.cores()
        if workers is None
        else arguments.integer(workers, "workers", minimum=1, maximum=facts.MAX_THREADS)
    )
    at_once = arguments.integer(games_at_once, "games_at_once", minimum=1)
    record = arguments.flag(record, "record")
    seats = rotation_seats(games)
    bar = ProgressBar(games, enabled=progress)
    placements = np.full((games, MAX_PLACEMENTS), -1, dtype=np.int32)
    if all(isinstance(e, Spec) and e.built_in for e in entries):
        scores = _play_built_in(entries, games, seed, workers, bar, placements if record else None)
    else:
        scores = _play_lockstep(entries, games, seed, workers, at_once, bar, placements)
    specs = [players.name(e) for e in entries]
    table = standings(specs, seats, scores, seed=seed)
    return ArenaResult(specs, seed, seats, scores, table, placements if record else None)


def _play_built_in(
    specs: list[Spec],
    games: int,
    seed: int,
    workers: int,
    bar: ProgressBar,
    placements: npt.NDArray[np.int32] | None,
) -> npt.NDArray[np.int16]:
    """Native games on ``workers`` threads, a chunk of blocks per call so the bar moves."""
    # One copy of each entry per rotation: the four games of a block play at once, each from
    # stream b of its own copies, which start equal.
    entries = [s.make(seeds.arena_entry(seed, e)) for e, s in enumerate(specs)]
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
            games=lineups,
            streams=streams,
            num_threads=workers,
            placements=None if record is None else record.reshape(-1),
        )
        scores[start : start + len(lineups)] = np.frombuffer(played, dtype=np.int16).reshape(
            -1, NUM_SEATS
        )
        bar.update(start + len(lineups))
    return scores


def play_games(entries: Sequence[Any], seed: int, game_ids: Sequence[int]) -> npt.NDArray[np.int16]:
    """The final scores (by seat) of games ``game_ids`` of a run among ``entries`` with
    ``seed``, played side by side in this process: the rows ``run`` gives them."""
    plan = matches.ArenaPlan(check_entries(entries), arguments.seed(seed))
    return _play(plan, game_ids)[0]


Played = tuple[npt.NDArray[np.int16], npt.NDArray[np.int32]]


def _play(plan: matches.ArenaPlan, game_ids: Sequence[int]) -> Played:
    """The final scores of games ``game_ids`` (by seat) and their placements, played side by
    side through the match runner."""
    placements = np.full((len(game_ids), MAX_PLACEMENTS), -1, dtype=np.int32)
    placed = [0] * len(game_ids)

    def record(i: int, game: PyKrodan, decision: Decision) -> None:
        if decision.action >= 0:
            placements[i, placed[i]] = decision.action
            placed[i] += 1

    played = matches.play(plan, game_ids, record)
    scores = np.array([game.scores for game in played], dtype=np.int16).reshape(-1, NUM_SEATS)
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
    blocks, blocks_at_once = games // NUM_SEATS, max(1, at_once // NUM_SEATS)
    chunks = [
        list(range(first * NUM_SEATS, min(first + blocks_at_once, blocks) * NUM_SEATS))
        for first in range(0, blocks, blocks_at_once)
    ]
    scores = np.empty((games, NUM_SEATS), dtype=np.int16)
    done = [0]

    def finished(k: int, played: Played) -> None:
        scores[chunks[k]], placements[chunks[k]] = played
        done[0] += len(chunks[k])
        bar.update(done[0])

    processes = matches.processes(workers, len(chunks))
    if processes == 1:
        plan = matches.ArenaPlan(entries, seed)
        for k, chunk in enumerate(chunks):
            finished(k, _play(plan, chunk))
        return scores
    matches.check_travels(entries, "agents")
    matches.run(_play_in_worker, [(entries, seed, chunk) for chunk in chunks], processes, finished)
    return scores


# The plan of a worker process, made at its first chunk: factories run once per worker.
_worker_plan: matches.ArenaPlan | None = None


def _play_in_worker(entries: list[Any], seed: int, game_ids: list[int]) -> Played:
    global _worker_plan
    if _worker_plan is None:
        _worker_plan = matches.ArenaPlan(entries, seed)
    return _play(_worker_plan, game_ids)
