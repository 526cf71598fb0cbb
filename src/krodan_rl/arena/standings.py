"""The arena's standings: what many four-player games say about the agents that played them.

    standings(specs, seats, scores).format()

The arena seats four entries (agent specs, repeats allowed) and plays games in blocks of four:
the same seeds, the seats turned one step per game, so that no entry owes its result to a seat.
One row of the table per distinct spec: entries with equal specs are pooled, their results
counted together.

Intervals. The four games of a block share their seeds, so their results are not independent.
Every 95 % interval is therefore a percentile bootstrap over blocks: blocks drawn with
replacement, a row's statistic taken as the mean over all its results in the drawn blocks. The
draws come from a seeded generator, so the same games give the same table.

Rating. A Plackett-Luce model (each finishing order drawn place by place, an agent taking the
next place with probability proportional to its strength among those left) is fitted to the
finishing orders of all games, one strength per agent name shared by its entries. A tie is an
order left unobserved: a game's likelihood is the probability that the tied agents take the
places they share in some order, that is the sum of the model's probabilities over every order
of the tie (proportional to their mean, at most 4! orders). An all-tied game thus has
likelihood 1 and says nothing. So that an agent that wins (or loses) every game still has a
finite strength, each agent is credited with one virtual win and one virtual loss against a
virtual opponent of strength 1: a weak prior, the standard logistic density on the
log-strength, which also fixes the common scale the likelihood leaves free. The fit is the
maximum of likelihood times prior, by a safeguarded Newton ascent on the log-strengths.
Ratings are 400 * log10(strength) relative to the agent "random", or to the first row where no
entry is "random"; their intervals come from the same block bootstrap.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from krodan_rl._internal.arguments import REWARD_MODES
from krodan_rl.arena.ratings import ELO, PRIOR_GAMES, fit_log_strengths, weak_orders
from krodan_rl.facts import NUM_AGENTS
from krodan_rl.outcomes import HIGHEST_SCORE, LOWEST_SCORE, outcome_values

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

__all__ = ["Estimate", "Row", "Standings", "standings"]

AGENTS: Final = NUM_AGENTS
RESAMPLES: Final = 2000
# Each rating resample is a fit of its own: fewer of them keep a table of thousands of games
# well under a second, and 200 still place a 95 % interval's ends.
RATING_RESAMPLES: Final = 200
ANCHOR_SPEC: Final = "random"
PERCENTILES: Final = (2.5, 97.5)
_DRAWS_PER_CHUNK: Final = 1 << 22  # block draws held at once while resampling


@dataclass(frozen=True)
class Estimate:
    """A statistic and the ends of its 95 % interval."""

    value: float
    low: float
    high: float

    def to_dict(self) -> dict[str, Any]:
        return {"value": self.value, "interval": [self.low, self.high]}


@dataclass(frozen=True)
class Row:
    """One distinct spec's results, its entries pooled."""

    spec: str
    games: int  # results counted: the games times the entries holding this spec
    mean_score: Estimate
    outcomes: Mapping[str, Estimate]  # by reward mode; "score" repeats mean_score
    win_share_by_seat: tuple[float | None, ...]  # by absolute seat; None where it never sat
    rating: Estimate

    def to_dict(self) -> dict[str, Any]:
        return {
            "spec": self.spec,
            "games": self.games,
            "mean_score": self.mean_score.to_dict(),
            "outcomes": {mode: estimate.to_dict() for mode, estimate in self.outcomes.items()},
            "win_share_by_seat": list(self.win_share_by_seat),
            "rating": self.rating.to_dict(),
        }


@dataclass(frozen=True)
class Standings:
    """The table: one row per distinct spec, in order of first appearance among the entries."""

    entries: tuple[str, ...]
    games: int
    resamples: int
    rating_resamples: int
    seed: int
    anchor: str
    rows: tuple[Row, ...]

    @property
    def blocks(self) -> int:
        return self.games // AGENTS

    def interval_note(self) -> str:
        return (
            f"95% CI: percentile bootstrap over {self.blocks} blocks of {AGENTS} rotated games"
            f" ({self.resamples} resamples, {self.rating_resamples} for ratings, seed {self.seed})."
        )

    def rating_note(self) -> str:
        return (
            "Rating: Plackett-Luce on finishing orders, ties unordered,"
            f" 400*log10(strength), {self.anchor!r} = 0."
        )

    def to_dict(self) -> dict[str, Any]:
        """Every number of the table, as JSON takes it (intervals as [low, high])."""
        return {
            "entries": list(self.entries),
            "games": self.games,
            "blocks": self.blocks,
            "resamples": self.resamples,
            "rating_resamples": self.rating_resamples,
            "seed": self.seed,
            "anchor": self.anchor,
            "interval_method": self.interval_note(),
            "rating_model": self.rating_note(),
            "rating_prior": f"{PRIOR_GAMES:g} virtual win and loss per agent against strength 1",
            "rows": [row.to_dict() for row in self.rows],
        }

    def format(self) -> str:
        """The table as aligned plain text, one line per row, and a footer naming the methods."""
        return "\n".join([*_table_lines(self.rows), f"{self.interval_note()} {self.rating_note()}"])


