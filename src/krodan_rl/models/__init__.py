"""Trained networks, by name or by checkpoint path: ``load("baseline")`` gives the evaluator of
the model shipped with the package, ``load("runs/az/checkpoints/iter-000012.npz")`` that of a
checkpoint (any path with a ``/`` or ending in ``.npz``, such as ``ck.npz`` in the current
folder). The evaluator runs on ONNX Runtime where the ``infer`` extra is installed, else on JAX
where it is installed, else on numpy: playing never needs JAX.

Player specs name models too: ``guided:MODEL:N`` searches N simulations guided by the model,
``policy:MODEL`` plays its raw policy (``krodan_rl.players``); a checkpoint's path there may
hold ``:`` when it ends in ``.npz``.
"""

from __future__ import annotations

from pathlib import Path

from krodan_rl.nn import checkpoint
from krodan_rl.nn.evaluator import NetworkEvaluator

__all__ = ["SHIPPED", "is_model", "load", "path_of"]

HERE = Path(__file__).resolve().parent
#: The models shipped with the package, by name: a closed list.
SHIPPED = {"baseline": HERE / "baseline.npz"}
#: A name ending so is a checkpoint's path, even without a ``/`` (a file in the current folder).
CHECKPOINT_SUFFIX = ".npz"


def is_model(name: str) -> bool:
    """Whether ``name`` names a model: a shipped one, or a checkpoint path (with a ``/`` or
    ending in ``.npz``)."""
    return name in SHIPPED or "/" in name or name.endswith(CHECKPOINT_SUFFIX)


def path_of(name: str) -> Path:
    """The checkpoint file of a model name."""
    if name in SHIPPED:
        path = SHIPPED[name]
        if not path.is_file():
            raise ValueError(f"the model {name!r} is not in this installation ({path} missing)")
        return path
    if not is_model(name):
        raise ValueError(
            f"unknown model {name!r}: a shipped model ({', '.join(SHIPPED)}) or a checkpoint "
            f"path containing '/' or ending in {CHECKPOINT_SUFFIX!r}"
        )
    path = Path(name)
    if not path.is_file():
        raise ValueError(f"no checkpoint at {path}")
    return path


def load(name: str, backend: str = "auto") -> NetworkEvaluator:
    """The evaluator of a model (see the module's documentation)."""
    found = checkpoint.load(path_of(name))
    return NetworkEvaluator(found.params, found.config, backend)
