"""The registry of players: the one place that reads a player spec, checks it, names it and
builds it, for the arena, self-play, the command lines and your own scripts.

    players.make("mcts:400:greedy", seed=1)   # an MCTSAgent with greedy rollouts
    players.parse("guided:my.nets:load:64")     # checked, not built yet: a Spec
    players.available()                          # every syntax, for help texts

A ``Spec`` is taken wherever a spec string is (``make``, ``check``, ``name``, the arena,
self-play): a string is parsed once, where it enters, and its ``Spec`` is what travels on to
where the player is built. A ``Spec`` pickles as its text, parsed again at the other end.

A player is an object with ``act(game) -> int | None`` (``krodan_rl.agents.Agent``) or with
``search_moves(games, seeds)`` (``krodan_rl.search.SearchPlayer``), which decides many games in
one call. A spec is one of:

- ``random``, ``greedy``: the built-in agents;
- ``mcts:SIMULATIONS[:ROLLOUT]``: UCT with SIMULATIONS simulations and random (default) or
  greedy rollouts, one tree;
- ``guided:package.module:factory[:SIMULATIONS]``: ``krodan_rl.search.GuidedPlayer`` with the
  evaluator the factory returns, SIMULATIONS (800) simulations;
- ``guided:MODEL[:SIMULATIONS]``: the same search guided by a trained network, MODEL a shipped
  model's name (``baseline``) or a checkpoint path containing ``/`` or ending in ``.npz``
  (``krodan_rl.models``); a path ending in ``.npz`` may hold ``:`` (the simulations are what
  follows its last ``.npz:``), any other path may not;
- ``policy:MODEL``: the network's raw policy, one evaluation a move, no search;
- ``package.module:factory``: the player the factory returns.

A factory is called with ``seed=`` when it takes that keyword, else with no argument. The
prefixes ``guided:`` and ``policy:`` are reserved: a spec that starts with one is read as that
kind or refused, never as a factory. Adding a kind of player is one entry in ``KINDS``.

Players and games: a player that keeps no state from one game to the next says so with a class
attribute ``stateless = True``; the arena then lets one object play many games instead of
copying it for each. A player that acts one game at a time and can say the policy behind its
move has ``act_with_policy(game)`` too, giving (action, actions, probs) as ``search_moves``
does for one game (``krodan_rl.agents.MCTSAgent``: its root's visit distribution); self-play
records that policy as the move's target.
"""

from __future__ import annotations

import importlib
import inspect
import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from krodan_rl import facts, models, search
from krodan_rl._internal import arguments
from krodan_rl.agents import ROLLOUTS, Agent, GreedyAgent, MCTSAgent, RandomAgent
from krodan_rl.native_options import SearchConfig
from krodan_rl.nn.policy_player import PolicyPlayer
from krodan_rl.search import GuidedPlayer, SearchPlayer

__all__ = [
    "EXPLORATION",
    "KINDS",
    "Kind",
    "Player",
    "Spec",
    "available",
    "check",
    "is_search_player",
    "is_stateless",
    "make",
    "name",
    "parse",
    "resolve",
]

Player = Agent | SearchPlayer

#: What a search player changes when it plays for data rather than to win (``exploration``):
#: ``krodan_rl.search.EXPLORATION``.
EXPLORATION = search.EXPLORATION
RESERVED_PREFIXES = ("guided", "policy")  # read as their kinds, never as factories
#: A guided spec's simulations when it names none: a search's default.
DEFAULT_GUIDED_SIMULATIONS = SearchConfig.simulations
_NUMBER = re.compile(r"[0-9]+")


