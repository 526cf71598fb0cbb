"""The folder of a self-play run, kept so that a run can stop at any moment and go on later.

Besides the shards (``turns/`` and ``games/``, see ``krodan_rl.data``), a run folder holds:

- ``_done/{shard:06d}.json``: a shard's commit marker, written (atomically) once both of its
  files are in place: the run it belongs to, its games and rows, and each file's size and
  sha256. A shard without its marker is not done.
- ``_manifest.json``: the run's arguments and format version, and a compaction of the markers
  known to the driver; rewritten atomically when a run starts, now and then, and at its end.
- ``_lock``: locked by the run writing the folder, so that two runs never write it at once;
- ``_run``: the token of the run that holds the folder, written when it takes the lock. A
  worker renames a shard's files into place and writes its marker only while the folder still
  holds its run's token (and, on the driver's machine, the lock is still held), so that the
  workers of a run that died or was superseded never commit.

A rerun with the same arguments trusts the markers (the manifest's and those in ``_done/``)
after checking each listed shard's files: a missing or corrupt one is redone. A complete
shard whose files are valid but whose marker is missing (its writer died in between) is
adopted. Temporary files, whose names begin with a dot, are removed. A different seed,
players, ``games_per_shard`` or format version is refused, naming the difference; more games
extend the run (a last shard that was short is redone whole).
"""

from __future__ import annotations

import json
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from krodan_rl._internal.files import read_json, sha256_of, write_atomic
from krodan_rl.data.schema import (
    DONE,
    FORMAT_KEY,
    FORMAT_VERSION,
    MANIFEST,
    SHARD_PATTERN,
    marker_path,
    shard_name,
)
from krodan_rl.data.shards import shard_facts
from krodan_rl.selfplay.config import RunConfig
from krodan_rl.selfplay.holding import (
    RunFolderError,
    check_folder,
    check_holder,
    claim,
    locked,
)

__all__ = [
    "DONE",
    "MANIFEST",
    "Manifest",
    "Plan",
    "RunFolderError",
    "check_folder",
    "check_holder",
    "claim",
    "commit_shard",
    "locked",
    "prepare",
    "recorded_games_per_shard",
    "recorded_run",
    "remove_temporaries",
]

SHARD_FOLDERS = ("turns", "games")
# The manifest is rewritten at most this often while a run goes on (seconds).
MANIFEST_INTERVAL = 30.0
# What must be equal between the runs that write one folder.
FIXED = ("format", "seed", "players", "games_per_shard")


def run_record(config: RunConfig) -> dict[str, Any]:
    """The arguments that define a run's games, as the manifest and the markers store them."""
    return {
        "format": FORMAT_VERSION,
        "seed": config.seed,
        "players": config.player_names,
        "games_per_shard": config.games_per_shard,
        "num_games": config.num_games,
        **({} if config.note is None else {"note": config.note}),
    }


def _differences(found: dict[str, Any], wanted: dict[str, Any]) -> list[str]:
    return [
        f"{key} {found.get(key)!r} (this run: {wanted[key]!r})"
        for key in FIXED
        if found.get(key) != wanted[key]
    ]


def _file_entry(path: Path) -> dict[str, Any]:
    return {"bytes": path.stat().st_size, "sha256": sha256_of(path)}


def commit_shard(
    out_dir: str | Path,
    config: RunConfig,
    shard: int,
    games: int,
    rows: int,
    written: dict[str, str] | None = None,
) -> dict[str, Any]:
    """Writes the marker of a shard whose two files are in place; returns it. ``written``: the
    sha256 of the files this attempt wrote, which the files in place must still have (another
    attempt at the same shard may have replaced one of them meanwhile)."""
    root = Path(out_dir)
    files = {kind: _file_entry(root / kind / shard_name(shard)) for kind in SHARD_FOLDERS}
    if written is not None and any(files[k]["sha256"] != written.get(k) for k in SHARD_FOLDERS):
        raise RuntimeError(
            f"shard {shard}: another attempt replaced its files while this one committed them; "
            "no marker was written, so a rerun checks and redoes it"
        )
    record = run_record(config)
    marker = {
        "shard": shard,
        "run": {key: record[key] for key in (*FIXED, "note") if key in record},
        "games": games,
        "rows": rows,
        "files": files,
    }
    _write_marker(root, marker)
    return marker


