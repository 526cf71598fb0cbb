"""What a backend of self-play runs does: play the shards it is given, each committed by its
marker, and say how far they are. The driver (``krodan_rl.selfplay.driver``) has checked the
run and holds its folder; a backend only plays."""

from __future__ import annotations

import functools
import socket
from collections.abc import Callable
from contextlib import AbstractContextManager
from dataclasses import dataclass
from typing import Any, Protocol

from krodan_rl.selfplay import run_folder
from krodan_rl.selfplay.config import RunConfig

__all__ = ["Backend", "ShardJob"]


@dataclass(frozen=True)
class ShardJob:
    """The shards ``todo`` of a run to play into ``out_dir``. ``committed(marker)`` is called
    in the driver's process as each shard is committed; ``progress(shard, games)`` as games of
    a shard in play finish (how many of its games are done). ``token``: the run's hold on the
    folder, which a worker checks before it commits (``run_folder.check_holder``)."""

    config: RunConfig
    out_dir: str
    todo: list[int]
    committed: Callable[[dict[str, Any]], None]
    progress: Callable[[int, int], None]
    token: str

    def claim(self) -> Callable[[], None]:
        """What a worker calls before each commit step: a picklable check that the run still
        holds the folder (``run_folder.check_holder``), wherever the worker runs."""
        host = socket.gethostname()
        return functools.partial(run_folder.check_holder, self.out_dir, self.token, host)


class Backend(Protocol):
    """Plays the shards of runs: locally, or on a cluster."""

    def check(self, config: RunConfig) -> None:
        """Refuses, before anything is written, a run it could not play (players that do not
        pickle for processes elsewhere, a missing library)."""

    def session(self) -> AbstractContextManager[object]:
        """The backend's hold on what it plays on, for the time of a run: a cluster connected
        (a local backend holds nothing). The driver enters it before it makes the run's
        folder, so that a cluster that is not there is refused with nothing written."""

    def run(self, job: ShardJob) -> None:
        """Plays every shard of the job; raises when one fails, the shards committed before
        staying committed."""
