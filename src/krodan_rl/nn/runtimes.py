"""The CPU inference runtime for the network's graph (``graph``): ONNX Runtime, where it is
installed (the ``infer`` extra). A session is opened on the serialised graph in memory, on a
number of threads, and runs on the views and legal anchors of a batch of leaves:
``session(inputs) -> (legal_logits, value_logits)``.

Why this runtime (BENCHMARKS.md has the figures): it runs the baseline's tower at a few times
JAX's rate on the CPU, in float32, from a graph built in memory in milliseconds; OpenVINO,
measured beside it, starts a process to send telemetry when it is imported, which neither a
worker pool nor a user should meet; the reduced precisions measured gained too little on
processors without bfloat16 or INT8 dot-product instructions for the priors they change.
"""

from __future__ import annotations

from collections.abc import Callable
from importlib.util import find_spec
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl.nn.graph import INPUTS
from krodan_rl.nn.graph import OUTPUTS as OUTPUT_ORDER

__all__ = ["RUNTIMES", "installed", "open_session"]

Array = npt.NDArray[Any]
Session = Callable[[dict[str, Array]], tuple[Array, Array]]

#: The runtimes an evaluator may run on, by name.
RUNTIMES = ("onnxruntime",)


def installed(runtime: str = "onnxruntime") -> bool:
    """Whether ``runtime`` and the graph builder (``onnx``) can be imported here."""
    try:
        return find_spec(runtime) is not None and find_spec("onnx") is not None
    except (ImportError, ValueError):
        return False


def open_session(graph: bytes, threads: int) -> Session:
    """An ONNX Runtime session on the serialised ``graph``, on ``threads`` threads."""
    import onnxruntime

    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    # Between two evaluations the search and the engine run: threads that spin waiting for
    # the next one would take their cores.
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    session = onnxruntime.InferenceSession(graph, options, providers=["CPUExecutionProvider"])

    def run(inputs: dict[str, Array]) -> tuple[Array, Array]:
        legal, values = session.run(list(OUTPUT_ORDER), {k: inputs[k] for k in INPUTS})
        return np.asarray(legal), np.asarray(values)

    return run
