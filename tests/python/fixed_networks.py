"""Evaluators of fixed, made-up networks for the guided-search tests: deterministic row by row,
so that what a search finds does not depend on how its leaves are batched."""

import numpy as np


def hashed_evaluator(seed: int = 0):
    """Priors that favour some actions over others by a hash of the action index, and values
    from the cells each agent covers: not uniform, so that a change in what the search visits
    shows in its counts."""

    def evaluate(leaves):
        actions = leaves["legal_actions"].astype(np.int64)
        priors = (1 + (actions * 2654435761 + seed % 1009) % 97).astype(np.float32)
        cells = leaves["observation"][:, :4].reshape(len(leaves["mover"]), 4, -1).sum(axis=2)
        weights = cells.astype(np.float64) + 1
        values = (weights / weights.sum(axis=1, keepdims=True)).astype(np.float32)
        return priors, values

    return evaluate
