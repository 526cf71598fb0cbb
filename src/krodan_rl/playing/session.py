"""One game between a person and three players: the person's placements checked against the
engine's legal list, the other seats' turns played one at a time when asked, passes played for
every seat that is done, undo back to the person's previous turn, and the game as a record that
``python -m krodan_rl view`` opens."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from krodan_rl import actions, facts, players, render, seeds
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.players import Spec

__all__ = ["PERSON", "PlaySession", "Refused"]

#: How the person's seat is named on the page and in a saved record.
PERSON = "you"
LAST_ACTION = facts.NUM_ACTIONS - 1


class Refused(ValueError):
    """A request the game cannot take now; its message says why, in the person's terms."""


@dataclass(frozen=True)
class Placement:
    """A placement made: its ``mover``, its ``action`` in the mover's frame, and the board
    cells it covers (cell 20 * row + column)."""

    mover: int
    action: int
    cells: list[int]


def board_cells(mover: int, action: int) -> list[int]:
    """The board cells ``action`` covers when ``mover`` plays it, ascending."""
    covered = actions.table().on_board(mover, action)
    return sorted(int(r) * render.COLS + int(c) for r, c in covered)


class PlaySession:
    """A person in ``seat`` against the players ``opponents`` names (the other seats in
    order), each built with its seed from ``seed`` and the number of games begun before."""

    def __init__(self, opponents: Sequence[str | Spec], seat: int = 0, seed: int = 0) -> None:
        self.seat = arguments.integer(seat, "seat", minimum=0, maximum=facts.NUM_AGENTS - 1)
        if isinstance(opponents, str) or len(opponents) != facts.NUM_AGENTS - 1:
            raise ValueError(f"expected {facts.NUM_AGENTS - 1} opponents, one per other seat")
        specs = [players.parse(spec) for spec in opponents]
        self.specs: dict[int, Spec] = dict(zip(self._other_seats(), specs, strict=True))
        self.seed = arguments.seed(seed)
        self.games_begun = 0
        self.new_game()

    def _other_seats(self) -> list[int]:
        return [s for s in range(facts.NUM_AGENTS) if s != self.seat]

    @property
    def names(self) -> list[str]:
        return [PERSON if s == self.seat else self.specs[s].text for s in range(facts.NUM_AGENTS)]

    def new_game(self) -> None:
        """A fresh game, with fresh players; the seats before the person's play up to it."""
        self.game = PyKrodan()
        self.placements: list[Placement] = []
        # The person's earlier turns: the game before each of their placements, and how many
        # placements came before it.
        self._undo_points: list[tuple[bytes, int]] = []
        self._players = {
            s: spec.make(seeds.page_player(self.seed, self.games_begun, s))
            for s, spec in self.specs.items()
        }
        self._calls = dict.fromkeys(self._players, 0)
        self.games_begun += 1
        self._pass_done()

    @property
    def persons_turn(self) -> bool:
        """Whether the game waits for the person (it never waits for a seat that is done)."""
        return not self.game.is_over and self.game.agent_selection == self.seat

    def _pass_done(self) -> None:
        """Plays the pass of every mover that is done, up to one that is not (or the end)."""
        while not self.game.is_over and self.game.terminations[self.game.agent_selection]:
            self.game.step(None)

    def _record(self, mover: int, action: int) -> None:
        self.placements.append(Placement(mover, action, board_cells(mover, action)))
        self._pass_done()

    def place(self, action: object) -> None:
        """The person's placement: ``action`` in their frame. Refused (``Refused``) when it is
        not their turn or the engine's legal list for them does not hold it."""
        if self.game.is_over:
            raise Refused("the game is over: start a new one, or undo")
        if not self.persons_turn:
            mover = self.game.agent_selection
            raise Refused(f"it is not your turn: seat {mover} ({self.names[mover]}) is to move")
        try:
            action = arguments.integer(action, "action", minimum=0, maximum=LAST_ACTION)
        except (TypeError, ValueError) as error:
            raise Refused(str(error)) from None
        if not self.game.observe(self.seat).action_mask[action]:
            raise Refused(_why_not_legal(action))
        self._undo_points.append((self.game.to_bytes(), len(self.placements)))
        self.game.step(action)
        self._record(self.seat, action)

    def step(self) -> Placement | None:
        """Plays the turn of the seat to move when it is not the person's: its placement, or
        None when there is none to play (the person's turn, or the game over)."""
        if self.game.is_over or self.persons_turn:
            return None
        mover = self.game.agent_selection
        action = self._move_of(mover)
        if action is None or not self.game.observe(mover).action_mask[action]:
            raise RuntimeError(
                f"the player of seat {mover} ({self.names[mover]}) chose {action!r}, which is "
                "not one of its legal actions"
            )
        self.game.step(action)
        self._record(mover, action)
        return self.placements[-1]

    def _move_of(self, mover: int) -> int | None:
        player = self._players[mover]
        if callable(getattr(player, "act", None)):
            found: int | None = player.act(self.game)
            return found
        # A player that only searches in batches: one game, a seed per call.
        seed = seeds.page_player(self.seed, self.games_begun - 1, mover)
        move = player.search_moves([self.game], seeds.call_seeds(seed, self._calls[mover]))[0]
        self._calls[mover] += 1
        return None if move is None else int(move[0])

    @property
    def can_undo(self) -> bool:
        return bool(self._undo_points)

    def undo(self) -> None:
        """Back to the person's previous turn: the game before their last placement."""
        if not self._undo_points:
            raise Refused("nothing to undo: you have placed no piece in this game")
        state, placed = self._undo_points.pop()
        self.game = PyKrodan.from_bytes(state)
        del self.placements[placed:]

    def record(self) -> dict[str, Any]:
        """The game as an arena record of one game (what ``python -m krodan_rl view`` and
        ``krodan_rl.replay.from_arena`` read): the players by seat, the placements in order,
        and the scores as they stand."""
        return {
            "specs": self.names,
            "seed": self.seed,
            "games": 1,
            "seats": [list(range(facts.NUM_AGENTS))],
            "scores": [list(self.game.scores)],
            "placements": [[p.action for p in self.placements]],
        }

    def state(self) -> dict[str, Any]:
        """What the page shows: the board, scores, hands and flags, the person's legal
        placements when it is their turn, and the other seats' placements since the person's last
        one (the last round's, once the person is done)."""
        game = self.game
        owners = render.owners(game)
        pieces = np.frombuffer(game.observe(0).pieces, np.uint8).reshape(facts.NUM_AGENTS, -1)
        mine = [i for i, p in enumerate(self.placements) if p.mover == self.seat]
        since = self.placements[mine[-1] + 1 :] if mine else self.placements
        recent = since[-(facts.NUM_AGENTS - 1) :]  # at most a round: the answers to the person
        return {
            "owners": "".join("." if o is None else str(o) for o in owners),
            "scores": list(game.scores),
            "hand": ["".join(map(str, row)) for row in pieces.tolist()],
            "done": list(game.terminations),
            "over": game.is_over,
            "mover": None if game.is_over else game.agent_selection,
            "seat": self.seat,
            "names": self.names,
            "placements": len(self.placements),
            "recent": [{"mover": p.mover, "cells": p.cells} for p in recent],
            "legal": self._legal() if self.persons_turn else [],
            "can_undo": self.can_undo,
        }

    def _legal(self) -> list[list[Any]]:
        """The person's legal placements: [action, piece, board cells] each."""
        mask = np.frombuffer(self.game.observe(self.seat).action_mask, np.uint8)
        piece = actions.table().piece
        return [
            [int(a), int(piece[a]), board_cells(self.seat, int(a))] for a in np.flatnonzero(mask)
        ]


def _why_not_legal(action: int) -> str:
    table = actions.table()
    if not table.fits[action]:
        return f"action {action} does not fit on the board"
    name = table.piece_names[table.piece[action]]
    return (
        f"{name} cannot go there: a piece goes on empty cells, touches one of your pieces at a "
        "corner and none along an edge (your first covers your start corner), and you must "
        "still hold it"
    )
