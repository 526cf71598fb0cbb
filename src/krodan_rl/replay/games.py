"""Games to watch, move by move: each position of a game read from the engine (who covers each
cell, the scores, the pieces each agent still holds), from a list of positions, a game's
placements, a self-play dataset or an arena run that recorded its games."""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from krodan_rl import _native, arguments
from krodan_rl._krodan import PyKrodan

__all__ = ["Frame", "Replay", "from_arena", "from_dataset", "from_placements", "from_states"]

NUM_AGENTS = _native.NUM_AGENTS
NUM_PIECES = _native.NUM_PIECES


@dataclass(frozen=True)
class Frame:
    """One position: ``owners`` the agent covering each cell (cell 20 * row + column) or -1,
    the agents' ``scores`` as if the game ended there, ``hand[a][p]`` whether agent a still
    holds piece p, ``done`` each agent's flag, and the placement that led to it (``mover``
    and the ``placed`` cells; None and empty for a game's first position)."""

    owners: list[int]
    scores: list[int]
    hand: list[list[bool]]
    done: list[bool]
    mover: int | None
    placed: list[int]

    def to_dict(self) -> dict[str, Any]:
        return {
            "owners": "".join("." if o < 0 else str(o) for o in self.owners),
            "scores": self.scores,
            "hand": ["".join("1" if held else "0" for held in row) for row in self.hand],
            "done": self.done,
            "mover": self.mover,
            "placed": self.placed,
        }


@dataclass(frozen=True)
class Replay:
    """A game to watch: its ``title``, the players' ``names`` by agent and its ``frames``."""

    title: str
    names: list[str]
    frames: list[Frame]

    def to_dict(self) -> dict[str, Any]:
        return {
            "title": self.title,
            "names": self.names,
            "frames": [f.to_dict() for f in self.frames],
        }


def _frame(game: PyKrodan, before: Frame | None) -> Frame:
    owners = [-1 if o == _native.NO_OWNER else o for o in _native.owner_grid(game)]
    # Observed by agent 0, the agents come in the board's order.
    pieces = np.frombuffer(game.observe(0).pieces, dtype=np.uint8).reshape(NUM_AGENTS, NUM_PIECES)
    placed = [] if before is None else [i for i, o in enumerate(owners) if o != before.owners[i]]
    movers = {owners[i] for i in placed}
    if len(movers) > 1 or (before is not None and any(before.owners[i] >= 0 for i in placed)):
        raise ValueError("consecutive positions must differ by one placement")
    return Frame(
        owners=owners,
        scores=list(game.scores),
        hand=pieces.astype(bool).tolist(),
        done=list(game.terminations),
        mover=movers.pop() if movers else None,
        placed=placed,
    )


def _names(names: Sequence[str] | None) -> list[str]:
    if names is None:
        return [f"agent {a}" for a in range(NUM_AGENTS)]
    names = [str(n) for n in names]
    if len(names) != NUM_AGENTS:
        raise ValueError(f"names must hold {NUM_AGENTS} entries, one per agent, not {len(names)}")
    return names


def from_states(
    states: Iterable[bytes | PyKrodan], names: Sequence[str] | None = None, title: str = "a game"
) -> Replay:
    """A replay of positions in order (state strings or games), each one placement after the
    one before (positions where only passes were played in between are dropped)."""
    frames: list[Frame] = []
    for state in states:
        game = state if isinstance(state, PyKrodan) else PyKrodan.from_bytes(bytes(state))
        frame = _frame(game, frames[-1] if frames else None)
        if frames and not frame.placed:
            continue
        frames.append(frame)
    if not frames:
        raise ValueError("a replay needs at least one position")
    return Replay(str(title), _names(names), frames)


def _positions(placements: Iterable[int]) -> Iterable[PyKrodan]:
    """The start, then the game after each placement (with the passes of done movers played
    before it, and at the end those that finish the game)."""
    game = PyKrodan()
    yield game.copy()
    for ply, action in enumerate(placements):
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
        if game.is_over:
            raise ValueError(f"placement {ply} comes after the game is over")
        try:
            game.step(arguments.integer(action, "a placement", minimum=0))
        except AssertionError as error:  # the engine refuses an illegal action
            raise ValueError(
                f"placement {ply} ({action}) is not legal for agent {game.agent_selection}"
            ) from error
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
        yield game.copy()


def from_placements(
    placements: Iterable[int], names: Sequence[str] | None = None, title: str = "a game"
) -> Replay:
    """A replay of a game given by its placements in order, each an action in its mover's
    frame (passes left out: they follow from the placements)."""
    return from_states(_positions(placements), names, title)


def from_arena(record: str | Path | Any, game: int = 0) -> Replay:
    """Game ``game`` of an arena run that recorded its games: its result (``arena.run(...,
    record=True)``) or the JSON file ``python -m krodan_rl arena ... --record FILE`` wrote."""
    if isinstance(record, (str, Path)):
        path = Path(record)
        try:
            stored = json.loads(path.read_text())
        except (OSError, UnicodeDecodeError, ValueError) as error:
            raise ValueError(f"{path}: not an arena record: {error}") from error
        where = str(path)
    else:
        stored = record.to_dict()
        where = "the arena result"
    if not isinstance(stored, dict) or not isinstance(stored.get("placements"), list):
        raise ValueError(f"{where}: holds no placements (record the games: --record FILE)")
    count = len(stored["placements"])
    game = arguments.integer(game, "game", minimum=0)
    if game >= count:
        raise ValueError(f"{where}: no game {game} (games 0-{count - 1})")
    try:
        specs, seats = stored["specs"], stored["seats"][game]
        names = [str(specs[entry]) for entry in seats]
    except (KeyError, IndexError, TypeError) as error:
        raise ValueError(f"{where}: its players or seats are unreadable") from error
    return from_placements(stored["placements"][game], names, f"arena game {game}")


def from_dataset(path: str | Path, game_id: int) -> Replay:
    """Game ``game_id`` of a self-play dataset (a run folder, or turns shards), read and
    checked as ``krodan_rl.data.load`` reads them."""
    from krodan_rl.data.shards import games_path, read_games, read_shard, shard_paths

    game_id = arguments.integer(game_id, "game_id", minimum=0)
    for turns in shard_paths(path):
        games = read_games(games_path(turns))
        found = np.flatnonzero(games.game_ids == game_id)
        if found.size == 0:
            continue
        rows, _ = read_shard(turns)
        mine = np.flatnonzero(rows.game_id == game_id)
        actions = rows.action[mine[np.argsort(rows.ply[mine], kind="stable")]]
        names = games.players[int(found[0])]
        return from_placements(actions.tolist(), names, f"game {game_id} of {Path(path).name}")
    raise ValueError(f"{path}: no game {game_id}")
