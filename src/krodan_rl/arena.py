"""The arena: four agents play many seeded games, seat-rotated, and get standings with error bars.

``run(["greedy", "random", "random", "random"], games=400, seed=0, workers=2)`` plays the four
entries against each other. Games come in blocks of four, one per cyclic rotation of the
seats: in game 4b + r, entry e sits in seat (e + r) mod 4. Within a block every entry plays
from the same random streams in all four games, so the seat is all that differs. Entry e's
built-in agent has seed SeedSequence([seed, e]) and block b's games draw from its stream b:
the results depend on neither ``workers`` nor the order the blocks are run in.

An entry is a spec or an object:

- ``random``, ``greedy``, ``mcts:SIMULATIONS``, ``mcts:SIMULATIONS:ROLLOUT``: a built-in agent
  (tree searches grow one tree, on one thread, in the arena);
- ``package.module:attr``: a factory (a class or function) of an object with
  ``act(game) -> int | None``; it is called for each block, with ``seed=`` (the block's seed
  for that entry) when it takes that keyword, else with no argument;
- from Python, any object with ``act(game)``: each game starts from a copy of it.

With built-in agents only, the games run on threads in native code with the interpreter lock
released; with any other, blocks run in worker processes (entries must then pickle).
"""

from __future__ import annotations

import copy
import importlib
import inspect
import json
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import Agent, agent_from_spec
from krodan_rl.progress import ProgressBar
from krodan_rl.standings import Standings, standings

__all__ = ["ArenaResult", "entry_seed", "rotation_seats", "run"]

NUM_SEATS = 4
BUILT_IN = ("random", "greedy", "mcts")

Entry = str | Agent


@dataclass(frozen=True)
class ArenaResult:
    """Every game's seating and final scores, and the standings drawn from them.

    ``seats[g, m]`` is the entry that played seat m of game g; ``scores[g, m]`` that seat's
    final score.
    """

    specs: list[str]
    seed: int
    seats: npt.NDArray[np.int8]
    scores: npt.NDArray[np.int16]
    standings: Standings

    def to_dict(self) -> dict[str, Any]:
        return {
            "specs": self.specs,
            "seed": self.seed,
            "games": int(self.scores.shape[0]),
            "standings": self.standings.to_dict(),
            "seats": self.seats.tolist(),
            "scores": self.scores.tolist(),
        }


def rotation_seats(games: int) -> npt.NDArray[np.int8]:
    """The entry in each seat of each game: entry e in seat (e + r) mod 4 in game 4b + r."""
    rotation = np.arange(games) % NUM_SEATS
    return ((np.arange(NUM_SEATS)[None, :] - rotation[:, None]) % NUM_SEATS).astype(np.int8)


def entry_seed(seed: int, entry: int, block: int | None = None) -> int:
    """The seed of an entry's agent (and of its factory's calls for one block)."""
    words = [seed, entry] if block is None else [seed, entry, block]
    return int(np.random.SeedSequence(words).generate_state(1, np.uint64)[0])


def spec_name(entry: Entry) -> str:
    """How an entry is named in the standings: its spec, or an object's ``name`` or repr."""
    if isinstance(entry, str):
        return entry
    return str(getattr(entry, "name", None) or repr(entry))


def is_built_in(spec: str) -> bool:
    return spec.partition(":")[0] in BUILT_IN


def load_factory(spec: str) -> Callable[..., Agent]:
    """The callable a ``package.module:attr`` spec names."""
    module_name, _, attr = spec.partition(":")
    if not module_name or not attr:
        raise ValueError(
            f"unknown agent spec {spec!r}: expected random, greedy, mcts:SIMULATIONS[:ROLLOUT] "
            "or package.module:factory"
        )
    try:
        target: Any = importlib.import_module(module_name)
        for part in attr.split("."):
            target = getattr(target, part)
    except (ImportError, AttributeError) as error:
        raise ValueError(f"agent spec {spec!r}: {error}") from error
    if not callable(target):
        raise ValueError(f"agent spec {spec!r} does not name a callable")
    return target  # type: ignore[no-any-return]


def check_entries(agents: Sequence[Entry]) -> None:
    if isinstance(agents, str) or len(agents) != NUM_SEATS:
        raise ValueError(f"an arena run takes exactly {NUM_SEATS} agents")
    for entry in agents:
        if isinstance(entry, str):
            if is_built_in(entry):
                agent_from_spec(entry)  # refuses a malformed spec before any game
            else:
                load_factory(entry)
        elif not callable(getattr(entry, "act", None)):
            raise TypeError(f"an agent must have act(game), not {type(entry).__name__}")


