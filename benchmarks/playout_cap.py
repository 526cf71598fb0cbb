"""Playout cap randomisation's cost in self-play: the CPU seconds a placement takes with the
shipped baseline network and its preset's self-play (64 simulations), searched fully, capped
(a quarter of the moves searched fully, the rest with 16 simulations), and all cheap; under
both root rules. Each round plays every setting once, in turn (interleaved), through the
training's own self-play runs, and reports ratios against full PUCT search in the same round.

The cap's split costs something beyond its simulations: the games of a round of moves are
searched in two batches, so each batch of evaluations is smaller. ``split overhead`` compares
the capped time with what its simulations would cost at the full and cheap runs' rates
(share x full + (1 - share) x cheap, per placement): 1.0 would be no overhead.

    python benchmarks/playout_cap.py [--rounds R] [--games G] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time
from pathlib import Path
from typing import Any

from krodan_rl import data
from krodan_rl.train import PRESETS
from krodan_rl.train.folder import Training
from krodan_rl.train.selfplay_runs import SelfPlayRuns

ROOT = Path(__file__).resolve().parents[1]
NETWORK = ROOT / "benchmarks" / "baseline" / "latest.npz"
SHARE, CHEAP = 0.25, 16
# All cheap: a share above 0 (the configuration's floor) that no move's draw falls below.
NONE = 1e-12
SETTINGS = {
    "puct full": {"root_rule": "puct"},
    "puct capped": {"root_rule": "puct", "full_search_share": SHARE},
    "puct cheap": {"root_rule": "puct", "full_search_share": NONE},
    "gumbel full": {"root_rule": "gumbel"},
    "gumbel capped": {"root_rule": "gumbel", "full_search_share": SHARE},
    "gumbel cheap": {"root_rule": "gumbel", "full_search_share": NONE},
}


def cpu_seconds() -> float:
    """This process's CPU time and its finished children's (self-play's workers)."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


def timed(options: dict[str, Any], games: int) -> dict[str, float]:
    """One self-play run of ``games`` games from the baseline network: CPU and wall seconds
    per placement, and the share of its rows with a policy target."""
    config = PRESETS["baseline"].with_options(
        games=games, games_at_once=games, cheap_simulations=CHEAP, **options
    )
    with tempfile.TemporaryDirectory() as folder:
        training = Training(Path(folder))
        training.checkpoints.mkdir()
        shutil.copy(NETWORK, training.checkpoint(0))
        runs = SelfPlayRuns(training, config, "local")
        cpu, wall = cpu_seconds(), time.perf_counter()
        runs.play(1)
        cpu, wall = cpu_seconds() - cpu, time.perf_counter() - wall
        played = runs.played(1)["full_search_share_played"]
        placements = sum(data.shard_facts(path).rows for path in data.shard_paths(training.run(1)))
    return {"cpu": cpu / placements, "wall": wall / placements, "full": played}


def summary(rounds: list[dict[str, dict[str, float]]]) -> dict[str, Any]:
    """Medians over the rounds: seconds per placement, the ratio to full PUCT in each round,
    and the split overhead of each capped setting."""
    found: dict[str, Any] = {}
    for name in SETTINGS:
        cpu = [r[name]["cpu"] for r in rounds]
        ratios = [r[name]["cpu"] / r["puct full"]["cpu"] for r in rounds]
        found[name] = {
            "cpu_ms_per_placement": 1e3 * statistics.median(cpu),
            "wall_ms_per_placement": 1e3 * statistics.median(r[name]["wall"] for r in rounds),
            "vs_puct_full": statistics.median(ratios),
            "full_share_played": statistics.median(r[name]["full"] for r in rounds),
        }
    for root in ("puct", "gumbel"):
        overheads = []
        for r in rounds:
            full, cheap, capped = (r[f"{root} {kind}"] for kind in ("full", "cheap", "capped"))
            share = capped["full"]
            overheads.append(capped["cpu"] / (share * full["cpu"] + (1 - share) * cheap["cpu"]))
        found[f"{root} capped"]["split_overhead"] = statistics.median(overheads)
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    rounds = []
    for k in range(args.rounds):
        rounds.append({name: timed(options, args.games) for name, options in SETTINGS.items()})
        print(f"round {k + 1}: " + ", ".join(
            f"{name} {1e3 * found['cpu']:.1f} ms" for name, found in rounds[-1].items()
        ), flush=True)  # fmt: skip
    result = {
        "games": args.games,
        "simulations": PRESETS["baseline"].simulations,
        "cheap_simulations": CHEAP,
        "full_search_share": SHARE,
        "load_average": os.getloadavg(),
        "settings": summary(rounds),
    }
    print(json.dumps(result, indent=1))
    if args.json is not None:
        args.json.write_text(json.dumps(result, indent=1) + "\n")


if __name__ == "__main__":
    main()
