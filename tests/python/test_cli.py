import re
import subprocess
import sys
import zlib

import numpy as np
import pytest

from krodan_rl import PyKrodan
from krodan_rl.play import RandomAgent, legal_actions, play_game
from krodan_rl.render import RGB_COLOURS


def run(*args: str) -> str:
    child = subprocess.run([sys.executable, "-m", "krodan_rl", *args], capture_output=True,
                           text=True, check=True)  # fmt: skip
    return child.stdout


def test_demo_prints_the_board_scores_and_speed():
    out = run("--seed", "3")
    lines = out.splitlines()
    assert lines[0].startswith("Game with seed 3: ")
    assert lines[1].startswith("  |  0 |  1 |")
    assert sum(line.startswith("---") for line in lines) == 20
    assert any(line.startswith("scores:") for line in lines)
    assert "games/s" in lines[-1] and "turns/s" in lines[-1]


def test_demo_is_deterministic_per_seed():
    assert run("--seed", "5").splitlines()[:-1] == run("--seed", "5").splitlines()[:-1]


def test_several_games():
    out = run("--games", "3", "--seed", "1")
    assert "3 game(s)" in out.splitlines()[-1]
    assert "  |  0 |" not in out


def test_save_png_writes_a_picture(tmp_path):
    target = tmp_path / "board.png"
    out = run("--seed", "2", "--save-png", str(target))
    assert f"board written to {target}" in out
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR" and int.from_bytes(data[16:20], "big") == 501
    # Below the board, a legend: a swatch of each agent's colour, left to right.
    height = int.from_bytes(data[20:24], "big")
    assert height > 501
    (idat,) = re.findall(rb"IDAT(.*)....IEND", data, flags=re.DOTALL)
    rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, 1 + 3 * 501)
    legend = rows[502:, 1:].reshape(-1, 501, 3)
    firsts = [np.flatnonzero((legend == c).all(axis=2).any(axis=0))[0] for c in RGB_COLOURS]
    assert firsts == sorted(firsts)


def test_help_explains_every_option():
    out = run("--help")
    for option in ("--seed", "--games", "--save-png"):
        assert option in out


def test_the_module_docstring_names_every_subcommand():
    import krodan_rl.__main__ as main

    for name in main.SUBCOMMANDS:
        assert f"python -m krodan_rl {name} " in main.__doc__


def test_bad_arguments_are_refused():
    child = subprocess.run([sys.executable, "-m", "krodan_rl", "--games", "0"],
                           capture_output=True, text=True, check=False)  # fmt: skip
    assert child.returncode == 2 and "--games" in child.stderr


def test_random_agent_plays_only_legal_actions():
    game = PyKrodan()
    agent = RandomAgent(4)
    while not game.is_over:
        mask = game.observe(game.agent_selection).action_mask
        action = agent.act(game)
        assert (action is None) == (mask.count(1) == 0)
        assert action is None or mask[action] == 1
        game.step(action)
    assert legal_actions(b"\x00\x01\x00\x01") == [1, 3]


def test_play_game_reaches_the_end():
    record = play_game(8)
    assert record.game.is_over and record.turns >= record.game.ply


def run_shell(command: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["bash", "-c", command], capture_output=True, text=True, check=False)


@pytest.mark.parametrize(
    ("target", "message"),
    [
        ("missing/board.png", "does not exist"),
        (".", "is a folder"),
        ("file/board.png", "is not a folder"),
    ],
)
def test_save_png_path_is_checked_before_playing(tmp_path, target, message):
    (tmp_path / "file").write_text("")
    child = subprocess.run([sys.executable, "-m", "krodan_rl", "--games", "1000000", "--save-png",
                            str(tmp_path / target)], capture_output=True, text=True, check=False,
                           timeout=60)  # fmt: skip
    assert child.returncode == 2
    assert message in child.stderr and "Traceback" not in child.stderr
    assert child.stdout == ""  # refused before a game was played


@pytest.mark.parametrize(
    ("redirect", "status", "message"),
    [
        # The reader closes the pipe before the demo writes (a reader that takes some output
        # first, like `head -1`, may get all of it: the demo writes once when it fits the
        # buffer).
        ("| true", 1, ""),
        ("> /dev/full", 1, "No space left on device"),
    ],
)
def test_output_errors_end_quietly(redirect, status, message):
    child = run_shell(f"{sys.executable} -m krodan_rl --seed 1 {redirect}; "
                      "echo status=${PIPESTATUS[0]} >&2")  # fmt: skip
    assert "Traceback" not in child.stderr
    assert f"status={status}" in child.stderr
    assert message in child.stderr


def test_closed_standard_output_does_not_go_into_the_picture(tmp_path):
    target = tmp_path / "board.png"
    child = run_shell(f"{sys.executable} -m krodan_rl --save-png {target} >&-")
    assert child.returncode == 0 and "Traceback" not in child.stderr
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_board_keeps_its_place_in_buffered_output():
    # Through a pipe Python buffers sys.stdout: the board must still follow the header line.
    lines = run("--seed", "4").splitlines()
    assert lines[0].startswith("Game with seed 4")
    assert lines[1].startswith("  |  0 |") and lines[-1].endswith("turns/s")
