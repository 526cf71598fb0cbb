"""Which network pays for its compute: candidate towers of several widths and depths, each
trained from scratch for the same CPU time on the same self-play games, then compared by their
loss on held-out games, their raw policy against three greedy agents, and their guided search
against three greedy agents at the same CPU time per move as the baseline network's 64
simulations.

    python benchmarks/network_choice.py RUN [--minutes M] [--guided-games G] [--json FILE]

RUN: a training's folder. Its last ``--held-out`` finished iterations are held out; the
``--train-runs`` before them are the training games. Time is the process's CPU time, so that
other work on the machine slows every candidate alike without changing its budget.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from network import evaluations_per_second, positions
from rounds import ROOT

from krodan_rl import arena
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.forward import init_params
from krodan_rl.train import PRESETS
from krodan_rl.train.learner import Learner
from krodan_rl.train.learning import batches
from krodan_rl.train.window import Window

CANDIDATES = ("16x2", "32x3", "32x6", "64x3")
BASELINE = PRESETS["baseline"]
# The guided search's reference: the baseline network at its recipe's simulations a move.
REFERENCE = (f"{BASELINE.network.width}x{BASELINE.network.blocks}", BASELINE.simulations)
# Losses on held-out games are taken this many times along each candidate's budget.
CHECKPOINTS_ALONG = 4
HELD_OUT_BATCH = 512
HELD_OUT_BATCHES = 16
# Leaves per evaluator call when timing: the baseline's self-play plays 32 games at once.
TIMING_BATCH = 32


def candidate(name: str) -> NetworkConfig:
    width, blocks = (int(part) for part in name.split("x"))
    return NetworkConfig(width=width, blocks=blocks, value_hidden=BASELINE.network.value_hidden)


def finished_runs(folder: Path) -> list[Path]:
    """The training's self-play runs whose iteration has a checkpoint, oldest first."""
    done = {path.stem for path in (folder / "checkpoints").glob("iter-*.npz")}
    return [run for run in sorted((folder / "selfplay").glob("iter-*")) if run.name in done]


def held_out_batches(runs: list[Path]) -> list[dict[str, Any]]:
    recipe = BASELINE.with_options(batch_size=HELD_OUT_BATCH, window=len(runs))
    rows = batches(Window(tuple(runs), "runs", len(runs)), recipe, 0)
    return [batch for batch, _ in zip(rows, range(HELD_OUT_BATCHES), strict=False)]


def held_out_losses(learner: Learner, held_out: list[dict[str, Any]]) -> dict[str, float]:
    losses = [learner.losses(batch) for batch in held_out]
    return {key: round(sum(part[key] for part in losses) / len(losses), 4) for key in losses[0]}


class Fetched:
    """Batches, with the CPU time spent reading them: the same for every candidate, so it is
    left out of their budgets."""

    def __init__(self, rows: Iterator[dict[str, Any]]) -> None:
        self.rows = rows
        self.seconds = 0.0

    def __iter__(self) -> Fetched:
        return self

    def __next__(self) -> dict[str, Any]:
        start = time.process_time()
        batch = next(self.rows)
        self.seconds += time.process_time() - start
        return batch


def train(config: NetworkConfig, runs: list[Path], held_out: list[dict[str, Any]],
          seconds: float) -> tuple[Learner, list[dict[str, Any]]]:  # fmt: skip
    """A learner trained for ``seconds`` of CPU time in its steps, and its held-out losses
    along the way."""
    recipe = BASELINE.with_options(network=config, window=len(runs))
    learner = Learner(config, recipe.learning_rate, recipe.weight_decay, seed=0)
    rows = Fetched(batches(Window(tuple(runs), "runs", len(runs)), recipe, seed=0))
    learner.train(rows, 1)  # compiled before the clock starts
    curve, spent = [], 0.0
    for k in range(1, CHECKPOINTS_ALONG + 1):
        while spent < seconds * k / CHECKPOINTS_ALONG:
            start, reading = time.process_time(), rows.seconds
            learner.train(rows, 10)
            spent += time.process_time() - start - (rows.seconds - reading)
        curve.append({"cpu_seconds": round(spent), "steps": learner.step,
                      **held_out_losses(learner, held_out)})  # fmt: skip
        print(f"  {curve[-1]}", flush=True)
    return learner, curve


def win_share(spec: str, games: int) -> dict[str, Any]:
    result = arena.run([spec, "greedy", "greedy", "greedy"], games, seed=0, workers=1,
                       progress=False)  # fmt: skip
    share = result.standings.rows[0].outcomes["win_share"]
    return {"games": games, "win_share": round(share.value, 3),
            "interval": [round(share.low, 3), round(share.high, 3)]}  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("run", type=Path, help="a training's folder")
    parser.add_argument("--candidates", nargs="+", default=list(CANDIDATES), help="WIDTHxBLOCKS")
    parser.add_argument("--minutes", type=float, default=10.0, help="CPU minutes of training each")
    parser.add_argument("--train-runs", type=int, default=30)
    parser.add_argument("--held-out", type=int, default=8)
    parser.add_argument("--policy-games", type=int, default=200)
    parser.add_argument("--guided-games", type=int, default=100)
    parser.add_argument("--json", type=Path,
                        default=ROOT / "benchmarks" / "network_choice_results.json")  # fmt: skip
    args = parser.parse_args()
    runs = finished_runs(args.run)
    if len(runs) < args.train_runs + args.held_out:
        parser.error(f"{args.run} has {len(runs)} finished iterations; "
                     f"{args.train_runs + args.held_out} are needed")  # fmt: skip
    held_out = held_out_batches(runs[-args.held_out :])
    training = runs[-args.held_out - args.train_runs : -args.held_out]
    speeds, results = {}, {}
    for name in dict.fromkeys([*args.candidates, REFERENCE[0]]):
        config = candidate(name)
        evaluator = NetworkEvaluator(init_params(config, 0), config, "jax")
        speeds[name] = evaluations_per_second(
            evaluator, positions(TIMING_BATCH), 10.0, time.process_time
        )
    with tempfile.TemporaryDirectory() as folder:
        for name in args.candidates:
            print(f"{name}: training for {args.minutes:g} CPU minutes", flush=True)
            learner, curve = train(candidate(name), training, held_out, args.minutes * 60)
            path = Path(folder) / f"{name}.npz"
            checkpoints.save(path, learner.checkpoint({}))
            simulations = max(1, round(REFERENCE[1] * speeds[name] / speeds[REFERENCE[0]]))
            results[name] = {
                "evaluations per CPU second, batch 32": round(speeds[name]),
                "held-out losses along training": curve,
                "raw policy vs three greedy": win_share(f"policy:{path}", args.policy_games),
                f"guided, {simulations} simulations, vs three greedy": win_share(
                    f"guided:{path}:{simulations}", args.guided_games
                ),
            }
            print(json.dumps({name: results[name]}, indent=1), flush=True)
    report = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "training games": f"{training[0].name} to {training[-1].name} of {args.run}",
        "held-out games": f"{runs[-args.held_out].name} to {runs[-1].name}",
        "CPU minutes of training each": args.minutes,
        "candidates": results,
    }
    args.json.write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
