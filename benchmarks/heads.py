"""What the score and ownership heads cost a training: the loader's rows per second as the
learner takes them (dense policies, masks, values on the searches' scale) with and without the
ends of games rebuilt beside them, and the learner's steps per second for the baseline's
network with and without both heads; each pair measured in interleaved rounds, the ratios the
figures to read.

    python benchmarks/heads.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import itertools
import json
import os
import platform
import tempfile
import time
from dataclasses import replace
from typing import Any

from rounds import interleaved_medians, parse_arguments

from krodan_rl import data
from krodan_rl.selfplay import generate
from krodan_rl.train import PRESETS
from krodan_rl.train.learner import Learner

GAMES = 300
BATCH = 128  # the baseline presets'
LEARNER_OPTIONS: dict[str, Any] = {
    "dense_policy": True, "legal_actions": "mask", "normalise_values": True, "shuffle": True,
}  # fmt: skip


def rows_per_second(run: str, final_targets: bool, seconds: float) -> float:
    rows, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        for batch in data.load(run, BATCH, final_targets=final_targets, **LEARNER_OPTIONS):
            rows += len(batch["action"])
    return rows / (time.perf_counter() - start)


def learner_steps(run: str, heads: bool) -> Any:
    """A measurement of the learner's steps per second, its step compiled beforehand."""
    network = PRESETS["baseline-2"].network
    weights: tuple[tuple[str, float], ...] = ()
    if heads:
        network = replace(network, score_head=True, ownership_head=True)
        weights = (("score", 1.0), ("ownership", 1.0))
    learner = Learner(network, 1e-3, 1e-5, 0, None, "decoupled", weights)
    batches = list(itertools.islice(data.load(run, BATCH, final_targets=True,
                                              **LEARNER_OPTIONS), 8))  # fmt: skip
    learner.train(itertools.cycle(batches), 2)  # compiled here, not in the measurements

    def measure(seconds: float) -> float:
        steps, start = 0, time.perf_counter()
        while time.perf_counter() - start < seconds:
            learner.train(itertools.cycle(batches), 4)
            steps += 4
        return steps / (time.perf_counter() - start)

    return measure


def main() -> None:
    args = parse_arguments(__doc__ or "", 3.0, "heads_results.json")
    with tempfile.TemporaryDirectory() as run:
        summary = generate(GAMES, ["greedy", "random", "greedy", "random"], run, workers=2)
        plain, heads = learner_steps(run, False), learner_steps(run, True)
        medians = interleaved_medians(
            {
                "loader rows/s": lambda: rows_per_second(run, False, args.seconds),
                "loader rows/s, final targets": lambda: rows_per_second(run, True, args.seconds),
                "learner steps/s": lambda: plain(args.seconds),
                "learner steps/s, both heads": lambda: heads(args.seconds),
            },
            args.rounds,
        )
    report = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "dataset": f"{GAMES} games, {summary.turns} rows; batches of {BATCH}",
        "medians": {name: round(value, 2) for name, value in medians.items()},
        "loader, final targets / without": round(
            medians["loader rows/s, final targets"] / medians["loader rows/s"], 3
        ),
        "learner, both heads / without": round(
            medians["learner steps/s, both heads"] / medians["learner steps/s"], 3
        ),
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
