"""A network's parameters as the evaluator a search takes: ``evaluator(leaves) -> (priors,
values)`` with priors over each leaf's legal actions (flat, in the layout of the CSR lists) and
values (B, 4) on the searches' [0, 1] scale, the leaf's mover first.

The policy head is read only at the legal actions (a few hundred of the 36,400 logits a row),
and their softmax is native. The tower runs on one of four backends: an inference runtime
(OpenVINO or ONNX Runtime, the ``infer`` extra), fastest where installed; JAX (the ``train``
extra), jit-compiled once per batch size of a few fixed ones (leaves are padded up to the
next), so that nothing recompiles while a run goes; or numpy, always there, the same lines as
JAX. A network's optional heads are read only when asked (``auxiliary``): a search's
evaluations never compute them. Evaluators pickle (their parameters, not their compiled
functions or sessions), so that they travel to worker processes and Ray actors.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native
from krodan_rl._internal import arguments
from krodan_rl.facts import MAX_THREADS, cores
from krodan_rl.nn import backends, runtimes
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import (
    Params,
    auxiliary_logits,
    legal_anchors,
    legal_logits,
    policy_logits,
    tower,
    value_of,
)

__all__ = ["BACKENDS", "BATCH_SIZES", "NetworkEvaluator", "chosen_backend", "legal_softmax"]

Array = npt.NDArray[Any]
BACKENDS = ("auto", "numpy", "jax", *runtimes.RUNTIMES)
#: The batch sizes the JAX forward pass is compiled for; larger batches go in pieces.
BATCH_SIZES = (1, 4, 16, 32, 64, 128, 256)


def chosen_backend(backend: str = "auto") -> str:
    """The backend "auto" stands for here: ONNX Runtime where it is installed, else JAX where
    it is installed, else numpy; any other name is itself."""
    if backend != "auto":
        return backend
    found = [r for r in runtimes.RUNTIMES if runtimes.installed(r)]
    return found[0] if found else "jax" if backends.has_jax() else "numpy"


def softmax_rows(logits: Array, offsets: Array) -> Array:
    """Each row's softmax, flat in the CSR layout of ``offsets`` (float32, computed natively)."""
    logits = np.ascontiguousarray(logits, dtype=np.float32)
    priors = np.empty_like(logits)
    _native.legal_softmax(logits, np.ascontiguousarray(offsets, dtype=np.int32), priors)
    return priors


def legal_softmax(logits: Array, legal: Array, offsets: Array) -> Array:
    """Each row of full logits (B, 36400) as its softmax over its legal actions only, flat in
    the CSR layout of ``legal`` and ``offsets`` (float32)."""
    rows = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    return softmax_rows(logits[rows, legal], offsets)


