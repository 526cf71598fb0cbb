"""Self-play on Ray: ``krodan_rl.selfplay.generate(..., backend="ray")`` runs here.

Shards are played by Ray actors, each playing one shard at a time with its own engine (and
its guided searches, batched over the games it plays in lockstep); the driver keeps a few
shards in flight per actor and learns of each finished shard from its marker, which the actor
writes after renaming the shard's files into place (``krodan_rl.run_folder``), so that a
driver that dies loses nothing an actor finished. An actor that dies (its process killed, its
node lost) is replaced, and its shards are given to another actor, up to ``MAX_ATTEMPTS``
times each; then the run fails naming them, the finished shards staying committed.

The run lives in a Ray namespace of its own. Without an address it starts a local Ray instance
sized to the machine and stops it at the end; with one it connects to that cluster and, at the
end or on Ctrl-C, kills only its own actors and disconnects. The output folder must be one
that every node sees at the same path (a shared POSIX filesystem).
"""

from __future__ import annotations

import os
import uuid
from collections import Counter, deque
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from krodan_rl.selfplay import RunConfig

__all__ = ["MAX_ATTEMPTS", "SHARDS_IN_FLIGHT", "ShardWorker", "check_available", "run"]

# How many times a shard is given to an actor before the run gives up on it.
MAX_ATTEMPTS = 3
# Shards queued on each actor: one playing, one waiting, so that no actor idles while the
# driver hears of a finished shard.
SHARDS_IN_FLIGHT = 2


def check_available() -> None:
    """Raises ImportError with the way to install Ray when it is missing."""
    try:
        import ray  # noqa: F401
    except ImportError as error:
        raise ImportError(
            "the ray backend needs Ray: pip install 'krodan_rl[ray]' (or 'ray[data]')"
        ) from error


class ShardWorker:
    """The actor: plays and commits the shards it is given, one at a time."""

    def __init__(self, config: RunConfig, out_dir: str) -> None:
        self.config = config
        self.out_dir = out_dir

    def produce(self, shard: int) -> dict[str, Any]:
        from krodan_rl.selfplay import produce_shard

        return produce_shard(self.config, shard, self.out_dir)

    def pid(self) -> int:
        return os.getpid()


def run(
    config: RunConfig,
    out_dir: str | Path,
    todo: list[int],
    workers: int | None,
    address: str | None,
    actor_options: dict[str, Any] | None,
    committed: Callable[[dict[str, Any]], None],
) -> None:
    """Plays the shards ``todo`` on Ray actors (``workers`` of them, or one per CPU of the
    cluster, at most one per shard), calling ``committed(marker)`` as each is done."""
    import ray
    from ray.exceptions import RayActorError, RayTaskError, WorkerCrashedError

    connected_here = not ray.is_initialized()
    if connected_here:
        namespace = f"krodan_rl-selfplay-{uuid.uuid4().hex[:12]}"
        if address:
            ray.init(address=address, namespace=namespace, log_to_driver=False)
        else:
            ray.init(
                num_cpus=os.cpu_count(),
                namespace=namespace,
                include_dashboard=False,
                log_to_driver=False,
            )
    actors: list[Any] = []
    try:
        count = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
        options = {"num_cpus": 1, **(actor_options or {}), "max_restarts": 0}
        actor_class = ray.remote(ShardWorker).options(**options)
        folder = str(Path(out_dir).resolve())

        def new_actor() -> Any:
            actor = actor_class.remote(config, folder)
            actors.append(actor)
            return actor

        queue = deque(todo)
        attempts: Counter[int] = Counter()
        failed: list[int] = []
        in_flight: dict[Any, tuple[Any, int]] = {}  # result ref: (actor, shard)

        def feed(actor: Any) -> None:
            held = sum(1 for a, _ in in_flight.values() if a is actor)
            while queue and held < SHARDS_IN_FLIGHT:
                shard = queue.popleft()
                attempts[shard] += 1
                in_flight[actor.produce.remote(shard)] = (actor, shard)
                held += 1

        for _ in range(min(count, len(todo))):
            feed(new_actor())
        if not actors:
            return
        while in_flight:
            ready, _ = ray.wait(list(in_flight), num_returns=1, timeout=1.0)
            for ref in ready:
                actor, shard = in_flight.pop(ref)
                try:
                    marker = ray.get(ref)
                except RayTaskError as error:
                    # The shard's own code failed (a player's error): every attempt would.
                    raise error.as_instanceof_cause() from None
                except (RayActorError, WorkerCrashedError):
                    if attempts[shard] < MAX_ATTEMPTS:
                        queue.appendleft(shard)
                    else:
                        failed.append(shard)
                    if actor in actors:  # its other shards fail likewise; replace it once
                        actors.remove(actor)
                        ray.kill(actor, no_restart=True)
                        new_actor()
                    continue
                committed(marker)
            for actor in actors:
                feed(actor)
        if failed:
            raise RuntimeError(
                f"shard(s) {', '.join(map(str, sorted(failed)))} failed {MAX_ATTEMPTS} times, "
                "each time with the death of the actor playing it; the shards finished are "
                "committed, and running the same command again plays the others"
            )
    finally:
        for actor in actors:
            ray.kill(actor, no_restart=True)
        if connected_here:
            ray.shutdown()