def _write_marker(root: Path, marker: dict[str, Any]) -> None:
    folder = root / DONE
    folder.mkdir(exist_ok=True)
    write_atomic(marker_path(root, int(marker["shard"])), json.dumps(marker, indent=1) + "\n")


@dataclass
class Plan:
    """What a run finds in its folder: shards to keep (with their markers), shards adopted
    (whole but unmarked, now marked), shards to redo (missing or corrupt files, a short last
    shard), and shards never written."""

    markers: dict[int, dict[str, Any]] = field(default_factory=dict)
    reused: list[int] = field(default_factory=list)
    adopted: list[int] = field(default_factory=list)
    redo: list[int] = field(default_factory=list)
    new: list[int] = field(default_factory=list)

    @property
    def todo(self) -> list[int]:
        return sorted(self.redo + self.new)


def remove_temporaries(folder: Path) -> None:
    """Removes from ``folder`` the temporary files of writes cut short (``files.temporary_name``:
    a dot name ending in ``.tmp``), for a run that holds the folder's lock: no other writes it."""
    if folder.is_dir():
        for path in folder.iterdir():
            if path.name.startswith(".") and path.name.endswith(".tmp") and path.is_file():
                path.unlink(missing_ok=True)


def _remove_temporaries(root: Path) -> None:
    for folder in (root, *(root / kind for kind in (*SHARD_FOLDERS, DONE))):
        remove_temporaries(folder)


def _read_json(path: Path) -> dict[str, Any] | None:
    try:
        found = read_json(path)
    except (OSError, ValueError):
        return None
    return found if isinstance(found, dict) else None


def _verified(root: Path, marker: dict[str, Any], games: int) -> bool:
    """The marker's shard holds the expected games and its files are the ones it recorded."""
    if marker.get("games") != games or not isinstance(marker.get("files"), dict):
        return False
    for kind in SHARD_FOLDERS:
        path = root / kind / shard_name(int(marker["shard"]))
        entry = marker["files"].get(kind)
        if not isinstance(entry, dict) or not path.is_file():
            return False
        if path.stat().st_size != entry.get("bytes") or sha256_of(path) != entry.get("sha256"):
            return False
    return True


def _remove_shard(root: Path, shard: int) -> None:
    marker_path(root, shard).unlink(missing_ok=True)
    for kind in SHARD_FOLDERS:
        (root / kind / shard_name(shard)).unlink(missing_ok=True)


def _stored_version(path: Path) -> str | None:
    """The format version a Parquet file declares, or None when it is unreadable or has none."""
    try:
        metadata = pq.read_schema(path).metadata or {}
    except (OSError, pa.ArrowException):  # a damaged file declares nothing
        return None
    version = metadata.get(FORMAT_KEY.encode())
    return None if version is None else version.decode(errors="replace")


