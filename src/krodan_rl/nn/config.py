"""The reference network's configuration, stored beside its parameters."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

from krodan_rl._internal import arguments

__all__ = ["FORMAT_VERSION", "HEADS", "NetworkConfig"]

#: The checkpoint format this package reads and writes.
FORMAT_VERSION = 1
#: The optional heads, off by default and written in a checkpoint's configuration only when
#: on: a network without them is stored byte for byte as before they existed.
HEADS = ("score_head", "ownership_head")


@dataclass(frozen=True)
class NetworkConfig:
    """A residual convolutional tower of ``blocks`` blocks of ``width`` channels over the 20 x
    20 board; the value head's output is read in ``value_mode``: "win_share" (a softmax over
    the four agents, the share of the win each takes) or "score" / "rank" (a sigmoid per agent,
    its outcome on the [0, 1] scale of ``krodan_rl.outcomes.normalise``).

    Two optional heads give training denser targets than one outcome a game: ``score_head``,
    every agent's final score (four numbers from the pooled board, as the value head's), and
    ``ownership_head``, every cell's final owner (empty or one of the four agents, a 1 x 1
    convolution on the tower). Searches and players read neither."""

    width: int = 32
    blocks: int = 4
    value_hidden: int = 64
    value_mode: str = "win_share"
    score_head: bool = False
    ownership_head: bool = False

    def __post_init__(self) -> None:
        arguments.integer(self.width, "width", minimum=1, maximum=1024)
        arguments.integer(self.blocks, "blocks", minimum=0, maximum=64)
        arguments.integer(self.value_hidden, "value_hidden", minimum=1, maximum=4096)
        arguments.reward_mode(self.value_mode)
        for head in HEADS:
            arguments.flag(getattr(self, head), head)

    @property
    def has_heads(self) -> bool:
        """Whether any optional head is on."""
        return any(getattr(self, head) for head in HEADS)

    def to_dict(self) -> dict[str, Any]:
        return {k: v for k, v in asdict(self).items() if k not in HEADS or v}

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> NetworkConfig:
        names = ("width", "blocks", "value_hidden", "value_mode", *HEADS)
        known = {k: values[k] for k in names if k in values}
        return cls(**known)
