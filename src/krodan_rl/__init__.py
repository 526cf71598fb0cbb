"""A four-player polyomino placement game engine for reinforcement learning.

`PyKrodan` is one game: `observe` an agent, `step` an action index, read `rewards`,
`terminations` and, once the game is over, `outcome`. `PyObservation` holds one agent's view as
bytes of 0/1. `VecKrodan` steps many games per call into numpy arrays, on every core. `env()`
and `raw_env` wrap the game as a PettingZoo environment, and `SeatVectorEnv` gives one seat to a
learner against chosen opponents as a Gymnasium vector environment (they need the `env`
extra: pettingzoo and gymnasium).

The modules, each with its ``__all__``:

- the game and its environments: ``vector``, ``environment``, ``seat_env``, ``seat_rounds``
  (its opponents a round at a time, when the batch cannot play them), ``actions`` (what an
  action index places), ``outcomes``, ``render``, ``views`` (positions as a network
  sees them), ``facts`` (the engine's numbers and layouts), ``seeds`` (every derived seed),
  ``signature``, ``play`` (the demo's games);
- players and searches: ``agents``, ``search``, ``search_players`` (what a search player
  gives), ``native_options`` (their option records), ``players`` (players by spec),
  ``models`` (shipped networks), ``nn`` (the network);
- games in numbers: ``matches`` (the runner), ``arena``, ``selfplay``, ``data`` (datasets),
  ``train``, ``replay`` (games to watch), ``playing`` (a seat played in the browser).

``_internal`` holds the package's own helpers; ``_krodan`` and ``_native`` are the native
modules.
"""

from __future__ import annotations

from importlib.util import find_spec
from typing import TYPE_CHECKING, Any

from krodan_rl._krodan import PyKrodan, PyObservation

if TYPE_CHECKING:
    from krodan_rl.environment import env, raw_env
    from krodan_rl.seat_env import SeatVectorEnv
    from krodan_rl.vector import VecKrodan

__all__ = ["PyKrodan", "PyObservation", "VecKrodan"]
# The environment needs the `env` extra: a star import offers it only where that is installed,
# so that `from krodan_rl import *` works without it.


def _installed(name: str) -> bool:
    try:
        return find_spec(name) is not None
    except (ImportError, ValueError):
        return False


if _installed("pettingzoo") and _installed("gymnasium"):
    __all__ += ["env", "raw_env"]
if _installed("gymnasium"):
    __all__ += ["SeatVectorEnv"]


def __getattr__(name: str) -> Any:
    # The batch imports numpy, the environment pettingzoo and gymnasium: each only when it is
    # asked for, so that importing the package imports neither.
    if name == "VecKrodan":
        from krodan_rl import vector

        return vector.VecKrodan
    if name in ("env", "raw_env"):
        from krodan_rl import environment

        return getattr(environment, name)
    if name == "SeatVectorEnv":
        from krodan_rl import seat_env

        return seat_env.SeatVectorEnv
    raise AttributeError(f"module 'krodan_rl' has no attribute {name!r}")
