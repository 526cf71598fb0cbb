"""A training's folder: where its checkpoints and self-play runs live, and which checkpoint
played a self-play run, as the run's record notes it."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from krodan_rl.selfplay import run_folder
from krodan_rl.train import metrics

__all__ = ["Training"]

CHECKPOINT = re.compile(r"iter-([0-9]{6,})\.npz")
# A self-play player's name: its checkpoint, relative to the folder, and its simulations. Runs
# that trainings before notes wrote name their checkpoint only so.
OLDER_PLAYER = re.compile(r"guided:checkpoints/iter-([0-9]{6,})\.npz:[0-9]+")


@dataclass(frozen=True)
class Training:
    """A training's folder and what it holds."""

    out: Path

    @property
    def checkpoints(self) -> Path:
        return self.out / "checkpoints"

    def checkpoint(self, iteration: int) -> Path:
        return self.checkpoints / f"iter-{iteration:06d}.npz"

    def run(self, iteration: int) -> Path:
        return self.out / "selfplay" / f"iter-{iteration:06d}"

    @property
    def metrics(self) -> Path:
        return self.out / metrics.NAME

    @property
    def warm_run(self) -> Path:
        return self.out / "selfplay" / "warm"

    @property
    def heldout_run(self) -> Path:
        """The games the training holds out: never learned from, its losses measured on."""
        return self.out / "heldout"

    def remove_leftovers(self) -> None:
        """Removes the temporary files of writes a kill cut short: checkpoints, the
        configuration, carried metrics, the curve (and the curve's temporary as earlier
        versions named it). For the training that holds the folder's lock."""
        for folder in (self.out, self.checkpoints):
            run_folder.remove_temporaries(folder)
        (self.out / ".curve.png.tmp.png").unlink(missing_ok=True)

    def latest(self) -> int:
        """The last iteration with a checkpoint, -1 for none."""
        if not self.checkpoints.is_dir():
            return -1
        found = [
            int(m[1]) for p in self.checkpoints.iterdir() if (m := CHECKPOINT.fullmatch(p.name))
        ]
        return max(found, default=-1)

    def relative(self, iteration: int) -> str:
        """A checkpoint's path relative to the folder, as players' names give it: a run resumed
        under another spelling of its path (or moved) still matches the self-play run it left
        half done. A name only, never read as a spec: players are built from the file."""
        return self.checkpoint(iteration).relative_to(self.out).as_posix()

    def player_name(self, source: int, simulations: int, kind: str = "guided") -> str:
        """The name of checkpoint ``source``'s guided search (``kind`` "gumbel" at the Gumbel
        root), in self-play runs and the evaluation's standings."""
        return f"{kind}:{self.relative(source)}:{simulations}"

    def note(self, source: int) -> dict[str, Any]:
        """What a self-play run's record notes about it: the checkpoint that plays it."""
        return {"checkpoint": self.relative(source), "checkpoint_iteration": source}

    def source(self, iteration: int) -> int | None:
        """The checkpoint that plays ``iteration``'s self-play run, as the run's record notes
        it (or, in runs written before notes, names it in its players); None for a run not
        begun."""
        record = run_folder.recorded_run(self.run(iteration))
        if record is None:
            return None
        note = record.get("note")
        noted = note.get("checkpoint_iteration") if isinstance(note, dict) else None
        if type(noted) is int and noted >= 0:
            return noted
        players = record.get("players")
        first = players[0] if isinstance(players, list) and players else None
        found = OLDER_PLAYER.fullmatch(first) if isinstance(first, str) else None
        return int(found[1]) if found else None
