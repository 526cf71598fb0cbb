"""Values that change with the iteration, as data: a training's configuration stores them, so
that running its command again replays the whole recipe rather than its last step.

A schedule is written in JSON (and given in Python) as one of

    0.001                                     the same value every iteration
    {"steps": [[0, 0.001], [150, 0.0003]]}    each value from its iteration on
    {"linear": [[1, 0.5], [40, 0.0]]}         straight lines between the points

Before its first point a schedule holds its first value, after its last point its last one.
The points' iterations are whole numbers, 0 or more, strictly increasing. A whole-number
setting (simulations, say) takes a linear schedule's value rounded to the nearest whole number.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from typing import Any

from krodan_rl._internal import arguments

__all__ = ["KINDS", "Schedule", "Scheduled", "from_json", "to_json", "value_at", "values"]

KINDS = ("steps", "linear")


@dataclass(frozen=True)
class Schedule:
    """A value by iteration: ``kind`` "steps" (piecewise constant) or "linear", through
    ``points`` (iteration, value), iterations strictly increasing."""

    kind: str
    points: tuple[tuple[int, float], ...]

    def __post_init__(self) -> None:
        arguments.choice(self.kind, "schedule kind", KINDS)
        if not isinstance(self.points, tuple) or not self.points:
            raise ValueError("a schedule needs at least one [iteration, value] point")
        before = -1
        for point in self.points:
            if not isinstance(point, tuple) or len(point) != 2:
                raise ValueError(f"a schedule's point must be [iteration, value], not {point!r}")
            iteration, value = point
            arguments.integer(iteration, "a schedule point's iteration", minimum=0)
            if iteration <= before:
                raise ValueError("a schedule's iterations must be strictly increasing")
            arguments.real(value, "a schedule point's value")
            before = iteration

    def at(self, iteration: int) -> float:
        points = self.points
        if iteration <= points[0][0]:
            return points[0][1]
        for (x0, y0), (x1, y1) in itertools.pairwise(points):
            if iteration < x1:
                return y0 if self.kind == "steps" else y0 + (y1 - y0) * (iteration - x0) / (x1 - x0)
        return points[-1][1]

    def values(self) -> list[float]:
        return [value for _, value in self.points]


Scheduled = float | int | Schedule


def value_at(setting: Scheduled, iteration: int, whole: bool = False) -> Any:
    """A setting's value at ``iteration``: a number as it is, a schedule's value there (rounded
    to a whole number for a ``whole`` setting)."""
    if not isinstance(setting, Schedule):
        return setting
    value = setting.at(iteration)
    return math.floor(value + 0.5) if whole else float(value)


def values(setting: Scheduled) -> list[float]:
    """Every value a setting takes at its points (a linear schedule's lie between them)."""
    return setting.values() if isinstance(setting, Schedule) else [setting]


def from_json(value: object, name: str) -> Scheduled:
    """A setting as JSON holds it (a number, or a one-key object naming its kind); TypeError or
    ValueError naming the setting for anything else."""
    if not isinstance(value, dict):
        return value  # type: ignore[return-value]  # a number: checked by the configuration
    if len(value) != 1 or next(iter(value)) not in KINDS:
        raise ValueError(f"{name}: a schedule is {{'steps': [...]}} or {{'linear': [...]}}")
    kind, points = next(iter(value.items()))
    if not isinstance(points, list) or not all(isinstance(p, list) for p in points):
        raise ValueError(f"{name}: a schedule's points are a list of [iteration, value]")
    try:
        return Schedule(kind, tuple(tuple(point) for point in points))
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: {error}") from None


def to_json(setting: Scheduled) -> object:
    if not isinstance(setting, Schedule):
        return setting
    return {setting.kind: [list(point) for point in setting.points]}
