"""The options of the native classes as typed records, checked once.

Each record mirrors one option struct of the engine, field for field, and its fields are the
keyword parameters of the native constructor it makes (``native()``):

- ``SearchConfig``: a guided search (``_native.GuidedSearch``, the engine's
  ``GuidedSearchOptions``);
- ``BatchConfig``: a batch of games (``_native.GameBatch``, ``BatchOptions``);
- ``AgentConfig``: a built-in agent (``_native.Agent``, ``AgentConfig``).

The defaults are the engine's own, read from ``_native.SEARCH_DEFAULTS``, ``BATCH_DEFAULTS``
and ``AGENT_DEFAULTS`` (a default-constructed struct each), so that they are written in one
place; a field's default is also its class attribute (``SearchConfig.simulations``), which
the package's public signatures use as their own defaults. Each field's check is written
once, beside the field (``krodan_rl._internal.arguments``): a record that exists holds valid
options, in the types native code takes. The checks that relate two fields (root noise needs a
``dirichlet_alpha`` above 0) are native code's, made when ``native()`` builds the object.

Records are built once, where a search, batch or agent is made, never per call.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from functools import partial
from typing import Any, ClassVar, Final

from krodan_rl import _native, facts
from krodan_rl._internal import arguments

__all__ = ["ROLLOUTS", "ROOTS", "AgentConfig", "BatchConfig", "SearchConfig"]

#: How a tree search's leaves are played out.
ROLLOUTS: Final = ("random", "greedy")
#: How a guided search chooses its roots' children.
ROOTS: Final = ("puct", "gumbel")
#: The kinds of built-in agent.
KINDS: Final = ("random", "greedy", "mcts")

_Check = Callable[[Any, str], Any]


def _option(defaults: Any, name: str, check: _Check) -> Any:
    """A field whose default is the engine's (``defaults[name]``) and whose values pass
    ``check(value, name)``, which returns the value as native code takes it."""
    return dataclasses.field(default=defaults[name], metadata={"check": check})


def _count(minimum: int, maximum: int) -> _Check:
    return partial(arguments.integer, minimum=minimum, maximum=maximum)


def _reward_mode(value: Any, _name: str) -> str:
    return arguments.reward_mode(value)


_NON_NEGATIVE: Final = partial(arguments.real, minimum=0)
_FRACTION: Final = partial(arguments.real, minimum=0, maximum=1)


class _Record:
    """What every record does: checks its fields on construction (``dataclasses.replace``
    included), gives them as keywords."""

    __dataclass_fields__: ClassVar[dict[str, dataclasses.Field[Any]]]

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            checked = field.metadata["check"](getattr(self, field.name), field.name)
            object.__setattr__(self, field.name, checked)

    def keywords(self) -> dict[str, Any]:
        """The fields by name: the native constructor's keyword arguments."""
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self)}


_SEARCH: Final = _native.SEARCH_DEFAULTS


@dataclasses.dataclass(frozen=True)
class SearchConfig(_Record):
    """A guided search's options (``krodan_rl.search.BatchedSearch`` documents them)."""

    num_games: int = _option(_SEARCH, "num_games", _count(1, facts.MAX_GAMES))
    simulations: int = _option(_SEARCH, "simulations", _count(1, facts.MAX_SIMULATIONS))
    c_puct: float = _option(_SEARCH, "c_puct", _NON_NEGATIVE)
    dirichlet_alpha: float = _option(_SEARCH, "dirichlet_alpha", _NON_NEGATIVE)
    dirichlet_fraction: float = _option(_SEARCH, "dirichlet_fraction", _FRACTION)
    reward_mode: str = _option(_SEARCH, "reward_mode", _reward_mode)
    seed: int = _option(_SEARCH, "seed", arguments.seed)
    num_threads: int = _option(_SEARCH, "num_threads", _count(0, facts.MAX_THREADS))
    dense_mask: bool = _option(_SEARCH, "dense_mask", arguments.flag)
    root: str = _option(_SEARCH, "root", partial(arguments.choice, options=ROOTS))
    gumbel_actions: int = _option(_SEARCH, "gumbel_actions", _count(1, facts.MAX_GUMBEL_ACTIONS))
    gumbel_scale: float = _option(_SEARCH, "gumbel_scale", _NON_NEGATIVE)
    c_visit: float = _option(_SEARCH, "c_visit", _NON_NEGATIVE)
    c_scale: float = _option(_SEARCH, "c_scale", _NON_NEGATIVE)

    def native(self) -> _native.GuidedSearch:
        return _native.GuidedSearch(**self.keywords())


_BATCH: Final = _native.BATCH_DEFAULTS


@dataclasses.dataclass(frozen=True)
class BatchConfig(_Record):
    """A batch of games' options (``krodan_rl.VecKrodan`` documents them); ``num_threads`` 0
    is one per core as the engine counts them."""

    num_games: int = _option(_BATCH, "num_games", _count(1, facts.MAX_GAMES))
    num_threads: int = _option(_BATCH, "num_threads", _count(0, facts.MAX_THREADS))
    reward_mode: str = _option(_BATCH, "reward_mode", _reward_mode)
    auto_reset: bool = _option(_BATCH, "auto_reset", arguments.flag)
    dense_mask: bool = _option(_BATCH, "dense_mask", arguments.flag)
    observations: bool = _option(_BATCH, "observations", arguments.flag)
    seed: int = _option(_BATCH, "seed", arguments.seed)

    def native(self) -> _native.GameBatch:
        return _native.GameBatch(**self.keywords())


_AGENT: Final = _native.AGENT_DEFAULTS


@dataclasses.dataclass(frozen=True)
class AgentConfig(_Record):
    """A built-in agent's options (``krodan_rl.agents`` documents them); the tree search's
    (``simulations`` to ``reward_mode``) matter to the "mcts" kind only."""

    kind: str = _option(_AGENT, "kind", partial(arguments.choice, options=KINDS))
    seed: int = _option(_AGENT, "seed", arguments.seed)
    simulations: int = _option(_AGENT, "simulations", _count(1, facts.MAX_SIMULATIONS))
    c: float = _option(_AGENT, "c", _NON_NEGATIVE)
    rollout: str = _option(_AGENT, "rollout", partial(arguments.choice, options=ROLLOUTS))
    trees: int = _option(_AGENT, "trees", _count(1, facts.MAX_TREES))
    reward_mode: str = _option(_AGENT, "reward_mode", _reward_mode)

    def native(self) -> _native.Agent:
        return _native.Agent(**self.keywords())
