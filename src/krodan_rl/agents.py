"""Built-in agents: opponents of known strength, a tree search, and the protocol of an agent.

An agent is any object with ``act(game) -> int | None``: the action of the agent to move in a
``PyKrodan``, in that agent's frame, or None exactly when it is done (its turn is a pass). The
built-in agents run in native code:

- ``RandomAgent``: uniform among the mover's legal actions.
- ``GreedyAgent``: one ply, lexicographic: the largest piece; then the placement with the highest
  (corner cells the mover gains) minus (corner cells of the other agents still in play that it
  covers), a corner cell being a free cell an agent's next piece could attach to; then uniform
  among the placements left tied.
- ``MCTSAgent``: Monte Carlo tree search with the UCT rule for four agents, with random or greedy
  rollouts; ``search`` gives its root visit counts.

Specs that name them (``random``, ``greedy``, ``mcts:SIMULATIONS[:ROLLOUT]``) are read by
``krodan_rl.players``.

Each built-in agent draws from random streams of its seed: stream 0 for ``act``, stream i for
game i of a ``VecKrodan`` (``VecKrodan.agent_actions``), so that what it plays depends on neither
the number of threads nor the order of calls across games. They pickle with their streams: a
copy continues exactly where the original was.
"""

from __future__ import annotations

import dataclasses
import warnings
from typing import Any, ClassVar, NamedTuple, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from krodan_rl import _native
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.native_options import ROLLOUTS as ROLLOUTS
from krodan_rl.native_options import AgentConfig

__all__ = [
    "Agent",
    "BuiltInAgent",
    "GreedyAgent",
    "MCTSAgent",
    "RandomAgent",
    "SearchResult",
]


@runtime_checkable
class Agent(Protocol):
    """What plays a seat: the action of the agent to move, None when it is done."""

    def act(self, game: PyKrodan) -> int | None: ...


class SearchResult(NamedTuple):
    """The root of a tree search: the most visited action (ties to the lowest; None when the
    mover is done, without searching), and the visits of each of the mover's legal actions."""

    action: int | None
    actions: npt.NDArray[np.int32]
    visits: npt.NDArray[np.int32]

    def policy(self, temperature: float = 1.0) -> npt.NDArray[np.float32]:
        """The visit distribution over ``actions``: ∝ visits^(1/T); T = 0 is one-hot on the
        most visited action (ties to the lowest)."""
        t = arguments.real(temperature, "temperature", minimum=0)
        if self.visits.size == 0:
            return np.empty(0, dtype=np.float32)
        offsets = np.array([0, self.visits.size], dtype=np.int32)
        probs: npt.NDArray[np.float32] = np.frombuffer(
            _native.visit_policy(self.visits, offsets, t), dtype=np.float32
        )
        return probs


class BuiltInAgent:
    """The common ground of the native agents: configuration, streams, pickling."""

    kind: ClassVar[str]

    def __init__(self, seed: int | None = None) -> None:
        self.seed = arguments.optional_seed(seed)
        self._native = self._config().native()

    def act(self, game: PyKrodan) -> int | None:
        """The action of the mover of ``game`` in its frame, None when it is done."""
        return self._native.act(game)

    def _options(self) -> dict[str, Any]:
        """The constructor's arguments, seed included."""
        return {"seed": self.seed}

    def _config(self) -> AgentConfig:
        """The native agent's options: its kind's, and the seed."""
        return AgentConfig(kind=self.kind, seed=self.seed)

    def __getstate__(self) -> dict[str, Any]:
        return {"options": self._options(), "streams": self._native.get_streams()}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(**state["options"])  # type: ignore[misc]
        self._native.set_streams(state["streams"])

    def __repr__(self) -> str:
        options = ", ".join(f"{k}={v!r}" for k, v in self._options().items())
        return f"{type(self).__name__}({options})"


class RandomAgent(BuiltInAgent):
    """Draws uniformly among the legal actions of the agent to move; passes when it is done."""

    kind = "random"


class GreedyAgent(BuiltInAgent):
    """The largest piece, then the most corner cells gained minus those taken from the others,
    then a seeded draw among the ties."""

    kind = "greedy"


class MCTSAgent(BuiltInAgent):
    """UCT for four agents.

    Every node keeps its visit count and each agent's summed value, values being outcomes of
    ``reward_mode`` normalised to [0, 1] (scores s as (s + 89) / 109). A simulation descends by
    the mover's mean value plus ``c`` · √(ln N(parent) / N(child)), trying untried children
    first in a seeded order, adds one node, plays a ``rollout`` ("random" or "greedy") to the
    end and adds the outcome along its path. Passes of done agents are not choices. With
    ``trees`` > 1 the ``simulations`` are shared among that many independent trees (root
    parallelism) grown on threads of their own and their root visits summed: the result depends
    on the seed and the number of trees, not on timing. ``threads`` is the old name of
    ``trees`` (deprecated).
    """

    kind = "mcts"

    def __init__(
        self,
        simulations: int = AgentConfig.simulations,
        c: float = AgentConfig.c,
        rollout: str = AgentConfig.rollout,
        trees: int = AgentConfig.trees,
        seed: int | None = None,
        reward_mode: str = AgentConfig.reward_mode,
        *,
        threads: int | None = None,
    ) -> None:
        if threads is not None:
            warnings.warn(
                "MCTSAgent(threads=) is now MCTSAgent(trees=): the searches are independent "
                "trees, each grown on a thread of its own",
                DeprecationWarning,
                stacklevel=2,
            )
            trees = threads
        self._uct_options = AgentConfig(
            kind=self.kind,
            simulations=simulations,
            c=c,
            rollout=rollout,
            trees=trees,
            reward_mode=reward_mode,
        )
        self.simulations, self.c = self._uct_options.simulations, self._uct_options.c
        self.rollout, self.trees = self._uct_options.rollout, self._uct_options.trees
        self.reward_mode = self._uct_options.reward_mode
        #: The size of the last search's largest tree: nodes, and bytes of nodes and child lists.
        self.last_tree_nodes = 0
        self.last_tree_bytes = 0
        super().__init__(seed)

    @property
    def threads(self) -> int:
        """The old name of ``trees``."""
        return self.trees

    def _options(self) -> dict[str, Any]:
        return {
            "simulations": self.simulations,
            "c": self.c,
            "rollout": self.rollout,
            "trees": self.trees,
            "seed": self.seed,
            "reward_mode": self.reward_mode,
        }

    def _config(self) -> AgentConfig:
        return dataclasses.replace(self._uct_options, seed=self.seed)

    def search(self, game: PyKrodan) -> SearchResult:
        """The search's root for the mover of ``game``; the interpreter lock is released while
        the trees grow."""
        found = self._native.search(game)
        if found is None:
            empty = np.empty(0, dtype=np.int32)
            return SearchResult(None, empty, empty.copy())
        self.last_tree_nodes, self.last_tree_bytes = found.tree_nodes, found.tree_bytes
        return SearchResult(
            found.action,
            np.frombuffer(found.actions, dtype=np.int32),
            np.frombuffer(found.visits, dtype=np.int32),
        )

    def act_with_policy(
        self, game: PyKrodan
    ) -> tuple[int | None, npt.NDArray[np.int32], npt.NDArray[np.float32]]:
        """The search's action (None when the mover is done), the mover's legal actions and
        the visit distribution over them: the policy behind the move, for self-play's records."""
        found = self.search(game)
        return found.action, found.actions, found.policy()