def _adoptable(root: Path, config: RunConfig, shard: int, last_found: bool) -> int | None:
    """The rows of an unmarked shard whose files are whole and hold exactly this shard's games;
    None when they are damaged, or hold the first games of this shard only while no later shard
    is there (a shorter run's last shard). A shard of another run (another format, seed or
    players, or games that are not this shard's) is refused."""
    turns = root / "turns" / shard_name(shard)
    for path in (turns, root / "games" / shard_name(shard)):
        version = _stored_version(path)
        if version is not None and version != FORMAT_VERSION:
            raise RunFolderError(
                f"{path} is of format version {version!r} (this run writes {FORMAT_VERSION!r}): "
                "use another folder"
            )
    try:
        facts = shard_facts(turns)
    except ValueError:
        return None
    names = config.player_names
    if any(seed != config.seed for seed in facts.seeds) or any(p != names for p in facts.players):
        raise RunFolderError(
            f"{root} holds shard {shard} of another run (seed {facts.seeds[0]}, players "
            f"{facts.players[0]}; this run: seed {config.seed}, players {names}): use another "
            "folder"
        )
    first = shard * config.games_per_shard
    ids = facts.game_ids.tolist()
    if ids == list(range(first, first + config.shard_games(shard))):
        return facts.rows
    if (
        last_found
        and ids == list(range(first, first + len(ids)))
        and len(ids) < config.shard_games(shard)
    ):
        return None  # the short last shard of a run with fewer games: redone whole
    raise RunFolderError(
        f"{root} holds shard {shard} with games {ids[0]}-{ids[-1]}, not this run's "
        f"{first}-{first + config.shard_games(shard) - 1}: it was written with another "
        "games_per_shard; use another folder"
    )


def _known_markers(
    root: Path, wanted: dict[str, Any]
) -> tuple[dict[int, dict[str, Any]], set[int]]:
    """The markers of the manifest and of ``_done/`` (the latter winning), and the shards whose
    marker file is readable. A manifest or marker of another run is refused."""
    markers: dict[int, dict[str, Any]] = {}
    manifest = root / MANIFEST
    if manifest.exists():
        found = _read_json(manifest)
        if found is None or not isinstance(found.get("run"), dict):
            raise RunFolderError(
                f"{manifest} is not a run manifest: remove it or use another folder"
            )
        differences = _differences(found["run"], wanted)
        if differences:
            raise RunFolderError(f"{root} holds a run with another {'; '.join(differences)}")
        for marker in found.get("shards", []):
            if isinstance(marker, dict) and isinstance(marker.get("shard"), int):
                markers[marker["shard"]] = marker
    marked: set[int] = set()
    if (root / DONE).is_dir():
        for path in sorted((root / DONE).glob("*.json")):
            marker = _read_json(path)
            if marker is None or not isinstance(marker.get("shard"), int):
                continue  # a torn marker: its shard is checked as unmarked
            run = marker.get("run")
            differences = _differences(run if isinstance(run, dict) else {}, wanted)
            if differences:
                raise RunFolderError(
                    f"{root} holds shards of a run with another {'; '.join(differences)}"
                )
            markers[marker["shard"]] = marker
            marked.add(marker["shard"])
    return markers, marked


def _check_holds_no_more(
    root: Path, config: RunConfig, markers: dict[int, dict[str, Any]], marked: set[int]
) -> None:
    """Refuses a folder holding shards or games beyond those this run asks for."""
    beyond = sorted(
        {
            path.name
            for kind in SHARD_FOLDERS
            if (root / kind).is_dir()
            for path in (root / kind).iterdir()
            if (m := SHARD_PATTERN.fullmatch(path.name)) and int(m[1]) >= config.num_shards
        }
        | {f"marker of shard {s}" for s in marked if s >= config.num_shards}
    )
    last = config.num_shards - 1
    if beyond or int(markers.get(last, {}).get("games", 0)) > config.shard_games(last):
        shown = ", ".join(beyond[:3]) + (", ..." if len(beyond) > 3 else "")
        raise RunFolderError(
            f"{root} holds more games than this run's {config.num_games}"
            f"{f' ({shown})' if shown else ''}: ask for at least as many, or use another folder"
        )


