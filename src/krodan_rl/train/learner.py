"""The learner: one jit-compiled step (loss, gradients, optimizer update) on batches of a fixed
shape and the learning rate as its argument, so that nothing recompiles while a training runs,
from one iteration's rate to the next. Needs JAX and optax (the ``train`` extra).

The policy loss is the cross-entropy of the target distribution (a search's visits, or one-hot
on the action played) against the network's softmax over the legal actions only, averaged over
the rows that hold a target (``policy_weight`` 1): a row kept for its value only (a cheap
search's move, weight 0) teaches the value and not the policy, and the policy's loss keeps its
scale whatever share of the batch such rows make; the value loss
is the cross-entropy of the game's outcome against the value head: over the four agents' win
shares (a softmax) in "win_share" mode, or per agent against its outcome on the [0, 1] scale (a
sigmoid each) in "score" and "rank" modes. A network's optional heads add their losses
(``krodan_rl.train.auxiliary``), each times its weight, reported beside the others.

The weights decay as the training's ``weight_decay_mode`` says (``config.DECAY_MODES``): as
optax's adamw (by the learning rate times the decay), by the decay alone each step, or through
an L2 term in the loss. The three optimizers keep the same state (Adam's), so that a checkpoint
goes on under any of them. The losses reported are the policy's and the value's, without the L2
term, so that they read alike whichever decay trained them.

The optimizer's state a checkpoint carries is taken only where this learner's optimizer could
have kept it (``check_optimizer_leaves``): a leaf of another shape would be broadcast, one too
many would stop the training after its self-play, and a negative step count or second moment
would turn every weight into NaN.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable, Iterator
from typing import Any

import numpy as np

from krodan_rl.nn import backends
from krodan_rl.nn.checkpoint import Checkpoint
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import Params, forward_with_heads, init_params, param_shapes
from krodan_rl.train.auxiliary import auxiliary_losses, head_names, target_keys

__all__ = ["Learner", "batch_arrays", "check_optimizer_leaves"]

# Where a masked logit goes: far below any real one, yet finite in float32.
MASKED = -1e9
BATCH_KEYS = ("observation", "pieces", "done", "action_mask", "policy", "value")
# The fields of the optimizer's state that are never negative: Adam's step count and its second
# moments (the square root of a negative one is NaN).
NEVER_NEGATIVE = ("count", "nu")


def batch_arrays(batch: dict[str, Any], keys: tuple[str, ...] = BATCH_KEYS) -> dict[str, Any]:
    """What the step takes of a loader batch (``dense_policy``, ``legal_actions="mask"``,
    ``normalise_values``, and ``final_targets`` for a network with optional heads), with
    ``policy_weight`` where some row holds no policy target."""
    arrays = {key: batch[key] for key in keys}
    # Only there: a batch whose rows all hold a target is computed as it always was, to the
    # bit (another graph, even one equal in exact arithmetic, rounds otherwise).
    weight = batch.get("policy_weight")
    if weight is not None and not np.all(weight == 1):
        arrays["policy_weight"] = weight
    return arrays


# Each optional head's loss weight, by name (``auxiliary.HEAD_TARGETS``), as pairs: hashable.
Weights = tuple[tuple[str, float], ...]


def _losses(
    params: Params, config: NetworkConfig, batch: dict[str, Any], l2: float = 0.0,
    weights: Weights = (),
) -> Any:  # fmt: skip
    import jax
    import jax.numpy as jnp

    logits, value_logits, heads = forward_with_heads(jnp, backends.jax_conv, params, config, batch)
    masked = jnp.where(batch["action_mask"], logits, MASKED)
    log_policy = jax.nn.log_softmax(masked, axis=1)
    cross_entropy = jnp.sum(batch["policy"] * log_policy, axis=1)
    if "policy_weight" in batch:  # some rows are kept for the value only
        weight = batch["policy_weight"]
        policy_loss = -jnp.sum(weight * cross_entropy) / jnp.maximum(jnp.sum(weight), 1.0)
    else:
        policy_loss = -jnp.mean(cross_entropy)
    target = batch["value"]
    if config.value_mode == "win_share":
        value_loss = -jnp.mean(jnp.sum(target * jax.nn.log_softmax(value_logits, axis=1), axis=1))
    else:
        value_loss = jnp.mean(
            jnp.sum(jnp.logaddexp(0.0, value_logits) - target * value_logits, axis=1)
        )
    loss = policy_loss + value_loss
    extra = auxiliary_losses(heads, batch)
    if extra:
        loss = loss + sum(dict(weights).get(name, 0.0) * value for name, value in extra.items())
    parts = (policy_loss, value_loss, loss, *extra.values())
    if l2:  # the term trains the weights but is left out of the losses reported
        squares = sum(jnp.sum(jnp.square(value)) for value in params.values())
        return loss + 0.5 * l2 * squares, parts
    return loss, parts


def _optimizer(learning_rate: Any, weight_decay: float, decay_mode: str = "adamw") -> Any:
    import optax

    if decay_mode == "adamw":
        return optax.adamw(learning_rate, weight_decay=weight_decay)
    if decay_mode == "decoupled":  # the weights shrink by weight_decay a step, whatever the rate
        return optax.chain(
            optax.scale_by_adam(),
            optax.scale_by_learning_rate(learning_rate),
            optax.add_decayed_weights(-weight_decay),
        )
    return optax.adam(learning_rate)  # "l2": the decay is in the loss


def check_optimizer_leaves(
    network: NetworkConfig,
    learning_rate: float,
    weight_decay: float,
    leaves: list[Any],
    decay_mode: str = "adamw",
) -> None:
    """ValueError, naming the leaf as a checkpoint stores it (``opt/K``), unless ``leaves`` (none
    at all: a fresh state) could be the state this learner's optimizer keeps for ``network``:
    as many leaves, each of its shape and kind of dtype, its counts within their integer type,
    and no count or second moment negative. Costs no computation: the state's shapes only."""
    import jax

    # Untyped in JAX's stubs, and unknown where JAX is not installed: called as Any in both.
    struct: Any = jax.ShapeDtypeStruct
    shapes = {k: struct(s, np.float32) for k, s in param_shapes(network).items()}
    optimizer = _optimizer(learning_rate, weight_decay, decay_mode)
    _check_leaves(jax.eval_shape(optimizer.init, shapes), leaves)


