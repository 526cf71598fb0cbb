"""render() writes the board text to the process's standard output file, not to sys.stdout."""

import io
import subprocess
import sys
import textwrap

import pytest

ESC = "\x1b"
HEADER = "  | " + " | ".join(f"{c:2d}" for c in range(20)) + " |"
RULE = "-" * 103


def render_in_child(setup: str) -> str:
    """What a child process's render() wrote, with sys.stdout redirected inside the child."""
    code = textwrap.dedent(
        """
        import io, sys
        from krodan_rl import PyKrodan
        game = PyKrodan()
        {setup}
        sys.stdout = io.StringIO()
        result = game.render()
        captured = sys.stdout.getvalue()
        sys.stdout = sys.__stdout__
        assert result is None and captured == "", (result, captured)
        """
    ).format(setup=setup)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    return child.stdout.decode()


def test_empty_board():
    out = render_in_child("")
    assert out.endswith("|\n")
    text = out[:-1]
    lines = text.split("\n")
    assert len(text) == 4263 and len(lines) == 41
    assert lines[0] == HEADER
    assert lines[1::2] == [RULE] * 20
    for row, line in enumerate(lines[2::2]):
        assert line == f"{row:2d}" + "|  . " * 20 + "|"


@pytest.mark.parametrize("placements", [1, 2, 4])
def test_each_covered_cell_adds_nine_characters(placements):
    text = render_in_child(f"for _ in range({placements}): game.step(0)")[:-1]
    assert len(text) == 4263 + 9 * placements
    assert text.split("\n")[2].startswith(f" 0|  {ESC}[44mx{ESC}[0m |  . ")


def test_every_agent_in_its_corner_and_colour():
    lines = render_in_child("for _ in range(4): game.step(0)").split("\n")
    top, bottom = lines[2], lines[40]
    assert top.startswith(f" 0|  {ESC}[44mx{ESC}[0m ")
    assert top.endswith(f"|  {ESC}[43mx{ESC}[0m |")
    assert bottom.startswith(f"19|  {ESC}[42mx{ESC}[0m ")
    assert bottom.endswith(f"|  {ESC}[41mx{ESC}[0m |")


def test_failed_write_raises_the_panic_exception_and_the_game_stays_usable():
    code = textwrap.dedent(
        """
        import sys
        from krodan_rl import PyKrodan
        game = PyKrodan()
        game.step(0)
        try:
            game.render()
        except Exception:
            print("caught as Exception", file=sys.stderr)
        except BaseException as error:
            kind = type(error)
            print(kind.__module__, kind.__qualname__, kind.__bases__[0].__name__, file=sys.stderr)
            print(str(error), file=sys.stderr)
        game.step(0)
        print("ply", game.ply, len(game.to_bytes()), file=sys.stderr)
        """
    )
    with open("/dev/full", "w") as full:
        child = subprocess.run(
            [sys.executable, "-c", code], stdout=full, stderr=subprocess.PIPE, check=False
        )
    lines = child.stderr.decode().splitlines()
    assert child.returncode == 0, lines
    assert "internal error" in lines[0] and "failed printing to stdout" in lines[0]
    assert lines[1] == "pyo3_runtime PanicException BaseException"
    assert lines[2].startswith("failed printing to stdout: ") and len(lines[2]) > 27
    assert lines[3] == "ply 2 278"


class Terminal:
    def isatty(self):
        return True


@pytest.mark.parametrize(
    ("stream", "no_color", "coloured"),
    [(Terminal(), "", True), (Terminal(), "1", False), (io.StringIO(), "", False)],
)
def test_colour_only_on_a_terminal_without_no_color(monkeypatch, stream, no_color, coloured):
    from krodan_rl.render import wants_colour

    monkeypatch.setenv("NO_COLOR", no_color)
    assert wants_colour(stream) is coloured


def test_plain_board_text_marks_each_cell_with_its_agents_digit():
    from krodan_rl import PyKrodan
    from krodan_rl.agents import RandomAgent
    from krodan_rl.render import board_text, owners

    game, agent = PyKrodan(), RandomAgent(4)
    for _ in range(30):
        game.step(agent.act(game))
    plain = board_text(game, colour=False)
    assert ESC not in plain and len(plain.splitlines()) == 41
    assert plain.splitlines()[0] == HEADER and plain.splitlines()[1] == RULE
    cells = [line.split("|")[1:21] for line in plain.splitlines()[2::2]]
    shown = [cell.strip() for row in cells for cell in row]
    assert shown == ["." if a is None else str(a) for a in owners(game)]
    assert ESC in board_text(game, colour=True)
    child = subprocess.run([sys.executable, "-m", "krodan_rl"], capture_output=True, text=True,
                           check=True, env={"PATH": "/usr/bin:/bin"})  # fmt: skip
    assert ESC not in child.stdout and " 0|  0 |" in child.stdout  # a pipe: plain
