"""Pictures of a game for people: the board as text (coloured on a terminal, plain with a
digit per agent elsewhere) and an RGB image, both from the engine's own reading of the board
(`krodan_rl._native`), in the board frame."""

from __future__ import annotations

import os
import struct
import sys
import zlib
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from krodan_rl import _native, facts
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["RGB_COLOURS", "board_image", "board_text", "owners", "save_png", "wants_colour"]

ROWS = COLS = facts.BOARD_SIZE
# RGB colours of agents 0-3 in pictures: blue, yellow, red, green, as in the text.
RGB_COLOURS = ((51, 102, 204), (230, 190, 40), (210, 50, 50), (60, 170, 80))
START_CELLS = ((0, 0), (0, COLS - 1), (ROWS - 1, COLS - 1), (ROWS - 1, 0))


def owners(game: PyKrodan) -> list[int | None]:
    """The agent covering each cell, row by row (cell index 20 * row + column), or None."""
    return [None if agent == _native.NO_OWNER else agent for agent in _native.owner_grid(game)]


def wants_colour(stream: TextIO | None = None) -> bool:
    """Whether text for ``stream`` (standard output by default) should be coloured: on a
    terminal, unless the ``NO_COLOR`` convention asks otherwise."""
    stream = sys.stdout if stream is None else stream
    if os.environ.get("NO_COLOR"):
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def board_text(game: PyKrodan, colour: bool | None = None) -> str:
    """The board as text, without the final line feed: 41 lines, a column header, then a rule
    line before each row. With ``colour`` (by default, when standard output is a terminal and
    ``NO_COLOR`` is not set), as the native ``render`` prints it, each covered cell in its
    agent's background colour; without, each covered cell holds its agent's digit, 0-3."""
    wanted = wants_colour() if colour is None else arguments.flag(colour, "colour")
    return _native.board_text(game, colour=wanted)


def board_image(game: PyKrodan, cell: int = 24, legend: bool = False) -> npt.NDArray[np.uint8]:
    """The board as an RGB picture, (H, W, 3) uint8: grid lines, each covered cell in its
    agent's colour, and an empty start cell outlined in the colour of the agent it belongs to.
    With ``legend``, a strip below names each agent by its colour, number and score."""
    import numpy as np

    board = _board(game, cell)
    return np.concatenate([board, _legend(game, board.shape[1], cell)]) if legend else board


def _board(game: PyKrodan, cell: int) -> npt.NDArray[np.uint8]:
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


# A 3 x 5 pixel font for the legend: each glyph's rows, top to bottom.
_GLYPHS = {
    "0": ("###", "#.#", "#.#", "#.#", "###"),
    "1": (".#.", "##.", ".#.", ".#.", "###"),
    "2": ("###", "..#", "###", "#..", "###"),
    "3": ("###", "..#", "###", "..#", "###"),
    "4": ("#.#", "#.#", "###", "..#", "..#"),
    "5": ("###", "#..", "###", "..#", "###"),
    "6": ("###", "#..", "###", "#.#", "###"),
    "7": ("###", "..#", ".#.", ".#.", ".#."),
    "8": ("###", "#.#", "###", "#.#", "###"),
    "9": ("###", "#.#", "###", "..#", "###"),
    "-": ("...", "...", "###", "...", "..."),
    ":": ("...", ".#.", "...", ".#.", "..."),
    " ": ("...", "...", "...", "...", "..."),
}


def _legend(game: PyKrodan, width: int, cell: int) -> npt.NDArray[np.uint8]:
    """Four entries side by side, agent a's as a swatch of its colour, then "a: score"."""
    import numpy as np

    pixel = max(1, cell // 8)  # one font pixel
    height = 9 * pixel + cell // 2
    strip = np.full((height, width, 3), 245, dtype=np.uint8)
    slot = width // len(RGB_COLOURS)
    for agent, (colour, score) in enumerate(zip(RGB_COLOURS, game.scores, strict=True)):
        left = agent * slot + cell // 4
        top = (height - 5 * pixel) // 2
        strip[top - pixel : top + 6 * pixel, left : left + 7 * pixel] = colour
        x = left + 9 * pixel
        for char in f"{agent}: {score}":
            for r, bits in enumerate(_GLYPHS[char]):
                for c, bit in enumerate(bits):
                    if bit == "#":
                        y0, x0 = top + r * pixel, x + c * pixel
                        strip[y0 : y0 + pixel, x0 : x0 + pixel] = 40
            x += 4 * pixel
    return strip


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
