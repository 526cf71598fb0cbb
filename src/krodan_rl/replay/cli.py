"""``python -m krodan_rl view SOURCE --game ID -o game.html``: a page to watch games on."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from krodan_rl._internal import files
from krodan_rl.replay.games import Replay, from_arena, from_dataset
from krodan_rl.replay.page import write_page

__all__ = ["main"]

PROG = "python -m krodan_rl view"


def parser() -> argparse.ArgumentParser:
    command = argparse.ArgumentParser(
        prog=PROG,
        description="Write a page to watch games on, move by move: one self-contained HTML "
        "file that opens offline in any browser.",
    )
    command.add_argument(
        "source",
        metavar="SOURCE",
        help="a self-play run folder (games by game_id) or an arena record (the JSON file of "
        "arena --record; games by number)",
    )
    command.add_argument(
        "--game", type=int, action="append", metavar="ID", help="a game to show; repeat for a "
        "few, chosen on the page (the first game)"
    )  # fmt: skip
    command.add_argument("-o", "--out", default="game.html", metavar="FILE", help="(game.html)")
    return command


def _replays(source: Path, games: list[int]) -> list[Replay]:
    if source.is_dir():
        return [from_dataset(source, g) for g in games]
    return [from_arena(source, g) for g in games]


def main(argv: list[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    games = args.game if args.game else [0]
    if any(g < 0 for g in games):
        command.error("--game must not be negative")
    out = Path(args.out)
    problem = files.unwritable(out)
    if problem:
        command.error(f"--out {args.out}: {problem}")
    source = Path(args.source)
    if not source.exists():
        command.error(f"{args.source}: no such file or folder")
    try:
        replays = _replays(source, games)
    except ImportError as error:  # a dataset without the data extra
        print(f"{PROG}: {error}", file=sys.stderr)
        return 2
    except (ValueError, OSError) as error:  # a source that is no record, or unreadable
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    try:
        write_page(out, replays, f"{source.name}: {len(replays)} game(s)")
    except OSError as error:
        print(f"{PROG}: --out {args.out}: {error.strerror or error}", file=sys.stderr)
        return 1
    print(f"{out}: {', '.join(r.title for r in replays)}")
    return 0
