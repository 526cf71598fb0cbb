"""The training loader's speed: rows per second into numpy (observations rebuilt, policies and
values) at batch 256 and 1,024, in order and shuffled, with and without each row's legal
actions, over a self-play run made for the benchmark; and, for the cost of the checks of a
loaded shard, the same with them switched off (the markers' sha256, the replay of the rows,
the outcomes and the policies' legality; page checksums stay); measured in interleaved rounds.

    python benchmarks/loader.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import contextlib
import json
import os
import platform
import tempfile
import time
from collections.abc import Iterator
from typing import Any

from rounds import interleaved_medians, parse_arguments

from krodan_rl import data
from krodan_rl._internal import targets
from krodan_rl.data import shards
from krodan_rl.selfplay import generate

GAMES = 1000
CASES: dict[str, dict[str, Any]] = {
    "batch 1024, in order": {"batch_size": 1024},
    "batch 1024, shuffled": {"batch_size": 1024, "shuffle": True},
    "batch 1024, shuffled, legal actions": {
        "batch_size": 1024,
        "shuffle": True,
        "legal_actions": True,
    },
    "batch 256, in order": {"batch_size": 256},
    "batch 256, shuffled": {"batch_size": 256, "shuffle": True},
}
WITHOUT_CHECKS = "batch 1024, shuffled, checks off"


@contextlib.contextmanager
def checks_off() -> Iterator[None]:
    """The loader with its per-shard checks replaced by nothing, for their cost only."""
    saved = shards.check_rows, shards.check_games, targets.illegal_policy
    shards.check_rows = shards.check_games = targets.illegal_policy = lambda *a, **k: None
    try:
        yield
    finally:
        shards.check_rows, shards.check_games, targets.illegal_policy = saved


def rows_per_second(run: str, options: dict[str, Any], seconds: float) -> float:
    rows, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        for batch in data.load(run, **options):
            rows += len(batch["action"])
    return rows / (time.perf_counter() - start)


def unchecked_rows_per_second(run: str, seconds: float) -> float:
    with checks_off():
        options = {"batch_size": 1024, "shuffle": True, "verify": False}
        return rows_per_second(run, options, seconds)


def main() -> None:
    args = parse_arguments(__doc__ or "", 2.0, "loader_results.json")
    with tempfile.TemporaryDirectory() as run:
        summary = generate(GAMES, ["greedy", "random", "greedy", "random"], run, workers=2)
        measures = {
            name: (lambda o=options: rows_per_second(run, o, args.seconds))
            for name, options in CASES.items()
        }
        measures[WITHOUT_CHECKS] = lambda: unchecked_rows_per_second(run, args.seconds)
        medians = interleaved_medians(measures, args.rounds)
    report = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "dataset": f"{GAMES} games, {summary.turns} rows, shards of 100 games",
        "rows/s": {name: round(value) for name, value in medians.items()},
        "batch 256 / batch 1024, shuffled": round(
            medians["batch 256, shuffled"] / medians["batch 1024, shuffled"], 2
        ),
        "checks on / off, batch 1024, shuffled": round(
            medians["batch 1024, shuffled"] / medians[WITHOUT_CHECKS], 2
        ),
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
