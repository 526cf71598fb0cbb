"""``python -m krodan_rl train --out DIR``: trains a network by self-play, locally or on Ray;
the same command run again resumes."""

from __future__ import annotations

import argparse
import importlib.util
import math
import sys
from typing import Any

from krodan_rl._internal.arguments import in_flags
from krodan_rl._internal.interrupts import end_interrupted, keep_interrupts
from krodan_rl.train.config import PRESETS

__all__ = ["main"]

PROG = "python -m krodan_rl train"
# What the train extra installs, for an import that fails; and its modules, which the
# training imports only where it first needs them: looked for before it starts, so that a
# missing one stops it before its first game.
INSTALL = "pip install 'krodan_rl[train]'"
EXTRA_MODULES = ("jax", "optax", "matplotlib", "pyarrow")
# The parameters of ``train`` and its configuration, as this command's flags.
FLAGS = {
    "iterations": "--iterations",
    "workers": "--workers",
    "out_dir": "--out",
    "start_from": "--from",
}


def _gpus(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"a number of GPUs, 0 or more, not {text!r}")
    return value


def parser() -> argparse.ArgumentParser:
    command = argparse.ArgumentParser(
        prog=PROG,
        description="Train a network by self-play (AlphaZero-style): each iteration plays "
        "games with the current network's guided search, trains on the latest games and "
        "writes a checkpoint; now and then it rates the checkpoint in the arena. On Ray the "
        "games run ahead: the next iteration's are played by the latest checkpoint while the "
        "learner trains. Run the same command again to resume.",
    )
    command.add_argument("--out", required=True, metavar="DIR", help="the training's folder")
    command.add_argument("--preset", choices=sorted(PRESETS), default="laptop", help="(laptop)")
    command.add_argument(
        "--iterations",
        type=int,
        help="iterations to reach (the preset's); more than a finished training's extend it",
    )
    command.add_argument("--workers", type=int, help="self-play processes or Ray actors")
    command.add_argument(
        "--from",
        dest="start_from",
        metavar="CHECKPOINT",
        help="go on from this checkpoint of the same training where DIR has none (its "
        "iteration and optimizer state, the metrics.jsonl beside it or above its folder, and "
        "its training's self-play runs where they are on this machine, for the replay window; "
        "the metrics note a window rebuilt without them)",
    )
    command.add_argument(
        "--ray",
        nargs="?",
        const="",
        default=None,
        metavar="ADDRESS",
        help="self-play on Ray: a local instance, or the cluster at ADDRESS",
    )
    command.add_argument(
        "--learner-gpus",
        type=_gpus,
        metavar="N",
        help="with --ray, the learner on a Ray actor of its own that asks for N GPUs",
    )
    return command


def _ray_errors() -> tuple[type[Exception], ...]:
    """Ray's own errors, where a run on Ray imported them."""
    module = sys.modules.get("ray.exceptions")
    return (module.RayError,) if module is not None else ()


def _check_extra() -> None:
    for name in EXTRA_MODULES:
        try:
            found = importlib.util.find_spec(name)
        except (ImportError, ValueError):  # a module half imported, or broken
            found = None
        if found is None:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)


def _failed_import(error: ImportError) -> str:
    """An import that failed, in one line with one install hint: a module not found, which
    the train extra installs, with its hint; an extra's own error (Ray's, for a run on Ray),
    which names what to install, as it is."""
    if isinstance(error, ModuleNotFoundError) and error.name:
        return f"No module named {error.name!r}: {INSTALL}"
    return str(error)


def main(argv: list[str] | None = None) -> int:
    keep_interrupts()
    command = parser()
    args = command.parse_args(argv)
    try:
        _check_extra()
        from krodan_rl.selfplay import run_folder
        from krodan_rl.train.loop import train
    except ImportError as error:
        print(f"{PROG}: {_failed_import(error)}", file=sys.stderr)
        return 2
    options: dict[str, Any] = {}
    if args.iterations is not None:
        options["iterations"] = args.iterations
    if args.workers is not None:
        options["workers"] = args.workers
    try:
        run_folder.check_folder(args.out)  # an empty --out would be the current folder
        config = PRESETS[args.preset].with_options(**options)
    except (ValueError, TypeError) as error:
        command.error(in_flags(str(error), FLAGS))
    learner = None
    if args.learner_gpus is not None:
        if args.ray is None:
            command.error("--learner-gpus places the learner on Ray: it needs --ray")
        learner = {"num_gpus": args.learner_gpus}
    print(f"{PROG}: {args.preset} {config.to_dict()}", flush=True)
    try:
        done = train(config, args.out, log=lambda line: print(line, flush=True),
                     backend="local" if args.ray is None else "ray",
                     address=args.ray or None, start_from=args.start_from,
                     learner_options=learner, progress=sys.stderr.isatty())  # fmt: skip
    except KeyboardInterrupt:
        return end_interrupted(f"{PROG}: interrupted; run the same command again to go on")
    except ImportError as error:  # a module imported when it is first needed
        print(f"{PROG}: {_failed_import(error)}", file=sys.stderr)
        return 2
    except (ValueError, RuntimeError, OSError) as error:
        print(f"{PROG}: {in_flags(str(error), FLAGS)}", file=sys.stderr)
        return 1
    except _ray_errors() as error:  # a node or worker lost for good: what is done stays
        reason = str(error).strip().splitlines()[0] if str(error).strip() else ""
        print(f"{PROG}: {type(error).__name__}: {reason}; run the same command again to go on",
              file=sys.stderr)  # fmt: skip
        return 1
    print(f"{PROG}: {done} iterations in {args.out}")
    return 0
