"""The native engine: one game per `PyKrodan` object."""

from typing import Any, ClassVar, final

__all__ = ["PyKrodan", "PyObservation"]

@final
class PyKrodan:
    """A game of four agents on a 20 x 20 board. Actions are indices of the (91, 20, 20) grid of
    orientation, row and column, in the acting agent's frame."""

    num_actions: ClassVar[int]
    action_grid_shape: ClassVar[tuple[int, int, int]]
    reward_modes: ClassVar[tuple[str, str, str]]
    piece_names: ClassVar[tuple[str, ...]]

    def __new__(cls) -> PyKrodan: ...
    def reset(self) -> None: ...
    def copy(self) -> PyKrodan:
        """An independent copy of the game."""
    def __copy__(self) -> PyKrodan: ...
    def __deepcopy__(self, _memo: Any) -> PyKrodan: ...
    def __getstate__(self) -> bytes:
        """Pickles the game as its `to_bytes` state."""
    def __setstate__(self, state: bytes) -> None: ...
    def to_bytes(self) -> bytes:
        """The game state as bytes, restore it with `from_bytes`."""
    @staticmethod
    def from_bytes(data: bytes) -> PyKrodan: ...
    @property
    def agents(self) -> list[int]: ...
    @property
    def agent_selection(self) -> int: ...
    @property
    def terminations(self) -> list[bool]: ...
    @property
    def rewards(self) -> list[int | None]:
        """The score of every agent that is done, None for the others."""
    @property
    def scores(self) -> list[int]:
        """Every agent's official score as if the game ended now."""
    @property
    def is_over(self) -> bool: ...
    @property
    def ply(self) -> int:
        """The number of placements made so far, by all agents."""
    def outcome(self, mode: str) -> list[float] | None:
        """The final rewards in `mode`, one of `reward_modes`, None until the game is over."""
    def observe(self, agent_idx: int) -> PyObservation: ...
    def step(self, action_idx: int | None) -> None: ...
    def render(self) -> None: ...

@final
class PyObservation:
    """An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in
    agent-relative order, see `Observation`."""

    @property
    def observation(self) -> bytes:
        """The occupied cells in (agent, row, col) order."""
    @property
    def corners(self) -> bytes:
        """The cells each agent's next piece can attach to, in (agent, row, col) order."""
    @property
    def blocked(self) -> bytes:
        """The cells each agent can never fill, in (agent, row, col) order."""
    @property
    def pieces(self) -> bytes:
        """The pieces each agent still has, in (agent, piece) order."""
    @property
    def done(self) -> bytes:
        """Whether each agent is out of moves."""
    @property
    def action_mask(self) -> bytes:
        """The action mask over the flattened action grid."""
