"""``python -m krodan_rl train --out DIR``: trains a network by self-play, locally or on Ray;
the same command run again resumes."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

from krodan_rl.train.config import PRESETS

__all__ = ["main"]

PROG = "python -m krodan_rl train"


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
    command.add_argument("--iterations", type=int, help="iterations to reach (the preset's)")
    command.add_argument("--workers", type=int, help="self-play processes or Ray actors")
    command.add_argument(
        "--from",
        dest="start_from",
        metavar="CHECKPOINT",
        help="go on from this checkpoint of the same training where DIR has none (its "
        "iteration and optimizer state, and the metrics.jsonl beside it or above its folder; "
        "the replay window starts anew)",
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


def main(argv: list[str] | None = None) -> int:
    command = parser()
    args = command.parse_args(argv)
    try:
        from krodan_rl.train.loop import train
    except ImportError as error:
        print(f"{PROG}: {error}: pip install 'krodan_rl[train]'", file=sys.stderr)
        return 2
    options: dict[str, Any] = {}
    if args.iterations is not None:
        options["iterations"] = args.iterations
    if args.workers is not None:
        options["workers"] = args.workers
    try:
        config = PRESETS[args.preset].with_options(**options)
    except (ValueError, TypeError) as error:
        command.error(str(error))
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
                     learner_options=learner)  # fmt: skip
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; run the same command again to go on", file=sys.stderr)
        return 130
    except (ValueError, RuntimeError, OSError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except _ray_errors() as error:  # a node or worker lost for good: what is done stays
        reason = str(error).strip().splitlines()[0] if str(error).strip() else ""
        print(f"{PROG}: {type(error).__name__}: {reason}; run the same command again to go on",
              file=sys.stderr)  # fmt: skip
        return 1
    print(f"{PROG}: {done} iterations in {args.out}")
    return 0
