"""A training's configuration: one record with presets, printed when a run starts and stored
in its folder, so that running the same command again resumes the same training. A stored
one is read back only from a regular file, and whatever it holds is checked field by field.

Some settings may change with the iteration (``SCHEDULED``): each is a number, or a schedule
(``krodan_rl.train.schedules``) stored as data beside the rest, so that the command replays the
whole recipe; ``at(iteration)`` gives the values an iteration uses."""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass, field, fields, replace
from pathlib import Path
from typing import Any

from krodan_rl import facts
from krodan_rl._internal import arguments
from krodan_rl.nn.checkpoint import check_network
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.train import schedules
from krodan_rl.train.schedules import Schedule, Scheduled

__all__ = ["PRESETS", "SCHEDULED", "Settings", "TrainConfig"]

_MAY_BE_ZERO = ("warm_start_games", "warm_start_steps", "seed", "heldout_games")
# The settings that may follow a schedule: whether each is a whole number, and its bounds.
SCHEDULED: dict[str, tuple[bool, float, float]] = {
    "learning_rate": (False, 0.0, float("inf")),
    "simulations": (True, 1, float("inf")),
    "temperature_plies": (True, 1, float("inf")),
    "window": (True, 1, float("inf")),
    "warm_start_share": (False, 0.0, 1.0),
    "cheap_simulations": (True, 1, float("inf")),
}
# What the window counts: the latest self-play runs, or the latest games across them.
WINDOW_UNITS = ("runs", "games")
# How the weights decay: "adamw" as optax's adamw does it (each step by the learning rate times
# ``weight_decay``, so the decay fades as the learning rate is stepped down: the older presets'
# choice, kept so that their folders resume as they were); "decoupled", each step by
# ``weight_decay`` whatever the learning rate; "l2", ``weight_decay / 2`` times the squared
# weights added to the loss.
DECAY_MODES = ("adamw", "decoupled", "l2")
# The search's rule at the root of self-play's guided search: PUCT with root noise, its policy
# target the visits; or the Gumbel root (``krodan_rl.search``), whose noise is its Gumbel draw
# and whose target is its improved policy.
ROOT_RULES = ("puct", "gumbel")
# The weight of each optional head's loss, and the head (``NetworkConfig``) it needs.
HEAD_WEIGHTS = {"score_weight": "score_head", "ownership_weight": "ownership_head"}


@dataclass(frozen=True)
class Settings:
    """The values of the scheduled settings that one iteration uses. ``warm_start_share`` is
    None where the warm start's games count as the window's oldest run instead."""

    learning_rate: float
    simulations: int
    temperature_plies: int
    window: int
    warm_start_share: float | None
    cheap_simulations: int

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)


