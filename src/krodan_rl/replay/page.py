"""A replay as one self-contained HTML page: the games' data inline as JSON, drawn by the page's
own script as SVG, with no request to any server (it opens from a file, offline).

The board, the agents' panels and how players are named are drawn by a script and styles that
every page of the package shares (``board.js``, ``board.css``); ``fill_template`` writes them,
a title and a page's data into a page's template."""

from __future__ import annotations

import html
import json
import re
from collections.abc import Mapping, Sequence
from importlib import resources
from pathlib import Path
from typing import Any

from krodan_rl import actions, render
from krodan_rl._internal import files
from krodan_rl.replay.games import Replay

__all__ = ["board_data", "fill_template", "inline_json", "page_html", "write_page"]

ORIENTATION_STRIDE = render.ROWS * render.COLS


def _pieces() -> list[dict[str, object]]:
    """Each piece's name and cells, drawn in its first orientation (anchored at the corner,
    where every orientation fits)."""
    table = actions.table()
    shapes: dict[int, dict[str, object]] = {}
    for orientation in range(len(table.orientation) // ORIENTATION_STRIDE):
        action = orientation * ORIENTATION_STRIDE
        piece = int(table.piece[action])
        if piece not in shapes:
            cells = table.cells[action, : table.size[action]].tolist()
            shapes[piece] = {"name": table.piece_names[piece], "cells": cells}
    return [shapes[p] for p in range(len(table.piece_names))]


def board_data() -> dict[str, Any]:
    """What the shared board script draws with: the agents' colours, the pieces' names and
    shapes, the board's size and the start cells."""
    return {
        "colours": ["#{:02x}{:02x}{:02x}".format(*c) for c in render.RGB_COLOURS],
        "pieces": _pieces(),
        "size": render.ROWS,
        "starts": [list(cell) for cell in render.START_CELLS],
    }


# What JSON may hold as it is but the script element that holds the data may not: "<" starts
# "</script>", which ends the element, and "<!--", which (followed by "<script") makes the
# parser read past its end; ">" and "&" go too, so that the data holds no markup at all, and
# U+2028 and U+2029, which end a line in older JavaScript. Each is written as its JSON escape,
# which JSON.parse reads back as the character.
_UNSAFE_IN_SCRIPT = {ord(c): f"\\u{ord(c):04x}" for c in "<>&\u2028\u2029"}


def inline_json(data: object) -> str:
    """``data`` as JSON that no text inside it can end, or comment out, the script element
    it is written into."""
    text = json.dumps(data, separators=(",", ":"))
    return text.translate(_UNSAFE_IN_SCRIPT)


def _resource(package: str, name: str) -> str:
    return resources.files(package).joinpath(name).read_text()


def fill_template(template: str, title: str, data: Mapping[str, object]) -> str:
    """A page's template with its placeholders filled: ``{{TITLE}}`` (escaped), ``{{DATA}}``
    (``data`` and the board's, as inline JSON), and the shared ``{{BOARD_STYLE}}`` and
    ``{{BOARD_SCRIPT}}``."""
    fields = {
        "TITLE": html.escape(title),
        "DATA": inline_json({**board_data(), **data}),
        "BOARD_STYLE": _resource("krodan_rl.replay", "board.css"),
        "BOARD_SCRIPT": _resource("krodan_rl.replay", "board.js"),
    }
    # One pass, so that no text can bring in another's placeholder.
    placeholder = re.compile(r"\{\{(" + "|".join(fields) + r")\}\}")
    return placeholder.sub(lambda m: fields[m[1]], template)


def page_html(replays: Sequence[Replay], title: str = "krodan_rl replay") -> str:
    """The page showing ``replays`` (one or a few games, chosen from a list)."""
    if not replays:
        raise ValueError("a page needs at least one game")
    data = {"games": [r.to_dict() for r in replays]}
    return fill_template(_resource("krodan_rl.replay", "page.html"), title, data)


def write_page(
    path: str | Path, replays: Sequence[Replay], title: str = "krodan_rl replay"
) -> None:
    """Writes the page whole or not at all."""
    files.write_atomic(Path(path), page_html(replays, title))
