"""The learner: one jit-compiled step (loss, gradients, optimizer update) on batches of a fixed
shape, so that nothing recompiles while a training runs. Needs JAX and optax (the ``train``
extra).

The policy loss is the cross-entropy of the target distribution (a search's visits, or one-hot
on the action played) against the network's softmax over the legal actions only; the value loss
is the cross-entropy of the game's outcome against the value head: over the four agents' win
shares (a softmax) in "win_share" mode, or per agent against its outcome on the [0, 1] scale (a
sigmoid each) in "score" and "rank" modes.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

from krodan_rl.nn import backends
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import Params, forward, init_params

__all__ = ["Learner", "batch_arrays"]

# Where a masked logit goes: far below any real one, yet finite in float32.
MASKED = -1e9
BATCH_KEYS = ("observation", "pieces", "done", "action_mask", "policy", "value")
# Steps between two reports of a long training's progress.
REPORT_STEPS = 100


def batch_arrays(batch: dict[str, Any]) -> dict[str, Any]:
    """What the step takes of a loader batch (``dense_policy``, ``legal_actions="mask"``,
    ``normalise_values``)."""
    return {key: batch[key] for key in BATCH_KEYS}


def _losses(params: Params, config: NetworkConfig, batch: dict[str, Any]) -> Any:
    import jax
    import jax.numpy as jnp

    logits, value_logits = forward(jnp, backends.jax_conv, params, config, batch)
    masked = jnp.where(batch["action_mask"], logits, MASKED)
    log_policy = jax.nn.log_softmax(masked, axis=1)
    policy_loss = -jnp.mean(jnp.sum(batch["policy"] * log_policy, axis=1))
    target = batch["value"]
    if config.value_mode == "win_share":
        value_loss = -jnp.mean(jnp.sum(target * jax.nn.log_softmax(value_logits, axis=1), axis=1))
    else:
        value_loss = jnp.mean(
            jnp.sum(jnp.logaddexp(0.0, value_logits) - target * value_logits, axis=1)
        )
    return policy_loss + value_loss, (policy_loss, value_loss)


def _named(mean: Any) -> dict[str, float]:
    return {"loss": float(mean[0]), "policy_loss": float(mean[1]), "value_loss": float(mean[2])}


class Learner:
    """The parameters and optimizer state of a training, from ``checkpoint`` or new."""

    def __init__(
        self,
        network: NetworkConfig,
        learning_rate: float,
        weight_decay: float,
        seed: int,
        checkpoint: Checkpoint | None = None,
    ) -> None:
        import jax
        import optax

        self.config = network
        self.optimizer = optax.adamw(learning_rate, weight_decay=weight_decay)
        params = checkpoint.params if checkpoint is not None else init_params(network, seed)
        self.params = jax.device_put({k: np.asarray(v, np.float32) for k, v in params.items()})
        self.opt_state = self.optimizer.init(self.params)
        self.step = 0
        if checkpoint is not None:
            self.step = checkpoint.step
            if checkpoint.opt_leaves:
                structure = jax.tree_util.tree_structure(self.opt_state)
                self.opt_state = jax.tree_util.tree_unflatten(
                    structure, [jax.numpy.asarray(leaf) for leaf in checkpoint.opt_leaves]
                )
        optimizer = self.optimizer

        def train_step(params: Params, opt_state: Any, batch: dict[str, Any]) -> Any:
            (loss, parts), grads = jax.value_and_grad(_losses, has_aux=True)(params, network, batch)
            updates, opt_state = optimizer.update(grads, opt_state, params)
            return optax.apply_updates(params, updates), opt_state, loss, parts

        def evaluate(params: Params, batch: dict[str, Any]) -> Any:
            return _losses(params, network, batch)

        self._train_step = jax.jit(train_step)
        self._evaluate = jax.jit(evaluate)

    def train(
        self,
        batches: Iterator[dict[str, Any]],
        steps: int,
        report: Callable[[int, dict[str, float]], None] | None = None,
    ) -> dict[str, float]:
        """``steps`` updates on the batches given; the mean losses. ``report(done, losses)`` is
        called every ``REPORT_STEPS`` steps with the mean losses so far."""
        totals = np.zeros(3)
        for done in range(1, steps + 1):
            arrays = batch_arrays(next(batches))
            self.params, self.opt_state, loss, parts = self._train_step(
                self.params, self.opt_state, arrays
            )
            totals += [float(loss), float(parts[0]), float(parts[1])]
            self.step += 1
            if report is not None and done % REPORT_STEPS == 0 and done < steps:
                report(done, _named(totals / done))
        return _named(totals / max(steps, 1))

    def losses(self, batch: dict[str, Any]) -> dict[str, float]:
        """The losses on one batch, without training."""
        loss, parts = self._evaluate(self.params, batch_arrays(batch))
        return {"loss": float(loss), "policy_loss": float(parts[0]), "value_loss": float(parts[1])}

    def checkpoint(self, meta: dict[str, Any]) -> Checkpoint:
        import jax

        params = {k: np.asarray(v) for k, v in self.params.items()}
        leaves = [np.asarray(leaf) for leaf in jax.tree_util.tree_leaves(self.opt_state)]
        return Checkpoint(params, self.config, self.step, leaves, meta)
