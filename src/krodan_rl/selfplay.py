"""Self-play data: games among four players, every placement written to Parquet shards with its
position, action and policy target, for training (``krodan_rl.data`` reads them back).

``generate(1000, ["mcts:400", "mcts:400", "greedy", "random"], "runs/a")`` plays 1000 games,
player k in seat k (seat = absolute agent index), and writes ``runs/a/turns/shard-*.parquet``
and ``runs/a/games/shard-*.parquet`` (the layout is described in ``krodan_rl.data``).

A player is a spec or an object:

- ``random``, ``greedy``, ``mcts:SIMULATIONS``, ``mcts:SIMULATIONS:ROLLOUT``: a built-in agent,
  made anew for each game and seat. A tree search records its root visit distribution as the
  policy target; the others a one-hot target on their action (``has_policy`` False).
- ``guided:package.module:factory[:SIMULATIONS]``: ``krodan_rl.search.GuidedPlayer`` searching
  ``SIMULATIONS`` (800) times with the evaluator the factory returns (called with ``seed=``
  when it takes that keyword), at temperature 1; made once per shard and shared by the seats
  that name the same spec.
- ``package.module:factory``: as in the arena, an object with ``act(game)`` made for each game
  and seat (with ``seed=`` when the factory takes it).
- From Python, an object with ``act(game) -> int | None``, or with ``search_moves`` (below).
  Each game plays with a deep copy of the act objects; objects with ``search_moves`` are copied
  once per shard. With several workers, objects travel to them by pickle.

A player with ``search_moves(games, seeds)`` plays the games of a chunk (``games_at_once``
games) in lockstep: at each step it is called once with every game of the chunk whose mover
sits in one of its seats (None for the others) and a uint64 array of one seed per game (0 for
the others), and returns, for each game given, the action it chose and its policy as (int32
actions, float32 probabilities summing to 1); None for the others.

Seeds: game j (counted from 0 within shard s, ``game_id = s * games_per_shard + j``) seats a
built-in agent in seat k with seed ``SeedSequence([seed, s, j, k])``; ``search_moves`` gets
``SeedSequence([seed, s, j, k, ply])`` for the move at ``ply``. What built-in players play
depends on neither ``workers`` nor ``games_at_once``, nor on the process that plays a shard.

Each shard is written under a temporary name beginning with a dot (unique to the attempt),
flushed to disk, then renamed into place, the turns file first: a shard is there whole or not
at all, and a turns shard without its games shard is refused by the reader. Then its marker
commits it. A run is resumable: run again with the same arguments, it keeps the committed
shards and plays only the others (``krodan_rl.run_folder``); a folder of another run is
refused, so that runs never mix. With ``backend="ray"`` the shards are played by Ray actors
(``krodan_rl.ray_backend``).
"""

from __future__ import annotations

import copy
import importlib
import inspect
import math
import os
import pickle
import re
import sys
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import FIRST_EXCEPTION, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field
from multiprocessing import get_all_start_methods, get_context
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from krodan_rl import run_folder
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import Agent, MCTSAgent, agent_from_spec
from krodan_rl.arena import is_built_in, load_factory
from krodan_rl.progress import ProgressBar
from krodan_rl.vector import _index

if TYPE_CHECKING:
    from types import ModuleType

__all__ = [
    "GenerateSummary",
    "RunConfig",
    "SearchPlayer",
    "ShardSummary",
    "generate",
    "generate_shard",
    "main",
    "move_seed",
    "player_seed",
]

NUM_SEATS = 4
NUM_ACTIONS = PyKrodan.num_actions
GUIDED_PREFIX = "guided:"
GUIDED_SIMULATIONS = 800
# Games per row group of a turns shard: fixed, so that a shard's bytes depend on neither
# `games_at_once` nor `workers`.
ROW_GROUP_GAMES = 256
MAX_SEED = 2**64
SHARD_NAME = re.compile(r"shard-([0-9]{6,})\.parquet")

Policy = tuple[int, npt.NDArray[np.int32], npt.NDArray[np.float32]]


