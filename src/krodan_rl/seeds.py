"""Every seed the package derives from another, and the one recipe behind them all: the first
64-bit word numpy's ``SeedSequence`` generates from a list of words. Stored datasets, arena
tables and pinned results depend on these numbers, so each stream is one function here and
nothing derives a seed any other way.

The streams:

- the arena (``krodan_rl.arena``): ``arena_entry`` for an entry's player (made for a block of
  four rotated games, or once for the run), ``arena_move`` for a search player's move;
- self-play (``krodan_rl.selfplay``): ``selfplay_player`` for the player of a seat of a game
  (a player made once for a whole shard takes game ``games_per_shard``), ``selfplay_move`` for
  a search player's move, and ``full_search_draw`` from that move's seed for whether a player
  that caps its playouts searches it fully;
- a player asked one game at a time (``act``): ``call_seeds``, from its seed and how many calls
  came before;
- the play page (``krodan_rl.playing``): ``page_player`` for the player of a seat of a game;
- the seat environment (``krodan_rl.seat_env``): ``opponent_seed`` for opponent j, ``combined``
  for a reset's seed given as many numbers, ``rows`` for many moves at once;
- training (``krodan_rl.train``): ``learner_batches`` for a pass over an iteration's window,
  ``warm_share_batches`` for a pass over the warm start's games mixed into its batches,
  ``heldout_run`` for the games a training holds out.
"""

from __future__ import annotations

from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

__all__ = [
    "arena_entry",
    "arena_move",
    "call_seeds",
    "combined",
    "derive",
    "full_search_draw",
    "heldout_run",
    "learner_batches",
    "opponent_seed",
    "page_player",
    "rows",
    "selfplay_move",
    "selfplay_player",
    "warm_share_batches",
]

# The word that sets the held-out games' stream apart from the training's own runs.
HELDOUT = 0x4845_4C44
# The word that sets a move's draw of its search's size apart from the search's own stream.
FULL_SEARCH = 0x4655_4C4C


def derive(*words: int) -> int:
    """The seed derived from ``words`` (each from 0 to 2**64 - 1)."""
    return int(np.random.SeedSequence(list(words)).generate_state(1, np.uint64)[0])


def rows(words: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    """``derive`` of each row of a 2-D array of words."""
    return np.array([derive(*map(int, row)) for row in words], dtype=np.uint64)


def combined(words: Iterable[int]) -> int:
    """One seed for a sequence of them (a reset's seeds given per game, say)."""
    return derive(*words)


def arena_entry(seed: int, entry: int, block: int | None = None) -> int:
    """The seed of arena entry ``entry``'s player: made for block ``block`` (four games), or
    for the whole run when ``block`` is None."""
    return derive(seed, entry) if block is None else derive(seed, entry, block)


def arena_move(seed: int, entry: int, block: int, rotation: int, ply: int) -> int:
    """The seed of an arena search player's move at ``ply`` of game 4 * block + rotation."""
    return derive(seed, entry, block, rotation, ply)


def selfplay_player(seed: int, shard: int, game: int, seat: int) -> int:
    """The seed of the player in ``seat`` of game ``game`` of ``shard`` in a self-play run."""
    return derive(seed, shard, game, seat)


def selfplay_move(seed: int, shard: int, game: int, seat: int, ply: int) -> int:
    """The seed of a self-play search player's move at ``ply`` of a game."""
    return derive(seed, shard, game, seat, ply)


def full_search_draw(move_seed: int) -> float:
    """A number in [0, 1) drawn from a search player's move seed: a player that caps its
    playouts searches the move fully where the draw falls below its share of full searches.
    A function of the move's seed alone, so that a game's draws depend on nothing else."""
    return (derive(move_seed, FULL_SEARCH) >> 11) / 2.0**53


def call_seeds(seed: int, calls: int) -> npt.NDArray[np.uint64]:
    """A one-game player's move seed, as the one-element array ``search_moves`` takes: from its
    own seed and the number of calls before this one."""
    return np.array([derive(seed, calls)], dtype=np.uint64)


def opponent_seed(seed: int, opponent: int) -> int:
    """The seed of the seat environment's opponent ``opponent``."""
    return derive(seed, opponent)


def page_player(seed: int, game: int, seat: int) -> int:
    """The seed of the player in ``seat`` of game ``game`` (0 the first) a play page serves."""
    return derive(seed, game, seat)


def learner_batches(seed: int, epoch: int) -> int:
    """The shuffling seed of pass ``epoch`` over the window of a learning seeded ``seed``."""
    return seed * 1000 + epoch


def warm_share_batches(seed: int, epoch: int) -> int:
    """The shuffling seed of pass ``epoch`` over the warm start's games, where they make a
    share of each batch of a learning seeded ``seed``."""
    return derive(seed, epoch, 1)


def heldout_run(seed: int) -> int:
    """The seed of the held-out games of a training seeded ``seed``."""
    return derive(seed, HELDOUT)
