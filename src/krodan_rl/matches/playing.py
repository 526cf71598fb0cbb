"""A chunk of a run's games played side by side, as a plan seats them: every game the arena,
self-play and the training's evaluation play in Python goes through ``play``."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from krodan_rl._krodan import PyKrodan
from krodan_rl.matches import lockstep
from krodan_rl.matches.lockstep import Decision
from krodan_rl.matches.plans import MatchPlan

__all__ = ["Record", "play"]

#: Called before each move is played, with the game's place in the chunk, the game still
#: before the move, and the move with the policy behind it.
Record = Callable[[int, PyKrodan, Decision], None]


def play(
    plan: MatchPlan,
    games: Sequence[int],
    record: Record | None = None,
    *,
    policies: bool = False,
) -> list[PyKrodan]:
    """Games ``games`` of ``plan``'s run played to their end side by side (search players
    asked once for all the games waiting on them), in this process; the finished games, in
    the order of ``games``. ``policies``: the moves of players that can say the policy behind
    them carry it (see ``krodan_rl.matches.lockstep``)."""
    boards = [PyKrodan() for _ in games]
    lockstep.play(
        boards,
        [plan.lineup(game) for game in games],
        move_seed=lambda i, seat, ply: plan.move_seed(games[i], seat, ply),
        describe=lambda i, seat: plan.describe(games[i], seat),
        record=record,
        policies=policies,
    )
    return boards
