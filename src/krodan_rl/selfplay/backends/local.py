"""Self-play on this machine: the shards played in this process, or by worker processes (one
per core this process may use by default, at most one per shard) that report their games as
they finish; the workers are the match runner's (``krodan_rl.matches.run``)."""

from __future__ import annotations

import contextlib
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Any

from krodan_rl import matches
from krodan_rl._internal import arguments
from krodan_rl.selfplay.backends.base import ShardJob
from krodan_rl.selfplay.config import RunConfig
from krodan_rl.selfplay.shard import produce_shard

__all__ = ["LocalBackend"]


def _produce_in_worker(
    config: RunConfig, shard: int, out_dir: str, claim: Callable[[], None]
) -> dict[str, Any]:
    def report(games: int) -> None:
        matches.report((shard, games))

    return produce_shard(config, shard, out_dir, report, claim)


class LocalBackend:
    """``workers`` processes (None: one per core; 1: this process) share the shards."""

    def __init__(self, workers: int | None = None) -> None:
        self.workers = None if workers is None else arguments.integer(workers, "workers", minimum=1)

    def processes(self, shards: int) -> int:
        return matches.processes(self.workers, shards)

    def session(self) -> AbstractContextManager[object]:
        return contextlib.nullcontext()

    def check(self, config: RunConfig) -> None:
        if self.processes(config.num_shards) > 1:
            matches.check_travels(config.players, "players")

    def run(self, job: ShardJob) -> None:
        claim = job.claim()
        processes = self.processes(len(job.todo))
        if processes == 1:
            for shard in job.todo:
                reporter = _reporter(job, shard)
                job.committed(produce_shard(job.config, shard, job.out_dir, reporter, claim))
            return
        tasks = [(job.config, shard, job.out_dir, claim) for shard in job.todo]
        matches.run(
            _produce_in_worker,
            tasks,
            processes,
            lambda k, marker: job.committed(marker),
            on_report=lambda report: job.progress(*report),
        )


def _reporter(job: ShardJob, shard: int) -> Callable[[int], None]:
    return lambda games: job.progress(shard, games)