@dataclass(frozen=True)
class TrainConfig:
    """What a training does each iteration: ``games`` self-play games with the current
    network's guided search (``simulations`` a move, root noise, moves drawn at temperature 1
    for the first ``temperature_plies`` placements), then ``steps`` learner steps of
    ``batch_size`` rows drawn from the window: the last ``window`` runs or games
    (``window_unit``). Every ``evaluate_every`` iterations, ``evaluation_games`` arena games
    against the built-in agents. ``warm_start_games`` games among greedy agents, played once
    before the first iteration, teach the network the heuristic's moves and the games' outcomes
    (``warm_start_steps``); afterwards they count as the window's oldest run, or, given a
    ``warm_start_share``, make that share of every batch (the window holding self-play only).
    ``heldout_games`` games among greedy agents, played once and never trained on, give the
    held-out losses of every checkpoint.

    Self-play's search: ``root_rule`` "puct", or "gumbel" (sampling ``gumbel_actions`` actions
    at the root, its improved policy the target). Its playouts capped at random: a
    ``full_search_share`` of the moves, drawn from each move's seed, are searched with
    ``simulations`` and recorded as policy targets; the others with ``cheap_simulations``,
    without noise or draws (the search's best move played), and recorded for the value only.

    With ``steps_follow_window``, an iteration's learner steps are ``steps`` in proportion to
    how full its window is (``window.learner_steps``), so that a window still filling (a new
    training's first iterations, a sitting on a machine without the window's runs) is not drawn
    from more often, row for row, than a full one.

    ``learning_rate``, ``simulations``, ``temperature_plies``, ``window``,
    ``warm_start_share`` and ``cheap_simulations`` may be schedules. ``score_weight`` and
    ``ownership_weight`` weigh the losses of the network's optional heads (0: they train
    nothing, and a network without them trains exactly as before they existed)."""

    network: NetworkConfig = field(default_factory=NetworkConfig)
    iterations: int = 100
    games: int = 64
    simulations: int | Schedule = 32
    temperature_plies: int | Schedule = 24
    games_at_once: int = 64
    steps: int = 200
    batch_size: int = 256
    window: int | Schedule = 8
    window_unit: str = "runs"
    learning_rate: float | Schedule = 1e-3
    weight_decay: float = 1e-4
    weight_decay_mode: str = "adamw"
    warm_start_games: int = 0
    warm_start_steps: int = 0
    warm_start_share: float | Schedule | None = None
    heldout_games: int = 0
    root_rule: str = "puct"
    score_weight: float = 0.0
    ownership_weight: float = 0.0
    gumbel_actions: int = 16
    steps_follow_window: bool = False
    full_search_share: float = 1.0
    cheap_simulations: int | Schedule = 16
    evaluate_every: int = 5
    evaluation_games: int = 40
    evaluation_simulations: int = 32
    workers: int = 2
    seed: int = 0

    def __post_init__(self) -> None:
        if not isinstance(self.network, NetworkConfig):
            raise TypeError(f"network must be a NetworkConfig, not {type(self.network).__name__}")
        check_network(self.network)
        for item in fields(self):
            # Every field by its declared type: a stored configuration may hold anything.
            if item.type == "int":
                minimum = 0 if item.name in _MAY_BE_ZERO else 1
                arguments.integer(getattr(self, item.name), item.name, minimum=minimum)
        for name in SCHEDULED:
            _check_scheduled(name, getattr(self, name))
        arguments.real(self.weight_decay, "weight_decay", minimum=0)
        arguments.choice(self.window_unit, "window_unit", WINDOW_UNITS)
        arguments.choice(self.weight_decay_mode, "weight_decay_mode", DECAY_MODES)
        arguments.choice(self.root_rule, "root_rule", ROOT_RULES)
        for name, head in HEAD_WEIGHTS.items():
            weight = arguments.real(getattr(self, name), name, minimum=0)
            if weight and not getattr(self.network, head):
                raise ValueError(f"{name} is {weight:g}, but the network has no {head}")
        arguments.integer(self.gumbel_actions, "gumbel_actions", minimum=1,
                          maximum=facts.MAX_GUMBEL_ACTIONS)  # fmt: skip
        # Above 0: a training whose moves were all cheap would never teach the policy.
        arguments.real(self.full_search_share, "full_search_share", minimum=0, maximum=1)
        if self.full_search_share <= 0:
            raise ValueError("full_search_share must be above 0 (some moves must be searched "
                             "fully to teach the policy)")  # fmt: skip
        arguments.flag(self.steps_follow_window, "steps_follow_window")
        if self.steps_follow_window and self.warm_start_games and self.warm_start_share is None:
            raise ValueError("steps_follow_window needs a warm_start_share (the warm start's "
                             "games drawn apart from the window's)")  # fmt: skip
        if self.evaluation_games % 4:
            raise ValueError("evaluation_games must be a multiple of 4 (seat-rotated blocks)")

    def at(self, iteration: int) -> Settings:
        """The scheduled settings' values at ``iteration`` (0: the warm start)."""
        found = {
            name: schedules.value_at(getattr(self, name), iteration, whole)
            for name, (whole, _, _) in SCHEDULED.items()
        }
        return Settings(**found)

    @property
    def head_weights(self) -> tuple[tuple[str, float], ...]:
        """The optional heads' loss weights, by head, as the learner takes them."""
        return tuple((head.removesuffix("_head"), float(getattr(self, name)))
                     for name, head in HEAD_WEIGHTS.items())  # fmt: skip

    def to_dict(self) -> dict[str, Any]:
        values = asdict(self)
        values.update({name: schedules.to_json(getattr(self, name)) for name in SCHEDULED})
        return values

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> TrainConfig:
        """The configuration ``to_dict`` gave (keys it does not know are left out); TypeError
        or ValueError, naming the field, for anything else."""
        if not isinstance(values, dict):
            raise TypeError(f"a configuration must be a JSON object, not {type(values).__name__}")
        network = values.get("network", {})
        if not isinstance(network, dict):
            raise TypeError(f"network must be a JSON object, not {type(network).__name__}")
        known = {item.name for item in fields(cls)}
        options = {k: v for k, v in values.items() if k in known and k != "network"}
        for name in SCHEDULED:
            if name in options:
                options[name] = schedules.from_json(options[name], name)
        return cls(network=NetworkConfig.from_dict(network), **options)

    def with_options(self, **options: Any) -> TrainConfig:
        return replace(self, **options)

    def differences(self, other: TrainConfig) -> list[str]:
        """The fields whose values differ from ``other``'s."""
        mine, theirs = self.to_dict(), other.to_dict()
        return [name for name, value in mine.items() if theirs.get(name) != value]

    def write(self, path: Path) -> None:
        from krodan_rl._internal.files import write_atomic

        write_atomic(path, json.dumps(self.to_dict(), indent=1, sort_keys=True) + "\n")

    @classmethod
    def read(cls, path: Path) -> TrainConfig:
        """The configuration ``write`` stored at ``path``; ValueError naming the file for
        anything else (not a regular file, not JSON, nested too deeply to decode, a field's
        type or value). An OSError for a file that cannot be read."""
        from krodan_rl._internal.files import NestedTooDeeply, NotRegularFile, read_json

        try:
            return cls.from_dict(read_json(path))
        except NotRegularFile:
            why = "not a regular file"
        except NestedTooDeeply:
            why = "it nests too deeply"
        except (ValueError, TypeError) as error:  # JSON, UTF-8, or a field's type or value
            why = str(error)
        raise ValueError(
            f"{path}: not a training's configuration ({why}): restore it, or use another folder"
        )


