"""Self-play on this machine: the shards played in this process, or by worker processes (one
per core by default, at most one per shard) that report their games as they finish."""

from __future__ import annotations

import contextlib
import os
import pickle
import queue
from collections.abc import Callable
from concurrent.futures import FIRST_EXCEPTION, Future, ProcessPoolExecutor, wait
from contextlib import AbstractContextManager
from typing import Any

from krodan_rl import arguments
from krodan_rl.selfplay.backends.base import ShardJob
from krodan_rl.selfplay.config import RunConfig
from krodan_rl.selfplay.shard import produce_shard
from krodan_rl.workers import (
    bind_to_driver,
    defined_in_script,
    pool_context,
    startable_from_any_script,
)

__all__ = ["LocalBackend"]

# How often the driver looks at the workers' reports while shards are in play (seconds).
REPORT_INTERVAL = 0.25

# A worker process's channel to the driver, set when the process starts.
_reports: Any = None


def _start_worker(reports: Any, driver: int) -> None:
    global _reports
    _reports = reports
    bind_to_driver(driver)


def _produce_in_worker(
    config: RunConfig, shard: int, out_dir: str, claim: Callable[[], None]
) -> dict[str, Any]:
    def report(games: int) -> None:
        _reports.put((shard, games))

    return produce_shard(config, shard, out_dir, report, claim)


class LocalBackend:
    """``workers`` processes (None: one per core; 1: this process) share the shards."""

    def __init__(self, workers: int | None = None) -> None:
        self.workers = None if workers is None else arguments.integer(workers, "workers", minimum=1)

    def processes(self, shards: int) -> int:
        return max(1, min(self.workers or os.cpu_count() or 1, shards))

    def session(self) -> AbstractContextManager[object]:
        return contextlib.nullcontext()

    def check(self, config: RunConfig) -> None:
        if self.processes(config.num_shards) > 1:
            try:
                pickle.dumps(config)
            except Exception as error:  # whatever stops pickling, the run is refused
                raise TypeError(f"players must pickle to play in workers: {error}") from error
            found = defined_in_script(config.players)
            if found:
                raise TypeError(
                    f"players defined in a script without a file ({', '.join(found)}) cannot "
                    "reach worker processes: define them in a module, or use workers=1"
                )

    def run(self, job: ShardJob) -> None:
        if self.processes(len(job.todo)) == 1:
            claim = job.claim()
            for shard in job.todo:
                reporter = _reporter(job, shard)
                job.committed(produce_shard(job.config, shard, job.out_dir, reporter, claim))
            return
        self._in_processes(job, self.processes(len(job.todo)))

    def _in_processes(self, job: ShardJob, workers: int) -> None:
        context = pool_context()
        reports = context.Queue()
        pool = ProcessPoolExecutor(
            workers,
            mp_context=context,
            initializer=_start_worker,
            initargs=(reports, os.getpid()),
        )
        claim = job.claim()
        try:
            with startable_from_any_script():  # the workers start as shards are submitted
                waiting: set[Future[dict[str, Any]]] = {
                    pool.submit(_produce_in_worker, job.config, shard, job.out_dir, claim)
                    for shard in job.todo
                }
            while waiting:
                finished, waiting = wait(
                    waiting, timeout=REPORT_INTERVAL, return_when=FIRST_EXCEPTION
                )
                _drain(reports, job)
                for future in finished:
                    job.committed(future.result())
        except BaseException:
            pool.shutdown(cancel_futures=True)
            raise
        finally:
            pool.shutdown()
            with contextlib.suppress(Exception):
                reports.close()


def _reporter(job: ShardJob, shard: int) -> Callable[[int], None]:
    return lambda games: job.progress(shard, games)


def _drain(reports: Any, job: ShardJob) -> None:
    while True:
        try:
            shard, games = reports.get_nowait()
        except queue.Empty:
            return
        job.progress(shard, games)
