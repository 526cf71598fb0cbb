"""Guided-search speed: leaves evaluated per second by BatchedSearch with a trivial numpy
evaluator and CSR priors, for 1, 64 and 256 games on 1 and 2 threads, with the share of the time
spent outside the evaluator; the tests' reference PUCT in Python over PyKrodan with the same
evaluator, as a ratio; and the trees' bytes per node and the peak memory at 256 games.

    python benchmarks/guided_search.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import platform
import resource
import sys
import time
from typing import Any

import numpy as np
from rounds import ROOT, interleaved_medians, parse_arguments

from krodan_rl import PyKrodan
from krodan_rl.play import legal_actions
from krodan_rl.search import BatchedSearch
from search import position_at

sys.path.insert(0, str(ROOT / "tests" / "python"))
import test_search as reference

SIMULATIONS = 100
GAMES = (1, 64, 256)


def trivial(leaves: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """Uniform priors over the CSR lists and even values: all but free."""
    count = len(leaves["mover"])
    return np.ones(len(leaves["legal_actions"]), np.float32), np.full((count, 4), 0.25, np.float32)


def trivial_reference_evaluation(game: PyKrodan) -> tuple[dict[int, float], list[float]]:
    actions = legal_actions(game.observe(game.agent_selection).action_mask)
    return {a: 1.0 / len(actions) for a in actions}, [0.25] * 4


class Rate:
    """Leaves per second and the share of time outside the evaluator, over searches repeated
    for about `seconds`."""

    def __init__(self, game: PyKrodan, num_games: int, threads: int, seconds: float) -> None:
        self.search = BatchedSearch(num_games, simulations=SIMULATIONS, num_threads=threads, seed=1)
        self.games, self.seconds = [game] * num_games, seconds
        self.outside: list[float] = []

    def __call__(self) -> float:
        leaves_done, in_evaluator, start = 0, 0.0, time.perf_counter()
        while time.perf_counter() - start < self.seconds:
            self.search.start(self.games)
            while not self.search.done():
                leaves = self.search.pending()
                if len(leaves["mover"]) == 0:
                    continue
                t = time.perf_counter()
                priors, values = trivial(leaves)
                in_evaluator += time.perf_counter() - t
                self.search.expand(priors, values)
                leaves_done += len(leaves["mover"])
        elapsed = time.perf_counter() - start
        self.outside.append(1 - in_evaluator / elapsed)
        return leaves_done / elapsed


def reference_rate(game: PyKrodan, seconds: float) -> float:
    reference.reference_evaluation = trivial_reference_evaluation
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        root = reference.reference_search(reference.Node(game.copy()), SIMULATIONS)
        done += root.visits  # the root's evaluation and one per simulation
    return done / (time.perf_counter() - start)


def peak_memory(game: PyKrodan, simulations: int = 800) -> dict[str, float]:
    """The trees of 256 games after `simulations` from `game`, and the growth of the process's
    peak resident memory (measured first, before anything else grows it)."""
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    search = BatchedSearch(256, simulations=simulations, num_threads=2, seed=1)
    search.start([game] * 256)
    search.run(trivial)
    nodes, reserved = search.memory()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {
        "simulations": simulations,
        "nodes": nodes,
        "bytes reserved for trees": reserved,
        "bytes per node": round(reserved / nodes, 1),
        "peak resident growth, MB": round((after - before) / 1024, 1),
    }


def main() -> None:
    args = parse_arguments(__doc__, 2.0, "guided_search_results.json")
    opening, middle = PyKrodan(), position_at(36)
    memory = peak_memory(opening)
    measures: dict[str, Any] = {}
    for n in GAMES:
        for threads in (1, 2):
            measures[f"opening, {n} games, {threads} thread(s)"] = Rate(
                opening, n, threads, args.seconds
            )
    for threads in (1, 2):
        measures[f"middle, 256 games, {threads} thread(s)"] = Rate(
            middle, 256, threads, args.seconds
        )
    measures["opening, Python reference"] = lambda: reference_rate(opening, args.seconds)
    rates = interleaved_medians(measures, args.rounds)
    python = rates["opening, Python reference"]
    report = {
        "machine": platform.processor() or platform.machine(),
        "simulations per search": SIMULATIONS,
        "leaves/s": {k: round(v, 1) for k, v in rates.items()},
        "share of time outside the evaluator": {
            k: round(float(np.median(m.outside)), 3)
            for k, m in measures.items()
            if isinstance(m, Rate)
        },
        "native / Python reference": {
            k: round(v / python, 1)
            for k, v in rates.items()
            if k.startswith("opening,") and k != "opening, Python reference"
        },
        "memory at 256 games": memory,
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
