"""A training's metrics file, ``OUT/metrics.jsonl``: one JSON record per iteration, appended.
A kill can cut its last line short; the readers leave such a line out, and the next record
starts on a line of its own, so that one cut line never costs a whole record."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

__all__ = ["NAME", "append", "records"]

NAME = "metrics.jsonl"  # in a training's folder, and beside a training kept elsewhere


def records(path: Path) -> list[tuple[str, dict[str, Any]]]:
    """A metrics file's lines and their records, oldest first; a line that is not a record
    (cut short by a kill, say, or damaged: not UTF-8) is left out. Each line is decoded on
    its own, so that a bad byte costs its line only."""
    found = []
    for raw in path.read_bytes().splitlines() if path.is_file() else []:
        try:
            line = raw.decode()
            record = json.loads(line)
            record["iteration"] = int(record["iteration"])
        except (ValueError, KeyError, TypeError, OverflowError):  # a bad byte: ValueError
            continue
        found.append((line.strip(), record))
    return found


def append(path: Path, record: dict[str, Any]) -> None:
    """Appends a record on a line of its own, after a last line cut short if there is one."""
    line = json.dumps(record, sort_keys=True) + "\n"
    with path.open("a+b") as file:
        if file.seek(0, 2) > 0:
            file.seek(-1, 2)
            if file.read(1) != b"\n":
                line = "\n" + line
        file.write(line.encode())
