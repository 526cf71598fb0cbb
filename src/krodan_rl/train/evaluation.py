"""How strong a checkpoint is: seat-rotated arena games of its guided search (no noise, the
most visited action) against three greedy agents, against three tree searches, and beside an
earlier checkpoint against two greedy agents (two deterministic networks alone would play the
same four games in every block; the greedy agents' draws vary them), and of its raw policy
against three random and three greedy agents; each entry's win share with its 95 % interval
over blocks, and against greedy its rating (the Plackett-Luce rating over greedy, in Elo
points). The games are the arena's (``krodan_rl.arena.run``), played in this process by the
match runner (``krodan_rl.matches``). And the strength curve drawn from the metrics file."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from krodan_rl import arena, seeds
from krodan_rl._internal.files import write_atomic_bytes
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.policy_player import PolicyPlayer
from krodan_rl.search import GuidedPlayer
from krodan_rl.train import metrics as metrics_file
from krodan_rl.train.folder import Training

__all__ = ["HELDOUT_LOSSES", "MATCHES", "draw_curve", "evaluate"]

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


# The held-out losses drawn on the curve, with their labels.
HELDOUT_LOSSES = {"heldout_policy_loss": "policy", "heldout_value_loss": "value"}


def draw_curve(metrics: Path, picture: Path) -> None:
    """The strength curve of a training: each match's win share (and interval) against the
    games of self-play played and the hours trained, and below, where the training holds games
    out, the held-out losses of every checkpoint (a plateau shows between evaluations). Needs
    matplotlib (the ``train`` extra)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    records = [r for _, r in metrics_file.records(metrics)]
    evaluated = [r for r in records if r.get("evaluation")]
    heldout = [r for r in records if "heldout_loss" in r]
    if not (evaluated or heldout):
        return
    rows = 3 if heldout else 2
    figure, axes = plt.subplots(rows, 2, figsize=(11, 3.5 * rows), sharex="col")
    for column, (key, label) in enumerate((("games", "self-play games"), ("hours", "hours"))):
        _draw_matches(axes[0][column], axes[1][column], evaluated, key)
        if heldout:
            _draw_heldout(axes[2][column], heldout, key)
        axes[rows - 1][column].set_xlabel(label)
        for row in range(rows):
            axes[row][column].grid(alpha=0.3)
    axes[0][0].set_ylabel("win share (95 % interval)")
    axes[1][0].set_ylabel("rating over greedy (Elo)")
    axes[0][0].legend(loc="upper left", fontsize=7)
    if heldout:
        axes[2][0].set_ylabel("held-out loss")
        axes[2][0].legend(loc="upper right", fontsize=7)
    figure.suptitle("Strength of the training's checkpoints")
    figure.tight_layout()
    try:
        write_atomic_bytes(picture, lambda file: figure.savefig(file, format="png", dpi=100))
    finally:
        plt.close(figure)


def _draw_matches(shares: Any, ratings: Any, evaluated: list[dict[str, Any]], key: str) -> None:
    """Each match's win share on ``shares`` and rating over greedy on ``ratings``, against the
    records' ``key``."""
    for name in MATCHES:
        points = [(r[key], r["evaluation"][name]) for r in evaluated if name in r["evaluation"]]
        if not points:
            continue
        xs = [x for x, _ in points]
        line = shares.plot(xs, [v["win_share"] for _, v in points], marker="o", label=name)[0]
        shares.fill_between(xs, [v["interval"][0] for _, v in points],
                            [v["interval"][1] for _, v in points], alpha=0.15,
                            color=line.get_color())  # fmt: skip
        rated = [(x, v) for x, v in points if "rating_over_greedy" in v]
        if rated:
            rx = [x for x, _ in rated]
            ratings.plot(rx, [v["rating_over_greedy"] for _, v in rated], marker="o",
                         color=line.get_color(), label=name)  # fmt: skip
            ratings.fill_between(rx, [v["rating_interval"][0] for _, v in rated],
                                 [v["rating_interval"][1] for _, v in rated], alpha=0.15,
                                 color=line.get_color())  # fmt: skip
    shares.axhline(0.25, color="grey", linestyle=":", label="fair share")
    ratings.axhline(0, color="grey", linestyle=":", label="greedy")


def _draw_heldout(axis: Any, records: list[dict[str, Any]], key: str) -> None:
    """The held-out policy and value losses against the records' ``key``."""
    for name, label in HELDOUT_LOSSES.items():
        points = [(r[key], r[name]) for r in records if name in r]
        axis.plot([x for x, _ in points], [y for _, y in points], marker=".", label=label)
