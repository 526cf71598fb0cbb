"""The rating of the arena's standings: a Plackett-Luce model of finishing orders, ties left
unobserved, fitted with a weak prior by a safeguarded Newton ascent (see
``krodan_rl.arena.standings`` for the model in words)."""

from __future__ import annotations

import itertools
import math
from typing import Final

import numpy as np
import numpy.typing as npt

from krodan_rl.facts import NUM_AGENTS

__all__ = ["ELO", "PRIOR_GAMES", "fit_log_strengths", "weak_orders"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

AGENTS: Final = NUM_AGENTS
# Virtual wins, and as many virtual losses, of each spec against an opponent of strength 1.
PRIOR_GAMES: Final = 1.0
# Ratings are ELO times the log-strength.
ELO: Final = 400 / math.log(10)
_MAX_NEWTON_STEPS: Final = 100
_MAX_HALVINGS: Final = 60
_MAX_STEP: Final = 2.0  # in log-strength, so that a first step from 0 cannot overflow
_CONVERGED: Final = 1e-10

# Every strict finishing order of the four entries: _ORDERS[o, place] is an entry.
_ORDERS: Final = np.array(list(itertools.permutations(range(AGENTS))), dtype=np.int64)
_PLACE_OF: Final = np.argsort(_ORDERS, axis=1)  # _PLACE_OF[o, entry] is a place
# At stage i of order o (the draw of place i) the entries still in the draw, and the one drawn.
# The last place is no draw: one entry is left.
_IN_DRAW: Final = _PLACE_OF[:, None, :] >= np.arange(AGENTS - 1)[None, :, None]
_DRAWN: Final = (_PLACE_OF[:, None, :] == np.arange(AGENTS - 1)[None, :, None]).astype(np.float64)


def weak_orders(seat_table: IntArray, score_table: IntArray) -> tuple[IntArray, IntArray]:
    """The weak orders of the four entries that occur, and which one each game has.

    A game enters the likelihood only through that order (75 are possible), so the fits run on
    counts of them. An order is coded by each entry's count of entries scoring above it.
    """
    seat_of_entry = np.argsort(seat_table, axis=1)
    entry_scores = np.take_along_axis(score_table, seat_of_entry, axis=1)
    above = (entry_scores[:, None, :] > entry_scores[:, :, None]).sum(axis=2)
    patterns, which = np.unique(above @ (AGENTS ** np.arange(AGENTS)), return_inverse=True)
    return patterns, which


def fit_log_strengths(
    patterns: IntArray, order_counts: FloatArray, entry_rows: IntArray
) -> FloatArray:
    """The maximum a posteriori log-strength of each row, for each resample of the counts of
    weak orders (resamples, patterns): (resamples, rows)."""
    return _OrderModel(_consistent_orders(patterns), entry_rows).fit(order_counts)


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
