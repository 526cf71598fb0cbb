"""Workers die with their driver: a local self-play run whose driver is killed (SIGKILL), told
to stop (SIGTERM) or hung up on (SIGHUP) leaves no worker, pool server or resource tracker
behind after a few seconds, and nothing in its folder changes after that. A script read from
standard input plays with workers, and one that defines its own player is refused in one
line."""

import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")

from krodan_rl._internal.workers import descendants

# The driver hears SIGHUP as a terminal's process does, even where the tests themselves run
# with it ignored (under nohup).
RUN = """
import signal, sys
signal.signal(signal.SIGHUP, signal.SIG_DFL)
from krodan_rl.selfplay import generate
generate(400, ["mcts:40", "greedy", "greedy", "greedy"], sys.argv[1], games_per_shard=100, workers=2)
"""


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def folder_state(out):
    return {p: p.stat().st_mtime_ns for p in Path(out).rglob("*") if p.is_file()}


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="reads processes from /proc")
@pytest.mark.parametrize(
    "sig", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name
)
def test_no_worker_outlives_its_driver_nor_writes_after_it(tmp_path, sig):
    out = tmp_path / "run"
    # Output to a file: a pipe would stay open as long as any orphan holds it.
    log = (tmp_path / "log").open("w")
    driver = subprocess.Popen([sys.executable, "-c", RUN, str(out)], stdout=log, stderr=log)
    try:
        # Shards of 100 games take a while: the workers are in the middle of one.
        assert wait_for(lambda: len(descendants(driver.pid)) >= 4, 120), "no workers started"
        time.sleep(1.0)
        family = descendants(driver.pid)  # the pool server, two workers, the resource tracker
        driver.send_signal(sig)
        driver.wait(timeout=30)
    finally:
        driver.kill()
        driver.wait()
        log.close()
    assert wait_for(lambda: not any(alive(pid) for pid in family), 5), [
        pid for pid in family if alive(pid)
    ]
    before = folder_state(out)
    time.sleep(1.0)
    assert folder_state(out) == before


def test_a_script_from_standard_input_plays_with_workers_or_is_refused_in_one_line(tmp_path):
    plays = f"""
from krodan_rl.selfplay import generate
print(generate(4, ["random"] * 4, {str(tmp_path / "a")!r}, games_per_shard=1, workers=2).games)
"""
    child = subprocess.run([sys.executable, "-"], input=plays, capture_output=True, text=True,
                           timeout=300, check=False)  # fmt: skip
    assert child.returncode == 0 and child.stdout.strip() == "4", child.stderr
    refused = f"""
from krodan_rl.selfplay import generate
class Lowest:
    def act(self, game):
        return game.observe(game.agent_selection).action_mask.find(1)
try:
    generate(4, [Lowest()] + ["random"] * 3, {str(tmp_path / "b")!r}, games_per_shard=1, workers=2)
except TypeError as error:
    print(error)
"""
    child = subprocess.run([sys.executable, "-"], input=refused, capture_output=True, text=True,
                           timeout=300, check=False)  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert "defined in a script without a file" in child.stdout
    assert len(child.stdout.strip().splitlines()) == 1
