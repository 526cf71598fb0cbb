"""A progress bar for long runs, drawn on standard error when it is a terminal."""

from __future__ import annotations

import sys
import time
from typing import TextIO

__all__ = ["ProgressBar"]


class ProgressBar:
    """Redraws ``label [####....] done/total rate unit/s, time left`` in place; silent when
    ``stream`` is not a terminal (a log file or a pipe), unless ``enabled`` says otherwise."""

    width = 30

    def __init__(
        self,
        total: int,
        unit: str = "games",
        stream: TextIO | None = None,
        enabled: bool | None = None,
        label: str = "",
    ) -> None:
        self.total = total
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.label = f"{label} " if label else ""
        self.started = time.perf_counter()

    def update(self, done: int) -> None:
        if not self.enabled or self.total <= 0:
            return
        filled = self.width * done // self.total
        rate = done / max(time.perf_counter() - self.started, 1e-9)
        left = f", {_duration((self.total - done) / rate)} left" if 0 < done < self.total else ""
        self.stream.write(
            f"\r{self.label}[{'#' * filled}{'.' * (self.width - filled)}] {done}/{self.total} "
            f"{rate:.1f} {self.unit}/s{left}\x1b[K"
        )
        if done >= self.total:
            self.stream.write("\n")
        self.stream.flush()


def _duration(seconds: float) -> str:
    """``seconds`` as ``42 s``, ``3 min 5 s`` or ``2 h 10 min``."""
    whole = round(seconds)
    if whole < 60:
        return f"{whole} s"
    if whole < 3600:
        return f"{whole // 60} min {whole % 60} s"
    return f"{whole // 3600} h {whole % 3600 // 60} min"
