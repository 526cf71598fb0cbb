"""Strength of the built-in agents, seat-rotated, with 95 % intervals: greedy against three
random; tree search at 100, 400 and 1,600 simulations against three greedy; and, with --long,
tree search at 1,600 against three at 400 (long: run it for the report, not in CI).

    python benchmarks/strength.py [--games N] [--mcts-games N] [--long] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import time
from pathlib import Path

from krodan_rl import arena

ROOT = Path(__file__).resolve().parents[1]


def lineups(long: bool, games: int, mcts_games: int) -> list[tuple[list[str], int]]:
    runs = [(["greedy", "random", "random", "random"], games)]
    for simulations in (100, 400, 1600):
        runs.append(([f"mcts:{simulations}", "greedy", "greedy", "greedy"], mcts_games))
    if long:
        runs.append((["mcts:1600", "mcts:400", "mcts:400", "mcts:400"], mcts_games))
    return runs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=400, help="games of greedy vs random")
    parser.add_argument("--mcts-games", type=int, default=40, help="games of each search run")
    parser.add_argument("--long", action="store_true", help="also 1,600 against 400")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--json", type=Path, default=ROOT / "benchmarks" / "strength_results.json")
    args = parser.parse_args()
    report = []
    for entries, games in lineups(args.long, args.games, args.mcts_games):
        start = time.perf_counter()
        result = arena.run(entries, games, args.seed, args.workers)
        seconds = time.perf_counter() - start
        print(f"\n{' '.join(entries)}: {games} games in {seconds:.0f} s")
        print(result.standings.format())
        report.append(
            {"entries": entries, "seconds": round(seconds, 1), **result.standings.to_dict()}
        )
        args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