def prepare(out_dir: str | Path, config: RunConfig) -> Plan:
    """Checks a run folder against the run and sorts its shards (see ``Plan``). Everything is
    checked before anything changes: a folder of another run, or one holding more games than
    this run asks for, is refused (RunFolderError) as it is. Then the leftovers of interrupted
    attempts and the files of the shards to redo are removed, and adopted shards marked."""
    root = Path(out_dir)
    if root.exists() and not root.is_dir():
        raise RunFolderError(f"out_dir {root} exists and is not a folder")
    for kind in (*SHARD_FOLDERS, DONE):
        if (root / kind).exists() and not (root / kind).is_dir():
            raise RunFolderError(f"{root / kind} exists and is not a folder")
    plan = Plan()
    if not root.is_dir():
        plan.new = list(range(config.num_shards))
        return plan

    markers, marked = _known_markers(root, run_record(config))
    _check_holds_no_more(root, config, markers, marked)

    found = [
        int(m[1])
        for path in (root / "turns").glob("shard-*.parquet")
        if (m := SHARD_PATTERN.fullmatch(path.name))
    ]
    last_found = max(found, default=-1)
    adopt: dict[int, int] = {}  # shard: rows
    for shard in range(config.num_shards):
        games = config.shard_games(shard)
        marker = markers.get(shard)
        files = [(root / kind / shard_name(shard)).is_file() for kind in SHARD_FOLDERS]
        if marker is not None and _verified(root, marker, games):
            plan.markers[shard] = marker
            plan.reused.append(shard)
            continue
        rows = (
            _adoptable(root, config, shard, shard == last_found)
            if marker is None and all(files)
            else None
        )
        if rows is not None:
            adopt[shard] = rows
            plan.adopted.append(shard)
        elif marker is not None or any(files):
            plan.redo.append(shard)
        else:
            plan.new.append(shard)

    # All checked: now the changes.
    _remove_temporaries(root)
    for shard in plan.reused:
        if shard not in marked:  # known from the manifest only: the folder says it again
            _write_marker(root, plan.markers[shard])
    for shard in plan.redo:
        _remove_shard(root, shard)
    for shard, rows in adopt.items():
        plan.markers[shard] = commit_shard(root, config, shard, config.shard_games(shard), rows)
    return plan


class Manifest:
    """The run's manifest: the arguments and the markers known so far, rewritten whole (never
    appended to) when asked, and at most every ``MANIFEST_INTERVAL`` seconds by ``maybe_write``."""

    def __init__(self, out_dir: str | Path, config: RunConfig, markers: dict[int, dict[str, Any]]):
        self.path = Path(out_dir) / MANIFEST
        self.record = run_record(config)
        self.markers = dict(markers)
        self.written = 0.0

    def add(self, marker: dict[str, Any]) -> None:
        self.markers[int(marker["shard"])] = marker

    def write(self) -> None:
        document = {
            "run": self.record,
            "shards": [self.markers[s] for s in sorted(self.markers)],
        }
        self.path.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(self.path, json.dumps(document, indent=1) + "\n")
        self.written = time.monotonic()

    def maybe_write(self) -> None:
        if time.monotonic() - self.written >= MANIFEST_INTERVAL:
            self.write()


def _run_records(out_dir: str | Path) -> Iterator[dict[str, Any]]:
    """The run records a folder's manifest and markers store, the manifest's first."""
    root = Path(out_dir)
    records = [_read_json(root / MANIFEST)]
    if (root / DONE).is_dir():
        records += [_read_json(path) for path in sorted((root / DONE).glob("*.json"))]
    for record in records:
        run = record.get("run") if record is not None else None
        if isinstance(run, dict):
            yield run


def recorded_run(out_dir: str | Path) -> dict[str, Any] | None:
    """The record of the run a folder holds (``run_record``: seed, players, games per shard);
    None for a folder with neither manifest nor marker (a new run)."""
    return next(_run_records(out_dir), None)


def recorded_games_per_shard(out_dir: str | Path) -> int | None:
    """The ``games_per_shard`` of the run a folder holds, as its manifest or a marker records
    it; None for a folder without either (a new run)."""
    for run in _run_records(out_dir):
        value = run.get("games_per_shard")
        if isinstance(value, int) and not isinstance(value, bool) and value >= 1:
            return value
    return None
