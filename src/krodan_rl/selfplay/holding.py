"""One run at a time writes a run folder: its lock, held while the run writes, and its token,
which the run's workers check before they commit (so that the workers of a run that ended or
was superseded never do)."""

from __future__ import annotations

import fcntl
import os
import socket
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from krodan_rl._internal.files import write_atomic

__all__ = ["LOCK", "RUN_TOKEN", "RunFolderError", "check_folder", "check_holder", "claim", "locked"]

LOCK = "_lock"
RUN_TOKEN = "_run"


class RunFolderError(ValueError):
    """The folder belongs to another run, or cannot hold this one; nothing was changed."""


def check_folder(out_dir: str | Path) -> None:
    """Refuses, before anything is written, a path that cannot be a run folder: an empty one
    (it would be the current folder), a file, or a symbolic link to nothing."""
    if str(out_dir) == "":
        raise RunFolderError("out_dir must name a folder (an empty path is the current folder)")
    root = Path(out_dir)
    if root.is_symlink() and not root.exists():
        raise RunFolderError(f"out_dir {root} is a symbolic link to a missing {root.readlink()}")
    if root.exists() and not root.is_dir():
        raise RunFolderError(f"out_dir {root} exists and is not a folder")


@contextmanager
def locked(out_dir: str | Path) -> Iterator[None]:
    """Holds the run folder's lock (an advisory lock on ``_lock``) for as long as a run writes
    it: a second run on the same folder is refused instead of mixing its attempts with this
    one's and removing its temporary files. Makes the folder."""
    root = Path(out_dir)
    check_folder(out_dir)
    root.mkdir(parents=True, exist_ok=True)
    fd = os.open(root / LOCK, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise RunFolderError(
                f"{root} is being written by another run (it holds {root / LOCK}): let it "
                "finish or stop it first"
            ) from None
        yield
    finally:
        os.close(fd)


def claim(out_dir: str | Path) -> str:
    """Writes a fresh run token to ``_run`` in a folder whose lock this run holds, once the
    folder is found to be its own, and returns it: the workers of this run commit only while
    the folder holds it (``check_holder``), so those of a run that ended or was superseded
    cannot."""
    token = f"{os.getpid()}.{uuid.uuid4().hex}"
    write_atomic(Path(out_dir) / RUN_TOKEN, token + "\n")
    return token


def check_holder(out_dir: str | Path, token: str, driver_host: str) -> None:
    """Raises RunFolderError unless the run of ``token`` still holds the folder: its token in
    ``_run`` and, for a worker on the driver's machine (``driver_host``), the lock still held
    (a lock taken elsewhere may not show through a shared filesystem)."""
    root = Path(out_dir)
    try:
        found = (root / RUN_TOKEN).read_text().strip()
    except OSError:
        found = ""
    if found != token:
        raise RunFolderError(
            f"{root} no longer belongs to the run this worker plays for: nothing committed"
        )
    if driver_host != socket.gethostname():
        return
    fd = os.open(root / LOCK, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return  # held, by the driver whose token is in place
    finally:
        os.close(fd)  # closing the descriptor releases a lock taken by mistake
    raise RunFolderError(f"the run that holds {root} has ended: nothing committed")
