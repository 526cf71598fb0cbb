"""The play page: one self-contained HTML page (script and styles inline, the shared board's
with them) that asks its own server, and nothing else, for the game."""

from __future__ import annotations

from importlib import resources
from pathlib import Path

from krodan_rl.replay.page import fill_template

__all__ = ["page_html"]


def page_html(token: str, save_path: Path) -> str:
    """The page for the game of the server holding ``token``, which saves to ``save_path``."""
    template = resources.files("krodan_rl.playing").joinpath("page.html").read_text()
    data = {"token": token, "save": str(save_path)}
    return fill_template(template, "krodan_rl: play", data)
