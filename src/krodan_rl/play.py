"""Seeded random play through the native game class."""

from __future__ import annotations

import time
from dataclasses import dataclass

from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import RandomAgent

__all__ = ["GameRecord", "RandomAgent", "legal_actions", "play_game"]


def legal_actions(action_mask: bytes) -> list[int]:
    """The action indices set in an action mask, ascending."""
    found: list[int] = []
    at = action_mask.find(1)
    while at != -1:
        found.append(at)
        at = action_mask.find(1, at + 1)
    return found


@dataclass
class GameRecord:
    game: PyKrodan
    turns: int
    seconds: float


def play_game(seed: int | None = None) -> GameRecord:
    """Plays one game to the end among random agents sharing one seeded random agent."""
    game = PyKrodan()
    agent = RandomAgent(seed)
    turns = 0
    start = time.perf_counter()
    while not game.is_over:
        game.step(agent.act(game))
        turns += 1
    return GameRecord(game, turns, time.perf_counter() - start)
