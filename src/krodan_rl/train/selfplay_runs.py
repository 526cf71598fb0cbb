"""The iterations' self-play runs: which checkpoint plays each, and when.

Locally iteration k plays with checkpoint k - 1 before its learner starts, so that a training
is reproducible. On Ray the actors run ahead: as soon as iteration k's games are in, iteration
k + 1's start on the latest checkpoint (k - 1) while the learner trains iteration k, so that
the cluster never waits for the learner. That run is driven by a Ray task of its own, whose
actors play its shards; the task and its actors end with the training's driver. A run left half
done goes on with the checkpoint it began with, as its players name it."""

from __future__ import annotations

from contextlib import AbstractContextManager, nullcontext
from typing import Any

from krodan_rl import selfplay
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.search import GuidedPlayer
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.folder import Training

__all__ = ["SelfPlayRuns"]


class SelfPlayRuns:
    """Plays a training's self-play runs with ``backend`` ("local" or "ray"), its ``options``
    going to ``selfplay.generate``; ``session()`` holds the backend's connection meanwhile."""

    def __init__(
        self,
        training: Training,
        config: TrainConfig,
        backend: str,
        address: str | None = None,
        ray_actor_options: dict[str, Any] | None = None,
    ) -> None:
        self.training, self.config = training, config
        self.backend, self.address = backend, address
        self.options: dict[str, Any] = {"workers": config.workers, "backend": backend}
        if ray_actor_options is not None:
            self.options["ray_actor_options"] = ray_actor_options
        self.ahead = backend == "ray"
        self._pending: dict[int, Any] = {}  # iteration: the Ray task playing its run

    def session(self) -> AbstractContextManager[Any]:
        """Ray's connection, kept for the whole training; nothing for the local backend."""
        if self.backend != "ray":
            return nullcontext()
        from krodan_rl.selfplay.backends.ray import connected

        return connected(self.address)

    def warm_start(self, games: int) -> None:
        """The warm start's games among greedy agents."""
        selfplay.generate(games, ["greedy"] * 4, self.training.warm_run, seed=self.config.seed,
                          games_at_once=self.config.games_at_once, **self.options)  # fmt: skip

    def play(self, iteration: int) -> int:
        """Returns once ``iteration``'s run is complete, playing it here unless it runs ahead
        already; the checkpoint that played it."""
        pending = self._pending.pop(iteration, None)
        if pending is not None:
            from krodan_rl.selfplay.backends.ray import task_result

            task_result(pending)
            source = self.training.source(iteration)
            assert source is not None, "a run played ahead names its checkpoint"
            return source
        source = self.training.source(iteration)
        source = iteration - 1 if source is None else source
        selfplay.generate(**self._run(iteration, source))
        return source

    def start(self, iteration: int) -> None:
        """On Ray, starts ``iteration``'s run on the latest checkpoint (or the one its half
        done run began with) and returns; ``play`` waits for it. Nothing locally."""
        if not self.ahead or iteration > self.config.iterations or iteration in self._pending:
            return
        import ray

        source = self.training.source(iteration)
        source = self.training.latest() if source is None else source
        # The task only drives the run (its actors take the CPUs): it asks for none.
        generate = ray.remote(num_cpus=0, max_retries=0)(selfplay.generate)
        self._pending[iteration] = generate.remote(**self._run(iteration, source))

    def stop(self) -> None:
        """Ends the runs started ahead (their shards committed stay)."""
        if self._pending:
            import ray

            for task in self._pending.values():
                ray.cancel(task, force=True)
            self._pending.clear()

    def _run(self, iteration: int, source: int) -> dict[str, Any]:
        """``selfplay.generate``'s arguments for ``iteration``'s run, played by ``source``."""
        start = checkpoints.load(self.training.checkpoint(source))
        player = GuidedPlayer(
            NetworkEvaluator(start.params, start.config),
            simulations=self.config.simulations,
            temperature=1.0,
            temperature_plies=self.config.temperature_plies,
            dirichlet_fraction=0.25,
            reward_mode=self.config.network.value_mode,
            seed=self.config.seed,
            name=self.training.player_name(source, self.config.simulations),
        )
        return {
            "num_games": self.config.games,
            "players": [player] * 4,
            "out_dir": str(self.training.run(iteration)),
            "games_per_shard": self.config.games_at_once,
            "seed": self.config.seed + iteration,
            "games_at_once": self.config.games_at_once,
            **self.options,
        }
