"""A progress bar for long runs, drawn on standard error when it is a terminal."""

from __future__ import annotations

import sys
import time
from typing import TextIO

__all__ = ["ProgressBar"]


class ProgressBar:
    """Redraws ``[####....] done/total rate unit/s`` in place; silent when ``stream`` is not a
    terminal (a log file or a pipe), unless ``enabled`` says otherwise."""

    width = 30

    def __init__(
        self,
        total: int,
        unit: str = "games",
        stream: TextIO | None = None,
        enabled: bool | None = None,
    ) -> None:
        self.total = total
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.started = time.perf_counter()

    def update(self, done: int) -> None:
        if not self.enabled or self.total <= 0:
            return
        filled = self.width * done // self.total
        rate = done / max(time.perf_counter() - self.started, 1e-9)
        self.stream.write(
            f"\r[{'#' * filled}{'.' * (self.width - filled)}] {done}/{self.total} "
            f"{rate:.1f} {self.unit}/s"
        )
        if done >= self.total:
            self.stream.write("\n")
        self.stream.flush()
