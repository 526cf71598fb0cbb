"""The shipped model's evaluations per second on every path this machine has, side by side, at
batch 1, 16, 64 and 256: JAX as it ran before (every one of the 36,400 logits of a row, then
the legal ones picked), the evaluator's JAX, numpy and runtime paths (logits at the legal
actions only), and reduced precisions (JAX in bfloat16; INT8 graphs quantised with ONNX
Runtime's static quantiser, run by both runtimes; OpenVINO's bfloat16 hint, where the
processor has it). Each path's largest difference from numpy's float32 priors and values is
reported beside its speed, and the machine's peak: its cores x clock x 32 float32 operations a
cycle (two 256-bit FMA units) and what a large numpy matrix product reaches.

    python benchmarks/runtimes.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import os
import platform
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
from network import evaluations_per_second, positions
from rounds import interleaved_medians, parse_arguments

from krodan_rl import models
from krodan_rl.facts import cores
from krodan_rl.nn import backends, checkpoint, runtimes
from krodan_rl.nn.evaluator import NetworkEvaluator, legal_softmax, softmax_rows
from krodan_rl.nn.forward import forward, legal_anchors, legal_logits, tower, value_of
from krodan_rl.nn.graph import network_graph

BATCHES = (1, 16, 64, 256)
#: Multiply-adds of the baseline's tower per evaluation, counted: a 3 x 3 stem over 12 planes
#: and six 3 x 3 convolutions of 32 channels, at 400 cells.
FLOP_PER_EVALUATION = 2 * 400 * 9 * 32 * (12 + 6 * 32)

Evaluate = Callable[[dict[str, Any]], tuple[Any, Any]]


def jax_every_logit(params: dict[str, Any], config: Any) -> Evaluate:
    """The evaluator as it was: the whole forward pass jit-compiled, every logit brought back,
    the legal ones picked in numpy."""
    import jax

    run = jax.jit(
        lambda p, o, pc, d: forward(
            jax.numpy, backends.jax_conv, p, config, {"observation": o, "pieces": pc, "done": d}
        )
    )

    def evaluate(leaves: dict[str, Any]) -> tuple[Any, Any]:
        logits, value_logits = run(params, leaves["observation"], leaves["pieces"], leaves["done"])
        priors = legal_softmax(np.asarray(logits), leaves["legal_actions"], leaves["legal_offsets"])
        return priors, value_of(np, np.asarray(value_logits), config)

    return evaluate


def jax_bfloat16(params: dict[str, Any], config: Any) -> Evaluate:
    """The tower in bfloat16 (parameters and activations), the legal head in float32."""
    import jax
    import jax.numpy as jnp

    half = {k: jnp.asarray(v, jnp.bfloat16) for k, v in params.items()}

    def conv(x: Any, w: Any) -> Any:
        return backends.jax_conv(x.astype(jnp.bfloat16), w)

    run = jax.jit(
        lambda p, o, pc, d: tower(jnp, conv, p, config, {"observation": o, "pieces": pc, "done": d})
    )

    def evaluate(leaves: dict[str, Any]) -> tuple[Any, Any]:
        features, value_logits = run(half, leaves["observation"], leaves["pieces"], leaves["done"])
        anchors, orientations = legal_anchors(leaves["legal_actions"], leaves["legal_offsets"])
        logits = legal_logits(params, np.asarray(features, np.float32), anchors, orientations)
        priors = softmax_rows(logits, leaves["legal_offsets"])
        return priors, value_of(np, np.asarray(value_logits, np.float32), config)

    return evaluate


def int8_graph(params: dict[str, Any], config: Any) -> bytes:
    """The graph with its convolutions quantised to INT8 (QDQ, per channel), calibrated on
    positions of random games."""
    from onnxruntime.quantization import (
        CalibrationDataReader,
        QuantFormat,
        QuantType,
        quantize_static,
    )

    leaves = positions(256)

    class Calibration(CalibrationDataReader):
        def __init__(self) -> None:
            self.feeds = [
                graph_inputs({k: v for k, v in leaves.items()}, lo, lo + 32)
                for lo in range(0, 256, 32)
            ]

        def get_next(self) -> dict[str, Any] | None:
            return self.feeds.pop() if self.feeds else None

    with tempfile.TemporaryDirectory() as folder:
        source, target = Path(folder) / "f32.onnx", Path(folder) / "int8.onnx"
        source.write_bytes(network_graph(params, config))
        quantize_static(
            str(source),
            str(target),
            Calibration(),
            quant_format=QuantFormat.QDQ,
            activation_type=QuantType.QUInt8,
            weight_type=QuantType.QInt8,
            op_types_to_quantize=["Conv"],
            per_channel=True,
        )
        return target.read_bytes()


def graph_inputs(leaves: dict[str, Any], lo: int, hi: int) -> dict[str, Any]:
    offsets = leaves["legal_offsets"][lo : hi + 1]
    legal = leaves["legal_actions"][offsets[0] : offsets[-1]]
    anchors, orientations = legal_anchors(legal, offsets - offsets[0])
    feed = {k: np.ascontiguousarray(leaves[k][lo:hi]) for k in ("observation", "pieces", "done")}
    return feed | {"anchors": anchors, "orientations": orientations}


def session_evaluator(runtime: str, graph: bytes, config: Any, hint: str = "f32") -> Evaluate:
    if runtime == "openvino":
        import io

        import openvino
        from openvino.frontend import FrontEndManager

        reader = FrontEndManager().load_by_framework("onnx")
        compiled = openvino.Core().compile_model(
            reader.convert(reader.load(io.BytesIO(graph))), "CPU",
            {"INFERENCE_NUM_THREADS": cores(), "INFERENCE_PRECISION_HINT": hint,
             "PERFORMANCE_HINT": "LATENCY"})  # fmt: skip
        request = compiled.create_infer_request()

        def session(feed: dict[str, Any]) -> tuple[Any, Any]:
            found = request.infer(feed)
            return np.array(found[compiled.outputs[0]]), np.array(found[compiled.outputs[1]])
    else:
        session = runtimes.open_session(graph, cores())

    def evaluate(leaves: dict[str, Any]) -> tuple[Any, Any]:
        logits, value_logits = session(graph_inputs(leaves, 0, len(leaves["observation"])))
        priors = softmax_rows(logits, leaves["legal_offsets"])
        return priors, value_of(np, value_logits, config)

    return evaluate


def paths(params: dict[str, Any], config: Any) -> dict[str, Evaluate]:
    found: dict[str, Evaluate] = {"numpy FP32": NetworkEvaluator(params, config, "numpy")}
    if backends.has_jax():
        found["JAX FP32, every logit (before)"] = jax_every_logit(params, config)
        found["JAX FP32"] = NetworkEvaluator(params, config, "jax")
        found["JAX BF16"] = jax_bfloat16(params, config)
    quantised = int8_graph(params, config) if runtimes.installed("onnxruntime") else None
    if runtimes.installed("onnxruntime"):
        found["onnxruntime FP32"] = NetworkEvaluator(params, config, "onnxruntime")
        found["onnxruntime INT8"] = session_evaluator("onnxruntime", quantised, config)
    if runtimes.installed("openvino"):
        found["openvino FP32"] = session_evaluator(
            "openvino", network_graph(params, config), config
        )
        if quantised is not None:
            found["openvino INT8"] = session_evaluator("openvino", quantised, config)
        import openvino

        capabilities = openvino.Core().get_property("CPU", "OPTIMIZATION_CAPABILITIES")
        if "BF16" in capabilities:
            found["openvino BF16"] = session_evaluator(
                "openvino", network_graph(params, config), config, "bf16"
            )
    return found


def differences(
    evaluate: Evaluate, reference: Evaluate, leaves: dict[str, Any]
) -> dict[str, float]:
    priors, values = evaluate(leaves)
    want_priors, want_values = reference(leaves)
    return {
        "priors": float(np.abs(np.asarray(priors) - want_priors).max()),
        "values": float(np.abs(np.asarray(values) - want_values).max()),
    }


def peak() -> dict[str, float]:
    """The machine's float32 peak: in theory, and as a large matrix product reaches it."""
    mhz = max(
        float(line.split(":")[1])
        for line in Path("/proc/cpuinfo").read_text().splitlines()
        if line.startswith("cpu MHz")
    )
    a = np.random.default_rng(0).standard_normal((2048, 2048)).astype(np.float32)
    a @ a
    start, done = time.perf_counter(), 0
    while time.perf_counter() - start < 2:
        a @ a
        done += 1
    return {
        "theoretical GFLOP/s (cores x clock x 32)": round(cores() * mhz * 32 / 1000, 1),
        "numpy float32 matrix product GFLOP/s": round(
            done * 2 * 2048**3 / (time.perf_counter() - start) / 1e9, 1
        ),
    }


def main() -> None:
    args = parse_arguments(__doc__ or "", 2.0, "runtimes_results.json")
    found = checkpoint.load(models.path_of("baseline"))
    params, config = found.params, found.config
    leaves = {b: positions(b) for b in BATCHES}
    evaluators = paths(params, config)
    reference = evaluators["numpy FP32"]
    measures = {
        f"{name}, batch {b}": (lambda e=e, x=leaves[b]: evaluations_per_second(e, x, args.seconds))
        for name, e in evaluators.items()
        for b in BATCHES
    }
    medians = interleaved_medians(measures, args.rounds)
    table = {
        name: {
            **{f"batch {b}": round(medians[f"{name}, batch {b}"]) for b in BATCHES},
            "largest difference": differences(e, reference, leaves[64]),
        }
        for name, e in evaluators.items()
    }
    best = max(medians[f"{name}, batch 64"] for name in evaluators if "FP32" in name)
    report = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
        "evaluations/s": table,
        "peak": peak()
        | {"best FP32 at batch 64, GFLOP/s": round(best * FLOP_PER_EVALUATION / 1e9, 1)},
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
