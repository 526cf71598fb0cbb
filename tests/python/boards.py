"""Games drawn as pictures, so that rule tests read like the board they test.

A picture is 20 lines of 20 characters, row 0 first: "." for an empty cell, "0"-"3" for a cell
of that agent. Blank lines and the indentation of a triple-quoted string are ignored.
"""

from __future__ import annotations

from collections.abc import Iterable

from krodan_rl import PyKrodan

SIZE = 20
STATE_VERSION = 1


def board_cells(picture: str) -> list[set[tuple[int, int]]]:
    """The (row, column) cells of each agent in a picture."""
    rows = [line.strip() for line in picture.strip().splitlines() if line.strip()]
    if len(rows) != SIZE or any(len(row) != SIZE for row in rows):
        raise ValueError(f"a picture is {SIZE} lines of {SIZE} characters")
    cells: list[set[tuple[int, int]]] = [set() for _ in range(4)]
    for r, row in enumerate(rows):
        for c, mark in enumerate(row):
            if mark in "0123":
                cells[int(mark)].add((r, c))
            elif mark != ".":
                raise ValueError(f"unknown mark {mark!r} at ({r}, {c})")
    return cells


def bitboard_image(cells: Iterable[tuple[int, int]]) -> bytes:
    """The 64-byte image of a board: 512 bits, bit 21 * row + column per cell, as four 128-bit
    limbs from the most significant, each little-endian."""
    value = 0
    for r, c in cells:
        value |= 1 << (21 * r + c)
    limbs = [(value >> (128 * (3 - k))) & ((1 << 128) - 1) for k in range(4)]
    return b"".join(limb.to_bytes(16, "little") for limb in limbs)


def game_from_picture(
    picture: str,
    hands: dict[int, Iterable[str]] | None = None,
    to_move: int = 0,
    last_codes: dict[int, int] | None = None,
) -> PyKrodan:
    """The game with the picture's cells, each agent holding the pieces named in `hands` (every
    piece for an agent not named), `to_move` to move. `last_codes` gives an agent's latest
    piece code where the score's bonus for ending on the one-cell piece (code 1) matters."""
    names = PyKrodan.piece_names
    state = bytearray([STATE_VERSION])
    for agent, cells in enumerate(board_cells(picture)):
        held = names if hands is None or agent not in hands else list(hands[agent])
        remaining = sum(1 << names.index(name) for name in held)
        last = (last_codes or {}).get(agent, 0)
        state += bitboard_image(cells) + remaining.to_bytes(4, "little") + bytes([last])
    state.append(to_move)
    return PyKrodan.from_bytes(bytes(state))
