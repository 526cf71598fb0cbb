"""A network's parameters as the evaluator a search takes: ``evaluator(leaves) -> (priors,
values)`` with priors over each leaf's legal actions (flat, in the layout of the CSR lists) and
values (B, 4) on the searches' [0, 1] scale, the leaf's mover first.

With JAX the forward pass is jit-compiled once per batch size of a few fixed ones (leaves are
padded up to the next), so that nothing recompiles while a run goes; without JAX, numpy runs
the same lines. Evaluators pickle (their parameters, not their compiled functions), so that
they travel to worker processes and Ray actors.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl._internal import arguments
from krodan_rl.nn import backends
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import Params, forward, value_of

__all__ = ["BACKENDS", "BATCH_SIZES", "NetworkEvaluator", "legal_softmax"]

Array = npt.NDArray[Any]
BACKENDS = ("auto", "numpy", "jax")
#: The batch sizes the JAX forward pass is compiled for; larger batches go in pieces.
BATCH_SIZES = (1, 4, 16, 32, 64, 128, 256)


def legal_softmax(logits: Array, legal: Array, offsets: Array) -> Array:
    """Each row's softmax over its legal actions only, flat in the CSR layout of ``legal`` and
    ``offsets`` (float32)."""
    lengths = np.diff(offsets)
    rows = np.repeat(np.arange(len(lengths)), lengths)
    chosen = logits[rows, legal].astype(np.float64)
    listed = lengths > 0  # a row without legal actions (a done mover) has no entries
    starts = offsets[:-1][listed]
    top, totals = np.zeros(len(lengths)), np.ones(len(lengths))
    if chosen.size:
        top[listed] = np.maximum.reduceat(chosen, starts)
    weights = np.exp(chosen - top[rows])
    if chosen.size:
        totals[listed] = np.add.reduceat(weights, starts)
    probs: Array = (weights / totals[rows]).astype(np.float32)
    return probs


class NetworkEvaluator:
    """The evaluator of a network: ``params`` and ``config``, on ``backend`` ("auto": JAX where
    it is installed, else numpy)."""

    def __init__(self, params: Params, config: NetworkConfig, backend: str = "auto") -> None:
        self.config = config
        self.backend = arguments.choice(backend, "backend", BACKENDS)
        self.params = {name: np.asarray(value, dtype=np.float32) for name, value in params.items()}
        self._jitted: Any = None
        self._device_params: Any = None

    @property
    def uses_jax(self) -> bool:
        return self.backend == "jax" or (self.backend == "auto" and backends.has_jax())

    def logits(self, inputs: dict[str, Array]) -> tuple[Array, Array]:
        """Policy logits (B, 36400) and value logits (B, 4), as numpy arrays."""
        if not self.uses_jax:
            return forward(np, backends.numpy_conv, self.params, self.config, inputs)
        count = len(inputs["observation"])
        largest = BATCH_SIZES[-1]
        parts = [
            self._jax_logits(inputs, lo, min(count, lo + largest))
            for lo in range(0, count, largest)
        ]
        return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])

    def _jax_logits(self, inputs: dict[str, Array], lo: int, hi: int) -> tuple[Array, Array]:
        if self._jitted is None:
            import jax

            config = self.config

            def run(params: Params, observation: Any, pieces: Any, done: Any) -> Any:
                inputs = {"observation": observation, "pieces": pieces, "done": done}
                return forward(jax.numpy, backends.jax_conv, params, config, inputs)

            self._jitted = jax.jit(run)
            self._device_params = jax.device_put(self.params)
        n = hi - lo
        size = next(s for s in BATCH_SIZES if s >= n)
        padded = [
            np.concatenate(
                [inputs[k][lo:hi], np.zeros((size - n, *inputs[k].shape[1:]), inputs[k].dtype)]
            )
            for k in ("observation", "pieces", "done")
        ]
        logits, values = self._jitted(self._device_params, *padded)
        return np.asarray(logits)[:n], np.asarray(values)[:n]

    def __call__(self, leaves: dict[str, Array]) -> tuple[Array, Array]:
        """Priors over the leaves' legal actions (flat over the CSR lists) and values (B, 4)."""
        logits, value_logits = self.logits(leaves)
        priors = legal_softmax(logits, leaves["legal_actions"], leaves["legal_offsets"])
        values = value_of(np, value_logits, self.config).astype(np.float32)
        return priors, values

    def __getstate__(self) -> dict[str, Any]:
        return {"config": self.config, "backend": self.backend, "params": self.params}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(state["params"], state["config"], state["backend"])  # type: ignore[misc]

    def __repr__(self) -> str:
        return f"NetworkEvaluator(width={self.config.width}, blocks={self.config.blocks})"
