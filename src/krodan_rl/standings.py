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

import itertools
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

AGENTS: Final = 4
REWARD_MODES: Final = ("score", "win_share", "rank")
LOWEST_SCORE: Final = -89
HIGHEST_SCORE: Final = 20
RESAMPLES: Final = 2000
# Each rating resample is a fit of its own: fewer of them keep a table of thousands of games
# well under a second, and 200 still place a 95 % interval's ends.
RATING_RESAMPLES: Final = 200
# Virtual wins, and as many virtual losses, of each spec against an opponent of strength 1.
PRIOR_GAMES: Final = 1.0
ANCHOR_SPEC: Final = "random"
PERCENTILES: Final = (2.5, 97.5)

_ELO: Final = 400 / math.log(10)
_MAX_NEWTON_STEPS: Final = 100
_MAX_HALVINGS: Final = 60
_MAX_STEP: Final = 2.0  # in log-strength, so that a first step from 0 cannot overflow
_CONVERGED: Final = 1e-10
_DRAWS_PER_CHUNK: Final = 1 << 22  # block draws held at once while resampling

# Every strict finishing order of the four entries: _ORDERS[o, place] is an entry.
_ORDERS: Final = np.array(list(itertools.permutations(range(AGENTS))), dtype=np.int64)
_PLACE_OF: Final = np.argsort(_ORDERS, axis=1)  # _PLACE_OF[o, entry] is a place
# At stage i of order o (the draw of place i) the entries still in the draw, and the one drawn.
# The last place is no draw: one entry is left.
_IN_DRAW: Final = _PLACE_OF[:, None, :] >= np.arange(AGENTS - 1)[None, :, None]
_DRAWN: Final = (_PLACE_OF[:, None, :] == np.arange(AGENTS - 1)[None, :, None]).astype(np.float64)


def outcome_values(scores: npt.ArrayLike, mode: str) -> FloatArray:
    """The four agents' final values in `mode` from their scores, for one game of shape (4,)
    or for games stacked along the leading axes, as the engine's reward modes define them.

    "score" is the score; "win_share" shares one win equally among the top scores; "rank"
    gives each agent the mean value of the places its tie group holds, place k (0 first) being
    worth (3 - k) / 3.
    """
    if mode not in REWARD_MODES:
        raise ValueError(f"mode must be one of {', '.join(REWARD_MODES)}, not {mode!r}")
    values = np.asarray(scores)
    if values.ndim == 0 or values.shape[-1] != AGENTS:
        raise ValueError(f"scores must have {AGENTS} values on the last axis")
    if values.dtype.kind not in "iuf" or not np.isfinite(values).all():
        raise ValueError("scores must be finite numbers")
    values = values.astype(np.float64)
    if mode == "score":
        return values
    greater = (values[..., None, :] > values[..., :, None]).sum(axis=-1)
    tied = (values[..., None, :] == values[..., :, None]).sum(axis=-1)
    if mode == "win_share":
        return np.where(greater == 0, 1.0 / tied, 0.0)
    # The tie group holds places greater .. greater + tied - 1, evenly spaced in value: their
    # mean is the value of the middle place.
    last = AGENTS - 1
    return np.asarray((last - greater - (tied - 1) / 2) / last, dtype=np.float64)


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
    patterns, which = _weak_orders(seat_table, score_table)
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


# The rating.


def _weak_orders(seat_table: IntArray, score_table: IntArray) -> tuple[IntArray, IntArray]:
    """The weak orders of the four entries that occur, and which one each game has.

    A game enters the likelihood only through that order (75 are possible), so the fits run on
    counts of them. An order is coded by each entry's count of entries scoring above it.
    """
    seat_of_entry = np.argsort(seat_table, axis=1)
    entry_scores = np.take_along_axis(score_table, seat_of_entry, axis=1)
    above = (entry_scores[:, None, :] > entry_scores[:, :, None]).sum(axis=2)
    patterns, which = np.unique(above @ (AGENTS ** np.arange(AGENTS)), return_inverse=True)
    return patterns, which


def _rating_estimates(
    patterns: IntArray, order_counts: FloatArray, entry_rows: IntArray, anchor: int
) -> list[Estimate]:
    # The point is fitted in the same batch as the resamples: the same arithmetic, so that
    # with one block the interval is the point itself, not a rounding away from it.
    theta = _OrderModel(_consistent_orders(patterns), entry_rows).fit(order_counts)
    return _estimates(_ELO * (theta - theta[:, [anchor]]))


def _consistent_orders(patterns: IntArray) -> FloatArray:
    """0 where strict order o agrees with weak order k (ties in any order), -inf elsewhere;
    shape (patterns, orders). A pattern codes each entry's count of entries scoring above it."""
    above = patterns[:, None] // AGENTS ** np.arange(AGENTS) % AGENTS  # (patterns, entries)
    tied = (above[:, :, None] == above[:, None, :]).sum(axis=2)
    place = _PLACE_OF[None, :, :]
    first, after = above[:, None, :], (above + tied)[:, None, :]
    agree = ((place >= first) & (place < after)).all(axis=2)
    return np.where(agree, 0.0, -np.inf)


