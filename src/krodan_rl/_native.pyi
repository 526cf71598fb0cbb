"""Native capabilities beyond the game class: many games stepped per call, built-in agents, the
board for people."""

from collections.abc import Mapping, Sequence
from typing import Any, Final, final

from _typeshed import structseq

from krodan_rl._krodan import PyKrodan

# Arguments taken through the buffer protocol: numpy arrays, memoryviews, bytearrays.
_BufferArg = object

BOARD_SIZE: int
NUM_AGENTS: int
NUM_PIECES: int
NUM_ACTIONS: int
STATE_SIZE: int
NO_OWNER: int
LOWEST_SCORE: int
HIGHEST_SCORE: int
MAX_GAMES: int
MAX_THREADS: int
MAX_SIMULATIONS: int
MAX_TREES: int
OBSERVATION_SHAPE: tuple[int, int, int]
# Each class's constructor parameters and a default object's options, read-only.
AGENT_DEFAULTS: Mapping[str, Any]
SEARCH_DEFAULTS: Mapping[str, Any]
BATCH_DEFAULTS: Mapping[str, Any]

class RowError(ValueError):
    """A row of a batch of stored turns or states that the engine refuses."""

    row: int
    reason: str

@final
class NativeArray:
    """A read-only view of one of a batch's output arrays, through the buffer protocol."""

@final
class SearchRoot(structseq[int | bytes], tuple[int, bytes, bytes, int, int]):
    """The root of a tree search, as Agent.search() gives it."""

    __match_args__: Final = ("action", "actions", "visits", "tree_nodes", "tree_bytes")
    @property
    def action(self) -> int: ...
    @property
    def actions(self) -> bytes: ...
    @property
    def visits(self) -> bytes: ...
    @property
    def tree_nodes(self) -> int: ...
    @property
    def tree_bytes(self) -> int: ...

@final
class Agent:
    def __new__(
        cls,
        kind: str,
        seed: int,
        simulations: int,
        c: float,
        rollout: str,
        trees: int,
        reward_mode: str,
    ) -> Agent: ...
    def act(self, game: PyKrodan) -> int | None: ...
    def search(self, game: PyKrodan) -> SearchRoot | None: ...
    def get_streams(self) -> bytes: ...
    def set_streams(self, data: bytes) -> None: ...

@final
class VisitCounts(structseq[bytes], tuple[bytes, bytes, bytes, bytes]):
    """The roots' legal actions and their visits, as GuidedSearch.visit_counts() gives them."""

    __match_args__: Final = ("actions", "counts", "offsets", "movers")
    @property
    def actions(self) -> bytes: ...
    @property
    def counts(self) -> bytes: ...
    @property
    def offsets(self) -> bytes: ...
    @property
    def movers(self) -> bytes: ...

@final
class VisitPolicy(structseq[bytes], tuple[bytes, bytes, bytes, bytes, bytes]):
    """The roots' visit counts and their probabilities, as GuidedSearch.policy() gives them."""

    __match_args__: Final = ("actions", "counts", "offsets", "movers", "probs")
    @property
    def actions(self) -> bytes: ...
    @property
    def counts(self) -> bytes: ...
    @property
    def offsets(self) -> bytes: ...
    @property
    def movers(self) -> bytes: ...
    @property
    def probs(self) -> bytes: ...

@final
class GuidedSearch:
    def __new__(
        cls,
        num_games: int,
        simulations: int,
        c_puct: float,
        dirichlet_alpha: float,
        dirichlet_fraction: float,
        reward_mode: str,
        seed: int,
        num_threads: int,
        dense_mask: bool,
    ) -> GuidedSearch: ...
    @property
    def num_games(self) -> int: ...
    @property
    def num_threads(self) -> int: ...
    def start(self, games: Sequence[PyKrodan | bytes | None], seeds: _BufferArg | None) -> None: ...
    def pending(self) -> int: ...
    def leaves(self) -> dict[str, NativeArray | None]: ...
    def expand(self, priors: _BufferArg, dense: bool, values: _BufferArg) -> None: ...
    def done(self) -> bool: ...
    def visit_counts(self) -> VisitCounts: ...
    def policy(self, temperature: float) -> VisitPolicy: ...
    def select(self, temperature: float, out: _BufferArg) -> None: ...
    def advance(self, actions: _BufferArg) -> None: ...
    def memory(self) -> tuple[int, int]: ...

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
    def agent_actions(
        self, seats: Sequence[Agent], out: _BufferArg, games: _BufferArg | None
    ) -> None: ...
    def play_to_learners(
        self,
        opponents: Sequence[Agent | None],
        learner_seats: _BufferArg,
        restart: _BufferArg | None,
        actions: _BufferArg | None,
        seed: int | None,
    ) -> None: ...
    def get_state(self, index: int) -> bytes: ...
    def set_state(self, index: int, data: bytes) -> None: ...
    def set_states(self, states: list[tuple[int, bytes]]) -> None: ...
    def set_state_rows(self, states: _BufferArg, count: int) -> None: ...
    def state_rows(self, out: _BufferArg, count: int) -> None: ...
    def arrays(self) -> dict[str, NativeArray | None]: ...
    def legal_actions(self) -> NativeArray: ...

def board_text(game: PyKrodan, /, *, colour: bool = True) -> str: ...
def owner_grid(game: PyKrodan, /) -> bytes: ...
def play_games(
    games: Sequence[Sequence[Agent]],
    streams: Sequence[int],
    num_threads: int,
    placements: _BufferArg | None,
) -> bytes: ...
def legal_softmax(logits: _BufferArg, offsets: _BufferArg, priors: _BufferArg) -> None: ...
def visit_policy(counts: _BufferArg, offsets: _BufferArg, temperature: float) -> bytes: ...
def replay_rows(
    states: _BufferArg,
    actions: _BufferArg,
    after: _BufferArg,
    movers: _BufferArg,
    over: _BufferArg,
    scores: _BufferArg,
) -> None: ...
def action_rows() -> tuple[bytes, bytes, bytes]: ...
def instruction_set() -> str: ...
