"""An iteration's learning: a learner made from the last checkpoint, at the iteration's
learning rate, trained on its window (``krodan_rl.train.window``) and measured on the held-out
games where the training keeps some; in this process or, given Ray options
(``{"num_gpus": 1}``), on a Ray actor of its own that a GPU node can hold. The actor runs this
same code on the checkpoint's file and the runs' folders, which it reads through the shared
filesystem: on the same kind of device it gives the same parameters, to the bit."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from krodan_rl import data, seeds
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.learner import Learner, check_optimizer_leaves
from krodan_rl.train.window import Window, learner_steps

__all__ = ["Learning", "batches", "check_optimizer_state", "heldout_losses", "new_learner"]

Report = Callable[[int, dict[str, float]], None]
# Restarts of a learner actor that died (its node lost), each retrying the iteration's learning.
LEARNER_RESTARTS = 3


def _passes(
    runs: list[Path], config: TrainConfig, window: tuple[str, int], size: int, seeding: Any
) -> Iterator[dict[str, Any]]:
    """Batches of ``size`` rows from the ``window`` of ``runs``, pass after pass, each shuffled
    anew (pass e by ``seeding(e)``); ValueError where a pass makes no whole batch (it would
    loop for ever)."""
    epoch = 0
    while True:
        made = 0
        for batch in data.load(
            runs,
            size,
            dense_policy=True,
            reward_mode=config.network.value_mode,
            shuffle=True,
            seed=seeding(epoch),
            drop_last=True,
            window=window,
            legal_actions="mask",
            normalise_values=True,
            final_targets=config.network.has_heads,
        ):
            made += 1
            yield batch
        if not made:
            named = ", ".join(map(str, runs))
            raise ValueError(f"the window ({named}) holds fewer than {size} rows")
        epoch += 1


def batches(window: Window, config: TrainConfig, seed: int) -> Iterator[dict[str, Any]]:
    """Training batches of ``config.batch_size`` rows: the window's, with the warm start's
    games making their share of each where the window draws them apart."""
    size = config.batch_size
    warm = 0 if window.warm is None else int(np.floor(window.warm_share * size + 0.5))
    windowed = (window.unit, window.count)
    main = None
    if warm < size:
        main = _passes(list(window.runs), config, windowed, size - warm,
                       lambda epoch: seeds.learner_batches(seed, epoch))  # fmt: skip
    if not warm:
        assert main is not None
        return main
    assert window.warm is not None
    mixed = _passes([window.warm], config, ("runs", 1), warm,
                    lambda epoch: seeds.warm_share_batches(seed, epoch))  # fmt: skip
    return mixed if main is None else _joined(main, mixed)


def _joined(*streams: Iterator[dict[str, Any]]) -> Iterator[dict[str, Any]]:
    """One batch from the rows of each stream's next batch, the first's first."""
    while True:
        parts = [next(stream) for stream in streams]
        yield {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}


def heldout_losses(learner: Learner, run: Path, config: TrainConfig) -> dict[str, float]:
    """The learner's losses on every row of the held-out run, named ``heldout_*``."""
    rows = data.load(run, config.batch_size, dense_policy=True,
                     reward_mode=config.network.value_mode, legal_actions="mask",
                     normalise_values=True, final_targets=config.network.has_heads)  # fmt: skip
    found = learner.mean_losses(rows)
    return {f"heldout_{name}": value for name, value in found.items()}


def new_learner(config: TrainConfig, start: Checkpoint | None, iteration: int) -> Learner:
    """The learner of ``iteration`` (0: the warm start), at its learning rate."""
    rate = config.at(iteration).learning_rate
    return Learner(config.network, rate, config.weight_decay, config.seed, start,
                   config.weight_decay_mode, config.head_weights)  # fmt: skip


def check_optimizer_state(config: TrainConfig, start: Checkpoint) -> None:
    """ValueError, naming the leaf, unless ``start``'s optimizer state is one this training's
    learner could have kept (``learner.check_optimizer_leaves``): checked before a training
    goes on from it, rather than when its learner is made, after a self-play run."""
    check_optimizer_leaves(config.network, config.at(0).learning_rate, config.weight_decay,
                           start.opt_leaves, config.weight_decay_mode)  # fmt: skip


def _learn(
    config: TrainConfig, start: Path, window: Window, iteration: int, report: Report | None,
    heldout: Path | None,
) -> tuple[Checkpoint, dict[str, float]]:  # fmt: skip
    learner = new_learner(config, checkpoints.load(start), iteration)
    seed = config.seed + iteration
    losses = learner.train(batches(window, config, seed), learner_steps(config, window), report)
    if heldout is not None:
        losses.update(heldout_losses(learner, heldout, config))
    return learner.checkpoint({"learning_rate": learner.learning_rate}), losses


class LearnerActor:
    """The Ray actor: learns iterations, one call each (its progress is not reported)."""

    def ready(self) -> bool:
        return True

    def learn(
        self, config: TrainConfig, start: str, window: Window, iteration: int, heldout: str | None
    ) -> tuple[Checkpoint, dict[str, float]]:
        held = None if heldout is None else Path(heldout)
        return _learn(config, Path(start), window, iteration, None, held)


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
        self, start: Path, window: Window, iteration: int, report: Report, heldout: Path | None
    ) -> tuple[Checkpoint, dict[str, float]]:
        """The checkpoint of ``iteration`` after ``config.steps`` steps from the one at
        ``start`` on ``window`` (its meta holding the learning rate used, the rest left for the
        caller), and the mean losses, with the held-out ones where ``heldout`` is given."""
        if self._actor_class is None:
            return _learn(self.config, start, window, iteration, report, heldout)
        from krodan_rl.selfplay.backends.ray import task_result

        if self._actor is None:
            self._actor = self._started()
        # Absolute: the actor's working folder is not this process's.
        window = Window(tuple(run.resolve() for run in window.runs), window.unit, window.count,
                        window.warm and window.warm.resolve(), window.warm_share)  # fmt: skip
        held = None if heldout is None else str(heldout.resolve())
        call = self._actor.learn.remote(self.config, str(start.resolve()), window, iteration, held)
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