def _check_leaves(kept: Any, leaves: list[Any]) -> None:
    """The check of ``check_optimizer_leaves`` against the state ``kept`` (arrays, or their
    shapes)."""
    import jax

    if not leaves:
        return
    expected = jax.tree_util.tree_flatten_with_path(kept)[0]
    if len(leaves) != len(expected):
        raise ValueError(f"{len(leaves)} optimizer leaves; the optimizer keeps {len(expected)}")
    for k, ((path, want), leaf) in enumerate(zip(expected, leaves, strict=True)):
        _check_leaf(f"opt/{k}", np.asarray(leaf), np.dtype(want.dtype), tuple(want.shape), path)


def _check_leaf(
    name: str, array: Any, dtype: np.dtype[Any], shape: tuple[int, ...], path: Any
) -> None:
    """One leaf against the one the optimizer keeps there (``dtype``, ``shape``, at ``path`` in
    its state)."""
    if array.shape != shape or array.dtype.kind != dtype.kind:
        raise ValueError(
            f"{name} has shape {array.shape} and dtype {array.dtype}; the optimizer keeps "
            f"{dtype} {shape}"
        )
    if dtype.kind in "iu":  # numbers beyond the dtype would wrap round when converted
        outside = array[(array < np.iinfo(dtype).min) | (array > np.iinfo(dtype).max)]
        if outside.size:
            raise ValueError(f"{name} holds {outside[0]}, beyond the {dtype} the optimizer keeps")
    field = next((p.name for p in path if getattr(p, "name", None) in NEVER_NEGATIVE), None)
    if field is not None and array.size and array.min() < 0:
        raise ValueError(f"{name} holds {array.min()}; the optimizer's {field} is never negative")


def _loss_names(network: NetworkConfig) -> tuple[str, ...]:
    """The losses a learner of ``network`` reports, in the order of ``_reported``."""
    return ("loss", "policy_loss", "value_loss", *(f"{h}_loss" for h in head_names(network)))


def _named(mean: Any, names: tuple[str, ...]) -> dict[str, float]:
    return {name: float(value) for name, value in zip(names, mean, strict=True)}


def _reported(parts: Any) -> list[float]:
    """The losses reported of a step's parts: (policy, value, the loss trained, the optional
    heads')."""
    return [float(parts[2]), float(parts[0]), float(parts[1]), *map(float, parts[3:])]


