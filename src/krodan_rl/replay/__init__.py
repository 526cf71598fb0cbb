"""Games people can watch: a self-contained HTML page that steps through one game or a few,
placement by placement, with each agent's score and pieces in hand.

    >>> from krodan_rl import arena, replay
    >>> result = arena.run(["greedy", "random", "greedy", "random"], 4, record=True)
    >>> replay.write_page("games.html", [replay.from_arena(result, g) for g in range(4)])

Games come from an arena run that recorded them (``from_arena``), a self-play dataset
(``from_dataset``), a game's placements (``from_placements``) or its positions
(``from_states``); ``python -m krodan_rl view SOURCE --game ID -o game.html`` does the same
from the command line.
"""

from krodan_rl.replay.games import (
    Frame,
    Replay,
    from_arena,
    from_dataset,
    from_placements,
    from_states,
)
from krodan_rl.replay.page import page_html, write_page

__all__ = [
    "Frame",
    "Replay",
    "from_arena",
    "from_dataset",
    "from_placements",
    "from_states",
    "page_html",
    "write_page",
]
