"""The reference network as an ONNX graph, for the inference runtimes (``runtimes``): the lines
of ``forward.tower`` and ``forward.legal_logits`` in the graph's terms, built in memory from a
network's parameters, so that new parameters reach a runtime without a file.

The graph takes the views as the engine writes them (uint8 ``observation`` (B, 12, 20, 20),
``pieces`` (B, 4, 21), ``done`` (B, 4)) and the legal actions' ``anchors`` and
``orientations`` (int32, N, from ``forward.legal_anchors``); it gives ``legal_logits`` (N) and
``value_logits`` (B, 4). The board runs channels first, the layout the runtimes' convolutions
take best.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from krodan_rl.facts import NUM_AGENTS, NUM_PIECES, OBSERVATION_SHAPE
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.forward import Params

__all__ = ["INPUTS", "OPSET", "OUTPUTS", "network_graph"]

#: The graph's inputs and outputs, in order.
INPUTS = ("observation", "pieces", "done", "anchors", "orientations")
OUTPUTS = ("legal_logits", "value_logits")
#: The ONNX operator set the graph is written in: one both runtimes have long read.
OPSET = 17


class _Builder:
    """Nodes and constants of a graph in the making."""

    def __init__(self, params: Params) -> None:
        from onnx import helper, numpy_helper

        self.helper, self.numpy_helper = helper, numpy_helper
        self.params = {k: np.asarray(v, dtype=np.float32) for k, v in params.items()}
        self.nodes: list[Any] = []
        self.constants: list[Any] = []

    def const(self, name: str, value: Any) -> str:
        self.constants.append(self.numpy_helper.from_array(np.asarray(value), name))
        return name

    def node(self, op: str, inputs: list[str], output: str, **attributes: Any) -> str:
        self.nodes.append(self.helper.make_node(op, inputs, [output], **attributes))
        return output

    def conv(self, x: str, name: str, output: str) -> str:
        """A 'same' convolution by the kernel ``name/w`` (HWIO, as trained) and its bias."""
        kernel = self.params[f"{name}/w"]
        size = kernel.shape[0]
        oihw = np.ascontiguousarray(kernel.transpose(3, 2, 0, 1))
        inputs = [
            x,
            self.const(f"{name}/w", oihw),
            self.const(f"{name}/b", self.params[f"{name}/b"]),
        ]
        return self.node("Conv", inputs, output, kernel_shape=[size, size], pads=[size // 2] * 4)

    def dense(self, x: str, weights: str, bias: str, output: str) -> str:
        constants = [self.const(weights, self.params[weights]), self.const(bias, self.params[bias])]
        return self.node("Gemm", [x, *constants], output)


def network_graph(params: Params, config: NetworkConfig) -> bytes:
    """The serialised ONNX model of a network of ``config`` holding ``params``."""
    from onnx import TensorProto, checker, helper

    g = _Builder(params)
    _stem(g, config)
    x = "x0"
    for k in range(config.blocks):
        y = g.node("Relu", [g.conv(x, f"block{k}/conv1", f"b{k}/conv1")], f"b{k}/relu1")
        total = g.node("Add", [x, g.conv(y, f"block{k}/conv2", f"b{k}/conv2")], f"b{k}/sum")
        x = g.node("Relu", [total], f"x{k + 1}")
    _value_head(g, x)
    _legal_policy_head(g, x, config)
    planes = list(OBSERVATION_SHAPE)
    # Each tensor's element type and dimensions (a name for one the batch sets).
    shapes: dict[str, tuple[int, list[str | int]]] = {
        "observation": (TensorProto.UINT8, ["B", *planes]),
        "pieces": (TensorProto.UINT8, ["B", NUM_AGENTS, NUM_PIECES]),
        "done": (TensorProto.UINT8, ["B", NUM_AGENTS]),
        "anchors": (TensorProto.INT32, ["N"]),
        "orientations": (TensorProto.INT32, ["N"]),
        "legal_logits": (TensorProto.FLOAT, ["N"]),
        "value_logits": (TensorProto.FLOAT, ["B", NUM_AGENTS]),
    }
    graph = helper.make_graph(
        g.nodes,
        "network",
        [helper.make_tensor_value_info(k, *shapes[k]) for k in INPUTS],
        [helper.make_tensor_value_info(k, *shapes[k]) for k in OUTPUTS],
        g.constants,
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8  # the newest both runtimes' oldest supported releases read
    checker.check_model(model)
    return bytes(model.SerializeToString())


def _stem(g: _Builder, config: NetworkConfig) -> None:
    """The first convolution over the planes, plus the pieces in hand and the done flags (the
    extras) through one dense layer, broadcast over the board."""
    from onnx import TensorProto

    planes = g.node("Cast", ["observation"], "planes", to=TensorProto.FLOAT)
    flat = g.const("flat_rows", np.array([0, -1], np.int64))  # 0: the batch dimension kept
    pieces = g.node("Reshape", ["pieces", flat], "pieces_flat")
    done = g.node("Reshape", ["done", flat], "done_flat")
    extras = g.node("Concat", [pieces, done], "extras_u8", axis=1)
    extras = g.node("Cast", [extras], "extras", to=TensorProto.FLOAT)
    added = g.node("MatMul", [extras, g.const("extras/w", g.params["extras/w"])], "extras_c")
    added = g.node(
        "Reshape",
        [added, g.const("per_channel", np.array([0, config.width, 1, 1], np.int64))],
        "extras_4d",
    )
    stem = g.node("Add", [g.conv(planes, "stem", "stem"), added], "stem_sum")
    g.node("Relu", [stem], "x0")


def _value_head(g: _Builder, x: str) -> None:
    pooled = g.node("ReduceMean", [x], "pooled", axes=[2, 3], keepdims=0)
    hidden = g.node("Relu", [g.dense(pooled, "value/w1", "value/b1", "value_h")], "value_relu")
    g.dense(hidden, "value/w2", "value/b2", "value_logits")


def _legal_policy_head(g: _Builder, x: str, config: NetworkConfig) -> None:
    """The 1 x 1 policy convolution read only at the legal actions: each one's cell of the
    features (channels last, flattened to (B * 400, C)) times its orientation's column."""
    cells = g.node("Transpose", [x], "channels_last", perm=[0, 2, 3, 1])
    per_cell = g.const("per_cell", np.array([-1, config.width], np.int64))
    cells = g.node("Reshape", [cells, per_cell], "cells")
    features = g.node("Gather", [cells, "anchors"], "legal_features", axis=0)
    by_orientation = np.ascontiguousarray(g.params["policy/w"][0, 0].T)  # (91, C)
    columns = g.node(
        "Gather", [g.const("policy/w", by_orientation), "orientations"], "legal_columns", axis=0
    )
    products = g.node("Mul", [features, columns], "legal_products")
    sums = g.node(
        "ReduceSum",
        [products, g.const("channels", np.array([1], np.int64))],
        "legal_sums",
        keepdims=0,
    )
    bias = g.node(
        "Gather", [g.const("policy/b", g.params["policy/b"]), "orientations"], "legal_bias", axis=0
    )
    g.node("Add", [sums, bias], "legal_logits")
