"""The subcommands speak the caller's language: a malformed record refused in one line naming
the file and the field, bad values named by their flags, one install hint for a missing extra,
Ctrl-C in the arena ending it and its workers at once, and a Ray address where no cluster runs
refused before the run's folder is made."""

import copy
import importlib.util
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from krodan_rl import arena
from krodan_rl.__main__ import main
from krodan_rl._internal.workers import descendants

HERE = Path(__file__).resolve().parent
PLAIN = ["random", "random", "random", "random"]


def command(argv: list[str], capsys) -> tuple[int, list[str]]:
    """Runs ``python -m krodan_rl ARGV`` in this process: its exit status and its lines of
    standard error (an exception out of it fails the test, as a traceback would)."""
    try:
        status = main(argv)
    except SystemExit as stop:  # argparse's usage errors
        status = stop.code
    return status, capsys.readouterr().err.strip().splitlines()


@pytest.fixture(scope="module")
def record() -> dict:
    """An arena record of four recorded games, as ``arena --record`` writes it."""
    result = arena.run(PLAIN, 4, seed=2, workers=1, progress=False, record=True)
    return result.to_dict()


def edited(change):
    """A record edit: ``change`` applied to a copy of the record, written as JSON."""

    def edit(record: dict) -> str:
        copied = copy.deepcopy(record)
        change(copied)
        return json.dumps(copied)

    return edit


def first_placement(text: str):
    """A record edit that writes ``text`` in place of game 0's first placement."""

    def edit(record: dict) -> str:
        copied = copy.deepcopy(record)
        copied["placements"][0][0] = "@"
        return json.dumps(copied).replace('"@"', text)

    return edit


# Each kind of malformed record, and what its message says.
MALFORMED = {
    "name-not-a-string": (edited(lambda r: r["specs"].__setitem__(1, 5)), "specs[1] must be a string"),
    "specs-not-a-list": (edited(lambda r: r.__setitem__("specs", "abcd")), "specs must be a list"),
    "seats-missing": (edited(lambda r: r.pop("seats")), "has no seats field"),
    "seat-negative": (edited(lambda r: r["seats"][0].__setitem__(2, -1)), "seats[0][2] must be from 0 to 3"),
    "seat-a-bool": (edited(lambda r: r["seats"][0].__setitem__(2, True)), "seats[0][2] must be an integer"),
    "seats-short": (edited(lambda r: r["seats"].__setitem__(0, [0, 1])), "seats[0] must hold 4 entries"),
    "game-not-a-list": (edited(lambda r: r["placements"].__setitem__(0, 7)), "placements[0] must be a list"),
    "game-a-string": (edited(lambda r: r["placements"].__setitem__(0, "a")), "placements[0] must be a list"),
    "placement-a-float": (first_placement("1.5"), "placements[0][0] must be an integer"),
    "placement-1e400": (first_placement("1e400"), "placements[0][0] must be an integer"),
    "placement-null": (first_placement("null"), "placements[0][0] must be an integer"),
    "placement-beyond-64-bits": (first_placement(str(2**64)), "placements[0][0] must be from 0 to 36399"),
    "placement-beyond-the-actions": (first_placement("36400"), "placements[0][0] must be from 0 to 36399"),
    "nested-10000-deep": (first_placement("[" * 10_000 + "]" * 10_000), "nested too deeply"),
    "after-the-end": (edited(lambda r: r["placements"][0].extend([1, 2])), "placements[0]: placement"),
    "not-an-object": (lambda r: "[]", "not an arena record"),
}  # fmt: skip


