"""The rows an iteration learns from: the latest self-play runs (or games across them), and the
warm start's games, either the window's oldest run or a share of each batch.

A training that goes on from a checkpoint of another folder (``--from``) carries that folder's
runs, where they are on this machine: their paths are written once, to ``OUT/carried.json``,
before the sitting's first checkpoint, so that a sitting killed and run again reads the same
window. Runs the source had but this machine lacks leave the window to be rebuilt from the
sitting's own games, and each iteration's metrics say so while they would have been in it;
the warm start's games, seeded by the configuration alone, are played again instead."""

from __future__ import annotations

import json
import math
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from krodan_rl import data
from krodan_rl._internal.files import read_json, write_atomic
from krodan_rl.train.config import Settings, TrainConfig
from krodan_rl.train.folder import Training

__all__ = ["CARRIED", "Window", "carry", "keep_window", "learner_steps", "warm_to_replay", "window"]

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
    """The training folder a checkpoint lives in (its ``checkpoints/``), or the kept folder
    beside it that holds its window's runs; None for one kept elsewhere without them."""
    folder = start_from.resolve().parent
    if folder.name == "checkpoints":
        return folder.parent
    # A kept snapshot (``scripts/snapshot_training.py --window``) holds the window's runs
    # beside its checkpoint, laid out as in a training's folder.
    return folder if (folder / "selfplay").is_dir() else None


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
    else:
        missing = [str(k) for k in range(1, iteration + 1)]
    if warm is None:  # whether the training had a warm start, its configuration says
        missing.append("warm")
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
    missing = carried.get("missing", [])
    lost = [k for k in missing if k != "warm" and int(k) in needed]
    share = settings.warm_start_share
    if "warm" in missing and warm is None and config.warm_start_games and share != 0:
        lost.append("warm")
    record: dict[str, Any] = {"window_runs": len(runs) + (warm is not None)}
    if share is None:
        found = Window(tuple(([warm] if warm else []) + runs), config.window_unit, settings.window)
    else:
        found = Window(tuple(runs), config.window_unit, settings.window, warm, share)
    if lost:
        record["window_rebuilt"] = True
    return found, record


def warm_to_replay(training: Training, config: TrainConfig, iteration: int) -> bool:
    """Whether iteration ``iteration`` draws a share of its batches from the warm start's games
    while this folder, gone on from a checkpoint whose warm run is not on this machine, lacks
    them: being seeded by the configuration alone, they can be played again, the same games."""
    path = training.out / CARRIED
    if not (config.warm_start_games and path.is_file() and iteration <= config.iterations):
        return False
    if not config.at(iteration).warm_start_share or _complete(training.warm_run):
        return False
    return bool(_read(path).get("missing_warm"))


def learner_steps(config: TrainConfig, found: Window) -> int:
    """An iteration's learner steps on ``found``: ``config.steps``, or, with
    ``steps_follow_window``, that many times the share of each batch drawn from the warm start
    plus the rest's times how full the window is (the games or runs it holds against those it
    holds when full)."""
    if not config.steps_follow_window:
        return config.steps
    held = len(found.runs) * (config.games if found.unit == "games" else 1)
    fill = min(1.0, held / found.count)
    return max(1, round(config.steps * (found.warm_share + (1 - found.warm_share) * fill)))


def keep_window(training: Training, config: TrainConfig, iteration: int, kept: Path) -> list[int]:
    """Copies into ``kept/selfplay`` the runs that the window of iteration ``iteration + 1``
    reads, and removes the ones it no longer does, so that a sitting on another machine going
    on from checkpoint ``iteration`` kept beside them (``train --from``) reads the same window.
    (A window that grows more slowly than an iteration's games never reaches further back.)
    The warm start's games are left out: they can be played again. Returns the iterations
    kept."""
    path = training.out / CARRIED
    carried = _read(path)["runs"] if path.is_file() else {}
    wanted = sorted(k for k in _needed(config, config.at(iteration + 1), iteration + 1)
                    if k <= iteration)  # fmt: skip
    into = kept / "selfplay"
    into.mkdir(parents=True, exist_ok=True)
    names = {Training(kept).run(k).name for k in wanted}
    for old in into.iterdir():
        if old.name not in names:
            shutil.rmtree(old)
    for k in wanted:
        run = training.run(k) if training.run(k).is_dir() else Path(carried.get(str(k), "-"))
        target = Training(kept).run(k)
        if not _complete(run):
            raise ValueError(f"{run}: the window's run of iteration {k} is not whole here")
        if target.exists() and target.resolve() == run.resolve():
            continue  # kept there already: the sitting went on from this folder
        partial = target.with_name(target.name + ".partial")
        shutil.rmtree(partial, ignore_errors=True)
        shutil.copytree(run, partial)
        shutil.rmtree(target, ignore_errors=True)
        partial.rename(target)
    return wanted


def _needed(config: TrainConfig, settings: Settings, iteration: int) -> set[int]:
    """The iterations whose runs the window of ``iteration`` would hold, all there."""
    runs = settings.window
    if config.window_unit == "games":
        runs = math.ceil(settings.window / config.games)
    return set(range(max(1, iteration - runs + 1), iteration + 1))
