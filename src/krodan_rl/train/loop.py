"""The training loop, AlphaZero-style, in a folder it can resume from at any moment:

    OUT/config.json                 the configuration (a rerun must match it)
    OUT/checkpoints/iter-NNNNNN.npz the network after iteration N (0: before any self-play)
    OUT/selfplay/warm               the warm start's games among greedy agents, if any
    OUT/selfplay/iter-NNNNNN        iteration N's self-play run (its players name checkpoint N-1,
                                    as a path relative to OUT)
    OUT/metrics.jsonl               one line per iteration: losses, games, hours, evaluations
    OUT/curve.png                   the strength curve

Iteration k: self-play with checkpoint k - 1 (a guided search with root noise, moves drawn for
the first placements), written as a run of its own; then a fixed number of learner steps on
the last ``window`` runs, through ``krodan_rl.data``; then checkpoint k, written atomically
with the optimizer's state, the step and the time trained. Locally the loop is synchronous, so
that a run is reproducible: killed anywhere and run again, it redoes the iteration in flight
from checkpoint k - 1, reusing the self-play shards already committed, and ends with the same
parameters. With ``backend="ray"`` the self-play runs on Ray actors (``krodan_rl.selfplay``).
"""

from __future__ import annotations

import json
import re
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from krodan_rl import data, selfplay
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.search import GuidedPlayer
from krodan_rl.selfplay import run_folder
from krodan_rl.train.config import TrainConfig
from krodan_rl.train.evaluation import draw_curve, evaluate
from krodan_rl.train.learner import Learner

__all__ = ["Training", "train"]

CHECKPOINT = re.compile(r"iter-([0-9]{6,})\.npz")
Log = Callable[[str], None]


@dataclass(frozen=True)
class Training:
    """A training's folder and what it holds."""

    out: Path

    @property
    def checkpoints(self) -> Path:
        return self.out / "checkpoints"

    def checkpoint(self, iteration: int) -> Path:
        return self.checkpoints / f"iter-{iteration:06d}.npz"

    def run(self, iteration: int) -> Path:
        return self.out / "selfplay" / f"iter-{iteration:06d}"

    @property
    def warm_run(self) -> Path:
        return self.out / "selfplay" / "warm"

    def latest(self) -> int:
        """The last iteration with a checkpoint, -1 for none."""
        if not self.checkpoints.is_dir():
            return -1
        found = [
            int(m[1]) for p in self.checkpoints.iterdir() if (m := CHECKPOINT.fullmatch(p.name))
        ]
        return max(found, default=-1)


def _check_config(training: Training, config: TrainConfig) -> None:
    stored = training.out / "config.json"
    if stored.exists():
        found = TrainConfig.from_dict(json.loads(stored.read_text()))
        if found != config:
            different = [k for k, v in config.to_dict().items() if found.to_dict().get(k) != v]
            raise ValueError(
                f"{training.out} holds a training with another configuration "
                f"({', '.join(different)}): use the same options, or another folder"
            )
    else:
        config.write(stored)


def _batches(runs: list[Path], config: TrainConfig, seed: int) -> Iterator[dict[str, Any]]:
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


def _last_recorded(training: Training) -> int:
    path = training.out / "metrics.jsonl"
    if not path.exists():
        return -1
    lines = [line for line in path.read_text().splitlines() if line.strip()]
    try:
        return int(json.loads(lines[-1])["iteration"]) if lines else -1
    except (ValueError, KeyError):
        return -1


def _append_metrics(training: Training, record: dict[str, Any]) -> None:
    with (training.out / "metrics.jsonl").open("a") as file:
        file.write(json.dumps(record, sort_keys=True) + "\n")


def _reporter(log: Log, stage: str) -> Callable[[int, dict[str, float]], None]:
    def report(done: int, losses: dict[str, float]) -> None:
        log(f"{stage}: {done} learner steps, loss {losses['loss']:.3f}")

    return report


def _learner(config: TrainConfig, start: Checkpoint | None) -> Learner:
    return Learner(config.network, config.learning_rate, config.weight_decay, config.seed, start)


def _warm_start(training: Training, config: TrainConfig, log: Log, **backend: Any) -> Checkpoint:
    """Checkpoint 0: a new network, trained first on games among greedy agents if asked."""
    learner = _learner(config, None)
    losses: dict[str, float] = {}
    if config.warm_start_games:
        log(f"warm start: {config.warm_start_games} games among greedy agents")
        selfplay.generate(
            config.warm_start_games,
            ["greedy"] * 4,
            training.warm_run,
            seed=config.seed,
            games_at_once=config.games_at_once,
            **backend,
        )
        log(f"warm start: {config.warm_start_steps} learner steps")
        batches = _batches([training.warm_run], config, config.seed)
        losses = learner.train(batches, config.warm_start_steps, _reporter(log, "warm start"))
    return learner.checkpoint({"iteration": 0, "games": 0, "seconds": 0.0, **losses})


