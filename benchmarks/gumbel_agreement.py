"""How often a cheap search picks the move of an 800-simulation PUCT search, with the shipped
model, on fixed positions: the Gumbel root at 16 simulations sampling m = 4, 8 or 16 children
(without noise, and with its Gumbel noise over several seeds) against PUCT at 64 and at 16. Not
a speed measurement: counts of agreeing moves, each with a 95 % Wilson interval.

    python benchmarks/gumbel_agreement.py [--model NAME] [--positions N] [--actions M ...]
        [--c-scales C ...] [--json FILE]

The model is a shipped one (``baseline``) or a checkpoint's path. The Gumbel rows without noise
are repeated for each c_scale given; the rows with noise use the first.

The positions: greedy games of seeds 0, 1, ... stopped after 8, 16, ..., 64 placements (movers
with a placement left, more than one legal action). Every search is run without root noise at
T = 0.
"""

from __future__ import annotations

import argparse
import json
import math
import platform
import time
from pathlib import Path
from typing import Any

from krodan_rl import PyKrodan, models
from krodan_rl.agents import GreedyAgent
from krodan_rl.search import BatchedSearch, SearchConfig

ROOT = Path(__file__).resolve().parents[1]
REFERENCE_SIMULATIONS = 800
NOISE_SEEDS = 4


def positions(count: int) -> list[PyKrodan]:
    found: list[PyKrodan] = []
    seed = 0
    while len(found) < count:
        game, agent = PyKrodan(), GreedyAgent(seed)
        for plies in range(8, 72, 8):
            while game.ply < plies and not game.is_over:
                game.step(agent.act(game))
            while not game.is_over and game.terminations[game.agent_selection]:
                game.step(None)
            if game.is_over or len(found) == count:
                break
            if game.observe(game.agent_selection).action_mask.count(1) > 1:
                found.append(game.copy())
        seed += 1
    return found


def moves(
    games: list[PyKrodan], evaluator: Any, seeds: list[int] | None = None, **options: Any
) -> list[int]:
    search = BatchedSearch(len(games), dirichlet_fraction=0.0, num_threads=2, seed=0, **options)
    search.start(games, seeds)
    search.run(evaluator)
    return search.select(0.0).tolist()


def wilson(hits: int, n: int, z: float = 1.96) -> tuple[float, float]:
    p = hits / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return centre - half, centre + half


def agreement(found: list[int], reference: list[int]) -> dict[str, Any]:
    hits = sum(a == b for a, b in zip(found, reference, strict=True))
    low, high = wilson(hits, len(reference))
    return {"agree": hits, "of": len(reference), "share": hits / len(reference),
            "interval": [round(low, 3), round(high, 3)]}  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--positions", type=int, default=120)
    parser.add_argument("--actions", type=int, nargs="+", default=[4, 8, 16])
    parser.add_argument("--model", default="baseline")
    parser.add_argument("--c-scales", type=float, nargs="+", default=[SearchConfig.c_scale])
    parser.add_argument("--json", type=Path, default=ROOT / "benchmarks" / "gumbel_agreement.json")
    args = parser.parse_args()
    games = positions(args.positions)
    evaluator = models.load(args.model)
    start = time.perf_counter()
    reference = moves(games, evaluator, simulations=REFERENCE_SIMULATIONS)
    results = {
        "puct_64": agreement(moves(games, evaluator, simulations=64), reference),
        "puct_16": agreement(moves(games, evaluator, simulations=16), reference),
    }
    for m in args.actions:
        gumbel = {"simulations": 16, "root": "gumbel", "gumbel_actions": m}
        for c_scale in args.c_scales:
            found = moves(games, evaluator, gumbel_scale=0.0, c_scale=c_scale, **gumbel)
            scaled = "" if c_scale == args.c_scales[0] else f"_c{c_scale:g}"
            results[f"gumbel_16_m{m}{scaled}_no_noise"] = agreement(found, reference)
        noisy: list[int] = []
        for s in range(NOISE_SEEDS):
            seeds = [s * len(games) + i for i in range(len(games))]
            noisy += moves(games, evaluator, seeds, c_scale=args.c_scales[0], **gumbel)
        results[f"gumbel_16_m{m}_noise"] = agreement(noisy, reference * NOISE_SEEDS)
    out = {"positions": len(games), "reference": f"puct_{REFERENCE_SIMULATIONS}",
           "model": args.model, "c_scales": args.c_scales, "results": results,
           "seconds": round(time.perf_counter() - start),
           "machine": platform.machine(), "python": platform.python_version()}  # fmt: skip
    args.json.write_text(json.dumps(out, indent=2) + "\n")
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
