"""The shards a path names: a file, a folder of turns shards, or a run folder, whose shards
must be every one its manifest records, each with its commit marker and both files (a run
still being written, cut short or damaged since is refused, with the rerun that repairs it)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from krodan_rl._internal.files import read_json
from krodan_rl.data.schema import (
    DONE,
    MANIFEST,
    MARKER_PATTERN,
    SHARD_PATTERN,
    marker_path,
    shard_name,
)

__all__ = ["games_path", "shard_paths"]


def shard_paths(path: str | Path) -> list[Path]:
    """The turns shards that ``path`` names, in order: the file itself, the shards of a dataset
    folder's ``turns/`` subfolder, or those of a folder of turns shards. Files whose names are
    not ``shard-NNNNNN.parquet`` (an interrupted run's temporary files start with a dot) are
    not shards; shards come in the order of their numbers. A run folder (see ``_run_folder``;
    given whole, by its ``turns/`` or by one shard file) must hold every shard it records,
    whole: anything short is refused (``_check_run``)."""
    root = Path(path)
    if root.is_file():
        _check_lone_shard(root)
        return [root]
    if not root.is_dir():
        raise FileNotFoundError(f"no such file or folder: {root}")
    run = _run_folder(root)
    if run is not None:
        folder = run / "turns"
    else:
        folder = root / "turns" if (root / "turns").is_dir() else root
    found = _numbered(folder)
    if run is not None:
        _check_run(run, found)
    if not found:
        raise ValueError(f"{root}: no turns shards (shard-NNNNNN.parquet) found in {folder}")
    for shard in found.values():
        if not shard.is_file():
            raise ValueError(f"{shard} is not a file")
    return [found[number] for number in sorted(found)]


def _numbered(folder: Path) -> dict[int, Path]:
    """The shard files of a folder by number; none for a folder that does not exist."""
    if not folder.is_dir():
        return {}
    return {int(m[1]): p for p in folder.iterdir() if (m := SHARD_PATTERN.fullmatch(p.name))}


def _run_folder(root: Path) -> Path | None:
    """The run folder ``root`` is, or whose ``turns/`` it is: one with commit markers
    (``_done/``) or a manifest, which a run writes before it plays; None for a plain folder."""
    for run in (root, root.parent) if root.name == "turns" else (root,):
        if (run / DONE).is_dir() or (run / MANIFEST).exists():
            return run
    return None


def _recorded_shards(run: Path) -> int | None:
    """How many shards a run folder's manifest records (its run's ``num_games`` over its
    ``games_per_shard``); None without a manifest."""
    path = run / MANIFEST
    if not path.exists():
        return None
    repair = "remove it and run the same selfplay command again (same folder, same arguments)"
    try:
        document = read_json(path)
    except (OSError, ValueError) as error:
        raise ValueError(f"{path}: an unreadable run manifest ({error}): {repair}") from error
    found = document.get("run") if isinstance(document, dict) else None
    record: dict[str, Any] = found if isinstance(found, dict) else {}
    games, per_shard = record.get("num_games"), record.get("games_per_shard")
    if type(games) is not int or type(per_shard) is not int or min(games, per_shard) < 1:
        raise ValueError(
            f"{path}: not a run manifest (its run records no num_games and games_per_shard): "
            f"{repair}"
        )
    return -(-games // per_shard)  # the last shard may be short


def _check_run(run: Path, turns: dict[int, Path]) -> None:
    """A run folder holds shards 0 to N - 1, N from its manifest, each whole (``_check_shard``).
    Its markers do not record the run's size: a folder with markers but no manifest (a run
    writes it before its first marker) is refused once its shards are found contiguous."""
    count = _recorded_shards(run)
    marked = _marked(run)
    games = set(_numbered(run / "games"))
    numbers = set(turns) | games | (marked or set())
    expected = count if count is not None else max(numbers, default=-1) + 1
    for shard in sorted(set(range(expected)) | numbers):
        _check_shard(run, shard, count, marked, shard in turns, shard in games)
    if count is None:
        raise ValueError(
            f"{run}: {run / MANIFEST} is missing, so how many shards the run holds is unknown: "
            "run the same selfplay command again (same folder, same arguments) to write it"
        )


def _check_lone_shard(turns_file: Path) -> None:
    """A turns shard of a run folder given on its own is checked as the run's are, but for the
    shards beside it."""
    match = SHARD_PATTERN.fullmatch(turns_file.name)
    folder = turns_file.parent
    run = _run_folder(folder) if match is not None and folder.name == "turns" else None
    if match is not None and run is not None:
        shard = int(match[1])
        marked: set[int] | None = None
        if (run / DONE).is_dir():
            marked = {shard} if marker_path(run, shard).is_file() else set()
        has_games = games_path(turns_file).is_file()
        _check_shard(run, shard, _recorded_shards(run), marked, True, has_games)


def _marked(run: Path) -> set[int] | None:
    """The shards a run folder's commit markers name; None without ``_done/``."""
    if not (run / DONE).is_dir():
        return None
    return {int(m[1]) for p in (run / DONE).iterdir() if (m := MARKER_PATTERN.fullmatch(p.name))}


def _check_shard(
    run: Path, shard: int, count: int | None, marked: set[int] | None, turns: bool, games: bool
) -> None:
    """A shard of a run folder is one the manifest counts (``count``, when known) with its
    marker and both files. A self-play writes a shard's files first and its marker last, and
    checks them all again when run again: a shard short of one is a run still being written or
    cut short, or one damaged since, which that rerun repairs. Without ``_done/`` (``marked``
    None: nothing committed yet, or the markers removed) the turns files list the shards, and
    each one's games file is checked as it is read, as in a plain folder."""
    if count is not None and shard >= count:
        raise ValueError(
            f"{run}: shard {shard} lies beyond the {count} shards its {MANIFEST} records: the "
            "manifest or the shard is another run's"
        )
    has_marker = marked is None or shard in marked
    missing = [
        str(path)
        for path, there in (
            (marker_path(run, shard), has_marker),
            (run / "turns" / shard_name(shard), turns),
            (run / "games" / shard_name(shard), games or marked is None),
        )
        if not there
    ]
    if missing:
        repair = f"check and commit shard {shard}" if turns and games else f"replay shard {shard}"
        raise ValueError(
            f"{run}: shard {shard} is not whole ({' and '.join(missing)} missing; the run is "
            "still being written, or was cut short or damaged since): run the same selfplay "
            f"command again (same folder, same arguments) to {repair}"
        )


def games_path(turns_path: Path) -> Path:
    """The games shard that goes with a turns shard: ``../games/`` under the same name (from
    the shard's absolute path: a bare name given from inside ``turns/`` has no parent's parent)."""
    return turns_path.absolute().parent.parent / "games" / turns_path.name
