"""The checks of the package's arguments, written once: every public function outside the game
class reads its integers, seeds, flags, names and arrays through these, so that the same mistake
gets the same error everywhere. A wrong type is a TypeError, a wrong value a ValueError, and the
message names the argument as the caller wrote it.
"""

from __future__ import annotations

import math
import operator
import os
import re
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl._krodan import PyKrodan

__all__ = [
    "MAX_SEED",
    "REWARD_MODES",
    "choice",
    "flag",
    "float_array",
    "in_flags",
    "integer",
    "integer_array",
    "optional_seed",
    "real",
    "reward_mode",
    "seed",
]

#: Seeds are 64-bit: 0 to MAX_SEED - 1.
MAX_SEED = 2**64
#: What a finished game is worth, as the game class names its modes.
REWARD_MODES: tuple[str, ...] = PyKrodan.reward_modes


def integer(
    value: Any, name: str, *, minimum: int | None = None, maximum: int | None = None
) -> int:
    """An integer argument: Python and numpy integers, nothing that merely converts to one (a
    bool, a float), within [minimum, maximum] where they are given."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if (minimum is not None and number < minimum) or (maximum is not None and number > maximum):
        if maximum is None:
            raise ValueError(f"{name} must be at least {minimum}, not {number}")
        if minimum is None:
            raise ValueError(f"{name} must be at most {maximum}, not {number}")
        raise ValueError(f"{name} must be from {minimum} to {_bound(maximum)}, not {number}")
    return number


def _bound(maximum: int) -> str:
    return "2**64 - 1" if maximum == MAX_SEED - 1 else str(maximum)


def seed(value: Any, name: str = "seed") -> int:
    """A seed: an integer from 0 to 2**64 - 1."""
    return integer(value, name, minimum=0, maximum=MAX_SEED - 1)


def optional_seed(value: Any, name: str = "seed") -> int:
    """A seed, or a fresh one from the operating system for None."""
    if value is None:
        return int.from_bytes(os.urandom(8), "little")
    return seed(value, name)


def flag(value: Any, name: str) -> bool:
    """A bool argument: Python's or numpy's, nothing that merely tests true."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return bool(value)


def real(
    value: Any,
    name: str,
    *,
    minimum: float = -math.inf,
    maximum: float = math.inf,
    finite: bool = True,
) -> float:
    """A real number within [minimum, maximum] (finite unless ``finite`` is False); ints and
    numpy scalars are taken, bools and strings are not."""
    if isinstance(value, (bool, np.bool_, str, bytes)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    except OverflowError:  # an int beyond any float
        raise ValueError(f"{name} must be a finite number, not an integer of that size") from None
    if math.isnan(number) or (finite and math.isinf(number)):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    if not minimum <= number <= maximum:
        if maximum == math.inf:
            raise ValueError(f"{name} must be at least {minimum:g}, not {value!r}")
        raise ValueError(f"{name} must be from {minimum:g} to {maximum:g}, not {value!r}")
    return number


def choice(value: Any, name: str, options: Sequence[str], *, what: str | None = None) -> str:
    """One of ``options``, exactly; ``what`` names it in the message (default: ``name``)."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in options:
        raise ValueError(f"unknown {what or name} {value!r}; expected one of {tuple(options)}")
    return value


def reward_mode(value: Any) -> str:
    """A reward mode: "score", "win_share" or "rank"."""
    return choice(value, "reward_mode", REWARD_MODES, what="reward mode")


def float_array(value: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    """An array of floating-point numbers (any float dtype); integers or objects are refused."""
    array = np.asarray(value)
    if not np.issubdtype(array.dtype, np.floating):
        raise TypeError(f"{name} must hold floating-point numbers, not {array.dtype}")
    return array


def integer_array(value: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    """An array of integers (any integer dtype); bools, floats or objects are refused."""
    array = np.asarray(value)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must have an integer dtype, not {array.dtype}")
    return array


def in_flags(message: str, flags: Mapping[str, str]) -> str:
    """A message of the Python API with its parameters named by the flags that set them
    (``flags``: parameter, flag): a name with an underscore (``out_dir``) wherever it stands,
    a plain word (``seed``) only where it starts the message, as the argument checks write
    it; elsewhere it is as likely a word of the sentence."""

    def flag(match: re.Match[str]) -> str:
        name = match[0]
        return flags[name] if "_" in name or match.start() == 0 else name

    return re.sub(r"\b(?:" + "|".join(map(re.escape, flags)) + r")\b", flag, message)
