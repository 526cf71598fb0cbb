"""baseline-2's training, the same command every sitting, on whatever machine the sitting has:

    python scripts/baseline_2.py [--hours H] [--out runs/baseline-2]

It runs ``python -m krodan_rl train --preset baseline-2 --out OUT``: resuming OUT where it holds
a checkpoint, else going on from the kept snapshot (``benchmarks/baseline-2/latest.npz``), else
starting. After ``--hours`` of this sitting (or on Ctrl-C or SIGTERM) it stops the training,
which loses at most the iteration under way, and keeps the latest checkpoint, the metrics and
the curve in ``benchmarks/baseline-2`` (``scripts/snapshot_training.py``), for the next sitting
to go on from once committed. The window's runs are not kept (``--window``): at 1.6 MB (PUCT)
to 3 MB (Gumbel) a run of 32 games, a window is tens of megabytes; a sitting on a machine
without them rebuilds the window from its own games, which its metrics record, and learns
in proportion to how full the window is (``steps_follow_window``).
"""

from __future__ import annotations

import argparse
import signal
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
KEPT = ROOT / "benchmarks" / "baseline-2"
PRESET = "baseline-2"


def command(out: Path) -> list[str]:
    """The training's command for this sitting."""
    found = [sys.executable, "-m", "krodan_rl", "train", "--preset", PRESET, "--out", str(out)]
    has_checkpoint = any((out / "checkpoints").glob("iter-*.npz"))
    if not has_checkpoint and (KEPT / "latest.npz").is_file():
        found += ["--from", str(KEPT / "latest.npz")]
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=ROOT / "runs" / PRESET)
    parser.add_argument("--hours", type=float, help="this sitting's length (default: no end)")
    args = parser.parse_args()
    training = subprocess.Popen(command(args.out))
    # SIGTERM ends the sitting as Ctrl-C does: the training stops, then the snapshot is kept.
    signal.signal(signal.SIGTERM, lambda *_: training.send_signal(signal.SIGINT))
    try:
        training.wait(timeout=None if args.hours is None else args.hours * 3600)
    except (subprocess.TimeoutExpired, KeyboardInterrupt):
        training.send_signal(signal.SIGINT)
    finally:
        while training.poll() is None:
            try:
                training.wait()
            except KeyboardInterrupt:
                continue
    snapshot = [sys.executable, str(ROOT / "scripts" / "snapshot_training.py"), str(args.out),
                "--keep", str(KEPT)]  # fmt: skip
    sys.exit(subprocess.call(snapshot))


if __name__ == "__main__":
    main()
