"""Worker processes for the arena and self-play, started the same way everywhere."""

from __future__ import annotations

from multiprocessing import get_all_start_methods, get_context
from typing import Any

__all__ = ["pool_context"]


def pool_context() -> Any:
    """A context whose worker processes do not inherit this one's threads (the engine's,
    pyarrow's, a network library's): forked from a clean server process where the platform
    has one, else spawned."""
    return get_context("forkserver" if "forkserver" in get_all_start_methods() else "spawn")
