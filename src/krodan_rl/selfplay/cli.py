"""``python -m krodan_rl selfplay``: a self-play run from the command line, with a progress bar
and a summary."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from krodan_rl import players
from krodan_rl._internal.arguments import in_flags
from krodan_rl._internal.interrupts import end_interrupted, keep_interrupts
from krodan_rl.selfplay import run_folder
from krodan_rl.selfplay.config import DEFAULT_GAMES_PER_SHARD, NUM_SEATS, RunConfig
from krodan_rl.selfplay.driver import generate

__all__ = ["main"]

PROG = "python -m krodan_rl selfplay"

# The parameters of ``generate`` (and of the run folder's checks), as this command's flags.
FLAGS = {
    "num_games": "--games",
    "out_dir": "--out",
    "games_per_shard": "--games-per-shard",
    "games_at_once": "--games-at-once",
    "seed": "--seed",
    "workers": "--workers",
}


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Play games among four players and write every placement (position, "
        "action, policy target) and every game's outcome as Parquet shards for training. Run "
        "again with the same arguments, it generates only what is missing.",
        epilog=f"players:\n{players.describe()}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--games", type=int, required=True, help="number of games")
    parser.add_argument("--out", required=True, metavar="DIR", help="the dataset folder")
    parser.add_argument(
        "--players",
        nargs=NUM_SEATS,
        required=True,
        metavar="PLAYER",
        help="one per seat (see below); guided players search with root noise and draw "
        "their moves, as self-play wants",
    )
    parser.add_argument(
        "--workers",
        type=int,
        default=None,
        help="processes, or Ray actors with --ray (one per core, at most one per shard)",
    )
    parser.add_argument(
        "--games-per-shard",
        type=int,
        default=None,
        help=f"({DEFAULT_GAMES_PER_SHARD}, or the run's own when DIR holds one)",
    )
    parser.add_argument(
        "--games-at-once", type=int, default=64, help="games played side by side (64)"
    )
    parser.add_argument("--seed", type=int, default=0, help="seed of the whole run (0)")
    parser.add_argument(
        "--ray",
        nargs="?",
        const="",
        default=None,
        metavar="ADDRESS",
        help="run on Ray: a local instance sized to this machine, or the cluster at ADDRESS "
        "('auto': the one this machine belongs to)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    """``python -m krodan_rl selfplay --games N --out DIR --players A B C D --workers W``."""
    keep_interrupts()
    command = parser()
    args = command.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        command.error("--workers must be at least 1")
    out = Path(args.out)
    per_shard = args.games_per_shard
    try:  # what generate checks first, refused as a usage error
        run_folder.check_folder(args.out)
        if per_shard is None:
            per_shard = run_folder.recorded_games_per_shard(out) or DEFAULT_GAMES_PER_SHARD
        config = RunConfig(args.games, args.players, per_shard, args.seed, args.games_at_once)
    except (ValueError, TypeError) as error:
        command.error(in_flags(str(error), FLAGS))
    try:
        summary = generate(
            args.games,
            config.players,  # parsed once: their specs go on to the players
            out,
            games_per_shard=args.games_per_shard,
            seed=args.seed,
            workers=args.workers,
            games_at_once=args.games_at_once,
            progress=sys.stderr.isatty(),
            backend="local" if args.ray is None else "ray",
            address=args.ray or None,
        )
    except (ImportError, run_folder.RunFolderError) as error:  # refused before any game
        print(f"{PROG}: {in_flags(str(error), FLAGS)}", file=sys.stderr)
        return 2
    except (ValueError, RuntimeError, OSError) as error:  # the run failed
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return end_interrupted(
            f"{PROG}: interrupted; run the same command again to go on ({args.out})"
        )
    print(summary.format())
    print(f"written to {summary.out_dir}")
    return 0