def _check_scheduled(name: str, setting: Scheduled | None) -> None:
    """A scheduled setting: a number (a whole one where the setting is) or a schedule, each of
    its values within the setting's bounds (a linear schedule's lie between its points')."""
    whole, minimum, maximum = SCHEDULED[name]
    if setting is None and name == "warm_start_share":
        return
    stepped = not isinstance(setting, Schedule) or setting.kind == "steps"
    for value in schedules.values(setting):  # type: ignore[arg-type]
        if whole and stepped:
            arguments.integer(value, name, minimum=int(minimum))
        else:
            arguments.real(value, name, minimum=minimum, maximum=maximum)
            if whole and value < minimum:
                raise ValueError(f"{name} must be at least {minimum:g}, not {value}")


PRESETS: dict[str, TrainConfig] = {
    # A few games, a few learner steps, a tiny network: the whole loop in seconds, for tests.
    "tiny": TrainConfig(
        network=NetworkConfig(width=8, blocks=1, value_hidden=8),
        iterations=2,
        games=8,
        simulations=4,
        temperature_plies=8,
        games_at_once=2,
        steps=3,
        batch_size=32,
        window=2,
        warm_start_games=32,
        warm_start_steps=60,
        evaluate_every=2,
        evaluation_games=4,
        evaluation_simulations=2,
        workers=1,
    ),
    # The tiny preset in the shape of baseline-2's recipe: schedules, a window of games, the
    # warm start as a share of each batch, a decay that holds, held-out losses; for tests.
    "tiny-2": TrainConfig(
        network=NetworkConfig(width=8, blocks=1, value_hidden=8),
        iterations=2,
        games=8,
        simulations=Schedule("steps", ((0, 4), (2, 6))),
        temperature_plies=Schedule("linear", ((1, 8), (2, 4))),
        games_at_once=2,
        steps=3,
        batch_size=32,
        window=Schedule("steps", ((0, 8), (2, 12))),
        window_unit="games",
        learning_rate=Schedule("steps", ((0, 1e-3), (2, 3e-4))),
        weight_decay=1e-4,
        weight_decay_mode="decoupled",
        warm_start_games=32,
        warm_start_steps=60,
        warm_start_share=Schedule("linear", ((1, 0.5), (2, 0.0))),
        heldout_games=4,
        evaluate_every=2,
        evaluation_games=4,
        evaluation_simulations=2,
        workers=1,
    ),
    # What a laptop trains in a day.
    "laptop": TrainConfig(),
    # The shipped baseline's recipe: a warm start from greedy games, then self-play, as long as
    # it keeps gaining. With ~180 legal placements a move, 16 simulations left the visit
    # targets little more than the prior's own top moves, and the raw policy stopped gaining
    # after about 20 iterations; its run went on from iteration 80 with 64. With 64, the guided
    # search stopped gaining after about iteration 120 while the loss sat at about 3.0: the run
    # went on from iteration 177 with the learning rate stepped down from 1e-3 to 3e-4; when
    # the guided search stopped gaining again (iterations 200 to 240), from iteration 250 with
    # 1e-4.
    "baseline": TrainConfig(
        network=NetworkConfig(width=32, blocks=3, value_hidden=64),
        iterations=100000,
        games=32,
        simulations=64,
        temperature_plies=16,
        games_at_once=32,
        steps=100,
        batch_size=128,
        window=20,
        learning_rate=1e-4,
        warm_start_games=20000,
        warm_start_steps=3000,
        evaluate_every=10,
        evaluation_games=40,
        evaluation_simulations=32,
        workers=1,
    ),
    # The recipe of a model trained from scratch, whole from the start: what the baseline's run
    # learned by hand, as schedules, and what side-by-side runs kept (BENCHMARKS.md, "Recipes
    # side by side"). 64 simulations from the first iteration (16 taught little more than the
    # prior's own top moves), at the Gumbel root (its improved policy the target, no root
    # noise), a quarter of the moves searched fully and the rest with 16 simulations for the
    # value only; score and ownership heads whose losses reach the tower through every cell;
    # the learning rate stepped down where the baseline's guided search stopped gaining; the
    # warm start's games a share of each batch that fades out over the first 40 iterations,
    # rather than a run that filled the window and then left it at once; a window of games
    # that grows as the network's games improve, learned from in proportion to how full it
    # is; a weight decay that holds as the learning rate falls.
    "baseline-2": TrainConfig(
        network=NetworkConfig(
            width=32, blocks=3, value_hidden=64, score_head=True, ownership_head=True
        ),
        iterations=100000,
        games=32,
        simulations=64,
        temperature_plies=Schedule("steps", ((0, 24), (120, 16))),
        games_at_once=32,
        steps=100,
        batch_size=128,
        window=Schedule("linear", ((1, 320), (120, 640), (300, 1280))),
        window_unit="games",
        steps_follow_window=True,
        learning_rate=Schedule("steps", ((0, 1e-3), (120, 3e-4), (300, 1e-4), (500, 3e-5))),
        weight_decay=1e-5,
        weight_decay_mode="decoupled",
        warm_start_games=20000,
        warm_start_steps=3000,
        warm_start_share=Schedule("linear", ((1, 0.5), (40, 0.0))),
        heldout_games=32,
        root_rule="gumbel",
        gumbel_actions=8,
        full_search_share=0.25,
        cheap_simulations=16,
        score_weight=0.5,
        ownership_weight=1.0,
        evaluate_every=10,
        evaluation_games=40,
        evaluation_simulations=32,
        workers=1,
    ),
}