@runtime_checkable
class SearchPlayer(Protocol):
    """A player that decides many games in one call and gives its policy."""

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.NDArray[np.uint64]
    ) -> list[Policy | None]: ...


Player = str | Agent | SearchPlayer


def player_seed(seed: int, shard: int, game: int, seat: int) -> int:
    """The seed of the built-in agent in ``seat`` of game ``game`` of ``shard``."""
    return int(np.random.SeedSequence([seed, shard, game, seat]).generate_state(1, np.uint64)[0])


def move_seed(seed: int, shard: int, game: int, seat: int, ply: int) -> int:
    """The seed handed to ``search_moves`` for the move at ``ply`` of a game."""
    words = [seed, shard, game, seat, ply]
    return int(np.random.SeedSequence(words).generate_state(1, np.uint64)[0])


def _parse_guided(spec: str) -> tuple[str, int]:
    """The factory spec and the simulations of ``guided:package.module:factory[:SIMULATIONS]``."""
    parts = spec[len(GUIDED_PREFIX) :].split(":")
    simulations = GUIDED_SIMULATIONS
    if len(parts) == 3 and re.fullmatch(r"[0-9]+", parts[2]) and int(parts[2]) > 0:
        simulations = int(parts[2])
        parts = parts[:2]
    if len(parts) != 2 or not parts[0] or not parts[1]:
        raise ValueError(
            f"unknown player spec {spec!r}: expected guided:package.module:factory[:SIMULATIONS]"
            " with SIMULATIONS a positive integer"
        )
    return ":".join(parts), simulations


def _search_module() -> ModuleType:
    try:
        return importlib.import_module("krodan_rl.search")
    except ImportError as error:
        raise ValueError(f"guided players need krodan_rl.search: {error}") from error


def _call_factory(factory: Callable[..., Any], seed: int) -> Any:
    try:
        takes_seed = "seed" in inspect.signature(factory).parameters
    except (TypeError, ValueError):
        takes_seed = False
    return factory(seed=seed) if takes_seed else factory()


def make_guided(spec: str, seed: int) -> SearchPlayer:
    """The ``GuidedPlayer`` of a ``guided:`` spec, its evaluator made by the named factory."""
    factory_spec, simulations = _parse_guided(spec)
    guided_player = _search_module().GuidedPlayer
    evaluator = _call_factory(load_factory(factory_spec), seed)
    player: SearchPlayer = guided_player(
        evaluator, simulations=simulations, temperature=1.0, seed=seed
    )
    return player


def player_name(player: object) -> str:
    """How a player is named in the games shards: its spec, or an object's ``name`` or repr."""
    if isinstance(player, str):
        return player
    return str(getattr(player, "name", None) or repr(player))


def _has_search(player: object) -> bool:
    return callable(getattr(player, "search_moves", None))


def _acts_only(player: object) -> bool:
    return not _has_search(player)


def _check_player(player: object, seat: int) -> None:
    if isinstance(player, str):
        if player.startswith(GUIDED_PREFIX):
            factory_spec, _ = _parse_guided(player)
            load_factory(factory_spec)
        elif is_built_in(player):
            agent_from_spec(player)
        else:
            load_factory(player)
        return
    if not (_has_search(player) or callable(getattr(player, "act", None))):
        raise TypeError(
            f"player {seat} must be a spec or have act(game) or search_moves(games, seeds), "
            f"not {type(player).__name__}"
        )
    try:
        copy.deepcopy(player)
    except Exception as error:  # whatever stops the copy, the player is refused
        raise TypeError(
            f"player {seat} ({player_name(player)}) cannot be deep-copied: {error}"
        ) from error


