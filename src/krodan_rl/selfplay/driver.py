"""A self-play run from start to end: its arguments checked, its backend connected to its
cluster (where it has one), its folder locked and sorted (``krodan_rl.selfplay.run_folder``),
the shards left to play handed to the backend, progress shown game by game, the manifest kept
up to date."""

from __future__ import annotations

import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from krodan_rl._internal.progress import ProgressBar
from krodan_rl.selfplay import backends, run_folder
from krodan_rl.selfplay.backends import ShardJob
from krodan_rl.selfplay.config import DEFAULT_GAMES_PER_SHARD, RunConfig

__all__ = ["GenerateSummary", "generate"]


@dataclass(frozen=True)
class GenerateSummary:
    """A run's totals: the games and placements it generated (not those it found done; its
    rows, ``turns`` as the dataset's folder names them; passes are not rows), and its shards:
    generated (redone ones included), reused (adopted ones included), redone."""

    out_dir: str
    games: int
    turns: int
    shards: int
    seconds: float
    generated: int = 0
    reused: int = 0
    redone: int = 0
    adopted: int = 0

    @property
    def games_per_second(self) -> float:
        return self.games / max(self.seconds, 1e-9)

    @property
    def turns_per_second(self) -> float:
        return self.turns / max(self.seconds, 1e-9)

    def format(self) -> str:
        return (
            f"{self.shards} shard(s): {self.generated} generated ({self.redone} redone), "
            f"{self.reused} reused ({self.adopted} adopted without their marker); "
            f"{self.games} games, {self.turns} placements generated in {self.seconds:.3f} s: "
            f"{self.games_per_second:.1f} games/s, {self.turns_per_second:.0f} placements/s"
        )


def generate(
    num_games: int,
    players: Sequence[Any],
    out_dir: str | Path,
    games_per_shard: int | None = None,
    seed: int = 0,
    workers: int | None = None,
    games_at_once: int = 64,
    progress: bool = False,
    backend: str = "local",
    address: str | None = None,
    ray_actor_options: dict[str, Any] | None = None,
    note: dict[str, Any] | None = None,
) -> GenerateSummary:
    """Plays ``num_games`` games among four players (player k in seat k) and writes them as
    shards of ``games_per_shard`` games under ``out_dir``, each committed by its marker;
    returns the totals. Every argument is checked before the first game.

    ``games_per_shard`` None takes the run's own where ``out_dir`` holds one, else 100.
    ``backend`` "local": ``workers`` processes play the shards (None: one per core, at most
    one per shard; 1: this process). "ray": Ray actors do
    (``krodan_rl.selfplay.backends.ray``), on a local Ray instance sized to the machine, or on
    the cluster at ``address`` ("auto" for the one this machine belongs to), connected before
    the folder is made (where none answers, nothing is written);
    ``ray_actor_options`` go to the actors (``{"num_gpus": 1}``). ``games_at_once`` games are
    played side by side, so that a player with ``search_moves`` decides them together.
    ``note``: JSON the run's manifest and markers keep beside its record (``RunConfig.note``).

    Run again with the same arguments, it generates only the shards that are missing or
    corrupt (``krodan_rl.selfplay.run_folder``); more games extend the run. A folder written
    with another seed, other players or another ``games_per_shard`` is refused. A run that
    fails raises; the shards finished before stay, committed.
    """
    run_folder.check_folder(out_dir)
    if games_per_shard is None:
        games_per_shard = run_folder.recorded_games_per_shard(out_dir) or DEFAULT_GAMES_PER_SHARD
    config = RunConfig(num_games, tuple(players), games_per_shard, seed, games_at_once, note)
    options: dict[str, Any] = {"workers": workers}
    if address is not None:
        options["address"] = address
    if ray_actor_options is not None:
        options["ray_actor_options"] = ray_actor_options
    runner = backends.make(backend, **options)
    runner.check(config)
    with runner.session(), run_folder.locked(out_dir):
        return _run(config, Path(out_dir), runner, progress)


def _run(
    config: RunConfig, out_dir: Path, runner: backends.Backend, progress: bool
) -> GenerateSummary:
    """A run whose arguments are checked, in its locked folder."""
    start = time.perf_counter()
    plan = run_folder.prepare(out_dir, config)
    token = run_folder.claim(out_dir)
    manifest = run_folder.Manifest(out_dir, config, plan.markers)
    manifest.write()
    todo = plan.todo
    bar = ProgressBar(sum(config.shard_games(s) for s in todo), enabled=progress)
    made: list[dict[str, Any]] = []
    playing: dict[int, int] = {}  # games done in the shards in play

    def committed(marker: dict[str, Any]) -> None:
        made.append(marker)
        playing.pop(int(marker["shard"]), None)
        manifest.add(marker)
        manifest.maybe_write()
        show()

    def advanced(shard: int, games: int) -> None:
        if shard not in manifest.markers:  # a late report of a shard already committed
            playing[shard] = games
            show()

    def show() -> None:
        bar.update(sum(int(m["games"]) for m in made) + sum(playing.values()))

    try:
        if todo:
            job = ShardJob(config, str(out_dir.resolve()), todo, committed, advanced, token)
            runner.run(job)
    finally:
        manifest.write()
    return GenerateSummary(
        str(out_dir),
        sum(int(m["games"]) for m in made),
        sum(int(m["rows"]) for m in made),
        config.num_shards,
        time.perf_counter() - start,
        generated=len(made),
        reused=len(plan.reused) + len(plan.adopted),
        redone=len(plan.redo),
        adopted=len(plan.adopted),
    )
