"""Self-play data: games among four players, every placement written to Parquet shards with its
position, action and policy target, for training (``krodan_rl.data`` reads them back).

``generate(1000, ["mcts:400", "mcts:400", "greedy", "random"], "runs/a")`` plays 1000 games,
player k in seat k (seat = absolute agent index), and writes ``runs/a/turns/shard-*.parquet``
and ``runs/a/games/shard-*.parquet`` (the layout is described in ``krodan_rl.data.schema``).

A player is a spec of ``krodan_rl.players`` or an object:

- ``random``, ``greedy``, ``mcts:SIMULATIONS[:ROLLOUT]``: a built-in agent, made anew for each
  game and seat. A tree search records its root visit distribution as the policy target; the
  others a one-hot target on their action (``has_policy`` False). A search player's move
  given with an empty policy is recorded with none (``has_policy`` False): its row trains the
  value only.
- ``guided:package.module:factory[:SIMULATIONS]``: ``krodan_rl.search.GuidedPlayer`` searching
  with the evaluator the factory returns, with root noise (``dirichlet_fraction`` 0.25) and its
  moves drawn at temperature 1; made once per shard and shared by the seats that name the same
  spec.
- ``package.module:factory``: an object with ``act(game)`` made for each game and seat.
- From Python, an object with ``act(game) -> int | None``, or with ``search_moves`` (below).
  Each game plays with a deep copy of the act objects; objects with ``search_moves`` are copied
  once per shard. With several workers, objects travel to them by pickle.

A player with ``search_moves(games, seeds)`` plays the games of a chunk (``games_at_once``
games) side by side: every game advances to that player's next move, then it is called once
with every game of the chunk that waits on it (None for the others) and a uint64 array of one
seed per game (0 for the others), and returns, for each game given, a
``krodan_rl.search.SearchMove`` (the action it chose and its policy as int32 actions and
float32 probabilities summing to 1; a plain 3-tuple is taken too); None for the others.

Seeds: game j (counted from 0 within shard s, ``game_id = s * games_per_shard + j``) seats a
built-in agent in seat k with seed ``seeds.selfplay_player(seed, s, j, k)``; ``search_moves``
gets ``seeds.selfplay_move(seed, s, j, k, ply)`` for the move at ``ply``
(``krodan_rl.seeds``). What built-in players play
depends on neither ``workers`` nor ``games_at_once``, nor on the process that plays a shard.
The games are played by the match runner (``krodan_rl.matches``: ``SelfPlayPlan`` seats them),
as the arena's are.

Each shard is written under a temporary name beginning with a dot (unique to the attempt),
flushed to disk, then renamed into place, the turns file first: a shard is there whole or not
at all, and a turns shard without its games shard is refused by the reader. Then its marker
commits it. A run is resumable: run again with the same arguments, it keeps the committed
shards and plays only the others (``krodan_rl.selfplay.run_folder``); a folder of another run
is refused, so that runs never mix. Backends (``krodan_rl.selfplay.backends``): ``local``
processes (by default one per core this process may use), or Ray actors with
``backend="ray"``.

The parts: ``config`` (what a run plays), ``record`` and ``tables`` (a game's turns
and the Parquet tables built from them), ``shard`` (a shard played and written), ``run_folder``
(what a folder holds, its lock and markers), ``backends`` (who plays the shards), ``driver``
(``generate``) and ``cli`` (the subcommand).
"""

from __future__ import annotations

try:
    import pyarrow  # noqa: F401
except ImportError as error:  # pragma: no cover (the data extra is missing)
    raise ImportError("krodan_rl.selfplay needs pyarrow: pip install 'krodan_rl[data]'") from error

from krodan_rl.selfplay.config import (
    DEFAULT_GAMES_PER_SHARD,
    RunConfig,
    move_seed,
    player_seed,
)
from krodan_rl.selfplay.driver import GenerateSummary, generate
from krodan_rl.selfplay.shard import ShardSummary, generate_shard, produce_shard

__all__ = [
    "DEFAULT_GAMES_PER_SHARD",
    "GenerateSummary",
    "RunConfig",
    "ShardSummary",
    "generate",
    "generate_shard",
    "move_seed",
    "player_seed",
    "produce_shard",
]
