"""A play page's server on a thread for tests, and its calls made as the page makes them."""

import http.client
import json
import threading
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from krodan_rl import actions
from krodan_rl._krodan import PyKrodan
from krodan_rl.playing import PlaySession, serve


@contextmanager
def running(session: PlaySession, save_path: Path):
    server = serve(session, save_path)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def request(server, method, path, body=None, headers=None):
    """(status, JSON answer) of a raw request: ``headers`` replace the page's own."""
    port = server.server_address[1]
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    sent = {"Host": f"127.0.0.1:{port}", "Content-Type": "application/json",
            "X-Session": server.token}  # fmt: skip
    sent.update(headers or {})
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    connection.putrequest(method, path, skip_host=True)
    for name, value in sent.items():
        if value is not None:
            connection.putheader(name, value)
    if data is not None:
        connection.putheader("Content-Length", str(len(data)))
    connection.endheaders(data)
    response = connection.getresponse()
    answer = response.read()
    connection.close()
    return response.status, json.loads(answer) if answer else None


def call(server, name, body=None):
    """A call as the page makes it: its state, or AssertionError with the server's refusal."""
    status, answer = request(server, "GET" if name == "state" else "POST", f"/api/{name}",
                             None if name == "state" else (body or {}))  # fmt: skip
    assert status == 200, answer
    return answer


def replayed(placements):
    """The engine's game after ``placements``, with the passes of done movers played."""
    game = PyKrodan()
    for action in placements:
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
        game.step(action)
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)
    return game


def engine_legal(game, seat):
    """The engine's legal placements for ``seat``: action -> (piece, board cells ascending)."""
    table = actions.table()
    mask = np.frombuffer(game.observe(seat).action_mask, np.uint8)
    return {
        int(a): (
            int(table.piece[a]),
            sorted(int(r) * 20 + int(c) for r, c in table.on_board(seat, a)),
        )
        for a in np.flatnonzero(mask)
    }
