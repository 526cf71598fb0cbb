"""How strong a checkpoint is: seat-rotated arena games of its guided search (no noise, the
most visited action) against three greedy agents, against three tree searches, and beside an
earlier checkpoint against two greedy agents (two deterministic networks alone would play the
same four games in every block; the greedy agents' draws vary them), and of its raw policy
against three random and three greedy agents; each entry's win share with its 95 % interval
over blocks, and against greedy its rating (the Plackett-Luce rating over greedy, in Elo
points). The games are the arena's (``krodan_rl.arena.run``), played in this process by the
match runner (``krodan_rl.matches``). The curve drawn from them is ``curve``'s."""

from __future__ import annotations

from typing import Any

from krodan_rl import arena, seeds
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.policy_player import PolicyPlayer
from krodan_rl.search import GuidedPlayer
from krodan_rl.train.folder import Training

__all__ = ["MATCHES", "evaluate"]

# The entries made from checkpoints: the evaluated one's guided search and raw policy, and the
# earlier one's guided search. Built from the files themselves, never from a spec holding their
# paths: a folder's path may hold anything, ':' included.
GUIDED = "{guided}"
EARLIER = "{earlier}"
POLICY = "{policy}"
# name: the four entries, the checkpoint's first.
MATCHES: dict[str, tuple[str, str, str, str]] = {
    "guided vs greedy": (GUIDED, "greedy", "greedy", "greedy"),
    "guided vs mcts:100": (GUIDED, "mcts:100", "mcts:100", "mcts:100"),
    "guided beside earlier": (GUIDED, EARLIER, "greedy", "greedy"),
    "policy vs random": (POLICY, "random", "random", "random"),
    "policy vs greedy": (POLICY, "greedy", "greedy", "greedy"),
}


def _network(training: Training, iteration: int) -> NetworkEvaluator:
    found = checkpoints.load(training.checkpoint(iteration))
    return NetworkEvaluator(found.params, found.config)


def _entries(
    training: Training,
    lineup: tuple[str, ...],
    networks: dict[str, tuple[NetworkEvaluator, int]],
    simulations: int,
    seed: int,
) -> list[Any]:
    """A match's entries: built-in specs as they are; the checkpoints' players made as their
    ``guided:``/``policy:`` specs would be (with the seed the arena gives entry e), named by
    the checkpoint's path relative to the training's folder."""
    entries: list[Any] = []
    for e, entry in enumerate(lineup):
        if entry not in networks:
            entries.append(entry)
            continue
        network, iteration = networks[entry]
        player_seed = seeds.arena_entry(seed, e)
        if entry == POLICY:
            name = f"policy:{training.relative(iteration)}"
            entries.append(PolicyPlayer(network, seed=player_seed, name=name))
        else:
            name = training.player_name(iteration, simulations)
            entries.append(GuidedPlayer(network, simulations, seed=player_seed, name=name))
    return entries


def evaluate(
    training: Training,
    iteration: int,
    games: int,
    simulations: int,
    seed: int,
    earlier: int | None = None,
) -> dict[str, Any]:
    """Each match's win share of ``iteration``'s checkpoint (fair share 0.25) with its
    interval; beside the ``earlier`` iteration's checkpoint only where one is given. Against
    greedy, the rating over greedy too (the standings rate over their first row: over greedy,
    they read the other way)."""
    network = _network(training, iteration)
    networks = {GUIDED: (network, iteration), POLICY: (network, iteration)}
    if earlier is not None:
        networks[EARLIER] = (_network(training, earlier), earlier)
    found: dict[str, Any] = {}
    for name, lineup in MATCHES.items():
        if EARLIER in lineup and earlier is None:
            continue
        entries = _entries(training, lineup, networks, simulations, seed)
        result = arena.run(entries, games, seed=seed, workers=1, progress=False)
        rows = {row.spec: row for row in result.standings.rows}
        share = rows[result.specs[0]].outcomes["win_share"]
        found[name] = {
            "win_share": share.value,
            "interval": [share.low, share.high],
            "games": games,
        }
        if lineup[1] == EARLIER:
            earlier_share = rows[result.specs[1]].outcomes["win_share"]
            found[name]["earlier_win_share"] = earlier_share.value
        if lineup[1:] == ("greedy",) * 3:
            greedy = rows["greedy"].rating  # rated over the checkpoint, the first row
            found[name]["rating_over_greedy"] = -greedy.value
            found[name]["rating_interval"] = [-greedy.high, -greedy.low]
    return found