def standings(
    specs: Sequence[str],
    seats: npt.ArrayLike,
    scores: npt.ArrayLike,
    *,
    resamples: int = RESAMPLES,
    seed: int = 0,
) -> Standings:
    """The standings of the entries `specs` over G games, G a multiple of 4 in blocks of 4.

    `seats[g, m]` is the entry (an index into `specs`) that sat at seat m in game g, `scores[g,
    m]` that seat's final score.
    """
    entries = _checked_specs(specs)
    seat_table, score_table = _checked_games(seats, scores)
    _check_resampling(resamples, seed)
    names = list(dict.fromkeys(entries))
    entry_rows = np.array([names.index(spec) for spec in entries], dtype=np.int64)
    anchor = names.index(ANCHOR_SPEC) if ANCHOR_SPEC in names else 0
    rows_at = entry_rows[seat_table]  # the row of each seat's entry, game by game
    outcomes = {mode: outcome_values(score_table, mode) for mode in REWARD_MODES}
    patterns, which = weak_orders(seat_table, score_table)
    # Every statistic is a sum over blocks, or a ratio of two: one table of them, its total
    # then its resamples, drawn once for all.
    n = len(names)
    per_block = [_block_sums(values, rows_at, n) for values in outcomes.values()]
    per_block.append(_block_sums(np.ones(rows_at.shape), rows_at, n))
    per_block.append(_block_sums(np.ones((len(which), 1)), which[:, None], len(patterns)))
    sums = _with_resamples(np.hstack(per_block), resamples, seed)
    *mode_sums, counts = np.hsplit(sums[:, : n * (len(REWARD_MODES) + 1)], len(REWARD_MODES) + 1)
    means = {
        mode: _estimates(part / counts) for mode, part in zip(REWARD_MODES, mode_sums, strict=True)
    }
    order_counts = sums[: 1 + RATING_RESAMPLES, n * (len(REWARD_MODES) + 1) :]
    ratings = _rating_estimates(patterns, order_counts, entry_rows, anchor)
    by_seat = _by_seat(outcomes["win_share"], rows_at, n)
    rows = tuple(
        Row(
            spec=name,
            games=len(seat_table) * int((entry_rows == r).sum()),
            mean_score=means["score"][r],
            outcomes={mode: means[mode][r] for mode in REWARD_MODES},
            win_share_by_seat=by_seat[r],
            rating=ratings[r],
        )
        for r, name in enumerate(names)
    )
    settings = (int(resamples), len(order_counts) - 1, int(seed))
    return Standings(tuple(entries), len(seat_table), *settings, names[anchor], rows)


# Input checks.


def _checked_specs(specs: Sequence[str]) -> list[str]:
    # A string is a sequence of strings: four letters would pass for four specs.
    if isinstance(specs, str) or not isinstance(specs, Sequence):
        raise ValueError("specs must be a sequence of spec strings")
    if len(specs) != AGENTS:
        raise ValueError(f"specs must name {AGENTS} entries, not {len(specs)}")
    for spec in specs:
        if not isinstance(spec, str) or not spec:
            raise ValueError(f"each spec must be a non-empty string, not {spec!r}")
    return list(specs)