class _OrderModel:
    """The Plackett-Luce log-posterior of row log-strengths given counts of weak orders.

    Every method is batched over resamples: theta has shape (resamples, rows) and counts
    (resamples, patterns).
    """

    def __init__(self, log_agree: FloatArray, entry_rows: IntArray) -> None:
        self.log_agree = log_agree
        self.entry_rows = entry_rows
        rows = max(entry_rows.tolist()) + 1
        self.to_rows = np.eye(rows)[entry_rows]  # (entries, rows): which row an entry is

    def fit(self, counts: FloatArray) -> FloatArray:
        """The maximum a posteriori log-strengths, by Newton steps that never lower the value."""
        theta = np.zeros((len(counts), self.to_rows.shape[1]))
        value = self.value(theta, counts)
        active = np.ones(len(counts), dtype=np.bool_)
        for _ in range(_MAX_NEWTON_STEPS):
            idx = np.flatnonzero(active)
            if not len(idx):
                break
            grad, hess = self.derivatives(theta[idx], counts[idx])
            step = _ascent_step(grad, hess)
            moved, theta[idx], value[idx] = self._search(theta[idx], value[idx], step, counts[idx])
            active[idx] = moved > _CONVERGED
        return theta

    def _search(
        self, theta: FloatArray, value: FloatArray, step: FloatArray, counts: FloatArray
    ) -> tuple[FloatArray, FloatArray, FloatArray]:
        """Halves each step until it does not lower the value; returns the distance moved."""
        scale = np.ones(len(theta))
        # Rounding hides changes below this, and a step that small is close to the optimum.
        slack = 1e-12 * (1.0 + np.abs(value))
        accepted = np.zeros(len(theta), dtype=np.bool_)
        new_theta, new_value = theta.copy(), value.copy()
        for _ in range(_MAX_HALVINGS):
            todo = np.flatnonzero(~accepted)
            if not len(todo):
                break
            trial = theta[todo] + scale[todo, None] * step[todo]
            trial_value = self.value(trial, counts[todo])
            good = trial_value >= value[todo] - slack[todo]
            new_theta[todo[good]], new_value[todo[good]] = trial[good], trial_value[good]
            accepted[todo[good]] = True
            scale[todo[~good]] /= 2
        moved = np.where(accepted, np.abs(scale[:, None] * step).max(axis=1), 0.0)
        return moved, new_theta, new_value

    def _orders(self, theta: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Log-probability of each strict order and the draw probabilities at each stage."""
        entry = theta[:, self.entry_rows]
        entry = entry - entry.max(axis=1, keepdims=True)  # the model only sees ratios
        weights = np.exp(entry)[:, None, None, :] * _IN_DRAW  # (resamples, orders, stages, entries)
        totals = weights.sum(axis=3)
        log_order = ((entry[:, None, None, :] * _DRAWN).sum(axis=3) - np.log(totals)).sum(axis=2)
        return log_order, weights / totals[..., None]

    def _pattern_terms(self, log_order: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Log-likelihood of each weak order and the posterior of its strict orders."""
        joint = log_order[:, None, :] + self.log_agree[None, :, :]
        top = joint.max(axis=2, keepdims=True)
        log_pattern = np.log(np.exp(joint - top).sum(axis=2)) + top[:, :, 0]
        return log_pattern, np.exp(joint - log_pattern[:, :, None])

    def value(self, theta: FloatArray, counts: FloatArray) -> FloatArray:
        log_pattern, _ = self._pattern_terms(self._orders(theta)[0])
        return np.asarray((counts * log_pattern).sum(axis=1) + _prior(theta)[0])

    def derivatives(self, theta: FloatArray, counts: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Gradient and Hessian of the value in the row log-strengths."""
        log_order, draw = self._orders(theta)
        _, posterior = self._pattern_terms(log_order)
        # Per strict order, in entry log-strengths: gradient and Hessian of its log-probability.
        grad_order = (_DRAWN[None] - draw).sum(axis=2)
        hess_order = np.einsum("rose,rosf->roef", draw, draw) - _diagonal(draw.sum(axis=2))
        # The log of a mixture: mean gradient; mean of (Hessian + outer gradient) less the
        # outer mean gradient, weighted by the posterior over the orders of each tie.
        grad_pattern = np.einsum("rko,roe->rke", posterior, grad_order)
        order_weight = np.einsum("rk,rko->ro", counts, posterior)
        grad = np.einsum("rk,rke->re", counts, grad_pattern)
        outer = hess_order + np.einsum("roe,rof->roef", grad_order, grad_order)
        hess = np.einsum("ro,roef->ref", order_weight, outer)
        hess -= np.einsum("rk,rke,rkf->ref", counts, grad_pattern, grad_pattern)
        _, prior_grad, prior_curve = _prior(theta)
        grad_rows = grad @ self.to_rows + prior_grad
        hess_rows = np.einsum("ej,ref,fk->rjk", self.to_rows, hess, self.to_rows)
        return grad_rows, hess_rows + _diagonal(prior_curve)


def _prior(theta: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """The prior's log-density, gradient and curvature: each row wins PRIOR_GAMES and loses
    PRIOR_GAMES virtual games against strength 1, log p = k * (theta - 2 log(1 + e^theta))."""
    win = 1.0 / (1.0 + np.exp(-theta))
    log_density = PRIOR_GAMES * (theta - 2.0 * np.logaddexp(0.0, theta)).sum(axis=1)
    return log_density, PRIOR_GAMES * (1.0 - 2.0 * win), -2.0 * PRIOR_GAMES * win * (1.0 - win)


def _diagonal(vectors: FloatArray) -> FloatArray:
    return vectors[..., :, None] * np.eye(vectors.shape[-1])


def _ascent_step(grad: FloatArray, hess: FloatArray) -> FloatArray:
    """A Newton step with the curvature taken as concave in every direction (the log of a
    mixture need not be), capped so that a first step cannot overflow the strengths."""
    curvature, vectors = np.linalg.eigh(hess)
    inverse = 1.0 / np.maximum(np.abs(curvature), 1e-12)
    step = np.einsum("rij,rj,rkj,rk->ri", vectors, inverse, vectors, grad)
    largest = np.abs(step).max(axis=1, keepdims=True)
    return np.asarray(step * np.minimum(1.0, _MAX_STEP / np.maximum(largest, 1e-300)))


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