def _self_play(
    training: Training, config: TrainConfig, iteration: int, start: Checkpoint, **backend: Any
) -> None:
    # Named relative to the training's folder, so that a run resumed under another spelling of
    # its path (or moved) still matches the self-play run it left half done.
    path = training.checkpoint(iteration - 1).relative_to(training.out)
    player = GuidedPlayer(
        NetworkEvaluator(start.params, start.config),
        simulations=config.simulations,
        temperature=1.0,
        temperature_plies=config.temperature_plies,
        dirichlet_fraction=0.25,
        reward_mode=config.network.value_mode,
        seed=config.seed,
        name=f"guided:{path}:{config.simulations}",
    )
    selfplay.generate(config.games, [player] * 4, training.run(iteration),
                      games_per_shard=config.games_at_once, seed=config.seed + iteration,
                      games_at_once=config.games_at_once, **backend)  # fmt: skip


def train(
    config: TrainConfig,
    out: str | Path,
    log: Log = print,
    backend: str = "local",
    address: str | None = None,
    ray_actor_options: dict[str, Any] | None = None,
    start_from: str | Path | None = None,
) -> int:
    """Runs (or resumes) the training in ``out`` up to ``config.iterations``; returns the last
    iteration done. See the module's documentation for what each iteration does.

    ``start_from``: a checkpoint of this training written elsewhere (a training that spans
    several machines or sittings), taken as the folder's first checkpoint when it has none;
    the training goes on from its iteration, its replay window starting anew."""
    training = Training(Path(out))
    run_folder.check_folder(training.out)
    options: dict[str, Any] = {"workers": config.workers, "backend": backend}
    if address is not None:
        options["address"] = address
    if ray_actor_options is not None:
        options["ray_actor_options"] = ray_actor_options
    training.out.mkdir(parents=True, exist_ok=True)
    with run_folder.locked(training.out):
        _check_config(training, config)
        training.checkpoints.mkdir(exist_ok=True)
        done = training.latest()
        if done < 0 and start_from is not None:
            carried = checkpoints.load(start_from)
            if carried.config != config.network:
                raise ValueError(f"{start_from} holds another network than this training's")
            done = int(carried.meta.get("iteration", 0))
            checkpoints.save(training.checkpoint(done), carried)
            log(f"going on from {start_from} (iteration {done})")
        if done < 0:
            started = time.perf_counter()
            first = _warm_start(training, config, log, **options)
            first.meta["seconds"] = time.perf_counter() - started
            checkpoints.save(training.checkpoint(0), first)
            _evaluate(training, config, 0, first, {})
            done = 0
        elif _last_recorded(training) < done:  # killed between a checkpoint and its metrics
            _evaluate(training, config, done, checkpoints.load(training.checkpoint(done)), {})
        while done < config.iterations:
            done = _iteration(training, config, done + 1, log, options)
    return done


def _iteration(
    training: Training, config: TrainConfig, iteration: int, log: Log, options: dict[str, Any]
) -> int:
    start = checkpoints.load(training.checkpoint(iteration - 1))
    began = time.perf_counter()
    log(f"iteration {iteration}: {config.games} self-play games")
    _self_play(training, config, iteration, start, **options)
    played = time.perf_counter()
    learner = _learner(config, start)
    # The runs there are: a training resumed elsewhere from a copied checkpoint starts its
    # replay window anew.
    runs = [training.warm_run] if training.warm_run.is_dir() else []
    runs += [training.run(k) for k in range(1, iteration + 1) if training.run(k).is_dir()]
    batches = _batches(runs, config, config.seed + iteration)
    losses = learner.train(batches, config.steps, _reporter(log, f"iteration {iteration}"))
    finished = time.perf_counter()
    meta = {
        "iteration": iteration,
        "games": int(start.meta.get("games", 0)) + config.games,
        "seconds": float(start.meta.get("seconds", 0.0)) + finished - began,
        **losses,
    }
    result = learner.checkpoint(meta)
    checkpoints.save(training.checkpoint(iteration), result)
    timing = {"selfplay_seconds": played - began, "learner_seconds": finished - played}
    _evaluate(training, config, iteration, result, timing)
    log(
        f"iteration {iteration}: loss {losses['loss']:.3f} (policy {losses['policy_loss']:.3f}, "
        f"value {losses['value_loss']:.3f}), {meta['games']} games, "
        f"{meta['seconds'] / 3600:.2f} h"
    )
    return iteration


def _evaluate(
    training: Training,
    config: TrainConfig,
    iteration: int,
    result: Checkpoint,
    timing: dict[str, float],
) -> None:
    record: dict[str, Any] = {
        "iteration": iteration,
        "step": result.step,
        "games": int(result.meta.get("games", 0)),
        "hours": float(result.meta.get("seconds", 0.0)) / 3600,
        **{k: result.meta[k] for k in ("loss", "policy_loss", "value_loss") if k in result.meta},
        **timing,
    }
    if iteration % config.evaluate_every == 0:
        path = training.checkpoint(iteration)
        # The checkpoint evaluated before, where this folder still has it.
        before = training.checkpoint(iteration - config.evaluate_every)
        record["evaluation"] = evaluate(
            path,
            config.evaluation_games,
            config.evaluation_simulations,
            config.seed + iteration,
            before if iteration > 0 and before.is_file() else None,
        )
    _append_metrics(training, record)
    if "evaluation" in record:
        draw_curve(training.out / "metrics.jsonl", training.out / "curve.png")
