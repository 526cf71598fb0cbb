"""Training a network by self-play: ``train(PRESETS["laptop"], "runs/az")`` or ``python -m
krodan_rl train --out runs/az``. The parts: ``config`` (the one record of a training's
options, with presets), ``folder`` (where checkpoints and runs live), ``learner`` (the
jit-compiled step), ``learning`` (an iteration's learning, here or on a Ray actor),
``selfplay_runs`` (which checkpoint plays each iteration's games, and when), ``playout_cap``
(self-play's player when a share of its moves is searched cheaply), ``loop`` (the
iterations, resumable), ``metrics`` (its record of each iteration), ``evaluation`` (arena
ratings and the strength curve) and ``cli``. Needs the ``train`` extra (JAX, optax, matplotlib)."""

from __future__ import annotations

from krodan_rl.train.config import PRESETS, TrainConfig

__all__ = ["PRESETS", "TrainConfig", "train"]


def __getattr__(name: str) -> object:
    # The loop imports JAX through the learner: only when it is asked for.
    if name == "train":
        from krodan_rl.train.loop import train

        return train
    raise AttributeError(f"module 'krodan_rl.train' has no attribute {name!r}")
