"""The play page's server: the page at ``/``, and JSON calls that drive one game.

The standard library's ``http.server`` is enough: the server answers one person on this machine,
a few small requests a move, so a framework would add a dependency and nothing a player
notices. It binds to 127.0.0.1 only, and takes a call only from the page it served:

- every ``/api/`` call carries the session's token (``X-Session``), written into the page and
  readable by no other site (the server sends no CORS header), so another page open in the
  browser can neither read the game nor play in it;
- the ``Host`` header must name this server, so that a name resolved to 127.0.0.1 by another
  site (DNS rebinding) is refused;
- a body is JSON (``Content-Type: application/json``), at most ``MAX_BODY`` bytes, an object
  with the call's fields only, each checked;
- the one file written is the record at the path the command was given (``/api/save``).

Calls (POST, answered with the game's state as ``PlaySession.state`` gives it, or with
``{"error": message}`` and a 4xx status): ``place`` {"action": N}, ``step`` (one turn of the
seat to move, not the person's), ``undo``, ``new``, ``save``; and GET ``/api/state``.
"""

from __future__ import annotations

import json
import secrets
import threading
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

from krodan_rl._internal import files
from krodan_rl.playing.page import page_html
from krodan_rl.playing.session import PlaySession, Refused

__all__ = ["MAX_BODY", "PlayServer", "serve"]

HOST = "127.0.0.1"
MAX_BODY = 1024  # the largest call, {"action": 36399}, takes 17 bytes
TOKEN_HEADER = "X-Session"
# The page fetches nothing: its script and styles are inline, and it calls its own server only.
PAGE_POLICY = (
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; frame-ancestors 'none'; form-action 'none'"
)


