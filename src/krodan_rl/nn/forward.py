"""The reference network as array code, written once for numpy and JAX alike: every function
takes the array module (``numpy`` or ``jax.numpy``) and a convolution, so that the numpy
forward pass that plays without JAX and the JAX one that trains are the same lines.

Inputs are the observation's arrays in the mover's frame: ``observation`` (B, 12, 20, 20),
``pieces`` (B, 4, 21) and ``done`` (B, 4). The tower runs channels last (B, 20, 20, C). The
policy head is a 1 x 1 convolution to 91 channels, read in the action index order itself:
``logits[b, o * 400 + r * 20 + c]`` is channel o at row r, column c. The value head pools the
board and gives four numbers in the observation's relative order (the mover first). The
optional heads (``auxiliary_logits``) read the same features: the score head pools them as the
value head does, the ownership head is a 1 x 1 convolution to a class per cell.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from krodan_rl.facts import (
    BOARD_CELLS,
    EXTRAS,
    NUM_AGENTS,
    NUM_ORIENTATIONS,
    OWNER_CLASSES,
    PLANES,
)
from krodan_rl.nn.config import NetworkConfig

__all__ = [
    "auxiliary_logits",
    "forward",
    "forward_with_heads",
    "init_params",
    "legal_anchors",
    "legal_logits",
    "param_shapes",
    "policy_logits",
    "tower",
    "value_of",
]


Params = dict[str, Any]
#: conv(x (B, H, W, Cin), w (k, k, Cin, Cout)) -> (B, H, W, Cout), 'same' padding.
Conv = Callable[[Any, Any], Any]


# Parameters that start at zero (each block's second convolution too, so that a new tower is
# the identity and trains from the start), and the scales of the heads' first draws.
STARTS_AT_ZERO = ("/b", "/b1", "/b2", "/conv2/w")
DRAW_SCALE = {"policy/w": 0.1, "value/w2": 0.1, "score/w2": 0.1, "ownership/w": 0.1}


def init_params(config: NetworkConfig, seed: int) -> Params:
    """Parameters drawn with numpy (He initialisation), in the order of ``param_shapes``."""
    rng = np.random.default_rng(seed)
    params: Params = {}
    for name, shape in param_shapes(config).items():
        if name.endswith(STARTS_AT_ZERO):
            params[name] = np.zeros(shape, dtype=np.float32)
            continue
        fan_in = int(np.prod(shape[:-1]))
        drawn = (rng.standard_normal(shape) * np.sqrt(2.0 / fan_in)).astype(np.float32)
        if name in DRAW_SCALE:
            drawn = (drawn * DRAW_SCALE[name]).astype(np.float32)
        params[name] = drawn
    return params


def param_shapes(config: NetworkConfig) -> dict[str, tuple[int, ...]]:
    """The shape of each parameter of a network of ``config``, in order, without allocating
    any: what ``init_params`` draws and a checkpoint must hold, known before a byte of it is
    read. The optional heads come last, so that the rest are drawn as without them."""
    width = config.width
    shapes: dict[str, tuple[int, ...]] = {
        "stem/w": (3, 3, PLANES, width),
        "stem/b": (width,),
        "extras/w": (EXTRAS, width),
    }
    for k in range(config.blocks):
        shapes[f"block{k}/conv1/w"] = (3, 3, width, width)
        shapes[f"block{k}/conv1/b"] = (width,)
        shapes[f"block{k}/conv2/w"] = (3, 3, width, width)
        shapes[f"block{k}/conv2/b"] = (width,)
    shapes["policy/w"] = (1, 1, width, NUM_ORIENTATIONS)
    shapes["policy/b"] = (NUM_ORIENTATIONS,)
    shapes["value/w1"] = (width, config.value_hidden)
    shapes["value/b1"] = (config.value_hidden,)
    shapes["value/w2"] = (config.value_hidden, 4)
    shapes["value/b2"] = (4,)
    if config.score_head:
        shapes["score/w1"] = (width, config.value_hidden)
        shapes["score/b1"] = (config.value_hidden,)
        shapes["score/w2"] = (config.value_hidden, NUM_AGENTS)
        shapes["score/b2"] = (NUM_AGENTS,)
    if config.ownership_head:
        shapes["ownership/w"] = (1, 1, width, OWNER_CLASSES)
        shapes["ownership/b"] = (OWNER_CLASSES,)
    return shapes


def forward(
    xp: Any, conv: Conv, params: Params, config: NetworkConfig, inputs: dict[str, Any]
) -> tuple[Any, Any]:
    """Policy logits (B, 36400) in the action index order, and value logits (B, 4)."""
    features, value_logits = tower(xp, conv, params, config, inputs)
    logits = policy_logits(xp, conv(features, params["policy/w"]) + params["policy/b"])
    return logits, value_logits


def forward_with_heads(
    xp: Any, conv: Conv, params: Params, config: NetworkConfig, inputs: dict[str, Any]
) -> tuple[Any, Any, dict[str, Any]]:
    """``forward``'s logits and the optional heads' (``auxiliary_logits``; none where
    ``config`` has none, at no cost), from one pass of the tower."""
    features, value_logits = tower(xp, conv, params, config, inputs)
    logits = policy_logits(xp, conv(features, params["policy/w"]) + params["policy/b"])
    return logits, value_logits, auxiliary_logits(xp, conv, params, config, features)


def tower(
    xp: Any, conv: Conv, params: Params, config: NetworkConfig, inputs: dict[str, Any]
) -> tuple[Any, Any]:
    """The tower's features (B, 20, 20, C), channels last, which the policy head reads cell by
    cell, and the value logits (B, 4)."""
    planes = xp.asarray(inputs["observation"], dtype=xp.float32)
    count = planes.shape[0]
    x = xp.transpose(planes, (0, 2, 3, 1))
    extras = xp.concatenate(
        [
            xp.reshape(xp.asarray(inputs["pieces"], dtype=xp.float32), (count, -1)),
            xp.reshape(xp.asarray(inputs["done"], dtype=xp.float32), (count, -1)),
        ],
        axis=1,
    )
    x = conv(x, params["stem/w"]) + params["stem/b"]
    x = x + xp.reshape(extras @ params["extras/w"], (count, 1, 1, -1))
    x = xp.maximum(x, 0)
    for k in range(config.blocks):
        y = xp.maximum(conv(x, params[f"block{k}/conv1/w"]) + params[f"block{k}/conv1/b"], 0)
        y = conv(y, params[f"block{k}/conv2/w"]) + params[f"block{k}/conv2/b"]
        x = xp.maximum(x + y, 0)
    pooled = xp.mean(x, axis=(1, 2))
    hidden = xp.maximum(pooled @ params["value/w1"] + params["value/b1"], 0)
    value_logits = hidden @ params["value/w2"] + params["value/b2"]
    return x, value_logits


def auxiliary_logits(
    xp: Any, conv: Conv, params: Params, config: NetworkConfig, features: Any
) -> dict[str, Any]:
    """The optional heads' logits from the tower's ``features``, those of ``config`` only:
    ``score`` (B, 4), every agent's final score on the [0, 1] scale through a sigmoid, in the
    observation's relative order; ``ownership`` (B, 20, 20, 5), each cell's owner as classes
    (``facts.OWNER_CLASSES``), in the mover's frame."""
    found: dict[str, Any] = {}
    if config.score_head:
        pooled = xp.mean(features, axis=(1, 2))
        hidden = xp.maximum(pooled @ params["score/w1"] + params["score/b1"], 0)
        found["score"] = hidden @ params["score/w2"] + params["score/b2"]
    if config.ownership_head:
        found["ownership"] = conv(features, params["ownership/w"]) + params["ownership/b"]
    return found