def _integer_table(name: str, table: npt.ArrayLike) -> npt.NDArray[Any]:
    array = np.asarray(table)
    # Floats and booleans are refused: 0.5 or True is no seat and no score.
    if array.dtype.kind not in "iu":
        raise ValueError(f"{name} must hold integers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != AGENTS:
        raise ValueError(f"{name} must have shape (games, {AGENTS}), not {array.shape}")
    return array


def _checked_games(seats: npt.ArrayLike, scores: npt.ArrayLike) -> tuple[IntArray, IntArray]:
    seat_table = _integer_table("seats", seats)
    score_table = _integer_table("scores", scores)
    if seat_table.shape != score_table.shape:
        raise ValueError(f"seats {seat_table.shape} and scores {score_table.shape} differ")
    games = len(seat_table)
    if games == 0 or games % AGENTS:
        raise ValueError(f"the games must be a positive multiple of {AGENTS}, not {games}")
    # Compared before any cast, so that no wide unsigned value wraps into range.
    permuted = (np.sort(seat_table, axis=1) == np.arange(AGENTS)).all(axis=1)
    if not permuted.all():
        bad = int(np.argmin(permuted))
        raise ValueError(f"seats of game {bad} are not a permutation of 0..3: {seat_table[bad]}")
    in_range = ((score_table >= LOWEST_SCORE) & (score_table <= HIGHEST_SCORE)).all(axis=1)
    if not in_range.all():
        bad = int(np.argmin(in_range))
        raise ValueError(
            f"scores of game {bad} are outside {LOWEST_SCORE}..{HIGHEST_SCORE}: {score_table[bad]}"
        )
    return seat_table.astype(np.int64), score_table.astype(np.int64)


def _check_resampling(resamples: int, seed: int) -> None:
    if not _is_integer(resamples) or resamples < 1:
        raise ValueError(f"resamples must be a positive integer, not {resamples!r}")
    if not _is_integer(seed) or seed < 0:
        raise ValueError(f"seed must be a non-negative integer, not {seed!r}")


def _is_integer(value: object) -> bool:
    # numpy's integers count (a seed read from an array is one); True and False do not.
    return isinstance(value, int | np.integer) and not isinstance(value, bool)


# Means and their intervals.


def _block_sums(values: FloatArray, keys: IntArray, width: int) -> FloatArray:
    """Each block's sums of `values` (games, k) by their `keys` (a row or a weak order), shape
    (blocks, width)."""
    blocks = len(values) // AGENTS
    block = np.arange(len(values))[:, None] // AGENTS
    flat = (block * width + keys).ravel()
    sums = np.bincount(flat, weights=values.ravel(), minlength=blocks * width)
    return sums.reshape(blocks, width).astype(np.float64)


def _with_resamples(per_block: FloatArray, resamples: int, seed: int) -> FloatArray:
    """The column sums of `per_block` over all blocks, then over each resample's blocks (drawn
    with replacement): shape (1 + resamples, columns). Drawn a chunk of resamples at a time, so
    that memory stays bounded however many blocks there are."""
    blocks = len(per_block)
    rng = np.random.default_rng(seed)
    chunk = max(1, _DRAWS_PER_CHUNK // blocks)
    parts = [per_block.sum(axis=0, keepdims=True)]
    for start in range(0, resamples, chunk):
        size = min(chunk, resamples - start)
        draws = rng.integers(0, blocks, size=(size, blocks))
        flat = (draws + blocks * np.arange(size)[:, None]).ravel()
        times_drawn = np.bincount(flat, minlength=size * blocks).reshape(size, blocks)
        parts.append(times_drawn @ per_block)
    return np.vstack(parts)


def _estimates(values: FloatArray) -> list[Estimate]:
    """The estimates of each column: its first line the point, the others resamples."""
    low, high = np.percentile(values[1:], PERCENTILES, axis=0)
    return [
        Estimate(float(v), float(lo), float(hi))
        for v, lo, hi in zip(values[0], low, high, strict=True)
    ]


def _by_seat(win_share: FloatArray, rows_at: IntArray, rows: int) -> list[tuple[float | None, ...]]:
    table: list[tuple[float | None, ...]] = []
    for r in range(rows):
        sat = rows_at == r
        table.append(
            tuple(
                float(win_share[sat[:, m], m].mean()) if sat[:, m].any() else None
                for m in range(AGENTS)
            )
        )
    return table


def _rating_estimates(
    patterns: IntArray, order_counts: FloatArray, entry_rows: IntArray, anchor: int
) -> list[Estimate]:
    # The point is fitted in the same batch as the resamples: the same arithmetic, so that
    # with one block the interval is the point itself, not a rounding away from it.
    theta = fit_log_strengths(patterns, order_counts, entry_rows)
    return _estimates(ELO * (theta - theta[:, [anchor]]))


# The text table.


def _interval_cells(estimates: Sequence[Estimate], digits: int) -> list[str]:
    """`value [low, high]` cells with the values, lows and highs each aligned."""
    parts = [[f"{x:.{digits}f}" for x in (e.value, e.low, e.high)] for e in estimates]
    widths = [max(len(p[i]) for p in parts) for i in range(3)]
    v, lo, hi = widths
    return [f"{p[0]:>{v}} [{p[1]:>{lo}}, {p[2]:>{hi}}]" for p in parts]


def _seat_cells(rows: Sequence[Row]) -> list[str]:
    parts = [["-" if x is None else f"{x:.3f}" for x in row.win_share_by_seat] for row in rows]
    width = max(len(p) for cells in parts for p in cells)
    return [" ".join(p.rjust(width) for p in cells) for cells in parts]


def _rating_cells(rows: Sequence[Row]) -> list[str]:
    # Rounded before printing, and -0.0 folded into 0.0, so that no rating reads "-0".
    rounded = [
        Estimate(*(round(x) + 0.0 for x in (r.rating.value, r.rating.low, r.rating.high)))
        for r in rows
    ]
    return _interval_cells(rounded, 0)


def _table_lines(rows: Sequence[Row]) -> list[str]:
    columns = [
        ("spec", [row.spec for row in rows]),
        ("games", [str(row.games) for row in rows]),
        ("mean score", _interval_cells([row.mean_score for row in rows], 2)),
        ("win share", _interval_cells([row.outcomes["win_share"] for row in rows], 3)),
        ("rank", _interval_cells([row.outcomes["rank"] for row in rows], 3)),
        ("win share by seat 0-3", _seat_cells(rows)),
        ("rating", _rating_cells(rows)),
    ]
    widths = [max(len(head), *(len(c) for c in cells)) for head, cells in columns]
    lines = []
    for i in range(-1, len(rows)):
        cells = [head if i < 0 else body[i] for head, body in columns]
        # The agent's name reads from the left, the numbers from the right.
        first = cells[0].ljust(widths[0])
        rest = [cell.rjust(width) for cell, width in zip(cells[1:], widths[1:], strict=True)]
        lines.append("  ".join([first, *rest]))
    return lines
