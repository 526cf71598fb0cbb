"""An iteration's learning: a learner made from the last checkpoint and trained on the replay
window, in this process or, given Ray options (``{"num_gpus": 1}``), on a Ray actor of its own
that a GPU node can hold. The actor runs this same code on the checkpoint's file and the runs'
folders, which it reads through the shared filesystem: on the same kind of device it gives the
same parameters, to the bit."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from krodan_rl import data
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.learner import Learner, check_optimizer_leaves

__all__ = ["Learning", "batches", "check_optimizer_state", "new_learner"]

Report = Callable[[int, dict[str, float]], None]
# Restarts of a learner actor that died (its node lost), each retrying the iteration's learning.
LEARNER_RESTARTS = 3


def batches(runs: list[Path], config: TrainConfig, seed: int) -> Iterator[dict[str, Any]]:
    """Training batches from the last ``window`` runs, pass after pass, each shuffled anew."""
    epoch = 0
    while True:
        yield from data.load(
            runs,
            config.batch_size,
            dense_policy=True,
            reward_mode=config.network.value_mode,
            shuffle=True,
            seed=seed * 1000 + epoch,
            drop_last=True,
            window=("runs", config.window),
            legal_actions="mask",
            normalise_values=True,
        )
        epoch += 1


def new_learner(config: TrainConfig, start: Checkpoint | None) -> Learner:
    return Learner(config.network, config.learning_rate, config.weight_decay, config.seed, start)


def check_optimizer_state(config: TrainConfig, start: Checkpoint) -> None:
    """ValueError, naming the leaf, unless ``start``'s optimizer state is one this training's
    learner could have kept (``learner.check_optimizer_leaves``): checked before a training
    goes on from it, rather than when its learner is made, after a self-play run."""
    check_optimizer_leaves(
        config.network, config.learning_rate, config.weight_decay, start.opt_leaves
    )


def _learn(
    config: TrainConfig, start: Path, runs: list[Path], seed: int, report: Report | None
) -> tuple[Checkpoint, dict[str, float]]:
    learner = new_learner(config, checkpoints.load(start))
    losses = learner.train(batches(runs, config, seed), config.steps, report)
    return learner.checkpoint({}), losses


class LearnerActor:
    """The Ray actor: learns iterations, one call each (its progress is not reported)."""

    def ready(self) -> bool:
        return True

    def learn(
        self, config: TrainConfig, start: str, runs: list[str], seed: int
    ) -> tuple[Checkpoint, dict[str, float]]:
        return _learn(config, Path(start), [Path(run) for run in runs], seed, None)


class Learning:
    """Learns iterations here, or with ``ray_options`` on a Ray actor asking for them (made
    at the first iteration, in the Ray session the training holds; the options are checked
    at once)."""

    def __init__(self, config: TrainConfig, ray_options: dict[str, Any] | None = None) -> None:
        self.config = config
        self.asked = ray_options
        self._actor_class: Any = None
        self._actor: Any = None
        if ray_options is not None:
            from krodan_rl.selfplay.backends.ray import import_ray

            options = {**ray_options, "max_restarts": LEARNER_RESTARTS,
                       "max_task_retries": LEARNER_RESTARTS}  # fmt: skip
            self._actor_class = import_ray().remote(LearnerActor).options(**options)

    def __call__(
        self, start: Path, runs: list[Path], seed: int, report: Report
    ) -> tuple[Checkpoint, dict[str, float]]:
        """The checkpoint after ``config.steps`` steps from the one at ``start`` on ``runs``
        (its meta left for the caller), and the mean losses."""
        if self._actor_class is None:
            return _learn(self.config, start, runs, seed, report)
        from krodan_rl.selfplay.backends.ray import task_result

        if self._actor is None:
            self._actor = self._started()
        paths = [str(run.resolve()) for run in runs]
        call = self._actor.learn.remote(self.config, str(start.resolve()), paths, seed)
        result: tuple[Checkpoint, dict[str, float]] = task_result(call)
        return result

    def _started(self) -> Any:
        import ray

        from krodan_rl.selfplay.backends.ray import ACTOR_START_SECONDS, task_result

        actor = self._actor_class.remote()
        ready, _ = ray.wait([actor.ready.remote()], timeout=ACTOR_START_SECONDS)
        if not ready:
            ray.kill(actor, no_restart=True)
            raise RuntimeError(
                f"the learner's actor did not start within {ACTOR_START_SECONDS:.0f} s: the "
                f"cluster lacks the resources asked for ({self.asked})"
            )
        task_result(ready[0])  # raises should it have failed to start
        return actor