@dataclass(frozen=True)
class RunConfig:
    """What a run plays: checked when made, so that a bad run fails before its first game.

    Pickles, for workers and remote actors; ``generate_shard(config, s, out_dir)`` plays shard s.
    """

    num_games: int
    players: tuple[Player, ...]
    games_per_shard: int = 1000
    seed: int = 0
    games_at_once: int = 64

    def __post_init__(self) -> None:
        for name in ("num_games", "games_per_shard", "seed", "games_at_once"):
            object.__setattr__(self, name, _index(getattr(self, name), name))
        if isinstance(self.players, str) or len(self.players) != NUM_SEATS:
            raise ValueError(f"a run takes exactly {NUM_SEATS} players, one per seat")
        object.__setattr__(self, "players", tuple(self.players))
        if self.num_games < 1:
            raise ValueError(f"num_games must be at least 1, not {self.num_games}")
        if self.games_per_shard < 1:
            raise ValueError(f"games_per_shard must be at least 1, not {self.games_per_shard}")
        if self.games_at_once < 1:
            raise ValueError(f"games_at_once must be at least 1, not {self.games_at_once}")
        if not 0 <= self.seed < MAX_SEED:
            raise ValueError(f"seed must be from 0 to 2**64 - 1, not {self.seed}")
        for seat, player in enumerate(self.players):
            _check_player(player, seat)

    @property
    def num_shards(self) -> int:
        return math.ceil(self.num_games / self.games_per_shard)

    def shard_games(self, shard: int) -> int:
        """The number of games in ``shard`` (the last shard may be short)."""
        if not 0 <= shard < self.num_shards:
            raise ValueError(f"shard must be from 0 to {self.num_shards - 1}, not {shard}")
        return min(self.games_per_shard, self.num_games - shard * self.games_per_shard)

    @property
    def player_names(self) -> list[str]:
        """Each seat's name in the games shards: its spec, or an object's ``name`` or repr."""
        return [player_name(p) for p in self.players]


@dataclass(frozen=True)
class ShardSummary:
    shard: int
    games: int
    turns: int
    seconds: float
    turns_path: str
    games_path: str
    sha256: dict[str, str] = field(default_factory=dict)  # of the files written, by kind


@dataclass(frozen=True)
class GenerateSummary:
    """A run's totals: the games and turns it generated (not those it found done), and its
    shards: generated (redone ones included), reused (adopted ones included), redone."""

    out_dir: str
    games: int
    turns: int
    shards: int
    seconds: float
    generated: int = 0
    reused: int = 0
    redone: int = 0
    adopted: int = 0

    @property
    def games_per_second(self) -> float:
        return self.games / max(self.seconds, 1e-9)

    @property
    def turns_per_second(self) -> float:
        return self.turns / max(self.seconds, 1e-9)

    def format(self) -> str:
        return (
            f"{self.shards} shard(s): {self.generated} generated ({self.redone} redone), "
            f"{self.reused} reused ({self.adopted} adopted without their marker); "
            f"{self.games} games, {self.turns} turns generated in {self.seconds:.3f} s: "
            f"{self.games_per_second:.1f} games/s, {self.turns_per_second:.0f} turns/s"
        )


# Playing.


@dataclass
class _GameLog:
    """One game's placements as they are played, and its end."""

    plies: list[int] = field(default_factory=list)
    movers: list[int] = field(default_factory=list)
    states: list[bytes] = field(default_factory=list)
    actions: list[int] = field(default_factory=list)
    has_policy: list[bool] = field(default_factory=list)
    policy_actions: list[npt.NDArray[np.int32]] = field(default_factory=list)
    policy_probs: list[npt.NDArray[np.float32]] = field(default_factory=list)
    final_scores: list[int] = field(default_factory=list)
    outcomes: dict[str, list[float]] = field(default_factory=dict)
    turns: int = 0

    def finish(self, game: PyKrodan) -> None:
        self.final_scores = list(game.scores)
        for mode in PyKrodan.reward_modes:
            outcome = game.outcome(mode)
            assert outcome is not None  # the game is over
            self.outcomes[mode] = outcome

    def release(self) -> None:
        """Forgets the placements, once written; the end of the game stays."""
        self.plies, self.movers, self.states, self.actions = [], [], [], []
        self.has_policy, self.policy_actions, self.policy_probs = [], [], []


@dataclass
class _Decision:
    action: int
    has_policy: bool
    actions: npt.NDArray[np.int32]
    probs: npt.NDArray[np.float32]