def legal_anchors(legal: Any, offsets: Any) -> tuple[Any, Any]:
    """Where the policy head reads each legal action of the CSR lists: the row of the tower's
    features flattened to (B * 400, C), and the head's output channel (the orientation)."""
    rows = np.repeat(np.arange(len(offsets) - 1, dtype=np.int32), np.diff(offsets))
    cells, orientations = legal % BOARD_CELLS, legal // BOARD_CELLS
    return (rows * BOARD_CELLS + cells).astype(np.int32), orientations.astype(np.int32)


def legal_logits(params: Params, features: Any, anchors: Any, orientations: Any) -> Any:
    """The policy head at the legal actions only: for each, its cell's features times its
    orientation's column of the 1 x 1 convolution, as ``forward``'s logits hold them, without
    the other 36,400 minus a few hundred."""
    flat = np.reshape(np.asarray(features, dtype=np.float32), (-1, features.shape[-1]))
    weights = params["policy/w"][0, 0]
    chosen = np.einsum("nc,cn->n", flat[anchors], weights[:, orientations])
    return (chosen + params["policy/b"][orientations]).astype(np.float32)


def policy_logits(xp: Any, head: Any) -> Any:
    """The policy head's output (B, 20, 20, 91), channels last, as logits (B, 36400) in the
    action index order: orientation * 400 + row * 20 + column."""
    return xp.reshape(xp.transpose(head, (0, 3, 1, 2)), (head.shape[0], -1))


def value_of(xp: Any, value_logits: Any, config: NetworkConfig) -> Any:
    """The value head read in its mode: win shares (a softmax over the four) or outcomes on the
    [0, 1] scale (a sigmoid each)."""
    if config.value_mode == "win_share":
        shifted = value_logits - xp.max(value_logits, axis=1, keepdims=True)
        weights = xp.exp(shifted)
        return weights / xp.sum(weights, axis=1, keepdims=True)
    return 1 / (1 + xp.exp(-value_logits))