@dataclass(frozen=True)
class Kind:
    """One family of specs: its syntax and summary for help texts, how a spec's arguments
    (the text after ``prefix:``) are read into options, and how a player is built from them.
    ``prefix`` None marks the factory kind, which takes every spec no other kind claims.
    ``built_in``: an agent of ``krodan_rl.agents``, played in native code where it can be;
    ``searches``: a search player, made once and asked for many games with a seed per move.
    ``also``: the kind's other syntaxes, each with its summary, for a kind written more ways
    than one."""

    prefix: str | None
    syntax: str
    summary: str
    read: Callable[[str, str], dict[str, Any]]  # (spec, arguments) -> options
    build: Callable[[dict[str, Any], int | None, bool], Any]  # (options, seed, exploration)
    built_in: bool = False
    searches: bool = False
    also: tuple[tuple[str, str], ...] = ()

    @property
    def forms(self) -> tuple[tuple[str, str], ...]:
        """Every (syntax, summary) of the kind, the first its ``syntax``."""
        return ((self.syntax, self.summary), *self.also)


@dataclass(frozen=True)
class Spec:
    """A checked spec: its text, its kind and its options."""

    text: str
    kind: Kind
    options: dict[str, Any] = field(compare=False)

    @property
    def built_in(self) -> bool:
        """Whether it names an agent of ``krodan_rl.agents``, which plays in native code."""
        return self.kind.built_in

    @property
    def searches(self) -> bool:
        """Whether it names a search player (see ``Kind``)."""
        return self.kind.searches

    def make(self, seed: int | None = None, *, exploration: bool = False) -> Any:
        return self.kind.build(self.options, seed, exploration)

    def __reduce__(self) -> tuple[Callable[[str], Spec], tuple[str]]:
        # A kind holds functions that need not pickle, and a factory's module is imported again
        # in the process that receives it: the text travels, and is parsed there.
        return parse, (self.text,)


def _refuse(spec: str, why: str) -> ValueError:
    return ValueError(f"player spec {spec!r}: {why}")


def _no_arguments(spec: str, rest: str) -> dict[str, Any]:
    if rest:
        raise _refuse(spec, "takes no arguments")
    return {}


def _simulations(spec: str, text: str) -> int:
    if not _NUMBER.fullmatch(text):
        raise _refuse(spec, f"simulations must be a whole number, not {text!r}")
    if int(text) < 1:
        raise _refuse(spec, "simulations must be at least 1")
    if int(text) > facts.MAX_SIMULATIONS:
        raise _refuse(spec, f"simulations must be at most {facts.MAX_SIMULATIONS}")
    return int(text)


def _read_mcts(spec: str, rest: str) -> dict[str, Any]:
    if not rest:
        raise _refuse(spec, "expected mcts:SIMULATIONS[:ROLLOUT]")
    simulations, _, rollout = rest.partition(":")
    if rollout and rollout not in ROLLOUTS:
        raise _refuse(spec, f"rollouts are {' or '.join(ROLLOUTS)}, not {rollout!r}")
    return {"simulations": _simulations(spec, simulations), "rollout": rollout or "random"}


def _read_factory(spec: str, text: str) -> dict[str, Any]:
    """``package.module:attr``: the module is imported and the attribute found, not called."""
    module_name, _, attr = text.partition(":")
    if not module_name or not attr:
        raise _refuse(spec, f"expected one of: {', '.join(available())}")
    try:
        target: Any = importlib.import_module(module_name)
        for part in attr.split("."):
            target = getattr(target, part)
    except (ImportError, AttributeError) as error:
        raise _refuse(spec, str(error)) from error
    if not callable(target):
        raise _refuse(spec, f"{text} is not callable")
    return {"factory": target, "factory_spec": text}


def _read_model(spec: str, name: str) -> dict[str, Any]:
    try:
        models.path_of(name)
    except ValueError as error:
        raise _refuse(spec, str(error)) from None
    return {"model": name}


def _checkpoint_part(rest: str) -> tuple[str, str | None] | None:
    """``PATH.npz[:N]`` split into the path, as it is (a folder's name may hold ':'), and the
    simulations' text (None when there is none): what follows the last ``.npz:``, unless that
    holds a ':' itself. None when ``rest`` names no checkpoint so."""
    if rest.endswith(models.CHECKPOINT_SUFFIX):
        return rest, None
    path, separator, simulations = rest.rpartition(models.CHECKPOINT_SUFFIX + ":")
    if not separator or ":" in simulations:
        return None
    return path + models.CHECKPOINT_SUFFIX, simulations