def run(
    agents: Sequence[Entry],
    games: int,
    seed: int = 0,
    workers: int | None = None,
    *,
    progress: bool | None = None,
) -> ArenaResult:
    """Plays ``games`` games (a multiple of 4) among four entries and returns the standings.

    ``workers`` threads or processes (None: one per core) share the blocks; a progress bar is
    drawn on a terminal unless ``progress`` is False.
    """
    check_entries(agents)
    if games <= 0 or games % NUM_SEATS:
        raise ValueError(f"games must be a positive multiple of {NUM_SEATS}, not {games}")
    workers = os.cpu_count() or 1 if workers is None else workers
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    seats = rotation_seats(games)
    bar = ProgressBar(games, enabled=progress)
    if all(isinstance(e, str) and is_built_in(e) for e in agents):
        scores = play_built_in([str(e) for e in agents], games, seed, workers, bar)
    else:
        scores = play_in_processes(agents, games, seed, workers, bar)
    specs = [spec_name(e) for e in agents]
    return ArenaResult(specs, seed, seats, scores, standings(specs, seats, scores, seed=seed))


def play_built_in(
    specs: list[str], games: int, seed: int, workers: int, bar: ProgressBar
) -> npt.NDArray[np.int16]:
    """Native games on ``workers`` threads, a chunk of blocks per call so the bar moves."""
    # One copy of each entry per rotation: the four games of a block play at once, each from
    # stream b of its own copies, which start equal.
    entries = [agent_from_spec(s, entry_seed(seed, e)) for e, s in enumerate(specs)]
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
        played = _native.play_games(lineups, streams, workers)
        start = NUM_SEATS * block_ids.start
        scores[start : start + len(lineups)] = np.frombuffer(played, dtype=np.int16).reshape(
            -1, NUM_SEATS
        )
        bar.update(start + len(lineups))
    return scores


def make_block_agents(entries: Sequence[Entry], seed: int, block: int) -> list[Agent]:
    """The agents of one block, before its first game."""
    made: list[Agent] = []
    for e, entry in enumerate(entries):
        block_seed = entry_seed(seed, e, block)
        if isinstance(entry, str) and is_built_in(entry):
            made.append(agent_from_spec(entry, block_seed))
        elif isinstance(entry, str):
            factory = load_factory(entry)
            takes_seed = "seed" in inspect.signature(factory).parameters
            made.append(factory(seed=block_seed) if takes_seed else factory())
        else:
            made.append(entry)
    return made


def play_block(entries: Sequence[Entry], seed: int, block: int) -> list[list[int]]:
    """The four games of one block, each from fresh copies of the block's agents."""
    agents = make_block_agents(entries, seed, block)
    seats = rotation_seats(NUM_SEATS)
    results = []
    for r in range(NUM_SEATS):
        players = copy.deepcopy(agents)
        game = PyKrodan()
        while not game.is_over:
            game.step(players[seats[r][game.agent_selection]].act(game))
        results.append(list(game.scores))
    return results


def play_in_processes(
    entries: Sequence[Entry], games: int, seed: int, workers: int, bar: ProgressBar
) -> npt.NDArray[np.int16]:
    blocks = games // NUM_SEATS
    scores = np.empty((games, NUM_SEATS), dtype=np.int16)
    done = 0
    with ProcessPoolExecutor(workers) as pool:
        results = pool.map(play_block, [entries] * blocks, [seed] * blocks, range(blocks))
        for b, block_scores in enumerate(results):
            scores[NUM_SEATS * b : NUM_SEATS * (b + 1)] = block_scores
            done += NUM_SEATS
            bar.update(done)
    return scores


def write_json(path: str | Path, result: ArenaResult) -> None:
    """Writes the result whole or not at all: to a temporary file, then renamed."""
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
    try:
        temporary.write_text(json.dumps(result.to_dict(), indent=2) + "\n")
        temporary.replace(target)
    finally:
        temporary.unlink(missing_ok=True)


def main(argv: list[str] | None = None) -> int:
    """``python -m krodan_rl arena A B C D --games N --seed S --workers W --json FILE``."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m krodan_rl arena",
        description="Rate four agents by seat-rotated games: mean score and outcomes with 95 %% "
        "bootstrap intervals over blocks of four games, win share by seat, and a rating.",
    )
    parser.add_argument(
        "agents",
        nargs=NUM_SEATS,
        metavar="AGENT",
        help="random, greedy, mcts:SIMULATIONS[:ROLLOUT] or package.module:factory",
    )
    parser.add_argument("--games", type=int, default=400, help="a multiple of 4 (400)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the whole run (0)")
    parser.add_argument(
        "--workers", type=int, default=os.cpu_count() or 1, help="threads or processes (cores)"
    )
    parser.add_argument("--json", metavar="FILE", help="also write the standings and games")
    args = parser.parse_args(argv)
    if args.games <= 0 or args.games % NUM_SEATS:
        parser.error("--games must be a positive multiple of 4")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if not 0 <= args.seed < 2**63:
        parser.error("--seed must be from 0 to 2**63 - 1")
    if args.json is not None:
        from krodan_rl.__main__ import unwritable

        problem = unwritable(Path(args.json))
        if problem:
            parser.error(f"--json {args.json}: {problem}")
    try:
        check_entries(args.agents)
    except (ValueError, TypeError) as error:
        parser.error(str(error))
    result = run(args.agents, args.games, args.seed, args.workers)
    print(result.standings.format())
    if args.json is not None:
        write_json(args.json, result)
        print(f"standings written to {args.json}")
    return 0
