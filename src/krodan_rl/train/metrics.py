"""A training's metrics file, ``OUT/metrics.jsonl``: one JSON record per iteration, appended.
A kill can cut its last line short; the readers leave such a line out, and the next record
starts on a line of its own, so that one cut line never costs a whole record. Only a regular
file is read or appended to (a FIFO would block the reader, or refuse the appender's seek),
and only strict JSON is written: a record holding NaN or an infinity is refused whole."""

from __future__ import annotations

import json
import os
import stat
from pathlib import Path
from typing import Any

from krodan_rl._internal.files import NotRegularFile, read_regular

__all__ = ["NAME", "append", "records"]

NAME = "metrics.jsonl"  # in a training's folder, and beside a training kept elsewhere


def records(path: Path) -> list[tuple[str, dict[str, Any]]]:
    """A metrics file's lines and their records, oldest first (none where there is no file);
    a line that is not a record (cut short by a kill, say, or damaged: not UTF-8, nested too
    deeply to decode) is left out. Each line is decoded on its own, so that a bad byte costs
    its line only. ValueError, naming it, for a path that is not a regular file."""
    try:
        content = read_regular(path)
    except (FileNotFoundError, NotADirectoryError):
        return []
    except NotRegularFile:
        raise _not_regular(path) from None
    found = []
    for raw in content.splitlines():
        try:
            line = raw.decode()
            record = json.loads(line)
            record["iteration"] = int(record["iteration"])
        # A bad byte: ValueError; a line of a thousand "[": RecursionError.
        except (ValueError, KeyError, TypeError, OverflowError, RecursionError):
            continue
        found.append((line.strip(), record))
    return found


def _not_regular(path: Path) -> ValueError:
    return ValueError(f"{path}: not a regular file: a training's metrics are kept in one")


def append(path: Path, record: dict[str, Any]) -> None:
    """Appends a record on a line of its own, after a last line cut short if there is one;
    ValueError for a record that is not strict JSON (NaN, an infinity), the file left as it
    was."""
    line = json.dumps(record, sort_keys=True, allow_nan=False) + "\n"
    with path.open("a+b") as file:
        if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
            raise _not_regular(path)
        if file.seek(0, 2) > 0:
            file.seek(-1, 2)
            if file.read(1) != b"\n":
                line = "\n" + line
        file.write(line.encode())
