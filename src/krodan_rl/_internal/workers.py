"""Worker processes for the arena and self-play, started the same way everywhere, and bound to
the process that started them: however that driver ends (Ctrl-C, SIGTERM, SIGHUP, SIGKILL), its
workers follow it within moments instead of playing on, orphaned, with nobody to hear them. A
driver that leaves early ends its pool's workers itself, at once (``stop_pool``); workers that
leave Ctrl-C to it ignore SIGINT (``bind_quietly_to_driver``). A local Ray instance's
processes, which Ray ties to the driver only in part, are reaped the same way (``reaped``)."""

from __future__ import annotations

import contextlib
import os
import select
import signal
import subprocess
import sys
import threading
import types
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_all_start_methods, get_context
from pathlib import Path
from typing import Any

__all__ = [
    "bind_quietly_to_driver",
    "bind_to_driver",
    "defined_in_script",
    "descendants",
    "pool_context",
    "reaped",
    "startable_from_any_script",
    "stop_pool",
]

# How often a worker looks for its driver where the system cannot tell it (seconds).
POLL_SECONDS = 0.5


def pool_context() -> Any:
    """A context whose worker processes do not inherit this one's threads (the engine's,
    pyarrow's, a network library's): forked from a clean server process where the platform
    has one, else spawned."""
    return get_context("forkserver" if "forkserver" in get_all_start_methods() else "spawn")


def _wait_for_exit(pid: int) -> None:
    """Returns once process ``pid`` has ended."""
    try:
        fd = os.pidfd_open(pid)
    except (AttributeError, OSError):  # no pidfd here: ask now and then
        while True:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return
            except PermissionError:
                pass
            threading.Event().wait(POLL_SECONDS)
    try:
        select.select([fd], [], [])
    finally:
        os.close(fd)


def _follow(driver: int) -> None:
    _wait_for_exit(driver)
    # The pool's server process (forkserver), where there is one between us and the driver,
    # would outlive the driver too: it goes first, then this worker, at once, whatever it is
    # doing (a native call holds no lock that matters once the process is gone).
    parent = os.getppid()
    if parent not in (driver, 1):
        with contextlib.suppress(OSError):
            os.kill(parent, signal.SIGKILL)
    os.kill(os.getpid(), signal.SIGKILL)


def bind_to_driver(driver: int) -> None:
    """Called first in a worker process: ends the process (and its pool server) when the
    driver ``driver`` ends."""
    threading.Thread(
        target=_follow, args=(driver,), name="krodan-driver-watch", daemon=True
    ).start()


def bind_quietly_to_driver(driver: int) -> None:
    """Called first in a worker process whose driver ends it on Ctrl-C (``stop_pool``): the
    worker ignores SIGINT, which a terminal sends to the driver and its workers alike, so that
    it neither prints a traceback of its own nor dies before the driver has decided; and it
    ends when the driver ``driver`` ends (``bind_to_driver``)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    bind_to_driver(driver)


def stop_pool(pool: ProcessPoolExecutor) -> None:
    """Ends a pool at once: its queued work cancelled and its worker processes killed, not
    waited for (a driver leaving on Ctrl-C or an error wants nothing more from them; a game in
    play could keep it for many seconds)."""
    # The pool offers no way to end its workers before Python 3.14: its own table of them.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.kill()
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.join()


def _start_time(pid: int) -> str | None:
    """A process's start time (in clock ticks since boot), which tells it from a later process
    that reuses its pid; None when it is gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat.rsplit(")", 1)[1].split()[19]


def descendants(pid: int) -> list[int]:
    """The processes below ``pid`` now (Linux: read from /proc)."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        parent = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


# The reaper: waits for its standard input to close; unless the driver said "done" first, it
# kills the processes it was given that are still the same processes.
_REAPER = """
import os, signal, sys
targets = [line.split() for line in sys.argv[1:]]
if sys.stdin.buffer.read() == b"done":
    sys.exit(0)
for pid, start in targets:
    try:
        with open(f"/proc/{pid}/stat") as file:
            stat = file.read()
    except OSError:
        continue
    if stat.rsplit(")", 1)[1].split()[19] == start:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass
"""


@contextlib.contextmanager
def reaped(pids: list[int]) -> Iterator[None]:
    """While the block runs, a small process of its own watches this one: should this process
    die without leaving the block (SIGKILL), it kills ``pids`` (checked by start time, so that a
    reused pid is spared). Leaving the block, however, lets them be."""
    targets = [f"{pid} {start}" for pid in pids if (start := _start_time(pid)) is not None]
    if not targets or not os.path.isdir("/proc"):
        yield
        return
    read, write = os.pipe()
    reaper = subprocess.Popen(
        [sys.executable, "-c", _REAPER, *targets], stdin=read, start_new_session=True
    )
    os.close(read)
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            os.write(write, b"done")
        os.close(write)
        reaper.wait()


def _script_without_file() -> bool:
    """Whether this process runs a script that has no file (read from standard input, or
    given with -c), which worker processes cannot run again to find its definitions."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    return getattr(main, "__spec__", None) is None and path is not None and not Path(path).is_file()


def defined_in_script(objects: Sequence[object]) -> list[str]:
    """The objects among ``objects`` that the running script defines (functions and classes)
    or whose class it defines, where that script has no file: worker processes could not
    unpickle them."""
    if not _script_without_file():
        return []
    found = []
    for obj in objects:
        defined = isinstance(obj, (types.FunctionType, type))
        module = getattr(obj, "__module__", None) if defined else type(obj).__module__
        if module == "__main__":
            found.append(repr(obj))
    return found


@contextlib.contextmanager
def startable_from_any_script() -> Iterator[None]:
    """Worker processes started in the block do not try to run the script again where it has
    no file (``python - <<EOF``): multiprocessing would read its path, '<stdin>', and the
    workers would die at birth. Their players must come from modules (see
    ``defined_in_script``)."""
    main = sys.modules.get("__main__")
    if not _script_without_file():
        yield
        return
    path = main.__file__  # type: ignore[union-attr]
    del main.__file__  # type: ignore[union-attr]
    try:
        yield
    finally:
        main.__file__ = path  # type: ignore[union-attr]
