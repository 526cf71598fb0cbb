"""What a self-play run plays, checked when it is made. The seeds its games draw from are
``krodan_rl.seeds``' self-play streams (``player_seed`` and ``move_seed`` here are their older
names)."""

from __future__ import annotations

import copy
import json
import math
from dataclasses import dataclass
from typing import Any

from krodan_rl import facts, players, seeds
from krodan_rl._internal import arguments
from krodan_rl.players import Spec

__all__ = ["DEFAULT_GAMES_PER_SHARD", "NUM_SEATS", "RunConfig", "move_seed", "player_seed"]

NUM_SEATS = facts.NUM_AGENTS  # a seat for each agent
#: Games per shard when neither the caller nor an existing run folder says otherwise: small
#: enough that two workers share a run of a few hundred games, large enough that a shard's
#: files are not tiny. Never derived from the number of workers: game ids and seeds follow the
#: shard size, and the files must not depend on how many processes wrote them.
DEFAULT_GAMES_PER_SHARD = 100
#: The most shards a run may have: every run lists its shards when it starts (and a million
#: shards of files is past any self-play this machine's kind could play).
MAX_SHARDS = 10**6
#: The most bytes a run's note takes as JSON.
MAX_NOTE_BYTES = 2**16


#: The seed of the player in ``seat`` of game ``game`` of ``shard``. A player made once for a
#: whole shard (a ``guided:`` spec) takes game ``games_per_shard``.
player_seed = seeds.selfplay_player
#: The seed handed to ``search_moves`` for the move at ``ply`` of a game.
move_seed = seeds.selfplay_move


@dataclass(frozen=True)
class RunConfig:
    """What a run plays: checked when made, so that a bad run fails before its first game.
    Its ``players`` are kept as they travel on: spec strings parsed into their ``Spec``,
    objects as they are.

    Pickles, for workers and remote actors; ``generate_shard(config, s, out_dir)`` plays shard s.
    """

    num_games: int
    players: tuple[Any, ...]
    games_per_shard: int = DEFAULT_GAMES_PER_SHARD
    seed: int = 0
    games_at_once: int = 64
    #: What the caller records about the run beside its games, as JSON (a training: the
    #: checkpoint that plays it). Kept in the manifest and the markers; not part of what
    #: reruns into the same folder must agree on.
    note: dict[str, Any] | None = None

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
        _check_note(self.note)
        resolved = tuple(players.resolve(p, f"player {k}") for k, p in enumerate(self.players))
        object.__setattr__(self, "players", resolved)
        for seat, player in enumerate(self.players):
            if not isinstance(player, Spec):
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


def _check_note(note: object) -> None:
    if note is None:
        return
    if not isinstance(note, dict) or not all(isinstance(key, str) for key in note):
        raise TypeError(f"note must be a dict with str keys, not {type(note).__name__}")
    try:
        text = json.dumps(note, allow_nan=False)
    except (TypeError, ValueError) as error:
        raise ValueError(f"note must be plain JSON: {error}") from None
    if len(text.encode()) > MAX_NOTE_BYTES:
        raise ValueError(f"note takes {len(text.encode())} bytes as JSON; at most {MAX_NOTE_BYTES}")
