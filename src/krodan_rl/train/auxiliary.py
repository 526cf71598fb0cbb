"""The losses of a network's optional heads (``NetworkConfig.score_head`` and
``ownership_head``) against the ends of the games the loader rebuilds
(``load(..., final_targets=True)``): denser targets than one outcome a game, which reach the
tower through every cell and every agent's score.

The score loss is, per agent, the cross-entropy of its final score on the [0, 1] scale against
the head's sigmoid, less the target's own entropy (so that a perfect head scores 0; the
gradients are the cross-entropy's), summed over the four agents as the value loss is. The
ownership loss is the cross-entropy of each cell's final owner against the head's softmax over
the five classes, averaged over the cells. Both are averaged over the batch. Written in JAX.
"""

from __future__ import annotations

from typing import Any

from krodan_rl.nn.config import NetworkConfig

__all__ = ["HEAD_TARGETS", "auxiliary_losses", "head_names", "target_keys"]

#: Each optional head, by the name of its logits (``forward.auxiliary_logits``), and the batch
#: key of its target; the order in which their losses are reported.
HEAD_TARGETS = {"score": "final_score", "ownership": "final_owner"}
# Keeps the logarithms of a target's entropy finite at 0 and 1.
TINY = 1e-7


def head_names(network: NetworkConfig) -> tuple[str, ...]:
    """The optional heads ``network`` has, in the order of ``HEAD_TARGETS``."""
    present = {"score": network.score_head, "ownership": network.ownership_head}
    return tuple(name for name in HEAD_TARGETS if present[name])


def target_keys(network: NetworkConfig) -> tuple[str, ...]:
    """The batch keys of the targets of ``network``'s optional heads."""
    return tuple(HEAD_TARGETS[name] for name in head_names(network))


def auxiliary_losses(heads: dict[str, Any], batch: dict[str, Any]) -> dict[str, Any]:
    """The loss of each head in ``heads`` (its logits, by name) against the batch's targets."""
    import jax
    import jax.numpy as jnp

    found: dict[str, Any] = {}
    if "score" in heads:
        logits, target = heads["score"], batch["final_score"]
        cross = jnp.logaddexp(0.0, logits) - target * logits
        clipped = jnp.clip(target, TINY, 1 - TINY)
        entropy = -(clipped * jnp.log(clipped) + (1 - clipped) * jnp.log1p(-clipped))
        found["score"] = jnp.mean(jnp.sum(cross - entropy, axis=1))
    if "ownership" in heads:
        log_probs = jax.nn.log_softmax(heads["ownership"], axis=-1)
        classes = jnp.asarray(batch["final_owner"], dtype=jnp.int32)[..., None]
        found["ownership"] = -jnp.mean(jnp.take_along_axis(log_probs, classes, axis=-1))
    return found
