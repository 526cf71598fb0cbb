"""Two (or more) training recipes from the same checkpoint, each trained for the same seconds of
its own training time, then compared on evidence: held-out losses on one shared set of games
none of them trained on, and arena games of each final checkpoint's guided search against three
greedy agents on shared seeds, with 95 % intervals.

    python benchmarks/ab_recipes.py --from CHECKPOINT --out DIR \\
        --recipe puct=baseline-2 --recipe gumbel=baseline-2,root_rule=gumbel \\
        [--minutes 120] [--games 200] [--simulations 64] [--json FILE]

A recipe is ``NAME=PRESET[,FIELD=VALUE...]``, a value read as JSON where it parses (a schedule
as ``{"steps":[[0,1e-3],[150,3e-4]]}`` as the configuration file stores it), else as a
string; ``network.FIELD=VALUE`` sets a field of the network (``network.score_head=true``).
Every recipe must train the checkpoint's network. The arms take turns an iteration at a time,
the one with the fewest seconds first, so that both meet the same load on the machine; each
arm's seconds are its training's own (the checkpoints' ``seconds``, less the start's). Rerun the
same command to go on: each arm resumes in ``DIR/NAME``.
"""

from __future__ import annotations

import argparse
import json
import platform
import re
import time
from pathlib import Path
from typing import Any

from krodan_rl import arena, seeds, selfplay
from krodan_rl.nn import checkpoint as checkpoints
from krodan_rl.train import PRESETS, TrainConfig, train
from krodan_rl.train.folder import Training
from krodan_rl.train.learning import heldout_losses, new_learner

ROOT = Path(__file__).resolve().parents[1]


def recipe(text: str) -> tuple[str, TrainConfig]:
    """``NAME=PRESET[,FIELD=VALUE...]`` as a name and its configuration (checked)."""
    name, _, rest = text.partition("=")
    # A comma ends a setting only where the next one begins (``FIELD=``): JSON holds commas.
    preset, *settings = re.split(r",(?=[\w.]+=)", rest)
    if not name or preset not in PRESETS:
        raise argparse.ArgumentTypeError(f"expected NAME=PRESET[,FIELD=VALUE...], not {text!r}")
    values = PRESETS[preset].to_dict()
    for setting in settings:
        field, _, text = setting.partition("=")
        try:
            value = json.loads(text)
        except json.JSONDecodeError:
            value = text
        # ``network.FIELD`` sets one of the network's fields, as the configuration nests them.
        if field.startswith("network."):
            values["network"][field.removeprefix("network.")] = value
        else:
            values[field] = value
    try:
        return name, TrainConfig.from_dict(values)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(f"{name}: {error}") from None


def seconds(training: Training) -> float:
    """The training time its checkpoints record up to its latest (0 where it has none)."""
    latest = training.latest()
    if latest < 0:
        return 0.0
    return float(checkpoints.load(training.checkpoint(latest)).meta["seconds"])


def run_arms(arms: dict[str, TrainConfig], start: Path, out: Path, budget: float) -> None:
    """Trains every arm from ``start`` an iteration at a time until each has spent ``budget``
    seconds beyond the start's."""
    begun = float(checkpoints.load(start).meta.get("seconds", 0.0))
    while True:
        spent = {name: seconds(Training(out / name)) - begun for name in arms}
        waiting = [name for name in arms if spent[name] < budget]
        if not waiting:
            return
        name = min(waiting, key=lambda n: max(spent[n], 0.0))
        folder = Training(out / name)
        done = folder.latest()
        reached = checkpoints.load(start).meta.get("iteration", 0) if done < 0 else done
        print(f"{name}: iteration {reached + 1} ({max(spent[name], 0.0):.0f} s of {budget:.0f})",
              flush=True)  # fmt: skip
        config = arms[name].with_options(iterations=reached + 1)
        train(config, folder.out, log=lambda line: None, start_from=start)


def heldout(out: Path, config: TrainConfig, games: int) -> Path:
    """The shared held-out games among greedy agents (made once)."""
    run = out / "heldout"
    selfplay.generate(games, ["greedy"] * 4, run, seed=seeds.heldout_run(config.seed),
                      games_at_once=config.games_at_once, workers=1)  # fmt: skip
    return run


def compare(name: str, config: TrainConfig, folder: Training, shared: Path, begun: float,
            args: argparse.Namespace) -> dict[str, Any]:  # fmt: skip
    """An arm's final checkpoint: its held-out losses and its arena games against greedy."""
    latest = folder.latest()
    path = folder.checkpoint(latest)
    learner = new_learner(config, checkpoints.load(path), latest)
    losses = heldout_losses(learner, shared, config)
    entries = [f"guided:{path}:{args.simulations}", "greedy", "greedy", "greedy"]
    started = time.perf_counter()
    result = arena.run(entries, args.games, args.arena_seed, progress=False)
    share = result.standings.rows[0].outcomes["win_share"]
    return {"recipe": name, "iteration": latest, "seconds": round(seconds(folder) - begun),
            "arena_seconds": round(time.perf_counter() - started),
            "heldout": {k: round(v, 4) for k, v in losses.items()},
            "win_share": round(share.value, 3),
            "interval": [round(share.low, 3), round(share.high, 3)]}  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--from", dest="start", type=Path, required=True, metavar="CHECKPOINT")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--recipe", type=recipe, action="append", required=True)
    parser.add_argument("--minutes", type=float, default=120.0, help="training time per arm")
    parser.add_argument("--games", type=int, default=200, help="arena games per arm")
    parser.add_argument("--simulations", type=int, default=64)
    parser.add_argument("--heldout-games", type=int, default=64)
    parser.add_argument("--arena-seed", type=int, default=424242)
    parser.add_argument("--json", type=Path, default=ROOT / "benchmarks" / "ab_results.json")
    args = parser.parse_args()
    arms = dict(args.recipe)
    if len(arms) < 2:
        parser.error("give at least two recipes, each with a name of its own")
    first = next(iter(arms.values()))
    if any(config.network != first.network for config in arms.values()):
        parser.error("every recipe must train the same network")
    run_arms(arms, args.start, args.out, args.minutes * 60)
    shared = heldout(args.out, first, args.heldout_games)
    begun = float(checkpoints.load(args.start).meta.get("seconds", 0.0))
    report = [compare(n, c, Training(args.out / n), shared, begun, args) for n, c in arms.items()]
    out = {"from": str(args.start), "minutes": args.minutes, "arena_seed": args.arena_seed,
           "simulations": args.simulations, "heldout_games": args.heldout_games,
           "arms": report, "python": platform.python_version()}  # fmt: skip
    args.json.write_text(json.dumps(out, indent=2) + "\n")
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