def _read_guided(spec: str, rest: str) -> dict[str, Any]:
    named = _checkpoint_part(rest)  # before splitting on ':', which its path may hold
    if named is not None:
        path, text = named
        simulations = DEFAULT_GUIDED_SIMULATIONS if text is None else _simulations(spec, text)
        return {**_read_model(spec, path), "simulations": simulations}
    parts = rest.split(":")
    simulations = DEFAULT_GUIDED_SIMULATIONS
    if models.is_model(parts[0]) and len(parts) <= 2:
        if len(parts) == 2:
            simulations = _simulations(spec, parts[1])
        return {**_read_model(spec, parts[0]), "simulations": simulations}
    if len(parts) == 3:
        simulations = _simulations(spec, parts.pop())
    if len(parts) != 2 or not all(parts):
        raise _refuse(spec, "expected guided:package.module:factory[:SIMULATIONS]")
    return {**_read_factory(spec, ":".join(parts)), "simulations": simulations}


def call_factory(factory: Callable[..., Any], seed: int | None) -> Any:
    """The factory's product: called with ``seed=`` when it takes that keyword."""
    try:
        takes_seed = "seed" in inspect.signature(factory).parameters
    except (TypeError, ValueError):  # a builtin or extension callable without a signature
        takes_seed = False
    return factory(seed=seed) if takes_seed else factory()


def _build_factory(options: dict[str, Any], seed: int | None, exploration: bool) -> Any:
    player = call_factory(options["factory"], seed)
    if not (callable(getattr(player, "act", None)) or is_search_player(player)):
        raise ValueError(
            f"player spec {options['factory_spec']!r} made a {type(player).__name__}, which has "
            "neither act(game) nor search_moves(games, seeds)"
        )
    return player


def _read_policy(spec: str, rest: str) -> dict[str, Any]:
    if not rest or not models.is_model(rest):
        raise _refuse(spec, "expected policy:MODEL, MODEL a shipped model or a checkpoint path")
    return _read_model(spec, rest)


def _build_policy(options: dict[str, Any], seed: int | None, exploration: bool) -> PolicyPlayer:
    evaluator = models.load(options["model"])
    return PolicyPlayer(evaluator, sample=exploration, seed=seed, name=f"policy:{options['model']}")


def _build_guided(options: dict[str, Any], seed: int | None, exploration: bool) -> GuidedPlayer:
    settings = EXPLORATION if exploration else {}
    if "model" in options:
        name = f"guided:{options['model']}:{options['simulations']}"
        evaluator = models.load(options["model"])
        return GuidedPlayer(
            evaluator, simulations=options["simulations"], seed=seed, name=name, **settings
        )
    evaluator = call_factory(options["factory"], seed)
    if not callable(evaluator):
        raise ValueError(
            f"guided spec factory {options['factory_spec']!r} made a {type(evaluator).__name__}, "
            "not an evaluator (a callable taking the leaves, giving priors and values)"
        )
    return GuidedPlayer(evaluator, simulations=options["simulations"], seed=seed, **settings)


KINDS: tuple[Kind, ...] = (
    Kind(
        "random",
        "random",
        "uniform among the legal actions",
        _no_arguments,
        lambda options, seed, exploration: RandomAgent(seed),
        built_in=True,
    ),
    Kind(
        "greedy",
        "greedy",
        "the largest piece, then the most corner cells gained",
        _no_arguments,
        lambda options, seed, exploration: GreedyAgent(seed),
        built_in=True,
    ),
    Kind(
        "mcts",
        "mcts:SIMULATIONS[:ROLLOUT]",
        "UCT tree search, random or greedy rollouts",
        _read_mcts,
        lambda options, seed, exploration: MCTSAgent(seed=seed, **options),
        built_in=True,
    ),
    Kind(
        "guided",
        "guided:package.module:factory[:SIMULATIONS]",
        "PUCT search guided by the evaluator the factory makes",
        _read_guided,
        _build_guided,
        searches=True,
        also=(
            (
                "guided:MODEL[:SIMULATIONS]",
                "PUCT search guided by a trained model (baseline, or a checkpoint's path)",
            ),
        ),
    ),
    Kind(
        "policy",
        "policy:MODEL",
        "a trained model's raw policy, one evaluation a move",
        _read_policy,
        _build_policy,
        searches=True,
    ),
    Kind(
        None,
        "package.module:factory",
        "the player the factory makes",
        _read_factory,
        _build_factory,
    ),
)


