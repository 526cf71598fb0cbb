"""The same measurements under two installations of the package, interleaved: tree searches,
the guided search and self-play, each measured in a fresh process of one interpreter, then of
the other, round after round, the median of each kept; the ratio after / before.

    python benchmarks/before_after.py --before /path/to/venv/bin/python [--after python]
        [--rounds R] [--seconds S] [--only TEXT] [--json FILE]

The measurements use only what both versions offer, so a change of the layers above the engine
can be weighed against the version before it on the same machine in the same hour.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def position(ply: int) -> object:
    from krodan_rl import PyKrodan
    from krodan_rl.agents import RandomAgent

    game, agent = PyKrodan(), RandomAgent(1)
    while not game.is_over and game.ply < ply:
        game.step(agent.act(game))
    while game.terminations[game.agent_selection]:
        game.step(None)
    return game


def tree_search(ply: int, trees: int, seconds: float) -> float:
    """UCT simulations per second from the position at ``ply``."""
    from krodan_rl.agents import MCTSAgent

    game = position(ply)
    agent = MCTSAgent(800, 1.4142, "random", trees, 3)  # positional: `trees` was `threads`
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        agent.search(game)
        done += 800
    return done / (time.perf_counter() - start)


def guided_search(seconds: float) -> float:
    """Leaves per second of 256 guided searches of 100 simulations from the opening."""
    import numpy as np

    from krodan_rl import PyKrodan
    from krodan_rl.search import BatchedSearch

    def evaluate(leaves: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
        return (
            np.ones(len(leaves["legal_actions"]), np.float32),
            np.full((len(leaves["mover"]), 4), 0.25, np.float32),
        )

    search = BatchedSearch(256, simulations=100, seed=0, num_threads=2)
    leaves, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        search.start([PyKrodan() for _ in range(256)])
        while not search.done():
            batch = search.pending()
            leaves += len(batch["mover"])
            search.expand(*evaluate(batch))
    return leaves / (time.perf_counter() - start)


def self_play(players: list[str], games: int, per_shard: int, workers: int) -> float:
    """Games per second of one self-play run."""
    sys.path.insert(0, str(ROOT / "tests" / "python"))  # the fixed networks of guided specs
    from krodan_rl.selfplay import generate

    with tempfile.TemporaryDirectory() as out:
        start = time.perf_counter()
        generate(games, players, out, games_per_shard=per_shard, workers=workers, seed=1)
        return games / (time.perf_counter() - start)


def arena(entries: list[str], games: int, workers: int) -> float:
    """Games per second of one arena run."""
    sys.path.insert(0, str(ROOT / "tests" / "python"))  # the fixed networks of guided specs
    from krodan_rl import arena as arena_runs

    start = time.perf_counter()
    arena_runs.run(entries, games, seed=1, workers=workers, progress=False)
    return games / (time.perf_counter() - start)


def vector_steps(seconds: float) -> float:
    """Placements per second of 256 games of random actions, observations on, 2 threads."""
    from krodan_rl import VecKrodan

    vec = VecKrodan(256, num_threads=2, auto_reset=True)
    vec.reset(seed=0)
    steps, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        vec.step(vec.random_actions())
        steps += 256
    return steps / (time.perf_counter() - start)


MEASURES: dict[str, Callable[[float], float]] = {
    "UCT simulations/s, opening, 1 tree": lambda s: tree_search(0, 1, s),
    "UCT simulations/s, middle, 2 trees": lambda s: tree_search(36, 2, s),
    "guided search leaves/s, 256 games, 2 threads": guided_search,
    "self-play games/s, greedy + 3 random, 2 workers": lambda s: self_play(
        ["greedy", "random", "random", "random"], 320, 40, 2
    ),
    "self-play games/s, mcts:100 + 3 greedy, 2 workers": lambda s: self_play(
        ["mcts:100", "greedy", "greedy", "greedy"], 16, 4, 2
    ),
    "self-play games/s, guided:16 + 3 greedy, 1 worker": lambda s: self_play(
        ["guided:fixed_networks:hashed_evaluator:16", "greedy", "greedy", "greedy"], 64, 16, 1
    ),
    "self-play games/s, 4 x guided:baseline:64 (the shipped model), 32 at once, 1 worker": (
        lambda s: self_play(["guided:baseline:64"] * 4, 32, 32, 1)
    ),
    "arena games/s, 4 built-in agents, 2 workers": lambda s: arena(
        ["greedy", "random", "mcts:20", "greedy"], 128, 2
    ),
    "arena games/s, guided:16 + 3 greedy, 2 workers": lambda s: arena(
        ["guided:fixed_networks:hashed_evaluator:16", "greedy", "greedy", "greedy"], 32, 2
    ),
    "VecKrodan placements/s, 256 games, 2 threads": vector_steps,
}


def measure_in(python: str, name: str, seconds: float) -> float:
    child = subprocess.run(
        [python, __file__, "--measure", name, "--seconds", str(seconds)],
        capture_output=True, text=True, check=True, timeout=1200, cwd="/",
    )  # fmt: skip
    return float(child.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--before", help="the interpreter with the earlier version installed")
    parser.add_argument("--after", default=sys.executable)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--json", type=Path, default=ROOT / "benchmarks" / "before_after.json")
    parser.add_argument("--only", default="", help="the measurements whose names hold this")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        print(MEASURES[args.measure](args.seconds))
        return
    if not args.before:
        parser.error("--before is required")
    samples: dict[str, dict[str, list[float]]] = {
        name: {"before": [], "after": []} for name in MEASURES if args.only in name
    }
    for _ in range(args.rounds):
        for name in samples:
            for which in ("before", "after"):
                python = args.before if which == "before" else args.after
                samples[name][which].append(measure_in(python, name, args.seconds))
    report = {}
    for name, runs in samples.items():
        before, after = statistics.median(runs["before"]), statistics.median(runs["after"])
        report[name] = {
            "before": float(f"{before:.4g}"),
            "after": float(f"{after:.4g}"),
            "after / before": round(after / before, 3),
            "rounds": runs,
        }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
