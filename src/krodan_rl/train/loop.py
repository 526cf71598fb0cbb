"""The training loop, AlphaZero-style, in a folder it can resume from at any moment:

    OUT/config.json                 the configuration (a rerun must match it, but for more
                                    iterations, which extend the training)
    OUT/heldout                     games among greedy agents never learned from, if any
    OUT/carried.json                the runs of the training gone on from, if any
    OUT/checkpoints/iter-NNNNNN.npz the network after iteration N (0: before any self-play)
    OUT/selfplay/warm               the warm start's games among greedy agents, if any
    OUT/selfplay/iter-NNNNNN        iteration N's self-play run (its players name the checkpoint
                                    that played it, as a path relative to OUT)
    OUT/metrics.jsonl               one line per iteration: losses (and held-out ones), games,
                                    hours, the scheduled settings it used, its window, the
                                    checkpoint that played its games, the share of their moves
                                    searched fully, the seconds waited for them and spent
                                    learning, evaluations
    OUT/curve.png                   the strength curve

Every file there is written whole or not at all (``_internal.files``): a run, once it holds the
folder's lock, removes the temporary files a kill left behind. What it reads back is checked
before it is used: config.json and the metrics only from regular files; a checkpoint it goes on
from (given, or the folder's last) for the games and seconds its meta adds up and for an
optimizer state this training's optimizer could have kept; and a checkpoint it learned is
written only where its weights and losses are finite (one that is not could never be loaded
back).

Iteration k: self-play with checkpoint k - 1 (a guided search with root noise, moves drawn for
the first placements), written as a run of its own; then a fixed number of learner steps on
its window (``krodan_rl.train.window``), through ``krodan_rl.data``; then checkpoint k, written
atomically with the optimizer's state, the step and the time trained. Locally the loop is
synchronous, so that a run is reproducible: killed anywhere and run again, it redoes the
iteration in flight from checkpoint k - 1, reusing the self-play shards already committed, and
ends with the same parameters. With ``backend="ray"`` the self-play runs on Ray actors and runs
ahead: iteration k + 1's games are played by the latest checkpoint, k - 1, while the learner
trains iteration k (``krodan_rl.train.selfplay_runs``).
"""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from krodan_rl._internal import arguments
from krodan_rl._internal.files import write_atomic
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.selfplay import run_folder
from krodan_rl.selfplay.backends import BACKENDS
from krodan_rl.train import metrics
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.curve import draw_curve
from krodan_rl.train.display import Display
from krodan_rl.train.evaluation import evaluate
from krodan_rl.train.folder import Training
from krodan_rl.train.learning import (
    Learning,
    batches,
    check_optimizer_state,
    heldout_losses,
    new_learner,
)
from krodan_rl.train.selfplay_runs import SelfPlayRuns
from krodan_rl.train.window import Window, carry, learner_steps, warm_to_replay, window

__all__ = ["train"]

Log = Callable[[str], None]


def _check_config(training: Training, config: TrainConfig) -> None:
    """Stores the configuration of a new training; refuses another one's, but for more
    iterations, which extend the stored training (and are stored in its place)."""
    stored = training.out / "config.json"
    if stored.exists():
        found = TrainConfig.read(stored)
        different = config.differences(found)
        if different == ["iterations"] and config.iterations > found.iterations:
            config.write(stored)
        elif different:
            raise ValueError(
                f"{training.out} holds a training with another configuration "
                f"({', '.join(different)}): use the same options, or another folder"
            )
    else:
        config.write(stored)


@dataclass(frozen=True)
class _Carried:
    """A checkpoint a training goes on from, checked: the iteration its meta records, and the
    metrics it carries (None for none)."""

    checkpoint: Checkpoint
    iteration: int
    history: str | None


def _carried(start_from: Path, config: TrainConfig) -> _Carried:
    """The checkpoint a training goes on from, and the iteration its meta records (0 where it
    records none), checked before anything is written, with the metrics it carries: the
    folder's first checkpoint and its name are that iteration's."""
    carried = checkpoints.load(start_from)
    if carried.config != config.network:
        raise ValueError(f"{start_from} holds another network than this training's")
    iteration = carried.meta.get("iteration", 0)
    if not isinstance(iteration, int) or isinstance(iteration, bool):
        raise ValueError(
            f"{start_from}: its meta's iteration must be a whole number, not {iteration!r}"
        )
    if not 0 <= iteration <= config.iterations:
        raise ValueError(
            f"{start_from}: its meta's iteration {iteration} is not one of this training's "
            f"(0 to {config.iterations})"
        )
    _check_start(start_from, carried, config)
    return _Carried(carried, iteration, _carried_metrics(start_from, carried, iteration))


