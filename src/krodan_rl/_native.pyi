"""Native capabilities beyond the game class: many games stepped per call, built-in agents, the
board for people."""

from collections.abc import Sequence
from typing import final

from krodan_rl._krodan import PyKrodan

# Arguments taken through the buffer protocol: numpy arrays, memoryviews, bytearrays.
_BufferArg = object

BOARD_SIZE: int
NUM_AGENTS: int
NUM_PIECES: int
NUM_ACTIONS: int
STATE_SIZE: int
NO_OWNER: int
OBSERVATION_SHAPE: tuple[int, int, int]

@final
class NativeArray:
    """A read-only view of one of a batch's output arrays, through the buffer protocol."""

@final
class Agent:
    def __new__(
        cls,
        kind: str,
        seed: int,
        simulations: int,
        c: float,
        rollout: str,
        threads: int,
        reward_mode: str,
    ) -> Agent: ...
    def act(self, game: PyKrodan) -> int | None: ...
    def search(self, game: PyKrodan) -> tuple[int, bytes, bytes, int, int] | None: ...
    def get_streams(self) -> bytes: ...
    def set_streams(self, data: bytes) -> None: ...

@final
class GameBatch:
    def __new__(
        cls,
        num_games: int,
        num_threads: int,
        reward_mode: str,
        auto_reset: bool,
        dense_mask: bool,
        observations: bool,
        seed: int,
    ) -> GameBatch: ...
    @property
    def num_games(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    def reset(self, restart: _BufferArg | None, seed: int | None) -> None: ...
    def step(self, actions: _BufferArg) -> None: ...
    def random_actions(self, out: _BufferArg) -> None: ...
    def agent_actions(self, seats: Sequence[Agent], out: _BufferArg) -> None: ...
    def get_state(self, index: int) -> bytes: ...
    def set_state(self, index: int, data: bytes) -> None: ...
    def set_states(self, states: list[tuple[int, bytes]]) -> None: ...
    def arrays(self) -> dict[str, NativeArray | None]: ...
    def legal_actions(self) -> NativeArray: ...

def board_text(game: PyKrodan, /) -> str: ...
def owner_grid(game: PyKrodan, /) -> bytes: ...
def play_games(
    games: Sequence[Sequence[Agent]], streams: Sequence[int], num_threads: int
) -> bytes: ...
