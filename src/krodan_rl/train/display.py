"""What a training shows while it runs. On a terminal: a line as each stage starts and a
progress bar inside it (the games, then the learner's steps, with their rates and the time
left), redrawn in place on standard error. Elsewhere (a log file, a pipe): one line per
iteration, and a line every ``REPORT_STEPS`` learner steps of the long warm start. Evaluation
results come as a short table when they do, and a rerun says what it goes on with."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from krodan_rl._internal.progress import ProgressBar
from krodan_rl.train.evaluation import MATCHES

__all__ = ["REPORT_STEPS", "Display", "evaluation_table"]

Log = Callable[[str], None]
Report = Callable[[int, dict[str, float]], None]
# Learner steps between two lines of a long learning's progress where no bar is drawn.
REPORT_STEPS = 100


class Display:
    """Lines through ``log``; bars on standard error where ``live``."""

    def __init__(self, log: Log, live: bool) -> None:
        self.log = log
        self.live = live

    def stage(self, line: str) -> None:
        """A stage starting: said on a terminal, where its bar follows; elsewhere the line
        closing the iteration says what it did."""
        if self.live:
            self.log(line)

    def learning(self, stage: str, steps: int) -> Report:
        """The learner's report of its progress: a bar of the ``steps``, or a line every
        ``REPORT_STEPS`` of them short of the last."""
        if self.live:
            bar = ProgressBar(steps, "steps", label=f"{stage}: learning", enabled=True)
            return lambda done, losses: bar.update(done)

        def report(done: int, losses: dict[str, float]) -> None:
            if done % REPORT_STEPS == 0 and done < steps:
                self.log(f"{stage}: {done} learner steps, loss {losses['loss']:.3f}")

        return report

    def evaluation(self, iteration: int, found: dict[str, Any]) -> None:
        for line in evaluation_table(iteration, found):
            self.log(line)


def evaluation_table(iteration: int, found: dict[str, Any]) -> list[str]:
    """An evaluation's results as a few aligned lines: each match's games, win share with its
    interval and, against greedy, the rating over greedy."""
    lines = [f"iteration {iteration} evaluated:", f"  {'match':<22} {'games':>5}  win share"]
    for name in MATCHES:
        if name not in found:
            continue
        result = found[name]
        low, high = result["interval"]
        share = f"{result['win_share']:.3f} [{low:.3f}, {high:.3f}]"
        line = f"  {name:<22} {result['games']:>5}  {share}"
        if "rating_over_greedy" in result:
            line += f"  {result['rating_over_greedy']:+.0f} Elo over greedy"
        lines.append(line)
    return lines
