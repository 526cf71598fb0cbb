"""A four-player polyomino placement game engine for reinforcement learning.

`PyKrodan` is one game: `observe` an agent, `step` an action index, read `rewards`,
`terminations` and, once the game is over, `outcome`. `PyObservation` holds one agent's view as
bytes of 0/1. `env()` and `raw_env` wrap the game as a PettingZoo environment (they need the
`env` extra: pettingzoo, gymnasium and numpy).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from krodan_rl._krodan import PyKrodan, PyObservation

if TYPE_CHECKING:
    from krodan_rl.environment import env, raw_env

__all__ = ["PyKrodan", "PyObservation", "env", "raw_env"]


def __getattr__(name: str) -> Any:
    # The environment imports pettingzoo, gymnasium and numpy: only when it is asked for.
    if name in ("env", "raw_env"):
        from krodan_rl import environment

        return getattr(environment, name)
    raise AttributeError(f"module 'krodan_rl' has no attribute {name!r}")
