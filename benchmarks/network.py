"""The reference network's speed: evaluations per second (forward passes with the legal
softmax) at batch 1, 64 and 256, with numpy and with JAX, for the default network and the
baseline's; and self-play with the network's guided search, 64 games at once, with the share of
the wall time spent outside the network (the search, the engine, the game loop, writing).

    python benchmarks/network.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import os
import platform
import tempfile
import time
from collections.abc import Callable
from typing import Any

from rounds import interleaved_medians, parse_arguments

from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.forward import init_params
from krodan_rl.nn.policy_player import observed
from krodan_rl.search import GuidedPlayer
from krodan_rl.selfplay import generate
from krodan_rl.train import PRESETS

NETWORKS = {"default": PRESETS["laptop"].network, "baseline": PRESETS["baseline"].network}
BATCHES = (1, 64, 256)
# The baseline's self-play searches, as its recipe has them.
SIMULATIONS = PRESETS["baseline"].simulations


def positions(count: int) -> dict[str, Any]:
    from krodan_rl import PyKrodan
    from krodan_rl.agents import RandomAgent

    games, agent = [], RandomAgent(1)
    while len(games) < count:
        game = PyKrodan()
        for _ in range(len(games) % 40):
            if not game.is_over:
                game.step(agent.act(game))
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
        if not game.is_over:
            games.append(game)
    return observed(games)


def evaluations_per_second(
    evaluator: NetworkEvaluator,
    leaves: dict[str, Any],
    seconds: float,
    clock: Callable[[], float] = time.perf_counter,
) -> float:
    """Leaves evaluated per second of ``clock`` (wall time, or the process's CPU time)."""
    evaluator(leaves)  # compiled, warmed
    done, start = 0, clock()
    while clock() - start < seconds:
        evaluator(leaves)
        done += len(leaves["observation"])
    return done / (clock() - start)


class Timed:
    """An evaluator that adds up the time spent in it, in the class: self-play plays with a
    copy of its players."""

    seconds = 0.0
    calls = 0

    def __init__(self, evaluator: NetworkEvaluator) -> None:
        self.evaluator = evaluator

    def __call__(self, leaves: dict[str, Any]) -> Any:
        start = time.perf_counter()
        out = self.evaluator(leaves)
        Timed.seconds += time.perf_counter() - start
        Timed.calls += 1
        return out


def self_play_share(config: NetworkConfig, games: int, simulations: int) -> dict[str, float]:
    timed = Timed(NetworkEvaluator(init_params(config, 0), config, "jax"))
    timed(positions(1))  # compiled before the clock starts
    Timed.seconds, Timed.calls = 0.0, 0
    player = GuidedPlayer(timed, simulations=simulations, temperature=1.0, dirichlet_fraction=0.25)
    with tempfile.TemporaryDirectory() as out:
        start = time.perf_counter()
        generate(games, [player] * 4, out, games_per_shard=games, games_at_once=64, workers=1)
        total = time.perf_counter() - start
    return {
        "games/s": round(games / total, 2),
        "evaluator calls": Timed.calls,
        "share outside the network": round(1 - Timed.seconds / total, 3),
    }


def main() -> None:
    args = parse_arguments(__doc__ or "", 2.0, "network_results.json")
    leaves = {b: positions(b) for b in BATCHES}
    measures = {}
    for name, config in NETWORKS.items():
        params = init_params(config, 0)
        for backend in ("numpy", "jax"):
            evaluator = NetworkEvaluator(params, config, backend)
            for b in BATCHES:
                measures[f"{name} ({config.width}x{config.blocks}), {backend}, batch {b}"] = (
                    lambda e=evaluator, x=leaves[b]: evaluations_per_second(e, x, args.seconds)
                )
    medians = interleaved_medians(measures, args.rounds)
    report = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "evaluations/s": {k: round(v) for k, v in medians.items()},
        f"self-play, baseline network, 64 games at once, {SIMULATIONS} simulations": (
            self_play_share(NETWORKS["baseline"], 64, SIMULATIONS)
        ),
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
