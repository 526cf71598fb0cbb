"""Checkpoints: plain arrays and JSON in one ``.npz`` file, read with ``allow_pickle=False``
(a path on a command line never runs code), written whole or not at all.

The arrays are the network's parameters (``params/NAME``) and, for a training, the optimizer's
state as its leaves in order (``opt/0``, ``opt/1``, ...); the JSON (``meta``, as UTF-8 bytes)
holds the format version, the network's configuration, the learner's step and whatever the
training adds (its random state, its iteration).
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl.files import write_atomic_bytes
from krodan_rl.nn.config import FORMAT_VERSION, NetworkConfig
from krodan_rl.nn.forward import Params, init_params

__all__ = ["Checkpoint", "load", "save"]

Array = npt.NDArray[Any]


@dataclass
class Checkpoint:
    params: Params
    config: NetworkConfig
    step: int = 0
    opt_leaves: list[Array] = field(default_factory=list)
    meta: dict[str, Any] = field(default_factory=dict)


def save(path: str | Path, checkpoint: Checkpoint) -> None:
    """Writes ``checkpoint`` to ``path``: a temporary file flushed to disk, then renamed."""
    target = Path(path)
    meta = {
        **checkpoint.meta,
        "format": FORMAT_VERSION,
        "config": checkpoint.config.to_dict(),
        "step": checkpoint.step,
    }
    arrays = {f"params/{name}": np.asarray(v) for name, v in checkpoint.params.items()}
    arrays.update({f"opt/{k}": np.asarray(v) for k, v in enumerate(checkpoint.opt_leaves)})
    arrays["meta"] = np.frombuffer(json.dumps(meta, sort_keys=True).encode(), dtype=np.uint8)
    write_atomic_bytes(target, lambda file: np.savez(file, **arrays))  # type: ignore[arg-type]


def load(path: str | Path) -> Checkpoint:
    """The checkpoint at ``path``; ValueError naming it when it is not one this package wrote
    (or of another format version, or whose parameters do not fit its configuration)."""
    source = Path(path)
    try:
        with np.load(source, allow_pickle=False) as stored:
            arrays = {name: stored[name] for name in stored.files}
    except (OSError, ValueError, EOFError) as error:
        raise ValueError(f"{source}: not a readable checkpoint: {error}") from error
    try:
        meta = json.loads(bytes(arrays.pop("meta")).decode())
        config = NetworkConfig.from_dict(meta["config"])
    except (KeyError, ValueError, TypeError, UnicodeDecodeError) as error:
        raise ValueError(f"{source}: not a checkpoint (its meta is unreadable: {error})") from None
    if meta.get("format") != FORMAT_VERSION:
        raise ValueError(
            f"{source}: checkpoint format {meta.get('format')!r}; this package reads "
            f"{FORMAT_VERSION}"
        )
    params = {k.removeprefix("params/"): v for k, v in arrays.items() if k.startswith("params/")}
    expected = init_params(config, 0)
    wrong = [
        name
        for name in expected.keys() | params.keys()
        if name not in params or name not in expected or params[name].shape != expected[name].shape
    ]
    if wrong:
        raise ValueError(f"{source}: parameters that do not fit its network: {sorted(wrong)[:4]}")
    leaves = [arrays[f"opt/{k}"] for k in range(sum(k.startswith("opt/") for k in arrays))]
    return Checkpoint(
        {k: v.astype(np.float32) for k, v in params.items()},
        config,
        int(meta.get("step", 0)),
        leaves,
        {k: v for k, v in meta.items() if k not in ("format", "config", "step")},
    )