def _checked_policy(name: str, found: object, game: PyKrodan) -> _Decision:
    """A ``search_moves`` result for one game, refused unless it is a sound policy."""
    where = f"player {name} at ply {game.ply}"
    if not isinstance(found, (tuple, list)) or len(found) != 3:
        raise ValueError(f"{where}: search_moves must give (action, actions, probs) per game")
    action = _index(found[0], "the chosen action")
    actions = np.asarray(found[1])
    probs = np.asarray(found[2])
    if actions.ndim != 1 or actions.shape != probs.shape or actions.size == 0:
        raise ValueError(f"{where}: policy actions and probabilities must be equal 1-D arrays")
    if actions.dtype.kind not in "iu" or probs.dtype.kind != "f":
        raise ValueError(f"{where}: policy actions must be integers, probabilities floats")
    if ((actions < 0) | (actions >= NUM_ACTIONS)).any() or np.unique(actions).size != actions.size:
        raise ValueError(f"{where}: policy actions must be distinct actions")
    if not np.isfinite(probs).all() or (probs < 0).any() or abs(float(probs.sum()) - 1) > 1e-3:
        raise ValueError(f"{where}: policy probabilities must be non-negative and sum to 1")
    return _Decision(action, True, actions.astype(np.int32), probs.astype(np.float32))


def _one_hot(action: int | None) -> _Decision:
    chosen = -1 if action is None else _index(action, "the action")
    return _Decision(
        chosen, False, np.array([chosen], dtype=np.int32), np.ones(1, dtype=np.float32)
    )


def _act(player: object, game: PyKrodan) -> _Decision:
    """The move of a player without ``search_moves``."""
    if isinstance(player, MCTSAgent):
        result = player.search(game)
        if result.action is None:
            return _one_hot(None)
        visits = result.visits.astype(np.float64)
        probs = (visits / visits.sum()).astype(np.float32)
        return _Decision(int(result.action), True, result.actions.astype(np.int32), probs)
    return _one_hot(player.act(game))  # type: ignore[attr-defined]


def _copies(players: Sequence[Player], keep: Callable[[object], bool]) -> dict[int, object]:
    """Deep copies of the objects among ``players`` that ``keep`` selects, by seat, made together
    so that an object in several seats stays one object."""
    seats = [k for k, p in enumerate(players) if not isinstance(p, str) and keep(p)]
    copied = copy.deepcopy([players[k] for k in seats])
    return dict(zip(seats, copied, strict=True))


