"""A four-player polyomino placement game engine for reinforcement learning.

`PyKrodan` is one game: `observe` an agent, `step` an action index, read `rewards`,
`terminations` and, once the game is over, `outcome`. `PyObservation` holds one agent's view as
bytes of 0/1.
"""

from krodan_rl._krodan import PyKrodan, PyObservation

__all__ = ["PyKrodan", "PyObservation"]
