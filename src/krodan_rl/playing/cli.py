"""``python -m krodan_rl play``: a page in the browser to play a seat against three players."""

from __future__ import annotations

import argparse
import sys
import webbrowser
from pathlib import Path

from krodan_rl import facts, players
from krodan_rl._internal import arguments, files
from krodan_rl._internal.interrupts import end_interrupted
from krodan_rl.playing.server import serve
from krodan_rl.playing.session import PlaySession

__all__ = ["main"]

PROG = "python -m krodan_rl play"
#: Who the person plays against when the command names nobody: the shipped model's search.
DEFAULT_OPPONENT = "guided:baseline:64"
OPPONENTS = facts.NUM_AGENTS - 1


def parser() -> argparse.ArgumentParser:
    command = argparse.ArgumentParser(
        prog=PROG,
        description="Play a seat against three players in the browser: a local server (on "
        "127.0.0.1 only) plays their turns and serves a self-contained page to play yours on.",
        epilog=f"players:\n{players.describe()}".replace("%", "%%"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    command.add_argument(
        "--players", nargs=OPPONENTS, metavar=("A", "B", "C"),
        default=[DEFAULT_OPPONENT] * OPPONENTS,
        help=f"the players of the other seats, in seat order ({DEFAULT_OPPONENT} each)",
    )  # fmt: skip
    command.add_argument("--seat", type=int, default=0, help="your seat, 0-3; 0 moves first (0)")
    command.add_argument("--port", type=int, default=0, help="the port (0: a free one)")
    command.add_argument("--seed", type=int, default=0, help="seed of the players (0)")
    command.add_argument(
        "--save", default="played.json", metavar="FILE",
        help="where the page's save button writes the game, the one file written (played.json)",
    )  # fmt: skip
    command.add_argument(
        "--no-browser", action="store_true", help="print the address without opening it"
    )
    return command


def _session(command: argparse.ArgumentParser, args: argparse.Namespace) -> PlaySession:
    if not 0 <= args.port <= 65535:
        command.error("--port must be from 0 to 65535")
    problem = files.unwritable(Path(args.save))
    if problem:
        command.error(f"--save {args.save}: {problem}")
    try:
        arguments.seed(args.seed, "--seed")
        seat = arguments.integer(args.seat, "--seat", minimum=0, maximum=facts.NUM_AGENTS - 1)
        specs = [players.parse(spec) for spec in args.players]
    except ValueError as error:
        command.error(str(error))
    return PlaySession(specs, seat, args.seed)


def main(argv: list[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    session = _session(command, args)
    try:
        server = serve(session, Path(args.save).resolve(), args.port)
    except OSError as error:  # the port is taken, or not ours to bind
        print(f"{PROG}: port {args.port}: {error.strerror or error}", file=sys.stderr)
        return 1
    with server:
        print(f"Playing seat {session.seat} at {server.url} (Ctrl-C stops the server)", flush=True)
        if not args.no_browser:
            webbrowser.open(server.url)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            return end_interrupted(f"{PROG}: stopped")
    return 0