class _Shard:
    """The players of one shard: those shared by the whole shard, made once, and the rest made
    for each game."""

    def __init__(self, config: RunConfig, shard: int) -> None:
        self.config = config
        self.shard = shard
        self.names = config.player_names
        self.shared: dict[int, object] = {}
        by_spec: dict[str, object] = {}
        # One copy of all the searching objects, so that seats sharing one still share it.
        objects = _copies(config.players, _has_search)
        for seat, player in enumerate(config.players):
            if isinstance(player, str) and player.startswith(GUIDED_PREFIX):
                if player not in by_spec:
                    seed = player_seed(config.seed, shard, config.games_per_shard, seat)
                    by_spec[player] = make_guided(player, seed)
                self.shared[seat] = by_spec[player]
            elif not isinstance(player, str) and _has_search(player):
                self.shared[seat] = objects[seat]

    def game_players(self, game: int) -> list[object]:
        """The four players of game ``game`` of the shard."""
        config = self.config
        act_objects = _copies(config.players, _acts_only)
        players: list[object] = []
        for seat, player in enumerate(config.players):
            if seat in self.shared:
                players.append(self.shared[seat])
            elif isinstance(player, str):
                seed = player_seed(config.seed, self.shard, game, seat)
                if is_built_in(player):
                    players.append(agent_from_spec(player, seed))
                else:
                    players.append(_call_factory(load_factory(player), seed))
            else:
                players.append(act_objects[seat])
        return players

    def play(self, first: int, count: int) -> list[_GameLog]:
        """Games ``first`` to ``first + count - 1`` of the shard, played in lockstep."""
        games = [PyKrodan() for _ in range(count)]
        seats = [self.game_players(first + i) for i in range(count)]
        logs = [_GameLog() for _ in range(count)]
        active = list(range(count))
        while True:
            moving = []
            for i in active:
                game = games[i]
                while not game.is_over and game.terminations[game.agent_selection]:
                    game.step(None)
                if game.is_over:
                    logs[i].finish(game)
                else:
                    moving.append(i)
            active = moving
            if not active:
                return logs
            states = {i: games[i].to_bytes() for i in active}
            decisions = self._decide(first, count, games, seats, active)
            for i in active:
                self._record(games[i], logs[i], states[i], decisions[i])

    def _decide(
        self,
        first: int,
        count: int,
        games: list[PyKrodan],
        seats: list[list[object]],
        active: list[int],
    ) -> dict[int, _Decision]:
        decisions: dict[int, _Decision] = {}
        searching: dict[int, tuple[object, list[int]]] = {}
        for i in active:
            player = seats[i][games[i].agent_selection]
            if _has_search(player):
                searching.setdefault(id(player), (player, []))[1].append(i)
            else:
                decisions[i] = _act(player, games[i])
        for player, members in searching.values():
            asked: list[PyKrodan | None] = [None] * count
            # uint64, not a list: numpy reads a list of ints beyond 2**63 as float64.
            seeds = np.zeros(count, dtype=np.uint64)
            for i in members:
                game = games[i]
                asked[i] = game.copy()  # the player cannot change the recorded game
                seeds[i] = move_seed(
                    self.config.seed, self.shard, first + i, game.agent_selection, game.ply
                )
            found = player.search_moves(asked, seeds)  # type: ignore[attr-defined]
            name = self.names[games[members[0]].agent_selection]
            if not isinstance(found, Sequence) or len(found) != count:
                raise ValueError(f"player {name}: search_moves must give one entry per game")
            for i in range(count):
                if asked[i] is None and found[i] is not None:
                    raise ValueError(f"player {name}: search_moves answered a game not asked")
            for i in members:
                decisions[i] = _checked_policy(name, found[i], games[i])
        return decisions

    def _record(
        self,
        game: PyKrodan,
        log: _GameLog,
        state: bytes,
        decision: _Decision,
    ) -> None:
        mover, ply = game.agent_selection, game.ply
        try:
            game.step(decision.action if decision.action >= 0 else None)
        except AssertionError as error:  # the engine's refusal of an illegal action
            name = self.names[mover]
            raise ValueError(
                f"player {name} chose {decision.action if decision.action >= 0 else None} for "
                f"agent {mover} at ply {ply}, which is not a legal action: {error}"
            ) from error
        log.plies.append(ply)
        log.movers.append(mover)
        log.states.append(state)
        log.actions.append(decision.action)
        log.has_policy.append(decision.has_policy)
        log.policy_actions.append(decision.actions)
        log.policy_probs.append(decision.probs)
        log.turns += 1


# Writing.


def _data() -> ModuleType:
    """``krodan_rl.data``, which needs pyarrow (imported only when a run writes)."""
    return importlib.import_module("krodan_rl.data")


def _turns_table(data: ModuleType, first_id: int, logs: list[_GameLog]) -> Any:
    pa = data.pa
    counts = np.array([len(log.plies) for log in logs], dtype=np.int64)
    game_ids = np.repeat(np.arange(first_id, first_id + len(logs), dtype=np.int64), counts)

    def flat(name: str, dtype: Any) -> npt.NDArray[Any]:
        return np.concatenate([np.asarray(getattr(log, name), dtype=dtype) for log in logs])

    def lists(name: str, kind: Any, dtype: Any) -> Any:
        parts = [part for log in logs for part in getattr(log, name)]
        lengths = np.array([len(p) for p in parts], dtype=np.int64)
        offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int32)
        values = pa.array(np.concatenate(parts).astype(dtype), type=kind)
        return pa.ListArray.from_arrays(pa.array(offsets, type=pa.int32()), values)

    states = [state for log in logs for state in log.states]
    columns = [
        pa.array(game_ids, type=pa.int64()),
        pa.array(flat("plies", np.int16), type=pa.int16()),
        pa.array(flat("movers", np.int8), type=pa.int8()),
        pa.array(states, type=pa.binary(data.STATE_SIZE)),
        pa.array(flat("actions", np.int32), type=pa.int32()),
        pa.array(flat("has_policy", np.bool_), type=pa.bool_()),
        lists("policy_actions", pa.int32(), np.int32),
        lists("policy_probs", pa.float32(), np.float32),
    ]
    return pa.Table.from_arrays(columns, schema=data.TURNS_SCHEMA)


