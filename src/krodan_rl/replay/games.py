"""Games to watch, move by move: each position of a game read from the engine (who covers each
cell, the scores, the pieces each agent still holds), from a list of positions, a game's
placements, a self-play dataset or an arena run that recorded its games."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from krodan_rl import _native, facts
from krodan_rl._internal import arguments
from krodan_rl._internal.files import read_json
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import NUM_AGENTS, NUM_PIECES

__all__ = ["Frame", "Replay", "from_arena", "from_dataset", "from_placements", "from_states"]

LAST_ACTION = facts.NUM_ACTIONS - 1


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
    if isinstance(names, str):  # its characters would pass for the names
        raise TypeError("names must be a sequence of names, one per agent, not a str")
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
            game.step(arguments.integer(action, f"placement {ply}", minimum=0, maximum=LAST_ACTION))
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
    record=True)``) or the JSON file ``python -m krodan_rl arena ... --record FILE`` wrote.
    A record that is not one (a field missing, of another type or out of range) is refused
    with a ValueError naming the file and the field."""
    stored, where = _arena_record(record)
    if "placements" not in stored:
        raise ValueError(f"{where}: holds no placements (record the games: --record FILE)")
    placements = _list_field(stored, "placements", where)
    game = arguments.integer(game, "game", minimum=0)
    if game >= len(placements):
        held = f"games 0-{len(placements) - 1}" if placements else "it holds none"
        raise ValueError(f"{where}: no game {game} ({held})")
    names = _seated_names(stored, game, where)
    row = _list_entry(placements, game, "placements", where)
    actions = [
        _record_integer(a, f"placements[{game}][{i}]", where, LAST_ACTION)
        for i, a in enumerate(row)
    ]
    try:
        return from_placements(actions, names, f"arena game {game}")
    except ValueError as error:  # a placement the game refuses
        raise ValueError(f"{where}: placements[{game}]: {error}") from None


def _arena_record(record: str | Path | Any) -> tuple[dict[str, Any], str]:
    """An arena record as a JSON object, and how messages name it."""
    if isinstance(record, (str, Path)):
        where = str(record)
        stored = _read_json(Path(record))
    elif callable(getattr(record, "to_dict", None)):
        where = "the arena result"
        stored = record.to_dict()
    else:
        raise TypeError(f"record must be a path or an arena result, not {type(record).__name__}")
    if not isinstance(stored, dict):
        raise ValueError(f"{where}: not an arena record: it holds {_kind(stored)}, not an object")
    return stored, where


def _read_json(path: Path) -> Any:
    try:
        return read_json(path)
    except (OSError, ValueError) as error:  # unreadable, no JSON, or nested too deeply
        raise ValueError(f"{path}: not an arena record: {error}") from error


def _seated_names(stored: dict[str, Any], game: int, where: str) -> list[str]:
    """The names of game ``game``'s players by seat: ``specs`` (the entries' names), indexed
    by ``seats[game]`` (the entry in each seat)."""
    specs = _list_field(stored, "specs", where)
    if len(specs) != NUM_AGENTS:
        raise ValueError(f"{where}: specs must hold {NUM_AGENTS} names, not {len(specs)}")
    for e, spec in enumerate(specs):
        if not isinstance(spec, str):
            raise ValueError(f"{where}: specs[{e}] must be a string, not {_kind(spec)}")
    seats = _list_entry(_list_field(stored, "seats", where), game, "seats", where)
    if len(seats) != NUM_AGENTS:
        raise ValueError(f"{where}: seats[{game}] must hold {NUM_AGENTS} entries, not {len(seats)}")
    entries = [
        _record_integer(e, f"seats[{game}][{s}]", where, NUM_AGENTS - 1)
        for s, e in enumerate(seats)
    ]
    return [specs[e] for e in entries]


def _list_field(stored: dict[str, Any], name: str, where: str) -> list[Any]:
    if name not in stored:
        raise ValueError(f"{where}: has no {name} field")
    value = stored[name]
    if not isinstance(value, list):
        raise ValueError(f"{where}: {name} must be a list, not {_kind(value)}")
    return value


def _list_entry(values: list[Any], index: int, name: str, where: str) -> list[Any]:
    """Entry ``index`` of the list field ``name``: itself a list."""
    if index >= len(values):
        raise ValueError(f"{where}: {name} has no entry {index} (it holds {len(values)})")
    value = values[index]
    if not isinstance(value, list):
        raise ValueError(f"{where}: {name}[{index}] must be a list, not {_kind(value)}")
    return value


def _record_integer(value: Any, field: str, where: str, maximum: int) -> int:
    """An integer of a record from 0 to ``maximum``: in a file, a wrong type is as much a
    malformed record as a wrong value (a ValueError both)."""
    if type(value) is not int:  # JSON's integers: not true, not 1.0
        raise ValueError(f"{where}: {field} must be an integer, not {_kind(value)}")
    try:
        return arguments.integer(value, field, minimum=0, maximum=maximum)
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from None


def _kind(value: Any) -> str:
    """A JSON value's type, as JSON names it."""
    kinds = {dict: "an object", list: "a list", str: "a string", bool: "a boolean",
             int: "an integer", float: "a number", type(None): "null"}  # fmt: skip
    return kinds.get(type(value), type(value).__name__)


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
        try:
            return from_placements(actions.tolist(), names, f"game {game_id} of {Path(path).name}")
        except ValueError as error:  # a placement the game refuses
            raise ValueError(f"{turns}: game {game_id}: {error}") from None
    raise ValueError(f"{path}: no game {game_id}")
