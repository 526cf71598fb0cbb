"""Play a seat against three players in the browser: ``python -m krodan_rl play``.

A local server (``server``) holds one game (``session.PlaySession``) and serves a page that
draws it: the person picks a piece from their hand, turns and flips it, sees where it fits
(the engine's legal placements for that piece as turned) and places it; the server plays the
other seats' turns, passes for every seat that is done, undoes back to the person's previous
turn, and saves the game as a record that ``python -m krodan_rl view`` opens.

    >>> from krodan_rl.playing import PlaySession
    >>> session = PlaySession(["greedy", "random", "greedy"], seat=1)
    >>> while session.step():  # the seats before the person's
    ...     pass
    >>> session.place(session.state()["legal"][0][0])
"""

from krodan_rl.playing.server import PlayServer, serve
from krodan_rl.playing.session import PERSON, PlaySession, Refused

__all__ = ["PERSON", "PlayServer", "PlaySession", "Refused", "serve"]
