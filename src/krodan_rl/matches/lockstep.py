"""Many games played side by side, so that a player that searches in batches decides every game
that waits on it in one call: the match runner (``krodan_rl.matches``), which plays the arena's
and self-play's games, plays through ``play``. Players are known here by their protocol only.

Each round, every game in play advances through the passes of done agents and the moves of
players that act one game at a time, up to a move of a search player (one with
``search_moves``); then each search player is asked once, for all the games waiting on it, and
those games play its moves. A search player is given a copy of each game and a seed per game,
from which its move must follow: what a game records then depends on neither the other games
nor how many are played together. A player that acts one game at a time gets a copy of the game
too, so that nothing it does to the game can change the one being played. Where policies are
wanted, a player with ``act_with_policy(game)`` gives the policy behind its move, checked as a
search player's is; any other act player's is one-hot on its action. A search player may give a
move with an empty policy: a cheap search's, recorded for its value only (no policy target).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import players
from krodan_rl._internal import arguments, targets
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import NUM_ACTIONS
from krodan_rl.search import SearchMove

__all__ = ["Decision", "play"]


@dataclass(frozen=True)
class Decision:
    """A move and the policy behind it: a search's visit distribution (``has_policy``), or
    one-hot on the action, or nothing (empty ``actions`` and ``probs``: a move whose search was
    too cheap to teach the policy, kept for the value only). ``action`` is -1 for a pass."""

    action: int
    has_policy: bool
    actions: npt.NDArray[np.int32]
    probs: npt.NDArray[np.float32]


#: (game index, agent, ply) -> the seed of a search player's move.
MoveSeed = Callable[[int, int, int], int]
#: (game index, agent) -> how errors name the player of that agent.
Describe = Callable[[int, int], str]
#: Called before each move is played, with the game still before it.
Record = Callable[[int, PyKrodan, Decision], None]


def play(
    games: Sequence[PyKrodan],
    seats: Sequence[Sequence[object]],
    move_seed: MoveSeed,
    describe: Describe,
    record: Record | None = None,
    policies: bool = False,
) -> None:
    """Plays every game to its end: ``seats[i][a]`` plays agent a of game i. ``policies``: a
    player with ``act_with_policy`` gives the policy behind its move (else every act player is
    one-hot)."""
    active = list(range(len(games)))
    while active:
        waiting: dict[int, tuple[object, list[int]]] = {}
        for i in active:
            game = games[i]
            while _skip_passes(game):
                player = seats[i][game.agent_selection]
                if players.is_search_player(player):
                    waiting.setdefault(id(player), (player, []))[1].append(i)
                    break
                _move(game, _act(player, game, policies, i, describe), i, describe, record)
        for player, members in waiting.values():
            for i, decision in _search(player, games, members, move_seed, describe).items():
                _move(games[i], decision, i, describe, record)
        active = [i for i in active if not games[i].is_over]


def _skip_passes(game: PyKrodan) -> bool:
    """Plays the passes of done movers; whether the game goes on."""
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)
    return not game.is_over


def one_hot(action: int | None) -> Decision:
    chosen = -1 if action is None else arguments.integer(action, "the action")
    return Decision(chosen, False, np.array([chosen], dtype=np.int32), np.ones(1, np.float32))


def _act(player: object, game: PyKrodan, policies: bool, i: int, describe: Describe) -> Decision:
    with_policy = getattr(player, "act_with_policy", None) if policies else None
    if not callable(with_policy):
        return one_hot(player.act(game.copy()))  # type: ignore[attr-defined]
    found = with_policy(game.copy())
    if isinstance(found, Sequence) and len(found) == 3 and found[0] is None:
        return one_hot(None)  # the mover's pass
    name = describe(i, game.agent_selection)
    return checked_move(name, found, game, "act_with_policy")


def _search(
    player: object,
    games: Sequence[PyKrodan],
    members: list[int],
    move_seed: MoveSeed,
    describe: Describe,
) -> dict[int, Decision]:
    """One call of a search player for the games ``members``; their checked decisions."""
    asked: list[PyKrodan | None] = [None] * len(games)
    # uint64, not a list: numpy reads a list of ints beyond 2**63 as float64.
    seeds = np.zeros(len(games), dtype=np.uint64)
    for i in members:
        game = games[i]
        asked[i] = game.copy()
        seeds[i] = move_seed(i, game.agent_selection, game.ply)
    found = player.search_moves(asked, seeds)  # type: ignore[attr-defined]
    name = describe(members[0], games[members[0]].agent_selection)
    if not isinstance(found, Sequence) or len(found) != len(games):
        raise ValueError(f"{name}: search_moves must give one entry per game")
    for i, entry in enumerate(found):
        if asked[i] is None and entry is not None:
            raise ValueError(f"{name}: search_moves answered a game not asked")
    return {i: checked_move(name, found[i], games[i]) for i in members}


def checked_move(
    name: str, found: object, game: PyKrodan, method: str = "search_moves"
) -> Decision:
    """A ``search_moves`` entry for one game (or what ``method`` gave), refused unless it is a
    sound policy, or an empty one with a legal action (a move kept for its value only)."""
    where = f"{name} at ply {game.ply}"
    if not isinstance(found, Sequence) or isinstance(found, str) or len(found) != 3:
        raise ValueError(f"{where}: {method} must give (action, actions, probs) per game")
    move = SearchMove(*found)
    action = arguments.integer(move.action, "the chosen action")
    actions = np.asarray(move.actions)
    probs = np.asarray(move.probs)
    if actions.ndim != 1 or actions.shape != probs.shape:
        raise ValueError(f"{where}: policy actions and probabilities must be equal 1-D arrays")
    mask = np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.bool_)
    if actions.size == 0:
        if not (0 <= action < NUM_ACTIONS and mask[action]):
            raise ValueError(f"{where}: {action} is not a legal action of the mover")
        return Decision(action, False, np.empty(0, np.int32), np.empty(0, np.float32))
    if actions.dtype.kind not in "iu" or probs.dtype.kind != "f":
        raise ValueError(f"{where}: policy actions must be integers, probabilities floats")
    stored = (actions.astype(np.int32), probs.astype(np.float32))
    if _plainly_sound(action, *stored, mask):
        return Decision(action, True, *stored)
    legal = np.flatnonzero(mask)
    problem = targets.policy_problem(
        stored[0], stored[1], np.array([0, actions.size]), np.array([action]), np.ones(1, bool),
        legal, np.array([0, legal.size]),
    )  # fmt: skip
    if problem is not None:
        raise ValueError(f"{where}: {problem[1]} (policies are distinct legal actions with "
                         "probabilities summing to 1, the action played among them)")  # fmt: skip
    return Decision(action, True, *stored)


def _plainly_sound(
    action: int, actions: npt.NDArray[np.int32], probs: npt.NDArray[np.float32], mask: Any
) -> bool:
    """Whether one move's policy passes every check of ``targets.policy_problem`` with room
    to spare: the common case, decided in a few array operations. Anything else goes to
    ``policy_problem``, which says what is wrong."""
    if (actions < 0).any() or (actions >= NUM_ACTIONS).any() or not mask[actions].all():
        return False
    if not (np.isfinite(probs).all() and (probs >= 0).all()):
        return False
    if abs(float(probs.sum(dtype=np.float64)) - 1) > targets.PROBABILITY_TOLERANCE / 2:
        return False
    return np.unique(actions).size == actions.size and bool((actions == action).any())


def _move(
    game: PyKrodan, decision: Decision, i: int, describe: Describe, record: Record | None
) -> None:
    mover, ply = game.agent_selection, game.ply
    if record is not None:
        record(i, game, decision)
    action = decision.action if decision.action >= 0 else None
    try:
        game.step(action)
    except AssertionError as error:  # the engine's refusal of an illegal action
        raise ValueError(
            f"{describe(i, mover)} chose {action} for agent {mover} at ply {ply}, which is not "
            f"a legal action: {error}"
        ) from error
