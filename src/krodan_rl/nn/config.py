"""The reference network's configuration, stored beside its parameters."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

from krodan_rl._internal import arguments

__all__ = ["FORMAT_VERSION", "NetworkConfig"]

#: The checkpoint format this package reads and writes.
FORMAT_VERSION = 1


@dataclass(frozen=True)
class NetworkConfig:
    """A residual convolutional tower of ``blocks`` blocks of ``width`` channels over the 20 x
    20 board; the value head's output is read in ``value_mode``: "win_share" (a softmax over
    the four agents, the share of the win each takes) or "score" / "rank" (a sigmoid per agent,
    its outcome on the [0, 1] scale of ``krodan_rl.outcomes.normalise``)."""

    width: int = 32
    blocks: int = 4
    value_hidden: int = 64
    value_mode: str = "win_share"

    def __post_init__(self) -> None:
        arguments.integer(self.width, "width", minimum=1, maximum=1024)
        arguments.integer(self.blocks, "blocks", minimum=0, maximum=64)
        arguments.integer(self.value_hidden, "value_hidden", minimum=1, maximum=4096)
        arguments.reward_mode(self.value_mode)

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> NetworkConfig:
        known = {
            k: values[k] for k in ("width", "blocks", "value_hidden", "value_mode") if k in values
        }
        return cls(**known)