class NetworkEvaluator:
    """The evaluator of a network: ``params`` and ``config``, on ``backend`` ("auto": see
    ``chosen_backend``), a runtime's on ``threads`` threads (default: the cores this process
    may use)."""

    def __init__(
        self,
        params: Params,
        config: NetworkConfig,
        backend: str = "auto",
        threads: int | None = None,
    ) -> None:
        self.config = config
        self.backend = arguments.choice(backend, "backend", BACKENDS)
        self.threads = cores() if threads is None else threads
        arguments.integer(self.threads, "threads", minimum=1, maximum=MAX_THREADS)
        self.params = {name: np.asarray(value, dtype=np.float32) for name, value in params.items()}
        self._runs_on = chosen_backend(self.backend)
        if self._runs_on in runtimes.RUNTIMES and not runtimes.installed(self._runs_on):
            raise ValueError(
                f"backend {self._runs_on!r} is not installed (pip install 'krodan_rl[infer]')"
            )
        self._jitted: Any = None
        self._device_params: Any = None
        self._session: Any = None

    @property
    def runs_on(self) -> str:
        """The backend the evaluations run on: "numpy", "jax" or a runtime's name."""
        return self._runs_on

    @property
    def uses_jax(self) -> bool:
        return self._runs_on == "jax"

    def logits(self, inputs: dict[str, Array]) -> tuple[Array, Array]:
        """Policy logits (B, 36400) and value logits (B, 4), as numpy arrays: every action's
        logit, by the tower on JAX where this evaluator uses it, else on numpy."""
        features, value_logits = self._tower(inputs)
        head = backends.numpy_conv(features, self.params["policy/w"]) + self.params["policy/b"]
        return policy_logits(np, head), value_logits

    def __call__(self, leaves: dict[str, Array]) -> tuple[Array, Array]:
        """Priors over the leaves' legal actions (flat over the CSR lists) and values (B, 4)."""
        offsets = np.ascontiguousarray(leaves["legal_offsets"], dtype=np.int32)
        anchors, orientations = legal_anchors(leaves["legal_actions"], offsets)
        if self._runs_on in runtimes.RUNTIMES:
            inputs = {k: np.ascontiguousarray(leaves[k]) for k in ("observation", "pieces", "done")}
            inputs["anchors"], inputs["orientations"] = anchors, orientations
            logits, value_logits = self._runtime()(inputs)
        else:
            features, value_logits = self._tower(leaves)
            logits = legal_logits(self.params, features, anchors, orientations)
        priors = softmax_rows(logits, offsets)
        return priors, value_of(np, value_logits, self.config).astype(np.float32)

    def auxiliary(self, inputs: dict[str, Array]) -> dict[str, Array]:
        """The optional heads' predictions for the views ``inputs`` (those of the network's
        heads; none without them): ``score`` (B, 4), every agent's final score on the [0, 1]
        scale, and ``ownership`` (B, 20, 20, 5), each cell's owner class probabilities (0
        empty, 1 + k relative agent k), both in the mover's relative order and frame."""
        if not self.config.has_heads:
            return {}
        features, _ = self._tower(inputs)
        logits = auxiliary_logits(np, backends.numpy_conv, self.params, self.config, features)
        found: dict[str, Array] = {}
        if "score" in logits:
            found["score"] = (1 / (1 + np.exp(-logits["score"]))).astype(np.float32)
        if "ownership" in logits:
            shifted = logits["ownership"] - logits["ownership"].max(axis=-1, keepdims=True)
            weights = np.exp(shifted)
            found["ownership"] = (weights / weights.sum(axis=-1, keepdims=True)).astype(np.float32)
        return found

    def _runtime(self) -> Any:
        if self._session is None:
            from krodan_rl.nn.graph import network_graph

            graph = network_graph(self.params, self.config)
            self._session = runtimes.open_session(graph, self.threads)
        return self._session

    def _tower(self, inputs: dict[str, Array]) -> tuple[Array, Array]:
        """The tower's features (B, 20, 20, C) and value logits, on JAX or numpy."""
        if self._runs_on != "jax":
            return tower(np, backends.numpy_conv, self.params, self.config, inputs)
        count = len(inputs["observation"])
        largest = BATCH_SIZES[-1]
        parts = [
            self._jax_tower(inputs, lo, min(count, lo + largest)) for lo in range(0, count, largest)
        ]
        return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])

    def _jax_tower(self, inputs: dict[str, Array], lo: int, hi: int) -> tuple[Array, Array]:
        if self._jitted is None:
            import jax

            config = self.config

            def run(params: Params, observation: Any, pieces: Any, done: Any) -> Any:
                inputs = {"observation": observation, "pieces": pieces, "done": done}
                return tower(jax.numpy, backends.jax_conv, params, config, inputs)

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
        features, values = self._jitted(self._device_params, *padded)
        return np.asarray(features)[:n], np.asarray(values)[:n]

    def __getstate__(self) -> dict[str, Any]:
        return {
            "config": self.config,
            "backend": self.backend,
            "threads": self.threads,
            "params": self.params,
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(  # type: ignore[misc]
            state["params"], state["config"], state["backend"], state.get("threads")
        )

    def __repr__(self) -> str:
        return (
            f"NetworkEvaluator(width={self.config.width}, blocks={self.config.blocks}, "
            f"on={self._runs_on})"
        )