def available() -> list[str]:
    """Every form a player string may take, in the registry's order."""
    return [syntax for kind in KINDS for syntax, _ in kind.forms]


def describe() -> str:
    """One line per form of player string, for help texts."""
    forms = [form for kind in KINDS for form in kind.forms]
    width = max(len(syntax) for syntax, _ in forms)
    lines = [f"  {syntax:<{width}}  {summary}" for syntax, summary in forms]
    reserved = ", ".join(f"{p}:" for p in RESERVED_PREFIXES)
    return "\n".join([*lines, f"  (the prefixes {reserved} are reserved)"])


def parse(spec: str | Spec) -> Spec:
    """The player string checked: its syntax, and for a factory its module imported and its
    attribute found (but not called). ValueError says what is wrong. A ``Spec`` is given back
    as it is: it was checked when it was made."""
    if isinstance(spec, Spec):
        return spec
    if not isinstance(spec, str):
        raise TypeError(f"a player spec must be a str, not {type(spec).__name__}")
    prefix, _, rest = spec.partition(":")
    for kind in KINDS:
        if kind.prefix == prefix:
            return Spec(spec, kind, kind.read(spec, rest))
    if prefix in RESERVED_PREFIXES:
        raise _refuse(spec, f"{prefix}: is reserved for players of a kind not available here")
    if not rest:
        raise ValueError(f"unknown player spec {spec!r}: expected one of: {', '.join(available())}")
    factory = KINDS[-1]
    return Spec(spec, factory, factory.read(spec, spec))


def is_search_player(player: object) -> bool:
    """Whether ``player`` decides games in batches (has ``search_moves``)."""
    return callable(getattr(player, "search_moves", None))


def is_stateless(player: object) -> bool:
    """Whether ``player`` declares that it keeps no state from one game to the next."""
    return getattr(player, "stateless", False) is True


def resolve(player: object, where: str = "player") -> Any:
    """A player as it travels to where it is built: a spec string parsed into its ``Spec``
    (ValueError where it does not parse), a ``Spec`` as it is, an object checked and given
    back (TypeError where it has neither ``act`` nor ``search_moves``)."""
    if isinstance(player, (str, Spec)):
        return parse(player)
    if not (callable(getattr(player, "act", None)) or is_search_player(player)):
        raise TypeError(
            f"{where} must be a spec or have act(game) or search_moves(games, seeds), "
            f"not {type(player).__name__}"
        )
    return player


def check(player: object, where: str = "player") -> None:
    """Refuses what cannot be a player: a spec that does not parse (ValueError), an object with
    neither ``act`` nor ``search_moves`` (TypeError)."""
    resolve(player, where)


def make(player: str | Spec | Any, seed: int | None = None, *, exploration: bool = False) -> Any:
    """The player a spec (text or ``Spec``) names, built with ``seed`` (None: a fresh one), or
    an object given as it is once checked. ``exploration``: search players play as self-play
    wants them (see ``EXPLORATION``); the default is to play their best."""
    if seed is not None:
        seed = arguments.seed(seed)
    found = resolve(player)
    if not isinstance(found, Spec):
        return found
    return found.make(seed, exploration=exploration)


def name(player: object) -> str:
    """How a player is named in tables and datasets: its spec, or an object's ``name`` or
    repr."""
    if isinstance(player, str):
        return player
    if isinstance(player, Spec):
        return player.text
    return str(getattr(player, "name", None) or repr(player))
