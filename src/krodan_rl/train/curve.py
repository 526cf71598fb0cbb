"""The strength curve of a training, drawn from its metrics file: each evaluation match's win
share and rating over greedy, and the held-out losses, against the self-play games played (the
hours trained on a second axis above). Where a scheduled setting changes, a dashed line says
what it became; the shipped checkpoint, where one is named, is marked. An interval is drawn
only where the evaluation played enough games for one to mean something."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from krodan_rl._internal.files import write_atomic_bytes
from krodan_rl.train import metrics as metrics_file
from krodan_rl.train.config import SCHEDULED
from krodan_rl.train.evaluation import MATCHES

__all__ = ["HELDOUT_LOSSES", "MIN_INTERVAL_GAMES", "changes", "draw_curve"]

# The held-out losses drawn on the curve, with their labels.
HELDOUT_LOSSES = {"heldout_policy_loss": "policy", "heldout_value_loss": "value"}
# The fewest games an evaluation plays for its interval to be drawn: ten seat-rotated blocks. A
# bootstrap over one or two blocks gives a band of about no width, which reads as certainty.
MIN_INTERVAL_GAMES = 40
# How each scheduled setting is named where the curve marks a change of it.
_SHORT = {"learning_rate": "lr", "simulations": "sims", "temperature_plies": "T plies",
          "window": "window", "warm_start_share": "warm share",
          "cheap_simulations": "cheap sims"}  # fmt: skip


def changes(records: list[dict[str, Any]]) -> dict[int, str]:
    """The iterations whose records show a scheduled setting other than the record before
    them, and what the settings became (``lr 0.0003, sims 64``)."""
    found: dict[int, str] = {}
    before: dict[str, Any] = {}
    for record in records:
        now = {name: record[name] for name in SCHEDULED if name in record}
        moved = [name for name, value in now.items() if name in before and before[name] != value]
        if moved:
            found[record["iteration"]] = ", ".join(f"{_SHORT.get(n, n)} {now[n]:g}" for n in moved)
        before.update(now)
    return found


def draw_curve(
    metrics: Path, picture: Path, shipped: int | None = None, notes: dict[int, str] | None = None
) -> None:
    """Draws the curve of the training whose metrics are in ``metrics`` into ``picture``;
    ``shipped``: the iteration to mark as the shipped model; ``notes``: more iterations to mark
    with a text (changes made by hand between sittings, which the records do not show). Needs
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
    figure, axes = plt.subplots(rows, 1, figsize=(9, 3.2 * rows), sharex=True)
    _draw_matches(axes[0], axes[1], evaluated)
    if heldout:
        _draw_heldout(axes[2], heldout)
    marks = {**changes(records), **(notes or {})}
    games = {r["iteration"]: r["games"] for r in records}
    for iteration, text in sorted(marks.items()):
        if iteration in games:
            for axis in axes:
                axis.axvline(games[iteration], color="grey", linestyle="--", linewidth=0.8)
            axes[0].annotate(text, (games[iteration], 1.0), xycoords=("data", "axes fraction"),
                             rotation=90, va="top", ha="right", fontsize=7)  # fmt: skip
    if shipped is not None and shipped in games:
        for axis in axes:
            axis.axvline(games[shipped], color="black", linewidth=1.2)
        axes[0].annotate(f"shipped: iteration {shipped}", (games[shipped], 0.02),
                         xycoords=("data", "axes fraction"), rotation=90, fontsize=7,
                         ha="right", va="bottom")  # fmt: skip
    _hours_axis(axes[0], records)
    axes[0].set_ylabel("win share")
    axes[1].set_ylabel("rating over greedy (Elo)")
    axes[0].legend(loc="upper left", fontsize=7)
    if heldout:
        axes[2].set_ylabel("held-out loss")
        axes[2].legend(loc="upper right", fontsize=7)
    axes[-1].set_xlabel("self-play games")
    for axis in axes:
        axis.grid(alpha=0.3)
    title = "Strength of the training's checkpoints (bands: 95 % intervals, where an evaluation"
    figure.suptitle(f"{title} played {MIN_INTERVAL_GAMES} games or more)", fontsize=9)
    figure.tight_layout()
    try:
        write_atomic_bytes(picture, lambda file: figure.savefig(file, format="png", dpi=100))
    finally:
        plt.close(figure)


def _hours_axis(axis: Any, records: list[dict[str, Any]]) -> None:
    """A second axis above ``axis`` reading the games as hours trained (they grow together)."""
    games = np.array([r["games"] for r in records], dtype=float)
    hours = np.array([r["hours"] for r in records], dtype=float)
    if len(games) < 2 or np.any(np.diff(games) <= 0):
        return
    if np.any(np.diff(hours) <= 0):
        return
    top = axis.secondary_xaxis(
        "top", functions=(lambda g: _line(g, games, hours), lambda h: _line(h, hours, games))
    )
    top.set_xlabel("hours trained", fontsize=8)


def _line(x: Any, xs: Any, ys: Any) -> Any:
    """Piecewise linear through (xs, ys), carried on straight beyond both ends (the axes'
    margins lie there: clamped, their ticks would pile up at the ends)."""
    y = np.interp(x, xs, ys)
    low = ys[0] + (np.asarray(x) - xs[0]) * (ys[1] - ys[0]) / (xs[1] - xs[0])
    high = ys[-1] + (np.asarray(x) - xs[-1]) * (ys[-1] - ys[-2]) / (xs[-1] - xs[-2])
    return np.where(np.asarray(x) < xs[0], low, np.where(np.asarray(x) > xs[-1], high, y))


def _draw_matches(shares: Any, ratings: Any, evaluated: list[dict[str, Any]]) -> None:
    """Each match's win share on ``shares`` and rating over greedy on ``ratings``, against the
    games played, with bands where the evaluations played enough games."""
    for name in MATCHES:
        points = [(r["games"], r["evaluation"][name]) for r in evaluated if name in r["evaluation"]]
        if not points:
            continue
        xs = [x for x, _ in points]
        line = shares.plot(xs, [v["win_share"] for _, v in points], marker="o", markersize=3,
                           label=name)[0]  # fmt: skip
        banded = [(x, v) for x, v in points if v.get("games", 0) >= MIN_INTERVAL_GAMES]
        _band(shares, banded, "interval", line.get_color())
        rated = [(x, v) for x, v in points if "rating_over_greedy" in v]
        if rated:
            ratings.plot([x for x, _ in rated], [v["rating_over_greedy"] for _, v in rated],
                         marker="o", markersize=3, color=line.get_color(), label=name)  # fmt: skip
            banded = [(x, v) for x, v in rated if v.get("games", 0) >= MIN_INTERVAL_GAMES]
            _band(ratings, banded, "rating_interval", line.get_color())
    shares.axhline(0.25, color="grey", linestyle=":", label="fair share")
    ratings.axhline(0, color="grey", linestyle=":", label="greedy")


def _band(axis: Any, points: list[tuple[float, dict[str, Any]]], key: str, colour: str) -> None:
    if points:
        axis.fill_between([x for x, _ in points], [v[key][0] for _, v in points],
                          [v[key][1] for _, v in points], alpha=0.15, color=colour)  # fmt: skip


def _draw_heldout(axis: Any, records: list[dict[str, Any]]) -> None:
    """The held-out policy and value losses against the games played."""
    for name, label in HELDOUT_LOSSES.items():
        points = [(r["games"], r[name]) for r in records if name in r]
        axis.plot([x for x, _ in points], [y for _, y in points], marker=".", label=label)