class CallError(Exception):
    """A call refused before it reaches the game: its status and message."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


class PlayServer(ThreadingHTTPServer):
    """Serves one game (``session``) to the page it writes, until shut down. Calls take their
    turn on one lock: the game sees one at a time."""

    daemon_threads = True

    def __init__(self, session: PlaySession, save_path: Path, port: int = 0) -> None:
        super().__init__((HOST, port), Handler)
        self.session = session
        self.save_path = save_path
        self.token = secrets.token_urlsafe(24)
        self.lock = threading.Lock()
        self.page = page_html(self.token, save_path)

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_address[1]}/"

    def hosts(self) -> set[str]:
        """The ``Host`` headers that name this server."""
        port = self.server_address[1]
        return {f"{HOST}:{port}", f"localhost:{port}"}

    def save(self) -> dict[str, Any]:
        record = self.session.record()
        files.write_atomic(self.save_path, json.dumps(record, indent=2) + "\n")
        return {"saved": str(self.save_path.resolve()), "placements": len(self.session.placements)}


def _no_fields(body: dict[str, Any]) -> None:
    if body:
        raise CallError(HTTPStatus.BAD_REQUEST, f"unexpected fields: {', '.join(sorted(body))}")


def _place(server: PlayServer, body: dict[str, Any]) -> None:
    if set(body) != {"action"}:
        raise CallError(HTTPStatus.BAD_REQUEST, 'expected {"action": N}, N an action index')
    server.session.place(body["action"])


def _step(server: PlayServer, body: dict[str, Any]) -> None:
    _no_fields(body)
    server.session.step()


def _undo(server: PlayServer, body: dict[str, Any]) -> None:
    _no_fields(body)
    server.session.undo()


def _new_game(server: PlayServer, body: dict[str, Any]) -> None:
    _no_fields(body)
    server.session.new_game()


# Each call: what it does to the game, given the server and the call's JSON object.
CALLS: dict[str, Callable[[PlayServer, dict[str, Any]], None]] = {
    "/api/place": _place,
    "/api/step": _step,
    "/api/undo": _undo,
    "/api/new": _new_game,
}


class Handler(BaseHTTPRequestHandler):
    server: PlayServer
    timeout = 30  # a connection left idle gives its thread back
    server_version = "krodan_rl-play"
    sys_version = ""

    def log_message(self, format: str, *args: Any) -> None:
        """Quiet: the terminal shows the address and errors, not every call."""

    def do_GET(self) -> None:
        try:
            self._check_host()
            if self.path == "/":
                self._send(HTTPStatus.OK, self.server.page.encode(), "text/html; charset=utf-8")
                return
            if self.path != "/api/state":
                raise CallError(HTTPStatus.NOT_FOUND, f"no such page: {self.path}")
            self._check_token()
            with self.server.lock:
                state = self.server.session.state()
            self._send_json(HTTPStatus.OK, state)
        except CallError as error:
            self._send_json(error.status, {"error": str(error)})

    def do_POST(self) -> None:
        try:
            self._check_host()
            call = CALLS.get(self.path)
            if call is None and self.path != "/api/save":
                raise CallError(HTTPStatus.NOT_FOUND, f"no such call: {self.path}")
            self._check_token()
            body = self._body()
            with self.server.lock:
                if call is None:
                    _no_fields(body)
                    self._send_json(HTTPStatus.OK, self._saved())
                    return
                call(self.server, body)
                state = self.server.session.state()
            self._send_json(HTTPStatus.OK, state)
        except CallError as error:
            self._send_json(error.status, {"error": str(error)})
        except Refused as refusal:
            self._send_json(HTTPStatus.CONFLICT, {"error": str(refusal)})
        except RuntimeError as error:  # a player that chose no legal action
            self._send_json(HTTPStatus.INTERNAL_SERVER_ERROR, {"error": str(error)})

    def _saved(self) -> dict[str, Any]:
        try:
            return self.server.save()
        except OSError as error:
            raise CallError(
                HTTPStatus.INTERNAL_SERVER_ERROR,
                f"could not save to {self.server.save_path}: {error.strerror or error}",
            ) from None

    def _check_host(self) -> None:
        if self.headers.get("Host") not in self.server.hosts():
            raise CallError(HTTPStatus.FORBIDDEN, "this server answers its own address only")

    def _check_token(self) -> None:
        given = self.headers.get(TOKEN_HEADER, "")
        if not secrets.compare_digest(given.encode(), self.server.token.encode()):
            raise CallError(HTTPStatus.FORBIDDEN, "not this game's page: reload it")

    def _body(self) -> dict[str, Any]:
        """The call's JSON object: refused unless declared as JSON, of a known length within
        ``MAX_BODY``, and an object."""
        kind = self.headers.get("Content-Type", "").split(";")[0].strip().lower()
        if kind != "application/json":
            raise CallError(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "calls take application/json")
        length = self.headers.get("Content-Length")
        if length is None or not length.isdigit():
            raise CallError(HTTPStatus.LENGTH_REQUIRED, "calls give their Content-Length")
        if int(length) > MAX_BODY:
            self.close_connection = True  # its body is left unread
            raise CallError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"at most {MAX_BODY} bytes")
        data = self.rfile.read(int(length))
        try:
            body = files.parse_json(data) if data else {}
        except ValueError as error:
            raise CallError(HTTPStatus.BAD_REQUEST, f"not JSON: {error}") from None
        if not isinstance(body, dict):
            raise CallError(HTTPStatus.BAD_REQUEST, "a call's body is a JSON object")
        return body

    def _send_json(self, status: HTTPStatus, data: object) -> None:
        self._send(status, json.dumps(data).encode(), "application/json")

    def _send(self, status: HTTPStatus, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", PAGE_POLICY)
        self.end_headers()
        self.wfile.write(body)


def serve(session: PlaySession, save_path: Path, port: int = 0) -> PlayServer:
    """A server for ``session`` bound to 127.0.0.1:``port`` (0: a free port), not yet serving
    (``serve_forever``, in this thread or another)."""
    return PlayServer(session, save_path, port)