@pytest.mark.parametrize(("edit", "field"), MALFORMED.values(), ids=MALFORMED.keys())
def test_view_refuses_a_malformed_record_in_one_line(record, edit, field, tmp_path, capsys):
    source = tmp_path / "record.json"
    source.write_text(edit(record))
    status, err = command(["view", str(source), "-o", str(tmp_path / "game.html")], capsys)
    assert status == 1 and len(err) == 1
    assert err[0].startswith(f"python -m krodan_rl view: {source}: ") and field in err[0]
    assert not (tmp_path / "game.html").exists()


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["arena", *PLAIN, "--workers", "5000"], "--workers must be from 1 to 1024, not 5000"),
        (["arena", *PLAIN, "--seed", "-1"], "--seed must be from 0 to 2**64 - 1"),
        (["selfplay", "--games", "0"], "--games must be at least 1, not 0"),
        (
            ["selfplay", "--games", "2", "--games-per-shard", "0"],
            "--games-per-shard must be at least 1",
        ),
        (
            ["selfplay", "--games", "2", "--games-at-once", "0"],
            "--games-at-once must be at least 1",
        ),
        (["selfplay", "--games", "2", "--seed", str(2**64)], "--seed must be from 0 to 2**64 - 1"),
        (["selfplay", "--games", str(10**23)], "a run holds at most 1000000"),
        (["selfplay", "--games", "2", "--out", ""], "--out must name a folder"),
        (
            ["selfplay", "--games", "2", "--out", "{file}"],
            "--out {file} exists and is not a folder",
        ),
        (["train", "--out", "{tmp}/t", "--iterations", "0"], "--iterations must be at least 1"),
        (["train", "--out", "{tmp}/t", "--workers", "0"], "--workers must be at least 1"),
        (["train", "--out", ""], "--out must name a folder"),
        (["train", "--out", "{file}"], "--out {file} exists and is not a folder"),
        (["view", "{file}", "--game", "-1"], "--game must not be negative"),
    ],
)
def test_bad_values_are_named_by_their_flags(argv, message, tmp_path, capsys, monkeypatch):
    needs = {"selfplay": ["pyarrow"], "train": ["pyarrow", "jax", "optax", "matplotlib"]}
    needs = needs.get(argv[0], [])
    if any(importlib.util.find_spec(module) is None for module in needs):
        pytest.skip(f"needs {', '.join(needs)}")
    if argv[0] == "train":  # one that got past its checks fails the test instead of training
        monkeypatch.setattr("krodan_rl.train.loop.train", lambda *a, **k: pytest.fail("ran"))
    (tmp_path / "file").write_text("")
    names = {"tmp": str(tmp_path), "file": str(tmp_path / "file")}
    argv = [arg.format(**names) for arg in argv]
    if argv[0] == "selfplay":
        argv += [] if "--out" in argv else ["--out", str(tmp_path / "run")]
        argv += ["--players", *PLAIN]
    status, err = command(argv, capsys)
    assert status == 2
    assert err[-1].startswith(f"python -m krodan_rl {argv[0]}: ")
    assert message.format(**names) in err[-1]
    assert not (tmp_path / "run").exists() and not (tmp_path / "t").exists()


# Runs the command with a module made impossible to import, as where its extra is missing.
WITHOUT = "import sys; sys.modules[sys.argv[1]] = None; from krodan_rl.__main__ import main; " \
          "sys.exit(main(sys.argv[2:]))"  # fmt: skip


@pytest.mark.parametrize(
    ("module", "argv", "extra"),
    [
        ("jax", ["train", "--preset", "tiny", "--out", "{tmp}/t"], "train"),
        ("pyarrow", ["train", "--preset", "tiny", "--out", "{tmp}/t"], "train"),
        ("pyarrow", ["selfplay", "--games", "2", "--out", "{tmp}/t", "--players", *PLAIN], "data"),
        ("pyarrow", ["view", "{tmp}"], "data"),
    ],
)
def test_a_missing_extra_gets_one_install_hint(module, argv, extra, tmp_path):
    # The command names the first module of its extra that it misses: the others must be here.
    others = {"train": ["jax", "optax", "matplotlib", "pyarrow"]}.get(argv[0], [])
    if any(importlib.util.find_spec(m) is None for m in others if m != module):
        pytest.skip(f"needs the {argv[0]} extra's other modules")
    argv = [arg.format(tmp=tmp_path) for arg in argv]
    child = subprocess.run([sys.executable, "-c", WITHOUT, module, *argv], capture_output=True,
                           text=True, timeout=120, check=False)  # fmt: skip
    assert child.returncode == 2, child.stderr
    (line,) = child.stderr.strip().splitlines()
    assert line.startswith(f"python -m krodan_rl {argv[0]}: ") and module in line
    assert line.count("pip install") == 1 and f"'krodan_rl[{extra}]'" in line
    assert not (tmp_path / "t").exists()


