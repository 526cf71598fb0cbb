"""A training's configuration: one record with presets, printed when a run starts and stored
in its folder, so that running the same command again resumes the same training. A stored
one is read back only from a regular file, and whatever it holds is checked field by field."""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass, field, fields, replace
from pathlib import Path
from typing import Any

from krodan_rl._internal import arguments
from krodan_rl.nn.checkpoint import check_network
from krodan_rl.nn.config import NetworkConfig

__all__ = ["PRESETS", "TrainConfig"]

_MAY_BE_ZERO = ("warm_start_games", "warm_start_steps", "seed")


@dataclass(frozen=True)
class TrainConfig:
    """What a training does each iteration: ``games`` self-play games with the current
    network's guided search (``simulations`` a move, root noise, moves drawn at temperature 1
    for the first ``temperature_plies`` placements), then ``steps`` learner steps of
    ``batch_size`` rows drawn from the last ``window`` iterations' runs. Every
    ``evaluate_every`` iterations, ``evaluation_games`` arena games against the built-in agents.
    ``warm_start_games`` games among greedy agents, played once before the first iteration,
    teach the network the heuristic's moves and the games' outcomes (``warm_start_steps``)."""

    network: NetworkConfig = field(default_factory=NetworkConfig)
    iterations: int = 100
    games: int = 64
    simulations: int = 32
    temperature_plies: int = 24
    games_at_once: int = 64
    steps: int = 200
    batch_size: int = 256
    window: int = 8
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    warm_start_games: int = 0
    warm_start_steps: int = 0
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
        arguments.real(self.learning_rate, "learning_rate", minimum=0)
        arguments.real(self.weight_decay, "weight_decay", minimum=0)
        if self.evaluation_games % 4:
            raise ValueError("evaluation_games must be a multiple of 4 (seat-rotated blocks)")

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

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
        return cls(network=NetworkConfig.from_dict(network), **options)

    def with_options(self, **options: Any) -> TrainConfig:
        return replace(self, **options)

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
}
