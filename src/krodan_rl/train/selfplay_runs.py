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

from krodan_rl import data, seeds, selfplay
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.search import EXPLORATION, GuidedPlayer
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.folder import Training
from krodan_rl.train.playout_cap import PlayoutCapPlayer

__all__ = ["SelfPlayRuns"]

# How long ending the runs started ahead waits for their tasks to go (seconds).
STOP_SECONDS = 30.0


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
        # Iteration: the Ray task playing its run, and the checkpoint it plays with.
        self._pending: dict[int, tuple[Any, int]] = {}
        #: Whether the runs played from here draw a progress bar (on standard error).
        self.progress = False

    def session(self) -> AbstractContextManager[Any]:
        """Ray's connection, kept for the whole training; nothing for the local backend."""
        if self.backend != "ray":
            return nullcontext()
        from krodan_rl.selfplay.backends.ray import connected

        return connected(self.address)

    def warm_start(self, games: int) -> None:
        """The warm start's games among greedy agents."""
        selfplay.generate(games, ["greedy"] * 4, self.training.warm_run, seed=self.config.seed,
                          games_at_once=self.config.games_at_once, progress=self.progress,
                          **self.options)  # fmt: skip

    def heldout(self, games: int) -> None:
        """The held-out games among greedy agents, on a stream of their own."""
        selfplay.generate(games, ["greedy"] * 4, self.training.heldout_run,
                          seed=seeds.heldout_run(self.config.seed),
                          games_at_once=self.config.games_at_once, progress=self.progress,
                          **self.options)  # fmt: skip

    def play(self, iteration: int) -> int:
        """Returns once ``iteration``'s run is complete, playing it here unless it runs ahead
        already; the checkpoint that played it."""
        if iteration in self._pending:
            from krodan_rl.selfplay.backends.ray import task_result

            task, source = self._pending[iteration]
            task_result(task)
            del self._pending[iteration]  # once done: stop() ends it should the wait be cut
            return source
        recorded = self.training.source(iteration)
        source = iteration - 1 if recorded is None else recorded
        selfplay.generate(**self._run(iteration, source), progress=self.progress)
        return source

    def start(self, iteration: int) -> None:
        """On Ray, starts ``iteration``'s run on the latest checkpoint (or the one its half
        done run began with) and returns; ``play`` waits for it. Nothing locally."""
        beyond = iteration > self.config.iterations
        if self.backend != "ray" or beyond or iteration in self._pending:
            return
        import ray

        from krodan_rl.selfplay.backends.ray import MAX_ATTEMPTS

        recorded = self.training.source(iteration)
        source = self.training.latest() if recorded is None else recorded
        # The task only drives the run (its actors take the CPUs): it asks for none. Should
        # its process die, Ray runs it again, and the run goes on from its committed shards.
        generate = ray.remote(num_cpus=0, max_retries=MAX_ATTEMPTS)(selfplay.generate)
        self._pending[iteration] = (generate.remote(**self._run(iteration, source)), source)

    def stop(self) -> None:
        """Ends the runs started ahead (their committed shards stay), waiting a little for
        them to let go of their folders."""
        if self._pending:
            import ray

            tasks = [task for task, _ in self._pending.values()]
            self._pending.clear()
            for task in tasks:
                ray.cancel(task, force=True)
            ray.wait(tasks, num_returns=len(tasks), timeout=STOP_SECONDS)

    def played(self, iteration: int) -> dict[str, float]:
        """What ``iteration``'s run played, for its metrics: ``full_search_share_played``, the
        share of its moves searched fully (recorded with a policy target). Nothing for a run
        that is not whole in this folder."""
        import pyarrow.parquet as pq

        try:
            shards = data.shard_paths(self.training.run(iteration))
            flags = [pq.read_table(path, columns=["has_policy"]).column(0) for path in shards]
        except (OSError, ValueError):
            return {}
        moves = sum(len(column) for column in flags)
        full = sum(column.to_numpy().sum() for column in flags)
        return {"full_search_share_played": float(full / moves)} if moves else {}

    def _run(self, iteration: int, source: int) -> dict[str, Any]:
        """``selfplay.generate``'s arguments for ``iteration``'s run, played by ``source``."""
        start = checkpoints.load(self.training.checkpoint(source))
        player = self._player(NetworkEvaluator(start.params, start.config), iteration, source)
        return {
            "num_games": self.config.games,
            "players": [player] * 4,
            # Absolute: a Ray task's working folder is not this process's.
            "out_dir": str(self.training.run(iteration).resolve()),
            "games_per_shard": self.config.games_at_once,
            "seed": self.config.seed + iteration,
            "games_at_once": self.config.games_at_once,
            "note": self.training.note(source),
            **self.options,
        }

    def _player(self, evaluator: NetworkEvaluator, iteration: int, source: int) -> Any:
        """The player of ``iteration``'s games, checkpoint ``source``'s: its guided search at
        the configured root, exploring; with playouts capped, that search for the full share
        of the moves and a cheap one, without noise or draws, for the rest."""
        config, settings = self.config, self.config.at(iteration)
        # The Gumbel root's options only where it is chosen: PUCT's player stays as it was.
        root: dict[str, Any] = {}
        if config.root_rule != "puct":
            root = {"root": config.root_rule, "gumbel_actions": config.gumbel_actions}
        kind = "guided" if config.root_rule == "puct" else config.root_rule
        name = self.training.player_name(source, settings.simulations, kind)
        common = {"reward_mode": config.network.value_mode, "seed": config.seed, **root}
        full = GuidedPlayer(evaluator, simulations=settings.simulations,
                            temperature_plies=settings.temperature_plies, name=name,
                            **common, **EXPLORATION)  # fmt: skip
        if config.full_search_share >= 1:
            return full
        # Greedy: no root noise, and the Gumbel root's draw turned off (scale 0) where it is.
        quiet: dict[str, Any] = {"gumbel_scale": 0.0} if root else {}
        cheap = GuidedPlayer(evaluator, simulations=settings.cheap_simulations, **common, **quiet)
        capped = f"{name}/{settings.cheap_simulations}@{config.full_search_share:g}"
        return PlayoutCapPlayer(full, cheap, config.full_search_share, config.seed, capped)
