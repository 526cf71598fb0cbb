"""The rows an iteration learns from: the latest self-play runs (or games across them), and the
warm start's games, either the window's oldest run or a share of each batch.

A training that goes on from a checkpoint of another folder (``--from``) carries that folder's
runs, where they are on this machine: their paths are written once, to ``OUT/carried.json``,
before the sitting's first checkpoint, so that a sitting killed and run again reads the same
window. Runs the source had but this machine lacks leave the window to be rebuilt from the
sitting's own games, and each iteration's metrics say so while they would have been in it."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from krodan_rl import data
from krodan_rl._internal.files import read_json, write_atomic
from krodan_rl.train.config import Settings, TrainConfig
from krodan_rl.train.folder import Training

__all__ = ["CARRIED", "Window", "carry", "window"]

CARRIED = "carried.json"


@dataclass(frozen=True)
class Window:
    """What an iteration learns from: ``runs``, oldest first, of which the last ``count``
    ``unit`` are kept; and ``warm``, the warm start's run, making ``warm_share`` of each batch
    (None: no warm run drawn apart)."""

    runs: tuple[Path, ...]
    unit: str
    count: int
    warm: Path | None = None
    warm_share: float = 0.0


def _complete(run: Path) -> bool:
    """Whether ``run`` is a whole self-play run here (every shard its manifest records)."""
    try:
        return run.is_dir() and bool(data.shard_paths(run))
    except (OSError, ValueError):
        return False


def _source_folder(start_from: Path) -> Path | None:
    """The training folder a checkpoint lives in (its ``checkpoints/``); None for one kept
    elsewhere (beside a metrics file, say)."""
    folder = start_from.resolve().parent
    return folder.parent if folder.name == "checkpoints" else None


def carry(training: Training, start_from: Path, iteration: int) -> dict[str, Any]:
    """Writes (once) which runs of ``start_from``'s training, up to ``iteration``, this folder's
    windows take, and returns that record: ``runs`` by iteration and ``warm`` where found here,
    ``missing`` the iterations (and "warm") its training had that are not."""
    path = training.out / CARRIED
    if path.exists():
        return _read(path)
    found: dict[str, str] = {}
    missing: list[str] = []
    warm: str | None = None
    folder = _source_folder(start_from)
    if folder is not None:
        source = Training(folder)
        earlier = _read(folder / CARRIED) if (folder / CARRIED).is_file() else {}
        for k in range(1, iteration + 1):
            run = source.run(k)
            held = str(run.resolve()) if _complete(run) else earlier.get("runs", {}).get(str(k))
            if held is not None and _complete(Path(held)):
                found[str(k)] = held
            else:
                missing.append(str(k))
        warm = str(source.warm_run.resolve()) if _complete(source.warm_run) else earlier.get("warm")
        if warm is None and (source.warm_run.exists() or earlier.get("missing_warm")):
            missing.append("warm")
    else:
        missing = [str(k) for k in range(1, iteration + 1)]
    record = {"from": str(start_from), "runs": found, "warm": warm, "missing": missing,
              "missing_warm": "warm" in missing, "folder": folder is not None}  # fmt: skip
    write_atomic(path, json.dumps(record, indent=1, sort_keys=True) + "\n")
    return record


def _read(path: Path) -> dict[str, Any]:
    found = read_json(path)
    if not isinstance(found, dict) or not isinstance(found.get("runs"), dict):
        raise ValueError(f"{path}: not a record of carried runs: restore it, or use another folder")
    return found


def window(
    training: Training, config: TrainConfig, settings: Settings, iteration: int
) -> tuple[Window, dict[str, Any]]:
    """Iteration ``iteration``'s window, and what its metrics record of it: the runs read, and
    ``window_rebuilt`` where runs the window would hold were left on another machine."""
    path = training.out / CARRIED
    carried = _read(path) if path.is_file() else {"runs": {}, "warm": None, "missing": []}
    runs: list[Path] = []
    for k in range(1, iteration + 1):
        if training.run(k).is_dir():
            runs.append(training.run(k))
        elif str(k) in carried["runs"]:
            runs.append(Path(carried["runs"][str(k)]))
    warm_here = training.warm_run if training.warm_run.is_dir() else None
    warm = warm_here or (Path(carried["warm"]) if carried.get("warm") else None)
    needed = _needed(config, settings, iteration)
    lost = [k for k in carried.get("missing", []) if k == "warm" or int(k) in needed]
    record: dict[str, Any] = {"window_runs": len(runs) + (warm is not None)}
    if settings.warm_start_share is None:
        lost = lost if warm is None else [k for k in lost if k != "warm"]
        found = Window(tuple(([warm] if warm else []) + runs), config.window_unit, settings.window)
    else:
        found = Window(tuple(runs), config.window_unit, settings.window, warm,
                       settings.warm_start_share)  # fmt: skip
        if not settings.warm_start_share:
            lost = [k for k in lost if k != "warm"]
    if lost:
        record["window_rebuilt"] = True
    return found, record


def _needed(config: TrainConfig, settings: Settings, iteration: int) -> set[int]:
    """The iterations whose runs the window of ``iteration`` would hold, all there."""
    runs = settings.window
    if config.window_unit == "games":
        runs = math.ceil(settings.window / config.games)
    return set(range(max(1, iteration - runs + 1), iteration + 1))