# What a checkpoint's meta adds up across iterations (0 where it records none): the games
# played and the seconds trained. Each is carried into the next checkpoint and the metrics.
_TOTALS: dict[str, Callable[[Any], object]] = {
    "games": lambda value: arguments.integer(value, "games", minimum=0),
    "seconds": lambda value: arguments.real(value, "seconds", minimum=0),
}


def _check_start(source: Path, start: Checkpoint, config: TrainConfig) -> None:
    """What a training takes from a checkpoint it goes on from (carried, or its folder's last),
    checked before it is used: its meta's totals, and its optimizer's state."""
    for name, check in _TOTALS.items():
        value = start.meta.get(name, 0)
        try:
            check(value)
        except (TypeError, ValueError) as error:
            raise ValueError(f"{source}: its meta's {error}") from None
    try:
        check_optimizer_state(config, start)
    except ValueError as error:
        raise ValueError(f"{source}: {error}") from None


def _last_recorded(training: Training) -> int:
    records = metrics.records(training.metrics)
    return records[-1][1]["iteration"] if records else -1


def _carried_metrics(start_from: Path, carried: Checkpoint, iteration: int) -> str | None:
    """The metrics of the training a checkpoint comes from, up to its iteration, so that the
    curve of a training that spans sittings covers it whole: the ``metrics.jsonl`` beside the
    checkpoint (a training kept elsewhere) or above it (a folder's ``checkpoints/``). None when
    there is none, or when its record of that iteration is not this checkpoint's (its step)."""
    folder = start_from.parent
    if not (folder / metrics.NAME).is_file() and folder.name == "checkpoints":
        folder = folder.parent
    kept = [(line, r) for line, r in metrics.records(folder / metrics.NAME)
            if r["iteration"] <= iteration]  # fmt: skip
    if not any(r["iteration"] == iteration and r.get("step") == carried.step for _, r in kept):
        return None
    return "".join(line + "\n" for line, _ in kept)


def _save_learned(path: Path, result: Checkpoint) -> None:
    """Writes a checkpoint the learner made, unless a weight or a loss went non-finite (a
    learning that diverged): such a checkpoint could never be loaded back, and every rerun
    would stop on it."""
    losses = [value for key, value in result.meta.items() if key.endswith("loss")]
    arrays = [*result.params.values(), *result.opt_leaves]
    if not (np.isfinite(losses).all() and all(np.isfinite(a).all() for a in arrays)):
        loss = result.meta.get("loss")
        raise ValueError(
            f"{path} not written: its learning went beyond finite numbers (loss {loss}); lower "
            "the learning rate, or go on from another checkpoint"
        )
    checkpoints.save(path, result)


def train(
    config: TrainConfig,
    out: str | Path,
    log: Log = print,
    backend: str = "local",
    address: str | None = None,
    ray_actor_options: dict[str, Any] | None = None,
    start_from: str | Path | None = None,
    learner_options: dict[str, Any] | None = None,
    progress: bool = False,
) -> int:
    """Runs (or resumes) the training in ``out`` up to ``config.iterations``; returns the last
    iteration done. See the module's documentation for what each iteration does. Lines go to
    ``log``; with ``progress``, a bar inside each stage too, on standard error (for a terminal).

    ``start_from``: a checkpoint of this training written elsewhere (a training that spans
    several machines or sittings), taken as the folder's first checkpoint when it has none;
    the training goes on from its iteration (which must be one of this training's, 0 to
    ``config.iterations``: checked before anything is written), its replay window starting
    anew, and its metrics go on from the ones found beside the checkpoint (or above its
    ``checkpoints/`` folder).
    ``backend="ray"``: the self-play on Ray actors (at ``address``; ``ray_actor_options`` go to
    them), and with ``learner_options`` (``{"num_gpus": 1}``) the learner on an actor of its
    own."""
    backend = arguments.choice(backend, "backend", tuple(BACKENDS))
    for name, value in [("address", address), ("ray_actor_options", ray_actor_options),
                        ("learner_options", learner_options)]:  # fmt: skip
        if value is not None and backend != "ray":
            raise ValueError(f"{name} is for training on Ray: it needs backend='ray'")
    training = Training(Path(out))
    run_folder.check_folder(training.out)
    # Read where the folder has no checkpoint yet, the only case it is used in.
    carried = None
    if start_from is not None and training.latest() < 0:
        carried = _carried(Path(start_from), config)
    selfplay = SelfPlayRuns(training, config, backend, address, ray_actor_options)
    learning = Learning(config, learner_options)
    # Connected first: a cluster that is not there is refused with nothing written.
    with selfplay.session():
        training.out.mkdir(parents=True, exist_ok=True)
        with run_folder.locked(training.out):
            _check_config(training, config)
            training.checkpoints.mkdir(exist_ok=True)
            training.remove_leftovers()
            selfplay.progress = progress
            loop = _Loop(training, config, Display(log, progress), selfplay, learning)
            try:
                return loop.run(start_from, carried)
            finally:
                selfplay.stop()


