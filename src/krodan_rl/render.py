"""Pictures of a game for people: the coloured board text and an RGB image, built from
`observe(0)`, whose planes are in agent 0's frame (the board frame) and absolute agent order."""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import TYPE_CHECKING

from krodan_rl._krodan import PyKrodan

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

ROWS = COLS = 20
# ANSI background colour codes of agents 0-3: blue, yellow, red, green.
ANSI_COLOURS = ("44", "43", "41", "42")
# RGB colours of agents 0-3 in pictures.
RGB_COLOURS = ((51, 102, 204), (230, 190, 40), (210, 50, 50), (60, 170, 80))
START_CELLS = ((0, 0), (0, COLS - 1), (ROWS - 1, COLS - 1), (ROWS - 1, 0))


def owners(game: PyKrodan) -> list[int | None]:
    """The agent covering each cell, row by row (cell index 20 * row + column), or None."""
    planes = game.observe(0).observation
    cells: list[int | None] = [None] * (ROWS * COLS)
    for agent in range(3, -1, -1):  # the lowest agent wins, as in the native text
        plane = planes[400 * agent : 400 * agent + 400]
        at = plane.find(1)
        while at != -1:
            cells[at] = agent
            at = plane.find(1, at + 1)
    return cells


def board_text(game: PyKrodan) -> str:
    """The board as the native `render` prints it, without the final line feed: 41 lines, each
    covered cell in its agent's background colour."""
    rule = "-" * 103
    lines = ["  | " + " | ".join(f"{c:2d}" for c in range(COLS)) + " |"]
    cells = owners(game)
    for row in range(ROWS):
        line = [f"{row:2d}"]
        for col in range(COLS):
            agent = cells[COLS * row + col]
            line.append("|  . " if agent is None else f"|  \x1b[{ANSI_COLOURS[agent]}mx\x1b[0m ")
        lines += [rule, "".join(line) + "|"]
    return "\n".join(lines)


def board_image(game: PyKrodan, cell: int = 24) -> npt.NDArray[np.uint8]:
    """The board as an RGB picture, (H, W, 3) uint8: grid lines, each covered cell in its
    agent's colour, and an empty start cell outlined in the colour of the agent it belongs to."""
    import numpy as np

    line = 1
    size = COLS * cell + (COLS + 1) * line
    image = np.full((size, size, 3), 245, dtype=np.uint8)
    grid = np.arange(COLS + 1) * (cell + line)
    image[grid, :, :] = 170
    image[:, grid, :] = 170
    colours = np.array(RGB_COLOURS, dtype=np.uint8)
    cells = owners(game)
    for index, agent in enumerate(cells):
        if agent is None:
            continue
        top, left = _cell_origin(index // COLS, index % COLS, cell, line)
        image[top : top + cell, left : left + cell] = colours[agent]
    for agent, (row, col) in enumerate(START_CELLS):
        if cells[COLS * row + col] is not None:
            continue
        top, left = _cell_origin(row, col, cell, line)
        border = max(2, cell // 8)
        image[top : top + cell, left : left + cell] = colours[agent]
        image[top + border : top + cell - border, left + border : left + cell - border] = 245
    return image


def _cell_origin(row: int, col: int, cell: int, line: int) -> tuple[int, int]:
    return line + row * (cell + line), line + col * (cell + line)


def save_png(path: str | Path, image: npt.NDArray[np.uint8]) -> None:
    """Writes an (H, W, 3) uint8 image as an 8-bit RGB PNG file."""
    import numpy as np

    height, width, channels = image.shape
    if channels != 3 or image.dtype != np.uint8:
        raise ValueError("expected an (H, W, 3) uint8 image")
    rows = np.zeros((height, 1 + 3 * width), dtype=np.uint8)  # filter byte 0 per row
    rows[:, 1:] = image.reshape(height, 3 * width)

    def chunk(kind: bytes, data: bytes) -> bytes:
        return (
            struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        )

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    png = (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(rows.tobytes(), 9))
        + chunk(b"IEND", b"")
    )
    Path(path).write_bytes(png)
