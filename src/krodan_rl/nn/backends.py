"""The two array backends of the reference network: numpy, always there, and JAX, where it is
installed (the ``train`` extra). Each gives the convolution ``forward`` takes."""

from __future__ import annotations

from importlib.util import find_spec
from typing import Any

import numpy as np

__all__ = ["has_jax", "jax_conv", "numpy_conv"]


def has_jax() -> bool:
    try:
        return find_spec("jax") is not None
    except (ImportError, ValueError):
        return False


def numpy_conv(x: np.ndarray, w: np.ndarray) -> np.ndarray:
    """A 'same' convolution, channels last: the sum of one matrix product per kernel tap."""
    k = w.shape[0]
    if k == 1:
        return np.asarray(x @ w[0, 0])
    pad = k // 2
    padded = np.pad(x, ((0, 0), (pad, pad), (pad, pad), (0, 0)))
    height, width = x.shape[1], x.shape[2]
    out = np.zeros((*x.shape[:3], w.shape[3]), dtype=np.float32)
    for i in range(k):
        for j in range(k):
            out += padded[:, i : i + height, j : j + width, :] @ w[i, j]
    return out


def jax_conv(x: Any, w: Any) -> Any:
    from jax import lax

    return lax.conv_general_dilated(
        x, w, window_strides=(1, 1), padding="SAME", dimension_numbers=("NHWC", "HWIO", "NHWC")
    )
