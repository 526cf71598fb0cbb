"""What the Python benchmarks share: their command line, and measurements taken in interleaved
rounds with the median kept, so that a slow spell of a shared machine hits every
configuration alike."""

from __future__ import annotations

import argparse
import statistics
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def parse_arguments(doc: str, seconds: float, json_name: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=seconds, help="time per measurement")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds")
    parser.add_argument("--json", type=Path, default=ROOT / "benchmarks" / json_name)
    return parser.parse_args()


def interleaved_medians(measures: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """Each measurement once per round, rounds interleaved; the median per measurement."""
    samples: dict[str, list[float]] = {name: [] for name in measures}
    for _ in range(rounds):
        for name, measure in measures.items():
            samples[name].append(measure())
    return {name: statistics.median(values) for name, values in samples.items()}
