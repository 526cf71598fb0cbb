"""What the train command shows: on a terminal (a pseudo-terminal here) a bar inside each stage
and the evaluations as a table; through a pipe one line per iteration and no bar; and a rerun
says that a training is finished, or which iteration it goes on with."""

import os
import pty
import shutil
import subprocess
import sys

import pytest

pytestmark = pytest.mark.jax


def train(out, *options, terminal):
    command = [sys.executable, "-m", "krodan_rl", "train", "--preset", "tiny", "--out", str(out),
               *options]  # fmt: skip
    if not terminal:
        child = subprocess.run(command, capture_output=True, text=True, check=True, timeout=600)
        return child.stdout + child.stderr
    main, side = pty.openpty()
    child = subprocess.Popen(command, stdin=side, stdout=side, stderr=side)
    os.close(side)
    chunks = []
    while True:
        try:
            chunk = os.read(main, 4096)
        except OSError:  # the terminal's other side closed: the child is gone
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(main)
    assert child.wait(timeout=600) == 0
    return b"".join(chunks).decode()


def test_bars_on_a_terminal_lines_elsewhere_and_what_a_rerun_goes_on_with(tiny_training, tmp_path):
    out = tmp_path / "az"
    shutil.copytree(tiny_training, out)
    finished = train(out, terminal=False)
    assert f"{out}: finished, 2 iterations of 2" in finished

    shown = train(out, "--iterations", "4", terminal=True)
    assert f"{out}: going on with iteration 3 of 4" in shown
    assert "iteration 3: 8 self-play games" in shown
    assert "games/s" in shown  # the self-play run's bar
    assert "iteration 4: learning [" in shown and "steps/s" in shown
    assert "iteration 4 of 4: loss" in shown
    table = shown[shown.index("iteration 4 evaluated:") :].splitlines()
    assert table[1].split() == ["match", "games", "win", "share"]
    assert table[2].split()[:4] == ["guided", "vs", "greedy", "4"]

    piped = train(out, "--iterations", "5", terminal=False)
    assert "\r" not in piped and "steps/s" not in piped
    assert (
        [line for line in piped.splitlines() if line.startswith("iteration")]
        == [line for line in piped.splitlines() if line.startswith("iteration 5 of 5: loss")]
        != []
    )