def stat(pid: int) -> list[str]:
    """The fields of /proc/PID/stat after the command name (state, parent, group, session...);
    none for a process gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return []


def ignores_sigint(pid: int) -> bool:
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    ignored = next(line for line in status.splitlines() if line.startswith("SigIgn:"))
    return bool(int(ignored.split()[1], 16) & (1 << (signal.SIGINT - 1)))


def running_in_session(session: int) -> list[int]:
    """The processes of a session still running (zombies left to an init that does not reap
    them are not)."""
    found = [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]
    return [pid for pid in found if (fields := stat(pid)) and int(fields[3]) == session
            and fields[0] != "Z"]  # fmt: skip


def pool_workers(driver: int) -> list[int]:
    """The pool's workers: the driver's descendants that are children of its pool server."""
    return [
        pid for pid in descendants(driver) if (fields := stat(pid)) and int(fields[1]) != driver
    ]


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="reads processes from /proc")
def test_ctrl_c_ends_the_arena_and_its_workers_at_once(tmp_path):
    # A player of the user's own: the games are played in worker processes, and a tree search
    # makes them long enough to be interrupted. The command runs in a session of its own, as
    # on a terminal.
    argv = ["arena", "arena_players:LowestAction", "mcts:100", "greedy", "random", "--games",
            "4000", "--workers", "2", "--json", str(tmp_path / "standings.json")]  # fmt: skip
    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]),
    }
    driver = subprocess.Popen([sys.executable, "-m", "krodan_rl", *argv], env=env, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              start_new_session=True)  # fmt: skip
    try:
        deadline = time.monotonic() + 60  # playing: both workers started and set up
        while len(workers := pool_workers(driver.pid)) < 2 or not all(map(ignores_sigint, workers)):
            assert driver.poll() is None and time.monotonic() < deadline, "no workers started"
            time.sleep(0.05)
        os.killpg(driver.pid, signal.SIGINT)  # what Ctrl-C sends: to the driver and its workers
        _, err = driver.communicate(timeout=60)
    finally:
        if driver.poll() is None:
            os.killpg(driver.pid, signal.SIGKILL)
    assert driver.returncode == 130
    # Python's resource tracker, a process of its own, may warn that it cleans up the pool's
    # semaphores once the driver is gone: its words, not the command's.
    ours = [line for line in err.splitlines() if "resource_tracker" not in line]
    assert ours == ["python -m krodan_rl arena: interrupted; no standings written"]
    assert not set(workers) & set(running_in_session(driver.pid))  # ended by the driver
    deadline = time.monotonic() + 1.0  # the pool's server leaves as it sees the driver gone
    while running_in_session(driver.pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert running_in_session(driver.pid) == []
    assert not (tmp_path / "standings.json").exists()


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="reads threads from /proc")
def test_ctrl_c_stops_an_arena_of_built_in_agents_between_moves(tmp_path):
    # Built-in agents play whole games in one native call on the engine's threads; a search of
    # about a second a move makes a call last minutes unless Ctrl-C stops it between moves.
    argv = ["arena", "mcts:20000", "mcts:20000", "greedy", "random", "--games", "8",
            "--workers", "2", "--json", str(tmp_path / "standings.json")]  # fmt: skip
    driver = subprocess.Popen([sys.executable, "-m", "krodan_rl", *argv], text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              start_new_session=True)  # fmt: skip
    try:
        deadline = time.monotonic() + 60  # playing: the engine's threads started
        while len(os.listdir(f"/proc/{driver.pid}/task")) < 3:
            assert driver.poll() is None and time.monotonic() < deadline, "no game started"
            time.sleep(0.05)
        os.killpg(driver.pid, signal.SIGINT)
        _, err = driver.communicate(timeout=30)
    finally:
        if driver.poll() is None:
            os.killpg(driver.pid, signal.SIGKILL)
    assert driver.returncode == 130
    assert err.splitlines() == ["python -m krodan_rl arena: interrupted; no standings written"]


def ray_cluster_runs_here() -> bool:
    for entry in os.listdir("/proc"):
        try:
            if b"gcs_server" in Path(f"/proc/{entry}/cmdline").read_bytes():
                return True
        except OSError:
            continue
    return False


@pytest.mark.ray
@pytest.mark.skipif(importlib.util.find_spec("ray") is None, reason="needs the ray extra")
@pytest.mark.parametrize(
    "command",
    [
        ["selfplay", "--games", "2", "--players", *PLAIN],
        pytest.param(["train", "--preset", "tiny"], marks=pytest.mark.jax),
    ],
)
def test_ray_auto_without_a_cluster_is_refused_before_the_folder(tmp_path, command):
    if ray_cluster_runs_here():
        pytest.skip("a Ray cluster runs on this machine: auto would find it")
    if command[0] == "train":
        pytest.importorskip("jax")
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    env["RAY_TMPDIR"] = str(tmp_path)  # where Ray looks for the cluster last started here
    out = tmp_path / "run"
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", *command, "--out", str(out), "--ray", "auto"],
        env=env, capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert child.returncode == 1
    assert child.stderr.strip().splitlines() == [
        f"python -m krodan_rl {command[0]}: no Ray cluster at auto: start one with `ray start "
        "--head`, or leave the address out to start a local instance"
    ]
    assert not out.exists()


def test_ctrl_c_ends_the_demo_in_one_line():
    # The demo as `python -m krodan_rl --games 1000000` runs it (minutes of games), saying on
    # standard output when its first game starts: the interrupt then lands among the games.
    script = "\n".join([
        "import runpy, sys",
        "from krodan_rl import play",
        "first_game = play.play_game",
        "def announced(seed):",
        "    play.play_game = first_game",
        "    print('playing', flush=True)",
        "    return first_game(seed)",
        "play.play_game = announced",
        "sys.argv = ['krodan_rl', '--games', '1000000']",
        "runpy.run_module('krodan_rl', run_name='__main__', alter_sys=True)",
    ])  # fmt: skip
    demo = subprocess.Popen([sys.executable, "-c", script], text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)  # fmt: skip
    try:
        started = demo.stdout.readline()
        os.killpg(demo.pid, signal.SIGINT)  # what Ctrl-C sends
        _, err = demo.communicate(timeout=60)
    finally:
        if demo.poll() is None:
            os.killpg(demo.pid, signal.SIGKILL)
    assert started == "playing\n", err
    assert demo.returncode == 130, err
    assert err.splitlines() == ["python -m krodan_rl: interrupted"]
