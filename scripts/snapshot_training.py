"""Keeps a training that outlives a sitting: copies its latest checkpoint (with the optimizer's
state, to go on from with ``train --from``), its configuration, metrics and curve into a folder
of the repository, and the checkpoint's parameters alone into the package as a shipped model.

    python scripts/snapshot_training.py RUN_DIR [--keep benchmarks/baseline]
        [--ship src/krodan_rl/models/baseline.npz [--iteration N]] [--note ITERATION=TEXT ...]
        [--window]

``--iteration`` picks a checkpoint other than the latest for the shipped model (chosen on seeds
other than those its strength is reported on); the kept checkpoint is always the latest. The
kept curve marks the shipped iteration, and each ``--note`` (a change made by hand between
sittings, which the metrics do not record). ``--window`` keeps the self-play runs the next
iteration's window reads beside the checkpoint (``KEEP/selfplay``), so that a sitting on
another machine goes on from it with the same window rather than rebuilding it.
"""

from __future__ import annotations

import argparse
import shutil
from pathlib import Path

from krodan_rl.nn import checkpoint
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.curve import draw_curve
from krodan_rl.train.folder import Training
from krodan_rl.train.window import keep_window

ROOT = Path(__file__).resolve().parents[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("run", type=Path)
    parser.add_argument("--keep", type=Path, default=ROOT / "benchmarks" / "baseline")
    parser.add_argument("--ship", type=Path, help="the shipped model's file (none: not shipped)")
    parser.add_argument("--iteration", type=int)
    parser.add_argument("--note", action="append", default=[], metavar="ITERATION=TEXT")
    parser.add_argument("--window", action="store_true", help="keep the window's runs too")
    args = parser.parse_args()
    try:
        notes = {int(k): text for k, _, text in (note.partition("=") for note in args.note)}
    except ValueError:
        parser.error("a --note is ITERATION=TEXT")
    training = Training(args.run)
    latest = training.latest()
    if latest < 0:
        parser.error(f"{args.run} holds no checkpoint")
    args.keep.mkdir(parents=True, exist_ok=True)
    checkpoint.save(args.keep / "latest.npz", checkpoint.load(training.checkpoint(latest)))
    for name in ("config.json", "metrics.jsonl"):
        if (args.run / name).exists():
            shutil.copyfile(args.run / name, args.keep / name)
    if args.window:
        config = TrainConfig.read(args.run / "config.json")
        kept = keep_window(training, config, latest, args.keep)
        print(f"kept the runs of iterations {kept[0] if kept else '-'} to {latest}")
    shipped_iteration = args.iteration or latest
    marked = shipped_iteration if args.ship is not None else None
    draw_curve(args.run / "metrics.jsonl", args.keep / "curve.png", marked, notes)
    print(f"kept iteration {latest} in {args.keep}")
    if args.ship is not None:
        shipped = checkpoint.load(training.checkpoint(shipped_iteration))
        shipped.opt_leaves = []  # the parameters alone: what playing needs
        checkpoint.save(args.ship, shipped)
        print(f"shipped iteration {shipped_iteration} as {args.ship}")


if __name__ == "__main__":
    main()