@functools.lru_cache(maxsize=8)
def _compiled(
    network: NetworkConfig, weight_decay: float, decay_mode: str, weights: Weights = ()
) -> tuple[Any, Any]:
    """The jit-compiled step and evaluation of a network under a decay, shared by every learner
    of a training: the learning rate is the step's argument, not a constant compiled into it,
    so that an iteration at a new rate (or a new learner at the same one) compiles nothing."""
    import jax
    import optax

    l2 = weight_decay if decay_mode == "l2" else 0.0

    def train_step(params: Params, opt_state: Any, batch: dict[str, Any], rate: Any) -> Any:
        # The optimizer at this rate keeps the state of any other (Adam's, the rate is no leaf).
        optimizer = _optimizer(rate, weight_decay, decay_mode)
        gradient = jax.value_and_grad(_losses, has_aux=True)
        (_, parts), grads = gradient(params, network, batch, l2, weights)
        updates, opt_state = optimizer.update(grads, opt_state, params)
        return optax.apply_updates(params, updates), opt_state, parts

    def evaluate(params: Params, batch: dict[str, Any]) -> Any:
        return _losses(params, network, batch, 0.0, weights)

    return jax.jit(train_step), jax.jit(evaluate)


class Learner:
    """The parameters and optimizer state of a training, from ``checkpoint`` or new;
    ``head_weights`` weigh the losses of the network's optional heads (none: 0)."""

    def __init__(
        self,
        network: NetworkConfig,
        learning_rate: float,
        weight_decay: float,
        seed: int,
        checkpoint: Checkpoint | None = None,
        decay_mode: str = "adamw",
        head_weights: Weights = (),
    ) -> None:
        import jax

        self.config = network
        self.learning_rate = learning_rate
        self.optimizer = _optimizer(learning_rate, weight_decay, decay_mode)
        params = checkpoint.params if checkpoint is not None else init_params(network, seed)
        self.params = jax.device_put({k: np.asarray(v, np.float32) for k, v in params.items()})
        self.opt_state = self.optimizer.init(self.params)
        self.step = 0
        if checkpoint is not None:
            self.step = checkpoint.step
            if checkpoint.opt_leaves:
                _check_leaves(self.opt_state, checkpoint.opt_leaves)
                structure = jax.tree_util.tree_structure(self.opt_state)
                self.opt_state = jax.tree_util.tree_unflatten(
                    structure, [jax.numpy.asarray(leaf) for leaf in checkpoint.opt_leaves]
                )
        self._train_step, self._evaluate = _compiled(
            network, weight_decay, decay_mode, head_weights
        )
        self._keys = BATCH_KEYS + target_keys(network)
        self._names = _loss_names(network)
        # Multiplied in float32, as a rate compiled in as a constant would be: the same bits.
        self._rate = np.float32(learning_rate)

    def train(
        self,
        batches: Iterator[dict[str, Any]],
        steps: int,
        report: Callable[[int, dict[str, float]], None] | None = None,
    ) -> dict[str, float]:
        """``steps`` updates on the batches given; the mean losses. ``report(done, losses)`` is
        called after every step with the mean losses so far."""
        totals = np.zeros(len(self._names))
        for done in range(1, steps + 1):
            arrays = batch_arrays(next(batches), self._keys)
            self.params, self.opt_state, parts = self._train_step(
                self.params, self.opt_state, arrays, self._rate
            )
            totals += _reported(parts)
            self.step += 1
            if report is not None:
                report(done, _named(totals / done, self._names))
        return _named(totals / max(steps, 1), self._names)

    def losses(self, batch: dict[str, Any]) -> dict[str, float]:
        """The losses on one batch, without training."""
        _, parts = self._evaluate(self.params, batch_arrays(batch, self._keys))
        return _named(_reported(parts), self._names)

    def mean_losses(self, batches: Iterable[dict[str, Any]]) -> dict[str, float]:
        """The losses over every row of ``batches``, without training (each batch weighed by
        its rows)."""
        totals, rows = np.zeros(len(self._names)), 0
        for batch in batches:
            _, parts = self._evaluate(self.params, batch_arrays(batch, self._keys))
            count = len(batch["value"])
            totals += np.asarray(_reported(parts)) * count
            rows += count
        return _named(totals / max(rows, 1), self._names)

    def checkpoint(self, meta: dict[str, Any]) -> Checkpoint:
        import jax

        params = {k: np.asarray(v) for k, v in self.params.items()}
        leaves = [np.asarray(leaf) for leaf in jax.tree_util.tree_leaves(self.opt_state)]
        return Checkpoint(params, self.config, self.step, leaves, meta)
