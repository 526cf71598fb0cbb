"""Self-play on Ray: ``krodan_rl.selfplay.generate(..., backend="ray")`` runs here.

Shards are played by Ray actors, each playing one shard at a time with its own engine (and
its guided searches, batched over the games it plays in lockstep) as every backend does
(``krodan_rl.selfplay.shard``: the match runner's plan of a shard); the driver keeps a few
shards in flight per actor and learns of each finished shard from its marker, which the actor
writes after renaming the shard's files into place (``krodan_rl.selfplay.run_folder``), so that a
driver that dies loses nothing an actor finished. An actor that dies (its process killed, its
node lost) is replaced, and its shards are given to another actor, up to ``MAX_ATTEMPTS``
times each; then the run fails naming them, the finished shards staying committed. Actors
report their games as they finish through a Ray queue, for the driver's progress bar.

The run lives in a Ray namespace of its own. Without an address it starts a local Ray instance
sized to the machine and stops it at the end; with one it connects to that cluster (before the
run's folder is made: ``RayBackend.session``) and, at the end or on Ctrl-C, kills only its own
actors and disconnects. The output folder must be one that every node sees at the same path (a
shared POSIX filesystem).
"""

from __future__ import annotations

import contextlib
import os
import socket
import time
import uuid
from collections import Counter, deque
from collections.abc import Callable, Iterator
from typing import Any

from krodan_rl import facts, matches
from krodan_rl._internal import arguments, workers
from krodan_rl.selfplay.backends.base import ShardJob
from krodan_rl.selfplay.config import RunConfig
from krodan_rl.selfplay.shard import produce_shard

__all__ = [
    "MAX_ATTEMPTS",
    "SHARDS_IN_FLIGHT",
    "RayBackend",
    "ShardWorker",
    "connected",
    "task_result",
]

# How many times a shard is given to an actor before the run gives up on it.
MAX_ATTEMPTS = 3
# How long a run waits for its first actor (or for any, after all died) before it concludes
# that the cluster cannot place one.
ACTOR_START_SECONDS = 300.0
# Shards queued on each actor: one playing, one waiting, so that no actor idles while the
# driver hears of a finished shard.
SHARDS_IN_FLIGHT = 2


def import_ray() -> Any:
    try:
        import ray
    except ImportError as error:
        raise ImportError(
            "the ray backend needs Ray: pip install 'krodan_rl[ray]' (or 'ray[data]')"
        ) from error
    return ray


# How long a cluster's address may take to answer before the run gives up on it (seconds):
# Ray itself would retry for minutes.
ADDRESS_SECONDS = 10.0


def _check_answers(address: str) -> None:
    """Raises RuntimeError, in one line, when nothing listens at a HOST:PORT address (a Ray
    head, or a Ray Client server with ``ray://``); "auto" is left to Ray, which answers at
    once where no cluster runs on this machine."""
    if address == "auto":
        return
    target = address.removeprefix("ray://")
    host, _, port = target.rpartition(":")
    if not host or not port.isdigit():
        raise ValueError(f"a Ray address is HOST:PORT, ray://HOST:PORT or auto, not {address!r}")
    try:
        with socket.create_connection((host, int(port)), timeout=ADDRESS_SECONDS):
            pass
    except OSError as error:
        raise RuntimeError(
            f"no Ray cluster answers at {address} within {ADDRESS_SECONDS:.0f} s: {error}"
        ) from None


class ShardWorker:
    """The actor: plays and commits the shards it is given, one at a time, reporting its games
    to ``reports`` (a Ray queue) as they finish."""

    def __init__(
        self,
        config: RunConfig,
        out_dir: str,
        reports: Any = None,
        claim: Callable[[], None] | None = None,
    ) -> None:
        self.config = config
        self.out_dir = out_dir
        self.reports = reports
        self.claim = claim

    def produce(self, shard: int) -> dict[str, Any]:
        def report(games: int) -> None:
            if self.reports is not None:
                with contextlib.suppress(Exception):  # progress is never worth a shard
                    self.reports.put_nowait((shard, games))

        return produce_shard(self.config, shard, self.out_dir, report, self.claim)

    def pid(self) -> int:
        return os.getpid()


