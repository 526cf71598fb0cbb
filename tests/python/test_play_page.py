"""The play page's server: whole games played through its calls equal the engine's games, undo
goes back to the person's previous turn, the saved record opens as a replay, and every call it
should not take is refused with a message, the game untouched."""

import json
import os
import signal
import subprocess
import sys
import urllib.request

import numpy as np
import pytest
from play_server import call, engine_legal, replayed, request, running

from krodan_rl import replay
from krodan_rl.playing import PERSON, PlaySession, cli
from krodan_rl.playing.server import MAX_BODY

OPPONENTS = ["greedy", "random", "greedy"]


@pytest.mark.parametrize("seat", range(4))
def test_a_game_played_through_the_calls_is_the_engines(seat, tmp_path):
    rng = np.random.default_rng(seat)
    session = PlaySession(OPPONENTS, seat=seat, seed=3)
    save = tmp_path / "played.json"
    with running(session, save) as server:
        state = call(server, "state")
        mine, turns = [], 0
        while not state["over"]:
            if state["mover"] != seat:
                state = call(server, "step")
                continue
            # The page's legal list is the engine's, for the game its placements make.
            placed = session.record()["placements"][0]
            assert state["placements"] == len(placed)
            expected = engine_legal(replayed(placed), seat)
            assert {a: (p, cells) for a, p, cells in state["legal"]} == expected
            action = int(rng.choice(sorted(expected)))
            before = state
            state = call(server, "place", {"action": action})
            newly = [i for i, o in enumerate(state["owners"]) if o != before["owners"][i]]
            assert newly == expected[action][1]  # the engine covers the cells the page shows
            assert {state["owners"][i] for i in newly} == {str(seat)}
            turns += 1
            if turns == 3:  # undo: the position before the placement, the person to move
                while state["mover"] != seat and not state["over"]:
                    state = call(server, "step")
                state = call(server, "undo")
                assert state == before
                continue
            mine.append(action)
        assert call(server, "save") == {
            "saved": str(save.resolve()),
            "placements": len(session.placements),
        }
    record = json.loads(save.read_text())
    placements = record["placements"][0]
    final = replayed(placements)
    assert final.is_over and final.to_bytes() == session.game.to_bytes()
    assert state["scores"] == final.scores == record["scores"][0]
    assert [
        a for a, p in zip(placements, session.placements, strict=True) if p.mover == seat
    ] == mine
    shown = replay.from_arena(save, 0)
    assert shown.names[seat] == PERSON and shown.frames[-1].scores == final.scores
    assert "".join("." if o < 0 else str(o) for o in shown.frames[-1].owners) == state["owners"]
    assert sorted(os.listdir(tmp_path)) == ["played.json"]  # the one file written


def refusals(port, token):
    return [
        # (method, path, body, headers), status, words of the message
        (("POST", "/api/place", {"action": 5}, {}), 409, "I1 cannot go there"),
        (("POST", "/api/place", {"action": 36400}, {}), 409, "from 0 to 36399"),
        (("POST", "/api/place", {"action": -1}, {}), 409, "from 0 to 36399"),
        (("POST", "/api/place", {"action": True}, {}), 409, "not bool"),
        (("POST", "/api/place", {"action": "0"}, {}), 409, "not str"),
        (("POST", "/api/place", {"action": 0.0}, {}), 409, "not float"),
        (("POST", "/api/place", {"action": 400 * 90 + 399}, {}), 409, "does not fit"),
        (("POST", "/api/place", {"action": 0, "more": 1}, {}), 400, 'expected {"action": N}'),
        (("POST", "/api/place", [0], {}), 400, "a JSON object"),
        (("POST", "/api/place", b'{"action": ', {}), 400, "not JSON"),
        (("POST", "/api/place", b"[" * 100_000, {}), 413, f"at most {MAX_BODY}"),
        (("POST", "/api/place", b"[" * 1000, {}), 400, "not JSON"),
        (("POST", "/api/undo", {"x": 1}, {}), 400, "unexpected fields: x"),
        (("POST", "/api/undo", {}, {}), 409, "nothing to undo"),
        (("POST", "/api/step", {}, {"Content-Type": "text/plain"}), 415, "application/json"),
        (("POST", "/api/step", {}, {"X-Session": token[:-1]}), 403, "not this game's page"),
        (("POST", "/api/step", {}, {"X-Session": None}), 403, "not this game's page"),
        (("GET", "/api/state", None, {"X-Session": "x"}), 403, "not this game's page"),
        (("GET", "/api/state", None, {"Host": f"evil.example:{port}"}), 403, "own address"),
        (("GET", "/", None, {"Host": "127.0.0.1:1"}), 403, "own address"),
        (("GET", "/../../etc/passwd", None, {}), 404, "no such page"),
        (("POST", "/api/save/../../x", {}, {}), 404, "no such call"),
        (("POST", "/api/save", {"path": "/tmp/x"}, {}), 400, "unexpected fields: path"),
        (("POST", "/api/new", {}, {"Host": f"localhost:{port}"}), 200, None),
    ]


def test_calls_it_should_not_take_are_refused_and_change_nothing(tmp_path):
    session = PlaySession(OPPONENTS, seat=0)
    with running(session, tmp_path / "played.json") as server:
        before = call(server, "state")
        for (method, path, body, headers), status, words in refusals(
            server.server_address[1], server.token
        ):
            got, answer = request(server, method, path, body, headers)
            assert got == status, (path, body, headers, answer)
            if words is not None:
                assert words in answer["error"], (path, body, headers, answer)
                assert call(server, "state") == before
        call(server, "place", {"action": before["legal"][0][0]})
        got, answer = request(server, "POST", "/api/place", {"action": before["legal"][1][0]})
        assert got == 409 and "not your turn: seat 1 (greedy)" in answer["error"]
    assert os.listdir(tmp_path) == []  # nothing saved, nothing else written


@pytest.mark.parametrize(
    ("flags", "words"),
    [
        (["--seat", "4"], "--seat must be from 0 to 3"),
        (["--players", "greedy", "nobody", "random"], "unknown player spec 'nobody'"),
        (["--save", "missing/played.json"], "does not exist"),
        (["--port", "70000"], "--port must be from 0 to 65535"),
    ],
)
def test_the_command_refuses_what_it_cannot_play(flags, words, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as ended:
        cli.main(["--no-browser", *flags])
    assert ended.value.code == 2 and words in capsys.readouterr().err
    assert os.listdir(tmp_path) == []


def test_the_command_serves_the_page_at_the_address_it_prints(tmp_path):
    child = subprocess.Popen(
        [sys.executable, "-m", "krodan_rl", "play", "--no-browser", "--players", "random",
         "greedy", "random", "--seat", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
    )  # fmt: skip
    try:
        line = child.stdout.readline()
        assert line.startswith("Playing seat 2 at http://127.0.0.1:"), line
        address = line.split(" at ")[1].split()[0]
        page = urllib.request.urlopen(address, timeout=10).read().decode()
        # Self-contained: no address but the SVG namespace's, no file fetched.
        assert "http" not in page.replace("http://www.w3.org/2000/svg", "")
        assert "<script src" not in page and "<link" not in page
    finally:
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
    assert child.returncode == 130 and "stopped" in err
    assert os.listdir(tmp_path) == []
