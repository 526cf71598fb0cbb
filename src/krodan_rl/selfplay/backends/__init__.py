"""The backends of self-play runs, by name: ``local`` (this process, or worker processes on
this machine) and ``ray`` (actors on a Ray cluster or a local Ray instance). Each is a module
of this package with a class that follows ``base.Backend``; adding one is an entry in
``BACKENDS``."""

from __future__ import annotations

import importlib
import inspect
from typing import Any

from krodan_rl.selfplay.backends.base import Backend, ShardJob

__all__ = ["BACKENDS", "Backend", "ShardJob", "make"]

# Name: (module, class). Imported when asked for, so that Ray is imported only by runs on it.
BACKENDS = {
    "local": ("krodan_rl.selfplay.backends.local", "LocalBackend"),
    "ray": ("krodan_rl.selfplay.backends.ray", "RayBackend"),
}


def make(name: str, **options: Any) -> Backend:
    """The backend ``name`` with its options; ValueError for an unknown name or an option it
    does not take."""
    if not isinstance(name, str) or name not in BACKENDS:
        raise ValueError(f"backend must be one of {tuple(BACKENDS)}, not {name!r}")
    module, attr = BACKENDS[name]
    backend_class = getattr(importlib.import_module(module), attr)
    takes = inspect.signature(backend_class).parameters
    for option in options:
        if option not in takes:
            raise ValueError(f"the {name} backend takes no {option} (it takes {', '.join(takes)})")
    backend: Backend = backend_class(**options)
    return backend
