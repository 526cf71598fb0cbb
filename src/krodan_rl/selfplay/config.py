"""What a self-play run plays, checked when it is made, and the seeds its games draw from."""

from __future__ import annotations

import copy
import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from krodan_rl import arguments, players

__all__ = ["DEFAULT_GAMES_PER_SHARD", "NUM_SEATS", "RunConfig", "move_seed", "player_seed"]

NUM_SEATS = 4
#: Games per shard when neither the caller nor an existing run folder says otherwise: small
#: enough that two workers share a run of a few hundred games, large enough that a shard's
#: files are not tiny. Never derived from the number of workers: game ids and seeds follow the
#: shard size, and the files must not depend on how many processes wrote them.
DEFAULT_GAMES_PER_SHARD = 100
#: The most shards a run may have: every run lists its shards when it starts (and a million
#: shards of files is past any self-play this machine's kind could play).
MAX_SHARDS = 10**6


def player_seed(seed: int, shard: int, game: int, seat: int) -> int:
    """The seed of the built-in agent in ``seat`` of game ``game`` of ``shard``. A player made
    once for a whole shard (a ``guided:`` spec) takes game ``games_per_shard``."""
    return int(np.random.SeedSequence([seed, shard, game, seat]).generate_state(1, np.uint64)[0])


def move_seed(seed: int, shard: int, game: int, seat: int, ply: int) -> int:
    """The seed handed to ``search_moves`` for the move at ``ply`` of a game."""
    words = [seed, shard, game, seat, ply]
    return int(np.random.SeedSequence(words).generate_state(1, np.uint64)[0])


@dataclass(frozen=True)
class RunConfig:
    """What a run plays: checked when made, so that a bad run fails before its first game.

    Pickles, for workers and remote actors; ``generate_shard(config, s, out_dir)`` plays shard s.
    """

    num_games: int
    players: tuple[Any, ...]
    games_per_shard: int = DEFAULT_GAMES_PER_SHARD
    seed: int = 0
    games_at_once: int = 64

    def __post_init__(self) -> None:
        object.__setattr__(
            self, "num_games", arguments.integer(self.num_games, "num_games", minimum=1)
        )
        object.__setattr__(
            self,
            "games_per_shard",
            arguments.integer(self.games_per_shard, "games_per_shard", minimum=1),
        )
        object.__setattr__(self, "seed", arguments.seed(self.seed))
        object.__setattr__(
            self, "games_at_once", arguments.integer(self.games_at_once, "games_at_once", minimum=1)
        )
        if self.num_shards > MAX_SHARDS:
            raise ValueError(
                f"num_games {self.num_games} at {self.games_per_shard} games a shard makes "
                f"{self.num_shards} shards; a run holds at most {MAX_SHARDS}"
            )
        if isinstance(self.players, str) or len(self.players) != NUM_SEATS:
            raise ValueError(f"a run takes exactly {NUM_SEATS} players, one per seat")
        object.__setattr__(self, "players", tuple(self.players))
        for seat, player in enumerate(self.players):
            players.check(player, f"player {seat}")
            if not isinstance(player, str):
                try:
                    copy.deepcopy(player)
                except Exception as error:  # whatever stops the copy, the player is refused
                    raise TypeError(
                        f"player {seat} ({players.name(player)}) cannot be deep-copied: {error}"
                    ) from error

    @property
    def num_shards(self) -> int:
        return math.ceil(self.num_games / self.games_per_shard)

    def shard_games(self, shard: int) -> int:
        """The number of games in ``shard`` (the last shard may be short)."""
        if not 0 <= shard < self.num_shards:
            raise ValueError(f"shard must be from 0 to {self.num_shards - 1}, not {shard}")
        return min(self.games_per_shard, self.num_games - shard * self.games_per_shard)

    @property
    def player_names(self) -> list[str]:
        """Each seat's name in the games shards: its spec, or an object's ``name`` or repr."""
        return [players.name(p) for p in self.players]