class RayBackend:
    """Ray actors play the shards: ``workers`` of them (None: one per CPU of the cluster, at
    most one per shard), on a local Ray instance sized to the machine, or on the cluster at
    ``address`` ("auto" for the one this machine belongs to); ``ray_actor_options`` go to the
    actors (``{"num_gpus": 1}``)."""

    def __init__(
        self,
        workers: int | None = None,
        address: str | None = None,
        ray_actor_options: dict[str, Any] | None = None,
    ) -> None:
        self.workers = None if workers is None else arguments.integer(workers, "workers", minimum=1)
        self.address = address
        self.actor_options = dict(ray_actor_options or {})
        self._ray: Any = None  # Ray, while ``session`` holds the connection

    @contextlib.contextmanager
    def session(self) -> Iterator[Any]:
        """Ray connected (``connected``) for the time of the block, which ``run`` then plays
        on. The driver enters it before it makes the run's folder, so that a cluster that is
        not there is refused with nothing written."""
        if self._ray is not None:
            yield self._ray
            return
        with connected(self.address) as ray:
            self._ray = ray
            try:
                yield ray
            finally:
                self._ray = None

    def check(self, config: RunConfig) -> None:
        import_ray()
        matches.check_pickles(config.players, "players", "Ray actors")

    def run(self, job: ShardJob) -> None:
        """Plays the job's shards on actors, calling ``committed(marker)`` as each is done."""
        with self.session() as ray:
            driver = _Driver(job, self.actor_options)
            try:
                count = self.workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
                driver.play(min(count, len(job.todo)))
            finally:
                driver.stop()


@contextlib.contextmanager
def connected(address: str | None = None) -> Iterator[Any]:
    """Ray, for the time of the block (the module): the connection this process has, or a new
    one, in a namespace of its own, to the cluster at ``address`` or, without one, to a new
    local instance sized to this machine, stopped at the end."""
    ray = import_ray()
    connected_here = not ray.is_initialized()
    if not connected_here and address:
        raise ValueError(
            "Ray is already initialised in this process: leave address out to use its "
            "connection, or call ray.shutdown() first"
        )
    if connected_here:
        namespace = f"krodan_rl-selfplay-{uuid.uuid4().hex[:12]}"
        if address:
            _check_answers(address)
            try:
                ray.init(address=address, namespace=namespace, log_to_driver=False)
            except ConnectionError:  # Ray's own advice names flags of its own commands
                raise RuntimeError(
                    f"no Ray cluster at {address}: start one with `ray start --head`, or "
                    "leave the address out to start a local instance"
                ) from None
        else:
            # "local": a new instance sized to this machine, even where RAY_ADDRESS is set
            # or a head runs here already.
            ray.init(
                address="local",
                num_cpus=facts.cores(),
                namespace=namespace,
                include_dashboard=False,
                log_to_driver=False,
            )
    # A local instance's processes follow this one should it be killed (Ray ties its
    # workers to the driver, not all of its agents).
    local = connected_here and not address
    with workers.reaped(workers.descendants(os.getpid()) if local else []):
        try:
            yield ray
        finally:
            if connected_here:
                ray.shutdown()


def task_result(ref: Any) -> Any:
    """What a Ray task returned; where its own code failed, that error, as itself."""
    import ray
    from ray.exceptions import RayTaskError

    try:
        return ray.get(ref)
    except RayTaskError as error:
        raise error.as_instanceof_cause() from None


