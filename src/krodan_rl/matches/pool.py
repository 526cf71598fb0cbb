"""Worker processes that share a run's work: how many (one per core by default, never more
than there are tasks), the check that what they need reaches them, made before any starts, and
the one loop that hands them the tasks. Workers are bound to the driver
(``krodan_rl._internal.workers``); on any error or Ctrl-C the driver ends them at once."""

from __future__ import annotations

import contextlib
import os
import pickle
import queue
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_EXCEPTION, Future, ProcessPoolExecutor, wait
from typing import Any, TypeVar

from krodan_rl import facts
from krodan_rl._internal.workers import (
    bind_quietly_to_driver,
    defined_in_script,
    pool_context,
    startable_from_any_script,
    stop_pool,
)

__all__ = ["REPORT_SECONDS", "check_pickles", "check_travels", "processes", "report", "run"]

T = TypeVar("T")

#: How often the driver reads what its workers report while tasks are in play (seconds).
REPORT_SECONDS = 0.25

# A worker's channel to its driver's ``on_report``, set when the worker starts.
_reports: Any = None


def processes(workers: int | None, tasks: int) -> int:
    """The processes that share ``tasks`` tasks: ``workers`` (None: one per core this process
    may use, ``facts.cores()``), never more than the tasks, at least 1."""
    return max(1, min(facts.cores() if workers is None else workers, tasks))


def check_pickles(
    objects: Sequence[object], noun: str, elsewhere: str = "worker processes (or use workers=1)"
) -> None:
    """Refuses (TypeError) ``objects`` that do not pickle, named ``noun``, before any worker
    starts: they could not reach ``elsewhere``."""
    try:
        pickle.dumps(list(objects))
    except Exception as error:  # whatever stops pickling, the run is refused
        raise TypeError(f"{noun} must pickle to play in {elsewhere}: {error}") from error


def check_travels(objects: Sequence[object], noun: str) -> None:
    """Refuses (TypeError), before any worker starts, ``objects`` (named ``noun``) that cannot
    reach worker processes: that do not pickle, or that a script without a file defines."""
    check_pickles(objects, noun)
    found = defined_in_script(objects)
    if found:
        raise TypeError(
            f"{noun} defined in a script without a file ({', '.join(found)}) cannot reach "
            "worker processes: define them in a module, or use workers=1"
        )


def report(item: object) -> None:
    """In a worker of ``run``: hands ``item`` to the driver's ``on_report`` (nothing where the
    driver asked for no reports)."""
    if _reports is not None:
        _reports.put(item)


def _start_worker(driver: int, reports: Any) -> None:
    global _reports
    _reports = reports
    bind_quietly_to_driver(driver)


def run(
    work: Callable[..., T],
    tasks: Sequence[tuple[Any, ...]],
    workers: int,
    done: Callable[[int, T], None],
    on_report: Callable[[Any], None] | None = None,
) -> None:
    """``work(*task)`` for each task, in ``workers`` worker processes (at most one per task);
    ``done(k, result)`` is called in this process as task k finishes, in any order, and
    ``on_report(item)`` for each item a worker hands to ``report``, read every
    ``REPORT_SECONDS``. ``work`` and the tasks must pickle (``check_travels``). The first error
    of a task, or Ctrl-C, ends the workers at once and is raised."""
    context = pool_context()
    reports = None if on_report is None else context.Queue()
    pool = ProcessPoolExecutor(
        min(workers, len(tasks)),
        mp_context=context,
        initializer=_start_worker,
        initargs=(os.getpid(), reports),
    )
    try:
        with startable_from_any_script():  # the workers start as tasks are submitted
            which: dict[Future[T], int] = {pool.submit(work, *t): k for k, t in enumerate(tasks)}
        waiting = set(which)
        while waiting:
            timeout = None if reports is None else REPORT_SECONDS
            finished, waiting = wait(waiting, timeout=timeout, return_when=FIRST_EXCEPTION)
            if on_report is not None:
                _drain(reports, on_report)
            for future in finished:
                done(which[future], future.result())
    except BaseException:  # Ctrl-C, or a task's error: the other tasks are not wanted
        stop_pool(pool)
        raise
    finally:
        pool.shutdown()
        if reports is not None:
            with contextlib.suppress(Exception):
                reports.close()


def _drain(reports: Any, on_report: Callable[[Any], None]) -> None:
    while True:
        try:
            item = reports.get_nowait()
        except queue.Empty:
            return
        on_report(item)
