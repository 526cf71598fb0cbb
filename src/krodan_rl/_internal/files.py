"""Files written whole or not at all, files read only where they are regular files, and the
checks made before a long run writes one."""

from __future__ import annotations

import hashlib
import json
import os
import stat
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, BinaryIO

__all__ = [
    "NestedTooDeeply",
    "NotRegularFile",
    "fsync",
    "open_regular",
    "parse_json",
    "read_json",
    "read_regular",
    "sha256_of",
    "temporary_name",
    "unwritable",
    "write_atomic",
]


class NotRegularFile(OSError):
    """A path read as a file that is a folder, a FIFO, a device or a socket."""


@contextmanager
def open_regular(path: Path) -> Iterator[BinaryIO]:
    """``path`` opened for reading, refused (NotRegularFile) unless it is a regular file: it is
    opened without blocking, since opening a FIFO would wait for a writer forever, and checked
    before anything is read."""
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise NotRegularFile(f"{path} is not a regular file")
        os.set_blocking(descriptor, True)
        file = os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise
    with file:
        yield file


def read_regular(path: Path) -> bytes:
    """The bytes of a regular file (``open_regular``)."""
    with open_regular(path) as file:
        return file.read()


class NestedTooDeeply(ValueError):
    """JSON whose arrays or objects nest deeper than the parser goes."""


def parse_json(data: bytes) -> Any:
    """The JSON value of ``data``: ValueError for bytes that are not UTF-8 or not JSON, and
    NestedTooDeeply (a ValueError) where the parser would run out of stack."""
    try:
        return json.loads(data)
    except RecursionError:
        raise NestedTooDeeply("nested too deeply") from None


def read_json(path: Path) -> Any:
    """The JSON value of a regular file (``read_regular``, ``parse_json``): an OSError where it
    cannot be read (NotRegularFile where it is no regular file), a ValueError where it is no
    JSON. Files that name their own trust (a folder's records) are read here, never with a
    bare ``read_text``, so that a FIFO put in their place never blocks a command."""
    return parse_json(read_regular(path))


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with path.open("rb") as file:
        while chunk := file.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def fsync(path: Path) -> None:
    """Flushes a file, or a folder's entries, to disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def temporary_name(path: Path) -> Path:
    """A name beside ``path`` for writing it: a dot name unique to the attempt (process id and a
    fresh uuid), ending in ``.tmp``, which run folders recognise as a leftover."""
    return path.parent / f".{path.name}.{os.getpid()}.{uuid.uuid4().hex}.tmp"


def write_atomic(path: Path, text: str) -> None:
    """Writes ``path`` whole or not at all: a temporary file flushed to disk, then renamed over
    it."""
    write_atomic_bytes(path, lambda file: file.write(text.encode()))


def write_atomic_bytes(path: Path, write: Callable[[BinaryIO], object]) -> None:
    """The same for what ``write`` puts into the open (binary) temporary file."""
    temporary = temporary_name(path)
    try:
        with temporary.open("wb") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)
    fsync(path.parent)


def unwritable(path: Path) -> str | None:
    """Why a new file cannot be written at `path`, checked before any game is played; None
    when it can."""
    if path.is_dir():
        return "is a folder"
    parent = path.parent
    if not parent.exists():
        return f"the folder {parent} does not exist"
    if not parent.is_dir():
        return f"{parent} is not a folder"
    if not os.access(parent, os.W_OK):
        return f"the folder {parent} is not writable"
    return None