class _Driver:
    """The loop of a run: actors started, shards handed to the ready ones, deaths answered."""

    def __init__(self, job: ShardJob, actor_options: dict[str, Any]) -> None:
        import ray
        from ray.util.queue import Queue

        options = {"num_cpus": 1, **actor_options, "max_restarts": 0}
        self.actor_class = ray.remote(ShardWorker).options(**options)
        self.config, self.folder = job.config, job.out_dir
        self.committed: Callable[[dict[str, Any]], None] = job.committed
        self.progress = job.progress
        self.reports = Queue(actor_options={"num_cpus": 0})
        self.claim = job.claim()
        self.queue = deque(job.todo)
        self.deaths: Counter[int] = Counter()  # of the actor playing the shard
        self.failed: list[int] = []
        self.actors: list[Any] = []
        self.starting: dict[Any, Any] = {}  # ready ref: actor not yet started
        self.shards: dict[Any, deque[tuple[Any, int]]] = {}  # actor: (result ref, shard)
        self.last_start = time.monotonic()

    def new_actor(self) -> None:
        actor: Any = self.actor_class.remote(self.config, self.folder, self.reports, self.claim)
        self.actors.append(actor)
        self.shards[actor] = deque()
        self.starting[actor.pid.remote()] = actor

    def feed(self, actor: Any) -> None:
        held = self.shards[actor]
        while self.queue and len(held) < SHARDS_IN_FLIGHT:
            shard = self.queue.popleft()
            held.append((actor.produce.remote(shard), shard))

    def in_flight(self) -> dict[Any, tuple[Any, int]]:
        return {ref: (actor, shard) for actor, held in self.shards.items() for ref, shard in held}

    def play(self, count: int) -> None:
        import ray

        for _ in range(count):
            self.new_actor()
        while True:
            flight = self.in_flight()
            if not flight and not self.queue:
                break
            if not flight and time.monotonic() - self.last_start > ACTOR_START_SECONDS:
                raise RuntimeError(
                    f"no actor started within {ACTOR_START_SECONDS:.0f} s: the cluster lacks "
                    "the resources asked for (1 CPU each, or what ray_actor_options asks)"
                )
            ready, _ = ray.wait([*flight, *self.starting], num_returns=1, timeout=1.0)
            self.drain_reports()
            for ref in ready:
                if ref in self.starting:
                    self.started(ref)
                elif ref in flight and flight[ref][0] in self.shards:
                    self.finished(ref, *flight[ref])
        if self.failed:
            raise RuntimeError(
                f"shard(s) {', '.join(map(str, sorted(self.failed)))} failed {MAX_ATTEMPTS} "
                "times, each time with the death of the actor playing it; the shards finished "
                "are committed, and running the same command again plays the others"
            )

    def drain_reports(self) -> None:
        with contextlib.suppress(Exception):  # a lost queue costs the bar, not the run
            for shard, games in self.reports.get_nowait_batch(self.reports.qsize()):
                self.progress(shard, games)

    def started(self, ref: Any) -> None:
        import ray
        from ray.exceptions import RayActorError

        actor = self.starting.pop(ref)
        try:
            ray.get(ref)
        except RayActorError as error:
            if getattr(error, "actor_init_failed", False):
                raise RuntimeError(f"a self-play actor could not start: {error}") from None
            self.replace(actor)  # died while starting: another takes its place
            return
        self.last_start = time.monotonic()
        self.feed(actor)

    def finished(self, ref: Any, actor: Any, shard: int) -> None:
        import ray
        from ray.exceptions import RayActorError, RayTaskError, WorkerCrashedError

        try:
            marker = ray.get(ref)
        except RayTaskError as error:
            # The shard's own code failed (a player's error): every attempt would.
            raise error.as_instanceof_cause() from None
        except (RayActorError, WorkerCrashedError):
            # An actor plays its shards in order: the first was playing, and only it is
            # charged with the death; the others were waiting and go back to the queue.
            held = self.shards.pop(actor, None)
            if held is None:
                return  # its death was answered when its first shard failed
            playing = held[0][1]
            self.deaths[playing] += 1
            if self.deaths[playing] >= MAX_ATTEMPTS:
                self.failed.append(playing)
            else:
                self.queue.appendleft(playing)
            self.queue.extendleft(s for _, s in reversed(list(held)[1:]))
            self.replace(actor)
            return
        self.shards[actor].remove((ref, shard))
        self.committed(marker)
        self.feed(actor)

    def replace(self, actor: Any) -> None:
        import ray

        self.actors.remove(actor)
        self.shards.pop(actor, None)
        with contextlib.suppress(Exception):
            ray.kill(actor, no_restart=True)
        if self.queue:
            self.new_actor()

    def stop(self) -> None:
        import ray

        for actor in self.actors:
            with contextlib.suppress(Exception):  # one that is gone must not spare the others
                ray.kill(actor, no_restart=True)
        with contextlib.suppress(Exception):
            self.reports.shutdown()
