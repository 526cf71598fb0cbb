"""What ``krodan_rl.search.BatchedSearch`` makes of its callers' seeds and priors before native
code reads them."""

from __future__ import annotations

from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

from krodan_rl._internal import arguments

__all__ = ["in_float32_range", "seed_array"]

Array: TypeAlias = npt.NDArray[Any]


def seed_array(seeds: npt.ArrayLike, count: int) -> npt.NDArray[np.uint64]:
    """`count` seeds as uint64, read as Python integers first: numpy would read a list of
    integers above and below 2**63 as float64 and round them."""
    values = np.asarray(seeds, dtype=object)
    if values.ndim != 1 or len(values) != count:
        raise ValueError(f"seeds must be {count} integers, one per slot, not shape {values.shape}")
    return np.array([arguments.seed(v, "seeds") for v in values], dtype=np.uint64)


# Rows of priors whose largest legal entry lies outside these bounds are scaled by it first:
# cast to float32 as they are, they would become infinities (then NaN once renormalised) or
# zeros (then uniform), and the search would not see the weights it was given.
_LARGEST_SAFE_PRIOR = 1e30
_SMALLEST_SAFE_PRIOR = 1e-30


def in_float32_range(priors: Array, legal: Array, offsets: Array, rows: Array | None) -> Array:
    """``priors`` with each row whose legal entries (``legal``, in the CSR layout of
    ``offsets``) would not survive float32 divided by its largest legal entry, in double
    precision; other rows, and all priors of ordinary size, as they are. ``rows``: each legal
    entry's row, for dense priors."""
    if not legal.size:
        return priors
    largest = np.maximum.reduceat(legal.astype(np.float64), offsets[:-1])
    scaled = (largest > _LARGEST_SAFE_PRIOR) | ((largest > 0) & (largest < _SMALLEST_SAFE_PRIOR))
    if not scaled.any():
        return priors
    divisor: Array = np.where(scaled, largest, 1.0)
    per_entry = np.repeat(divisor, np.diff(offsets)) if rows is None else divisor[:, None]
    out: Array = np.asarray(priors, dtype=np.float64) / per_entry
    return out
