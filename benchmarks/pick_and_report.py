"""Picks a training run's checkpoint on one seed set and reports its strength on another, so
that the reported figure is not the best of several noisy readings of the same games.

    python benchmarks/pick_and_report.py RUN [--hours H] [--candidates K] [--pick-games N]
        [--pick-seed S] [--report-seed S] [--report NAME[=GAMES] ...] [--json FILE]

1. Candidates: the K checkpoints whose training evaluations ("guided vs greedy", seeded by
   their iteration) read highest, among those the run wrote within H of its own hours.
2. Pick: each candidate's guided search (64 simulations) plays N games against three greedy
   agents on the pick seed; the best win share is picked.
3. Report: the picked checkpoint plays each named lineup on the report seed, a seed used for
   nothing else. Every row of the JSON says both seeds.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path
from typing import Any

from krodan_rl import arena
from krodan_rl.train.folder import Training

ROOT = Path(__file__).resolve().parents[1]
SIMULATIONS = 64
GUIDED = f"guided:{{path}}:{SIMULATIONS}"
# name: (the checkpoint's entry, the other three, default games)
LINEUPS: dict[str, tuple[str, tuple[str, str, str], int]] = {
    "guided vs greedy": (GUIDED, ("greedy", "greedy", "greedy"), 400),
    "policy vs greedy": ("policy:{path}", ("greedy", "greedy", "greedy"), 200),
    "guided vs mcts:1600": (GUIDED, ("mcts:1600", "mcts:1600", "mcts:1600"), 200),
    "guided beside baseline": (
        GUIDED,
        (f"guided:baseline:{SIMULATIONS}",) * 2 + ("greedy",),
        200,
    ),
}


def candidates(run: Path, hours: float | None, count: int) -> list[dict[str, Any]]:
    """The evaluated iterations within ``hours``, best training reading first."""
    found = []
    for line in (run / "metrics.jsonl").read_text().splitlines():
        record = json.loads(line)
        if "evaluation" not in record or record["iteration"] == 0:
            continue
        if hours is not None and record["hours"] > hours:
            continue
        share = record["evaluation"]["guided vs greedy"]["win_share"]
        found.append(
            {"iteration": record["iteration"], "hours": record["hours"], "training": share}
        )
    found.sort(key=lambda c: (-c["training"], -c["iteration"]))
    return found[:count]


def play(entry: str, others: tuple[str, ...], games: int, seed: int) -> dict[str, Any]:
    start = time.perf_counter()
    result = arena.run([entry, *others], games, seed=seed, workers=1, progress=False)
    rows = {row.spec: row for row in result.standings.rows}
    share = rows[result.specs[0]].outcomes["win_share"]
    print(
        f"{entry} {' '.join(others)}: {games} games, seed {seed}: {share.value:.3f} "
        f"[{share.low:.3f}, {share.high:.3f}] in {time.perf_counter() - start:.0f} s",
        flush=True,
    )
    return {
        "games": games,
        "seed": seed,
        "win_share": share.value,
        "interval": [share.low, share.high],
    }


def lineup(text: str) -> tuple[str, int]:
    name, _, games = text.partition("=")
    if name not in LINEUPS:
        raise argparse.ArgumentTypeError(f"unknown lineup {name!r}: one of {', '.join(LINEUPS)}")
    return name, int(games) if games else LINEUPS[name][2]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("run", type=Path, help="a training folder")
    parser.add_argument("--hours", type=float, help="only checkpoints within these run hours")
    parser.add_argument("--candidates", type=int, default=3)
    parser.add_argument("--pick-games", type=int, default=200)
    parser.add_argument("--pick-seed", type=int, default=0)
    # 20261212 reported the checkpoint of the first six hours; each report takes a seed of its own.
    parser.add_argument("--report-seed", type=int, default=20261213)
    parser.add_argument("--report", type=lineup, nargs="+", default=[("guided vs greedy", 400)])
    parser.add_argument("--json", type=Path, required=True)
    args = parser.parse_args()
    if args.report_seed == args.pick_seed:
        parser.error("the report seed must differ from the pick seed")
    found = candidates(args.run, args.hours, args.candidates)
    if not found:
        parser.error(f"{args.run} has no evaluated checkpoint within the hours given")
    training = Training(args.run)
    for candidate in found:
        entry = GUIDED.format(path=training.checkpoint(candidate["iteration"]))
        candidate["pick"] = play(entry, ("greedy",) * 3, args.pick_games, args.pick_seed)
    picked = max(found, key=lambda c: (c["pick"]["win_share"], c["iteration"]))
    report = {
        "run": str(args.run),
        "hours_limit": args.hours,
        "candidates": found,
        "picked": picked["iteration"],
        "picked_hours": picked["hours"],
        "rows": {},
    }
    checkpoint = training.checkpoint(picked["iteration"])
    for name, games in args.report:
        entry, others, _ = LINEUPS[name]
        row = play(entry.format(path=checkpoint), others, games, args.report_seed)
        report["rows"][name] = {**row, "picked_on_seed": args.pick_seed}
        args.json.write_text(json.dumps(report, indent=2) + "\n")  # row by row: nothing lost


if __name__ == "__main__":
    main()