@dataclass
class _Loop:
    """A training in its locked folder, its backend connected."""

    training: Training
    config: TrainConfig
    display: Display
    selfplay: SelfPlayRuns
    learning: Learning

    def log(self, line: str) -> None:
        self.display.log(line)

    def run(self, start_from: str | Path | None, carried: _Carried | None = None) -> int:
        training, config = self.training, self.config
        done = training.latest()
        started_here = done < 0
        # Read first: a metrics file that is not a regular file is refused before any work.
        recorded = _last_recorded(training)
        if done < 0 and start_from is not None:
            carried = carried or _carried(Path(start_from), config)
            done = carried.iteration
            # The metrics are written before the checkpoint: a kill between redoes both.
            if carried.history is not None:
                write_atomic(training.metrics, carried.history)
                recorded = _last_recorded(training)
            carry(training, Path(start_from), done)
            checkpoints.save(training.checkpoint(done), carried.checkpoint)
            kept = "" if carried.history is None else ", its metrics carried"
            self.log(f"going on from {start_from} (iteration {done}{kept})")
        if done < 0:
            started = time.perf_counter()
            first = self.warm_start()
            first.meta["seconds"] = time.perf_counter() - started
            _save_learned(training.checkpoint(0), first)
            record = _evaluate(training, config, 0, first, {})
            if "evaluation" in record:
                self.display.evaluation(0, record["evaluation"])
            done = 0
        elif recorded < done:  # killed between a checkpoint and its metrics
            source = training.source(done) if done else None
            known = {} if source is None else {"selfplay_checkpoint": source,
                                               **self.selfplay.played(done)}  # fmt: skip
            _evaluate(training, config, done, self.checked(done), known)
        if warm_to_replay(training, config, done + 1):
            self.log(
                f"warm start: its games are not on this machine; playing the "
                f"{config.warm_start_games} again (the same games, from the same seed)"
            )
            self.selfplay.warm_start(config.warm_start_games)
        if config.heldout_games:  # a sitting gone on from elsewhere makes its own, the same
            self.selfplay.heldout(config.heldout_games)
        self.say_where(done, started_here)
        while done < config.iterations:
            done += 1
            self.iteration(done)
        return done

    def say_where(self, done: int, started_here: bool) -> None:
        """Says, on a rerun, what the training goes on with, or that it is finished."""
        total = self.config.iterations
        if done >= total:
            self.log(f"{self.training.out}: finished, {done} iterations of {total} (raise the "
                     "iterations to go on)")  # fmt: skip
        elif not started_here or done > 0:
            self.log(f"{self.training.out}: going on with iteration {done + 1} of {total} "
                     f"(checkpoint {done} is the latest)")  # fmt: skip

    def warm_start(self) -> Checkpoint:
        """Checkpoint 0: a new network, trained first on games among greedy agents if asked."""
        config, training = self.config, self.training
        learner = new_learner(config, None, 0)
        losses: dict[str, float] = {}
        if config.heldout_games:
            self.log(f"held out: {config.heldout_games} games among greedy agents")
            self.selfplay.heldout(config.heldout_games)
        if config.warm_start_games:
            self.log(f"warm start: {config.warm_start_games} games among greedy agents")
            self.selfplay.warm_start(config.warm_start_games)
            self.log(f"warm start: {config.warm_start_steps} learner steps")
            warm = batches(Window((training.warm_run,), "runs", 1), config, config.seed)
            report = self.display.learning("warm start", config.warm_start_steps)
            losses = learner.train(warm, config.warm_start_steps, report)
        if config.heldout_games:
            losses.update(heldout_losses(learner, training.heldout_run, config))
        meta = {"iteration": 0, "games": 0, "seconds": 0.0, "learning_rate": learner.learning_rate}
        return learner.checkpoint({**meta, **losses})

    def checked(self, iteration: int) -> Checkpoint:
        """The folder's checkpoint of ``iteration``, checked as one to go on from."""
        path = self.training.checkpoint(iteration)
        start = checkpoints.load(path)
        _check_start(path, start, self.config)
        return start

    def iteration(self, iteration: int) -> None:
        training, config, display = self.training, self.config, self.display
        start = self.checked(iteration - 1)
        began = time.perf_counter()
        display.stage(f"iteration {iteration}: {config.games} self-play games")
        source = self.selfplay.play(iteration)
        self.selfplay.start(iteration + 1)  # on Ray, the next games meanwhile
        played = time.perf_counter()
        found, _ = window(training, config, config.at(iteration), iteration)
        steps = learner_steps(config, found)
        report = display.learning(f"iteration {iteration}", steps)
        heldout = training.heldout_run if config.heldout_games else None
        result, losses = self.learning(
            training.checkpoint(iteration - 1), found, iteration, report, heldout
        )
        finished = time.perf_counter()
        result.meta = {
            "iteration": iteration,
            "games": int(start.meta.get("games", 0)) + config.games,
            "seconds": float(start.meta.get("seconds", 0.0)) + finished - began,
            "learning_rate": result.meta["learning_rate"],
            **losses,
        }
        _save_learned(training.checkpoint(iteration), result)
        timing = {
            "selfplay_seconds": played - began,
            "learner_seconds": finished - played,
            "learner_steps": steps,
            "selfplay_checkpoint": source,
            **self.selfplay.played(iteration),
        }
        record = _evaluate(training, config, iteration, result, timing)
        display.log(
            f"iteration {iteration} of {config.iterations}: loss {losses['loss']:.3f} "
            f"(policy {losses['policy_loss']:.3f}, value {losses['value_loss']:.3f}); "
            f"{config.games} games in {played - began:.0f} s, {steps} learner steps in "
            f"{finished - played:.0f} s; {result.meta['games']} games, "
            f"{result.meta['seconds'] / 3600:.2f} h in all"
        )
        if "evaluation" in record:
            display.evaluation(iteration, record["evaluation"])


