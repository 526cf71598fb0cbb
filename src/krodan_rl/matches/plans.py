"""Who plays each game of a run and from which seeds: the arena's plan and self-play's. A plan
is made in each process that plays (a worker makes its own from the run's entries), and makes,
copies and shares the players there.

- ``ArenaPlan``: game 4b + r of a run is rotation r of block b, entry e in seat (e + r) mod 4.
  A built-in spec is made for each block, with seed ``seeds.arena_entry(seed, e, b)``, each of
  the block's four games starting from a copy of it; any other entry is made once, with seed
  ``seeds.arena_entry(seed, e)`` (a factory spec so is called once per process): a search
  player, or a player that declares ``stateless = True``, plays every game itself, any other
  player each game from a copy. A search player's move at ``ply`` draws from
  ``seeds.arena_move(seed, e, b, r, ply)``.
- ``SelfPlayPlan``: the games of one shard s, player k in seat k. A built-in or factory spec is
  made for each game j and seat k, with seed ``seeds.selfplay_player(seed, s, j, k)``; a search
  spec (``guided:``, ``policy:``) once for the shard, exploring (``players.EXPLORATION``), with
  seed ``seeds.selfplay_player(seed, s, games_per_shard, k)`` of the first seat naming it, and
  shared by the seats that name it; an object with ``search_moves`` is copied once for the
  shard, any other object for each game (objects in several seats copied together, so that
  they stay one object). A search player's move at ``ply`` draws from
  ``seeds.selfplay_move(seed, s, j, k, ply)``.

So what a game plays depends on neither the number of workers, nor the games played beside it,
nor the order in which games are played.
"""

from __future__ import annotations

import copy
from collections.abc import Callable, Sequence
from typing import Any, Protocol

from krodan_rl import facts, players, seeds
from krodan_rl.players import Spec

__all__ = ["NUM_SEATS", "ArenaPlan", "MatchPlan", "SelfPlayPlan", "arena_seats"]

NUM_SEATS = facts.NUM_AGENTS


class MatchPlan(Protocol):
    """Who plays each game of a run, and the seeds of its search players' moves. Games are
    numbered as the run numbers them (the arena: from the run's first; self-play: within the
    shard)."""

    def lineup(self, game: int) -> list[Any]:
        """The players of game ``game``, by seat."""

    def move_seed(self, game: int, seat: int, ply: int) -> int:
        """The seed of a search player's move at ``ply`` of game ``game``, in ``seat``."""

    def describe(self, game: int, seat: int) -> str:
        """How errors name the player in ``seat`` of game ``game``."""


def arena_seats(game: int) -> list[int]:
    """The entry in each seat of the arena's game ``game``: entry e in seat (e + r) mod 4 in
    game 4b + r."""
    return [(seat - game) % NUM_SEATS for seat in range(NUM_SEATS)]


def _resolved(entries: Sequence[Any], what: str) -> list[Any]:
    if isinstance(entries, str) or len(entries) != NUM_SEATS:
        raise ValueError(f"a plan takes exactly {NUM_SEATS} players, one per seat")
    return [players.resolve(entry, f"{what} {k}") for k, entry in enumerate(entries)]


class ArenaPlan:
    """The arena's games among four entries (specs, text or ``Spec``, or objects) and a run's
    ``seed``, as one process plays them (see the module's docstring)."""

    def __init__(self, entries: Sequence[Any], seed: int) -> None:
        self.seed = seed
        resolved = _resolved(entries, "entry")
        self.names = [players.name(e) for e in resolved]
        self.per_block: dict[int, Spec] = {}  # built-in specs
        self.once: dict[int, Any] = {}  # the rest, made here
        for e, entry in enumerate(resolved):
            if isinstance(entry, Spec) and entry.built_in:
                self.per_block[e] = entry
            else:
                self.once[e] = players.make(entry, seeds.arena_entry(seed, e))
        self._block: tuple[int, dict[int, Any]] = (-1, {})  # the last block's built-in agents

    def _built_in(self, block: int) -> dict[int, Any]:
        if self._block[0] != block:
            made = {
                e: spec.make(seeds.arena_entry(self.seed, e, block))
                for e, spec in self.per_block.items()
            }
            self._block = (block, made)
        return self._block[1]

    def lineup(self, game: int) -> list[Any]:
        built_in = self._built_in(game // NUM_SEATS)
        seated: list[Any] = []
        for e in arena_seats(game):
            made = self.once.get(e)
            if made is None:
                seated.append(copy.deepcopy(built_in[e]))
            elif players.is_search_player(made) or players.is_stateless(made):
                seated.append(made)
            else:
                seated.append(copy.deepcopy(made))
        return seated

    def move_seed(self, game: int, seat: int, ply: int) -> int:
        block, rotation = divmod(game, NUM_SEATS)
        return seeds.arena_move(self.seed, arena_seats(game)[seat], block, rotation, ply)

    def describe(self, game: int, seat: int) -> str:
        entry = arena_seats(game)[seat]
        return f"entry {entry} ({self.names[entry]}) in seat {seat} of game {game}"


def _copies(objects: Sequence[Any], keep: Callable[[object], bool]) -> dict[int, Any]:
    """Deep copies of the objects (not specs) that ``keep`` selects, by seat, made together so
    that an object in several seats stays one object."""
    seats = [k for k, p in enumerate(objects) if not isinstance(p, Spec) and keep(p)]
    copied = copy.deepcopy([objects[k] for k in seats])
    return dict(zip(seats, copied, strict=True))


class SelfPlayPlan:
    """Self-play's games of shard ``shard`` of a run among four players (player k in seat k)
    with ``seed`` and ``games_per_shard`` games a shard (see the module's docstring)."""

    def __init__(
        self, players_by_seat: Sequence[Any], seed: int, shard: int, games_per_shard: int
    ) -> None:
        self.players = _resolved(players_by_seat, "player")
        self.seed, self.shard = seed, shard
        self.names = [players.name(p) for p in self.players]
        self.shared: dict[int, Any] = _copies(self.players, players.is_search_player)
        by_spec: dict[str, Any] = {}
        for seat, player in enumerate(self.players):
            if isinstance(player, Spec) and player.searches:
                if player.text not in by_spec:
                    made_seed = seeds.selfplay_player(seed, shard, games_per_shard, seat)
                    by_spec[player.text] = players.make(player, made_seed, exploration=True)
                self.shared[seat] = by_spec[player.text]

    def lineup(self, game: int) -> list[Any]:
        own = _copies(self.players, lambda p: not players.is_search_player(p))
        made: list[Any] = []
        for seat, player in enumerate(self.players):
            if seat in self.shared:
                made.append(self.shared[seat])
            elif isinstance(player, Spec):
                made_seed = seeds.selfplay_player(self.seed, self.shard, game, seat)
                made.append(players.make(player, made_seed))
            else:
                made.append(own[seat])
        return made

    def move_seed(self, game: int, seat: int, ply: int) -> int:
        return seeds.selfplay_move(self.seed, self.shard, game, seat, ply)

    def describe(self, game: int, seat: int) -> str:
        return f"player {self.names[seat]}"
