"""Demo: games among seeded random agents, with the final board, the outcome and the speed;
and the subcommands.

python -m krodan_rl                      one game: its board, scores and outcome
python -m krodan_rl --games 100          100 games with a progress bar: games/s, turns/s
python -m krodan_rl --save-png board.png also writes the last game's board as a picture
python -m krodan_rl arena A B C D        rates four agents (see its --help)
python -m krodan_rl selfplay ...         writes self-play data for training (see its --help)
python -m krodan_rl train --out DIR      trains a network by self-play (see its --help)
python -m krodan_rl view SOURCE          writes a page to watch games on (see its --help)
python -m krodan_rl play                 plays a seat against three players in the browser

Ctrl-C ends the demo as it ends arena, selfplay and train: one line on standard error, exit
status 130.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import textwrap
import time
from pathlib import Path

from krodan_rl._internal import arguments
from krodan_rl._internal.files import unwritable
from krodan_rl._internal.interrupts import end_interrupted
from krodan_rl._internal.progress import ProgressBar
from krodan_rl._krodan import PyKrodan
from krodan_rl.play import play_game
from krodan_rl.render import board_text


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m krodan_rl",
        description=textwrap.fill(
            "Play the four-player polyomino placement game among random agents, each drawing "
            "uniformly among its legal actions. One game prints its final board (coloured on a "
            "terminal, a digit per agent elsewhere or with NO_COLOR), scores and outcome in "
            "every reward mode; several games show a progress bar and the speed."
        ),
        epilog="subcommands:\n  arena A B C D  rate four agents over seat-rotated games "
        "(python -m krodan_rl arena --help)\n  selfplay       write self-play games as Parquet "
        "shards for training (python -m krodan_rl selfplay --help)\n  train          train a "
        "network by self-play (python -m krodan_rl train --help)\n  view SOURCE    write a page "
        "to watch games on (python -m krodan_rl view --help)\n  play           play a seat "
        "against three players (guided:baseline:64 each) in the browser (python -m krodan_rl "
        "play --help)",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--seed", type=int, default=0, help="seed of the first game; game i uses seed + i (0)"
    )
    parser.add_argument("--games", type=int, default=1, help="number of games to play (1)")
    parser.add_argument(
        "--save-png", metavar="FILE", help="write the last game's final board to FILE as a PNG"
    )
    args = parser.parse_args(argv)
    if args.games < 1:
        parser.error("--games must be at least 1")
    try:  # game i plays with seed + i: the last one must be a seed too
        arguments.seed(args.seed, "--seed")
        arguments.seed(args.seed + args.games - 1, "--seed plus --games minus 1")
    except ValueError as error:
        parser.error(str(error))
    if args.save_png is not None:
        problem = unwritable(Path(args.save_png))
        if problem:
            parser.error(f"--save-png {args.save_png}: {problem}")
        if Path(args.save_png).suffix.lower() != ".png":
            parser.error(f"--save-png {args.save_png}: writes PNG files only (name it .png)")
    return args


def open_standard_streams() -> None:
    """Opens /dev/null on standard output or error where the process started with it closed:
    otherwise the next file opened would take its descriptor and receive the output."""
    for fd, name in ((1, "stdout"), (2, "stderr")):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
        if getattr(sys, name) is None:
            setattr(sys, name, open(fd, "w", closefd=False))  # noqa: SIM115 (lives as long as the process)


def print_result(game: PyKrodan) -> None:
    print("scores:   ", " ".join(f"{s:>6}" for s in game.scores))
    for mode in PyKrodan.reward_modes:
        outcome = game.outcome(mode) or []
        print(f"{mode + ':':<10}", " ".join(f"{v:>6.3f}" for v in outcome))


def play(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    turns = 0
    bar = ProgressBar(args.games, enabled=args.games > 1 and sys.stderr.isatty())
    for i in range(args.games):
        record = play_game(args.seed + i)
        turns += record.turns
        bar.update(i + 1)
    elapsed = time.perf_counter() - start
    game = record.game

    if args.games == 1:
        print(f"Game with seed {args.seed}: {game.ply} placements in {record.turns} turns")
        # The board as game.render() prints it, but through sys.stdout, so that it keeps its
        # place among the other lines and a failed write is an ordinary OSError.
        print(board_text(game))
        print_result(game)
    else:
        print(f"Last game (seed {args.seed + args.games - 1}):")
        print_result(game)
    if args.save_png:
        from krodan_rl.render import board_image, save_png

        save_png(args.save_png, board_image(game, legend=True))
        print(f"board written to {args.save_png}")
    print(
        f"{args.games} game(s), {turns} turns in {elapsed:.3f} s: "
        f"{args.games / elapsed:.1f} games/s, {turns / elapsed:.0f} turns/s"
    )
    sys.stdout.flush()
    return 0


# Subcommand name: the module whose main(argv) runs it.
SUBCOMMANDS = {
    "arena": "krodan_rl.arena.cli",
    "selfplay": "krodan_rl.selfplay.cli",
    "train": "krodan_rl.train.cli",
    "view": "krodan_rl.replay.cli",
    "play": "krodan_rl.playing.cli",
}


def main(argv: list[str] | None = None) -> int:
    open_standard_streams()
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] in SUBCOMMANDS:
        import importlib

        try:
            subcommand = importlib.import_module(SUBCOMMANDS[argv[0]])
        except ImportError as error:  # an extra that is not installed
            print(f"python -m krodan_rl {argv[0]}: {error}", file=sys.stderr)
            return 2
        return int(subcommand.main(argv[1:]))
    args = parse_args(argv)
    try:
        return play(args)
    except KeyboardInterrupt:  # one line and status 130, as the subcommands end on Ctrl-C
        return end_interrupted("python -m krodan_rl: interrupted")
    except BrokenPipeError:
        # The reader went away (`| head -1`): the documented recipe, so that the interpreter's
        # own flush at exit does not fail again.
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        return 1
    except OSError as error:
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 (the exit flush must not fail again)
        print(f"python -m krodan_rl: {error.strerror or error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
