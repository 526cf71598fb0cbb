"""How strong a checkpoint is: seat-rotated arena games of its guided search (no noise, the
most visited action) against three greedy agents, and of its raw policy against three random
and three greedy agents; each entry's win share with its 95 % interval over blocks. And the
strength curve drawn from the metrics file."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from krodan_rl import arena

__all__ = ["MATCHES", "draw_curve", "evaluate"]

# name: (the checkpoint's entry, given its path and simulations; its three opponents)
MATCHES: dict[str, tuple[str, str]] = {
    "guided vs greedy": ("guided:{path}:{simulations}", "greedy"),
    "policy vs random": ("policy:{path}", "random"),
    "policy vs greedy": ("policy:{path}", "greedy"),
}


def evaluate(path: Path, games: int, simulations: int, seed: int) -> dict[str, Any]:
    """Each match's win share of the checkpoint (fair share 0.25) with its interval."""
    found: dict[str, Any] = {}
    for name, (entry, opponent) in MATCHES.items():
        spec = entry.format(path=path, simulations=simulations)
        result = arena.run([spec, opponent, opponent, opponent], games, seed=seed, workers=1,
                           progress=False)  # fmt: skip
        row = result.standings.rows[0]
        share = row.outcomes["win_share"]
        found[name] = {
            "win_share": share.value,
            "interval": [share.low, share.high],
            "games": games,
        }
    return found


def draw_curve(metrics: Path, picture: Path) -> None:
    """The strength curve of a training: each match's win share (and interval) against the
    games of self-play played and the hours trained. Needs matplotlib (the ``train`` extra)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    records = [json.loads(line) for line in metrics.read_text().splitlines() if line.strip()]
    evaluated = [r for r in records if r.get("evaluation")]
    if not evaluated:
        return
    figure, axes = plt.subplots(1, 2, figsize=(11, 4), sharey=True)
    for axis, key, label in ((axes[0], "games", "self-play games"), (axes[1], "hours", "hours")):
        for name in MATCHES:
            xs = [r[key] for r in evaluated if name in r["evaluation"]]
            values = [r["evaluation"][name] for r in evaluated if name in r["evaluation"]]
            shares = [v["win_share"] for v in values]
            line = axis.plot(xs, shares, marker="o", label=name)[0]
            low = [v["interval"][0] for v in values]
            high = [v["interval"][1] for v in values]
            axis.fill_between(xs, low, high, alpha=0.15, color=line.get_color())
        axis.axhline(0.25, color="grey", linestyle=":", label="fair share")
        axis.set_xlabel(label)
        axis.grid(alpha=0.3)
    axes[0].set_ylabel("win share (95 % interval)")
    axes[0].legend(loc="upper left", fontsize=8)
    figure.suptitle("Strength of the training's checkpoints")
    figure.tight_layout()
    temporary = picture.with_name(f".{picture.name}.tmp.png")
    figure.savefig(temporary, dpi=100)
    plt.close(figure)
    temporary.replace(picture)