def _games_table(data: ModuleType, config: RunConfig, first_id: int, logs: list[_GameLog]) -> Any:
    pa = data.pa
    n = len(logs)

    def fixed(values: list[list[Any]], kind: Any) -> Any:
        offsets = pa.array(np.arange(0, NUM_SEATS * n + 1, NUM_SEATS, dtype=np.int32))
        flat = pa.array([v for row in values for v in row], type=kind)
        return pa.ListArray.from_arrays(offsets, flat)

    columns = [
        pa.array(np.arange(first_id, first_id + n, dtype=np.int64), type=pa.int64()),
        fixed([config.player_names] * n, pa.string()),
        pa.array(np.full(n, config.seed, dtype=np.uint64), type=pa.uint64()),
        fixed([log.final_scores for log in logs], pa.int16()),
        *(fixed([log.outcomes[m] for log in logs], pa.float32()) for m in PyKrodan.reward_modes),
        pa.array([log.turns for log in logs], type=pa.int32()),
    ]
    return pa.Table.from_arrays(columns, schema=data.GAMES_SCHEMA)


def _chunks(total: int, size: int) -> Iterator[tuple[int, int]]:
    for first in range(0, total, size):
        yield first, min(size, total - first)


def generate_shard(
    config: RunConfig,
    shard: int,
    out_dir: str | Path,
    on_games: Callable[[int], None] | None = None,
) -> ShardSummary:
    """Plays shard ``shard`` of a run and writes its two files under ``out_dir``; returns what
    it wrote. ``on_games(n)`` is called as games finish, with the shard's games done so far.

    The files go to temporary names beginning with a dot (the process id and a fresh uuid in
    them), are flushed to disk and renamed into place, turns first; an older games shard of the
    same name is removed before, so that no turns shard is ever paired with another run's
    games.
    """
    data = _data()
    pq = data.pq
    start = time.perf_counter()
    count = config.shard_games(shard)
    first_id = shard * config.games_per_shard
    root = Path(out_dir)
    folders = {kind: root / kind for kind in ("turns", "games")}
    for folder in folders.values():
        folder.mkdir(parents=True, exist_ok=True)
    name = data.shard_name(shard)
    tag = f"{os.getpid()}.{uuid.uuid4().hex}"
    temporary = {kind: folder / f".{name}.{tag}.tmp" for kind, folder in folders.items()}
    final = {kind: folder / name for kind, folder in folders.items()}
    players = _Shard(config, shard)
    logs: list[_GameLog] = []
    pending: list[_GameLog] = []
    written = 0
    try:
        writer = pq.ParquetWriter(
            temporary["turns"],
            data.TURNS_SCHEMA,
            use_dictionary=["game_id", "ply", "mover"],
            write_statistics=["game_id", "ply", "mover", "action"],
        )
        try:
            for first, size in _chunks(count, config.games_at_once):
                played = players.play(first, size)
                logs.extend(played)
                pending.extend(played)
                while len(pending) >= ROW_GROUP_GAMES or (pending and len(logs) == count):
                    group = pending[:ROW_GROUP_GAMES]
                    writer.write_table(_turns_table(data, first_id + written, group))
                    written += len(group)
                    for log in group:
                        log.release()
                    pending = pending[ROW_GROUP_GAMES:]
                if on_games is not None:
                    on_games(len(logs))
        finally:
            writer.close()
        pq.write_table(_games_table(data, config, first_id, logs), temporary["games"])
        for path in temporary.values():
            run_folder.fsync(path)
        digests = {kind: run_folder.sha256_of(path) for kind, path in temporary.items()}
        final["games"].unlink(missing_ok=True)
        os.replace(temporary["turns"], final["turns"])
        os.replace(temporary["games"], final["games"])
        for folder in folders.values():
            run_folder.fsync(folder)
    finally:
        for path in temporary.values():
            path.unlink(missing_ok=True)
    return ShardSummary(
        shard,
        count,
        sum(log.turns for log in logs),
        time.perf_counter() - start,
        str(final["turns"]),
        str(final["games"]),
        digests,
    )


