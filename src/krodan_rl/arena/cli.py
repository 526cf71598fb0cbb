"""``python -m krodan_rl arena A B C D``: four players rated by seat-rotated games."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from krodan_rl import facts, players
from krodan_rl._internal import arguments, files
from krodan_rl._internal.interrupts import end_interrupted, keep_interrupts
from krodan_rl.arena.games import NUM_SEATS, ArenaResult, check_entries, run

__all__ = ["main", "write_json"]

PROG = "python -m krodan_rl arena"


def write_json(path: str | Path, result: ArenaResult) -> None:
    """Writes the result whole or not at all."""
    files.write_atomic(Path(path), json.dumps(result.to_dict(), indent=2) + "\n")


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Rate four agents by seat-rotated games: mean score and outcomes with 95 % "
        "bootstrap intervals over blocks of four games, win share by seat, and a rating.",
        epilog=f"agents:\n{players.describe()}".replace("%", "%%"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "agents", nargs=NUM_SEATS, metavar="AGENT", help="a player spec (see below)"
    )
    parser.add_argument("--games", type=int, default=400, help="a multiple of 4 (400)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the whole run (0)")
    parser.add_argument(
        "--workers", type=int, default=facts.cores(), help="threads or processes (cores)"
    )
    parser.add_argument("--json", metavar="FILE", help="also write the standings and games")
    parser.add_argument(
        "--record",
        metavar="FILE",
        help="also write every game's placements beside the standings, to watch with python "
        "-m krodan_rl view FILE --game N",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    """``python -m krodan_rl arena A B C D --games N --seed S --workers W --json FILE
    --record FILE``."""
    keep_interrupts()
    command = parser()
    args = command.parse_args(argv)
    if args.games <= 0 or args.games % NUM_SEATS:
        command.error("--games must be a positive multiple of 4")
    try:  # as run checks them, named as flags
        arguments.integer(args.workers, "--workers", minimum=1, maximum=facts.MAX_THREADS)
        arguments.seed(args.seed, "--seed")
    except ValueError as error:
        command.error(str(error))
    for option, path in (("--json", args.json), ("--record", args.record)):
        problem = None if path is None else files.unwritable(Path(path))
        if problem:
            command.error(f"{option} {path}: {problem}")
    try:
        entries = check_entries(args.agents)  # parsed once: their specs go on to the players
    except (ValueError, TypeError) as error:
        command.error(str(error))
    try:
        result = run(entries, args.games, args.seed, args.workers, record=args.record is not None)
    except (ValueError, TypeError, RuntimeError) as error:  # a player that fails
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return end_interrupted(f"{PROG}: interrupted; no standings written")
    print(result.standings.format())
    if args.json is not None:
        write_json(args.json, result)
        print(f"standings written to {args.json}")
    if args.record is not None:
        write_json(args.record, result)
        print(f"games recorded in {args.record} (python -m krodan_rl view {args.record})")
    return 0
