"""The arena: four agents play many seeded games, seat-rotated, and get standings with error bars.

``run(["greedy", "random", "random", "random"], games=400, seed=0, workers=2)`` plays the four
entries against each other. Games come in blocks of four, one per cyclic rotation of the
seats: in game 4b + r, entry e sits in seat (e + r) mod 4. Within a block every entry plays
from the same random streams in all four games, so the seat is all that differs. The results
depend on neither ``workers`` nor the order the blocks are run in.

An entry is a spec of ``krodan_rl.players`` or an object:

- ``random``, ``greedy``, ``mcts:SIMULATIONS[:ROLLOUT]``: a built-in agent (tree searches grow
  one tree, on one thread, in the arena);
- ``guided:package.module:factory[:SIMULATIONS]``: a guided search, without root noise and
  playing its most visited action, that searches the games waiting on it in one batch;
- ``package.module:factory``: a factory of a player, called once per worker process;
- from Python, any object with ``act(game)`` or ``search_moves(games, seeds)``.

With built-in agents only, the games run on threads in native code with the interpreter lock
released; with any other, games are played side by side in Python by the match runner
(``krodan_rl.matches``; ``games.py`` says how each entry plays), in this process with
``workers=1`` (entries need not pickle), else in worker processes (by default one per core
this process may use). The seeds are ``krodan_rl.seeds``' arena streams (``entry_seed`` and
``move_seed`` here are their older names). ``standings.py`` draws the table, ``ratings.py``
fits the ratings and ``cli.py`` is the subcommand.
"""

from __future__ import annotations

from krodan_rl.arena.games import (
    ArenaResult,
    entry_seed,
    move_seed,
    play_games,
    rotation_seats,
    run,
)
from krodan_rl.arena.standings import Standings, standings

__all__ = [
    "ArenaResult",
    "Standings",
    "entry_seed",
    "move_seed",
    "play_games",
    "rotation_seats",
    "run",
    "standings",
]