# The run.


def produce_shard(config: RunConfig, shard: int, out_dir: str | Path) -> dict[str, Any]:
    """Plays and writes a shard, then commits it with its marker; returns the marker. What a
    worker, a process or a remote actor alike, runs for each shard."""
    summary = generate_shard(config, shard, out_dir)
    return run_folder.commit_shard(
        out_dir, config, shard, summary.games, summary.turns, summary.sha256
    )


def _pool_context() -> Any:
    """Worker processes that do not inherit this one's threads (the engine's, pyarrow's)."""
    return get_context("forkserver" if "forkserver" in get_all_start_methods() else "spawn")


BACKENDS = ("local", "ray")


def generate(
    num_games: int,
    players: Sequence[Player],
    out_dir: str | Path,
    games_per_shard: int = 1000,
    seed: int = 0,
    workers: int | None = None,
    games_at_once: int = 64,
    progress: bool = False,
    backend: str = "local",
    address: str | None = None,
    ray_actor_options: dict[str, Any] | None = None,
) -> GenerateSummary:
    """Plays ``num_games`` games among four players (player k in seat k) and writes them as
    shards of ``games_per_shard`` games under ``out_dir``, each committed by its marker;
    returns the totals. Every argument is checked before the first game.

    ``backend`` "local": ``workers`` processes play the shards (None: one per core, at most
    one per shard; 1: this process). "ray": Ray actors do (``krodan_rl.ray_backend``), on a
    local Ray instance sized to the machine, or on the cluster at ``address`` ("auto" for the
    one this machine belongs to); ``ray_actor_options`` go to the actors (``{"num_gpus": 1}``).
    ``games_at_once`` games are played in lockstep, so that a player with ``search_moves``
    decides them together.

    Run again with the same arguments, it generates only the shards that are missing or
    corrupt (``krodan_rl.run_folder``); more games extend the run. A folder written with
    another seed, other players or another ``games_per_shard`` is refused. A run that fails
    raises; the shards finished before stay, committed.
    """
    _data()  # pyarrow is there, or the run stops before it starts
    config = RunConfig(num_games, tuple(players), games_per_shard, seed, games_at_once)
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {BACKENDS}, not {backend!r}")
    if backend != "ray" and (address is not None or ray_actor_options is not None):
        raise ValueError("address and ray_actor_options go with backend='ray'")
    if workers is not None:
        workers = _index(workers, "workers")
        if workers < 1:
            raise ValueError(f"workers must be at least 1, not {workers}")
    if backend == "ray" or (workers or os.cpu_count() or 1) > 1:
        try:
            pickle.dumps(config)
        except Exception as error:  # whatever stops pickling, the run is refused
            raise TypeError(f"players must pickle to play in workers: {error}") from error
    if backend == "ray":
        from krodan_rl import ray_backend

        ray_backend.check_available()

    with run_folder.locked(out_dir):
        return _run(config, out_dir, workers, progress, backend, address, ray_actor_options)


