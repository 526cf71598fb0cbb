"""Demo: games among seeded random agents, with the final board, scores and speed."""

from __future__ import annotations

import argparse
import sys
import time

from krodan_rl._krodan import PyKrodan
from krodan_rl.play import play_game


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m krodan_rl",
        description="Play games of the four-player polyomino placement game among random agents. "
        "One game prints its final board, scores and outcome; several print their speed.",
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the first game (default 0)")
    parser.add_argument("--games", type=int, default=1, help="number of games (default 1)")
    args = parser.parse_args(argv)
    if args.games < 1:
        parser.error("--games must be at least 1")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    start = time.perf_counter()
    turns = 0
    for i in range(args.games):
        record = play_game(args.seed + i)
        turns += record.turns
    elapsed = time.perf_counter() - start
    game = record.game

    if args.games == 1:
        print(f"Game with seed {args.seed}: {game.ply} placements in {record.turns} turns")
        sys.stdout.flush()  # render writes to the process's standard output file directly
        game.render()
    print("scores:   ", " ".join(f"{s:>6}" for s in game.scores))
    for mode in PyKrodan.reward_modes:
        outcome = game.outcome(mode) or []
        print(f"{mode + ':':<10}", " ".join(f"{v:>6.3f}" for v in outcome))
    print(
        f"{args.games} game(s), {turns} turns in {elapsed:.3f} s: "
        f"{args.games / elapsed:.1f} games/s, {turns / elapsed:.0f} turns/s"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