def _evaluate(
    training: Training,
    config: TrainConfig,
    iteration: int,
    result: Checkpoint,
    timing: dict[str, Any],
) -> dict[str, Any]:
    """Appends ``iteration``'s record to the metrics, evaluating its checkpoint where the
    iteration is one to evaluate, and redraws the curve; the record."""
    record: dict[str, Any] = {
        "iteration": iteration,
        "step": result.step,
        "games": int(result.meta.get("games", 0)),
        "hours": float(result.meta.get("seconds", 0.0)) / 3600,
        **{k: v for k, v in result.meta.items() if k.endswith("loss")},
        **_settings(training, config, iteration, result),
        **timing,
    }
    if iteration % config.evaluate_every == 0:
        # The checkpoint evaluated before, where this folder still has it.
        before = iteration - config.evaluate_every
        record["evaluation"] = evaluate(
            training,
            iteration,
            config.evaluation_games,
            config.evaluation_simulations,
            config.seed + iteration,
            before if iteration > 0 and training.checkpoint(before).is_file() else None,
        )
    metrics.append(training.metrics, record)
    if "evaluation" in record or "heldout_loss" in record:
        draw_curve(training.metrics, training.out / "curve.png")
    return record


def _settings(
    training: Training, config: TrainConfig, iteration: int, result: Checkpoint
) -> dict[str, Any]:
    """What an iteration's record says of the settings it used: the learning rate its learner
    kept (as the checkpoint's meta notes it), its self-play's simulations (and its cheap
    searches', where its playouts are capped) and temperature, and its window."""
    settings = config.at(iteration)
    found: dict[str, Any] = {}
    if "learning_rate" in result.meta:  # checkpoints of earlier versions do not note it
        found["learning_rate"] = result.meta["learning_rate"]
    if iteration == 0:
        return found
    found.update(simulations=settings.simulations, temperature_plies=settings.temperature_plies,
                 window=settings.window)  # fmt: skip
    if settings.warm_start_share is not None:
        found["warm_start_share"] = settings.warm_start_share
    if config.full_search_share < 1:
        found["cheap_simulations"] = settings.cheap_simulations
    found.update(window(training, config, settings, iteration)[1])
    return found