def _run(
    config: RunConfig,
    out_dir: str | Path,
    workers: int | None,
    progress: bool,
    backend: str,
    address: str | None,
    ray_actor_options: dict[str, Any] | None,
) -> GenerateSummary:
    """A run whose arguments are checked, in its locked folder."""
    start = time.perf_counter()
    plan = run_folder.prepare(out_dir, config)
    manifest = run_folder.Manifest(out_dir, config, plan.markers)
    manifest.write()
    todo = plan.todo
    bar = ProgressBar(sum(config.shard_games(s) for s in todo), enabled=progress)
    made: list[dict[str, Any]] = []

    def committed(marker: dict[str, Any]) -> None:
        made.append(marker)
        manifest.add(marker)
        manifest.maybe_write()
        bar.update(sum(int(m["games"]) for m in made))

    processes = min(workers or os.cpu_count() or 1, len(todo))
    try:
        if not todo:
            pass
        elif backend == "ray":
            from krodan_rl import ray_backend

            ray_backend.run(config, out_dir, todo, workers, address, ray_actor_options, committed)
        elif processes == 1:
            for shard in todo:
                committed(produce_shard(config, shard, out_dir))
        else:
            _in_processes(config, out_dir, todo, processes, committed)
    finally:
        manifest.write()
    return GenerateSummary(
        str(out_dir),
        sum(int(m["games"]) for m in made),
        sum(int(m["rows"]) for m in made),
        config.num_shards,
        time.perf_counter() - start,
        generated=len(made),
        reused=len(plan.reused) + len(plan.adopted),
        redone=len(plan.redo),
        adopted=len(plan.adopted),
    )


def _in_processes(
    config: RunConfig,
    out_dir: str | Path,
    todo: list[int],
    workers: int,
    committed: Callable[[dict[str, Any]], None],
) -> None:
    with ProcessPoolExecutor(workers, mp_context=_pool_context()) as pool:
        waiting: set[Future[dict[str, Any]]] = {
            pool.submit(produce_shard, config, shard, out_dir) for shard in todo
        }
        try:
            while waiting:
                finished, waiting = wait(waiting, return_when=FIRST_EXCEPTION)
                for future in finished:
                    committed(future.result())
        except BaseException:
            pool.shutdown(cancel_futures=True)
            raise


def main(argv: list[str] | None = None) -> int:
    """``python -m krodan_rl selfplay --games N --out DIR --players A B C D --workers W``."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m krodan_rl selfplay",
        description="Play games among four players and write every placement (position, "
        "action, policy target) and every game's outcome as Parquet shards for training. Run "
        "again with the same arguments, it generates only what is missing.",
    )
    parser.add_argument("--games", type=int, required=True, help="number of games")
    parser.add_argument("--out", required=True, metavar="DIR", help="the dataset folder")
    parser.add_argument(
        "--players",
        nargs=NUM_SEATS,
        required=True,
        metavar="PLAYER",
        help="one per seat: random, greedy, mcts:SIMULATIONS[:ROLLOUT], "
        "guided:package.module:factory[:SIMULATIONS] or package.module:factory",
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=None,
        help="processes, or Ray actors with --ray (one per core, at most one per shard)",
    )
    parser.add_argument("--games-per-shard", type=int, default=1000, help="(1000)")
    parser.add_argument(
        "--games-at-once", type=int, default=64, help="games played in lockstep (64)"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the whole run (0)")
    parser.add_argument(
        "--ray",
        nargs="?",
        const="",
        default=None,
        metavar="ADDRESS",
        help="run on Ray: a local instance sized to this machine, or the cluster at ADDRESS "
        "('auto': the one this machine belongs to)",
    )
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    try:
        _data()
        RunConfig(
            args.games, tuple(args.players), args.games_per_shard, args.seed, args.games_at_once
        )
    except (ImportError, ValueError, TypeError, OSError) as error:
        parser.error(str(error))
    if Path(args.out).exists() and not Path(args.out).is_dir():
        parser.error(f"--out {args.out} exists and is not a folder")
    try:
        summary = generate(
            args.games,
            args.players,
            args.out,
            games_per_shard=args.games_per_shard,
            seed=args.seed,
            workers=args.workers,
            games_at_once=args.games_at_once,
            progress=sys.stderr.isatty(),
            backend="local" if args.ray is None else "ray",
            address=args.ray or None,
        )
    except (ImportError, run_folder.RunFolderError) as error:  # refused before any game
        print(f"python -m krodan_rl selfplay: {error}", file=sys.stderr)
        return 2
    except (ValueError, RuntimeError, OSError) as error:  # the run failed
        print(f"python -m krodan_rl selfplay: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(
            f"python -m krodan_rl selfplay: interrupted; run the same command again to go on "
            f"({args.out})",
            file=sys.stderr,
        )
        return 130
    print(summary.format())
    print(f"written to {summary.out_dir}")
    return 0
