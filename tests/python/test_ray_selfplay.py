"""Self-play on Ray, on one local Ray head started for the session: the same games as the
local backend, a run that survives the death of an actor, and a run whose driver is killed,
then run again, that ends with the data of an undisturbed run, generating only what was
missing."""

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import dataset_rows

pytestmark = [
    pytest.mark.ray,
    # Ray Data's configuration warns about its own deprecated options when it is read.
    pytest.mark.filterwarnings("ignore::DeprecationWarning:ray"),
]

ray = pytest.importorskip("ray")
pytest.importorskip("pyarrow")

from krodan_rl import selfplay  # noqa: E402 (after the skips)

PLAYERS = ["greedy", "random", "mcts:24", "random"]
GAMES, PER_SHARD = 24, 2  # 12 shards
# A head and its drivers agree on no token authentication, whatever an earlier local Ray
# instance left in ~/.ray.
ENV = {**os.environ, "RAY_USAGE_STATS_ENABLED": "0", "RAY_AUTH_MODE": "disabled"}


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def ray_address():
    """One local head for every test (2 CPUs, a small object store, no dashboard)."""
    port = free_port()
    ray_cli = [sys.executable, "-m", "ray.scripts.scripts"]
    subprocess.run(
        [*ray_cli, "start", "--head", f"--port={port}", "--node-ip-address=127.0.0.1",
         "--num-cpus=2", "--object-store-memory=100000000", "--include-dashboard=false",
         "--disable-usage-stats"],
        check=True, capture_output=True, timeout=180, env=ENV,
    )  # fmt: skip
    try:
        yield f"127.0.0.1:{port}"
    finally:
        subprocess.run([*ray_cli, "stop", "--force"], capture_output=True, timeout=180, env=ENV)


def run(out, **options):
    options = {"games_per_shard": PER_SHARD, "seed": 3, "workers": 2, **options}
    return selfplay.generate(options.pop("num_games", GAMES), PLAYERS, out, **options)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = tmp_path_factory.mktemp("local")
    run(out, workers=1)
    return dataset_rows(out)


def markers(out) -> int:
    folder = Path(out) / "_done"
    return len(list(folder.glob("*.json"))) if folder.is_dir() else 0


def wait_for(condition, seconds=120.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_a_ray_run_equals_the_local_run_game_for_game(tmp_path, ray_address, reference):
    # More actors than the head's 2 CPUs: those that cannot start are never given shards.
    summary = run(tmp_path, backend="ray", address=ray_address, workers=4)
    assert (summary.generated, summary.games) == (GAMES // PER_SHARD, GAMES)
    assert dataset_rows(tmp_path) == reference
    # Ray's own reader takes the turns folder as it is (markers and manifest live outside it).
    ray.init(address=ray_address, log_to_driver=False)
    try:
        turns = ray.data.read_parquet(str(tmp_path / "turns"))
        assert turns.count() == len(reference["turns"]["ply"])
        assert sorted(turns.columns()) == sorted(reference["turns"])
    finally:
        ray.shutdown()


def actor_pids() -> list[int]:
    found = subprocess.run(["pgrep", "-f", "ray::ShardWorker"], capture_output=True, text=True)
    return [int(pid) for pid in found.stdout.split()]


def test_a_run_survives_an_actor_killed_mid_run(tmp_path, ray_address, reference):
    killed: list[int] = []

    def kill_one_actor():
        wait_for(lambda: markers(tmp_path) >= 1 and actor_pids())
        pid = actor_pids()[0]
        os.kill(pid, signal.SIGKILL)
        killed.append(markers(tmp_path))

    killer = threading.Thread(target=kill_one_actor)
    killer.start()
    summary = run(tmp_path, backend="ray", address=ray_address)
    killer.join()
    assert killed and killed[0] < GAMES // PER_SHARD, "no actor was killed mid-run"
    assert markers(tmp_path) == GAMES // PER_SHARD and summary.generated == GAMES // PER_SHARD
    rows = dataset_rows(tmp_path)
    assert sorted(rows["games"]["game_id"]) == list(range(GAMES))  # every game exactly once
    assert rows == reference


def cli_command(out, address) -> list[str]:
    """The subcommand of the same run as `run(out, backend="ray", address=address)`."""
    return [
        sys.executable, "-m", "krodan_rl", "selfplay", "--games", str(GAMES), "--out", str(out),
        "--players", *PLAYERS, "--games-per-shard", str(PER_SHARD), "--seed", "3",
        "--workers", "2", "--ray", address,
    ]  # fmt: skip


def test_a_killed_driver_leaves_a_folder_that_a_rerun_completes(tmp_path, ray_address, reference):
    command = cli_command(tmp_path, ray_address)
    driver = subprocess.Popen(command, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        wait_for(lambda: markers(tmp_path) >= 2 or driver.poll() is not None)
        driver.send_signal(signal.SIGKILL)
    finally:
        driver.communicate(timeout=60)
    done_before = markers(tmp_path)
    assert 2 <= done_before < GAMES // PER_SHARD, "the driver ended before it could be killed"
    wait_for(lambda: not actor_pids(), 60)  # Ray ends the actors of a dead driver

    rerun = subprocess.run(command, env=ENV, capture_output=True, text=True, timeout=600)
    assert rerun.returncode == 0, rerun.stderr
    found = re.search(r"(\d+) generated \((\d+) redone\), (\d+) reused", rerun.stdout)
    assert found, rerun.stdout
    generated, _, reused = map(int, found.groups())
    assert reused >= done_before and generated + reused == GAMES // PER_SHARD
    assert dataset_rows(tmp_path) == reference


TESTS = str(Path(__file__).parent)


def test_shards_whose_actor_always_dies_fail_the_run_naming_them(tmp_path, ray_address):
    players = ["random", "arena_players:CrashingWhere", "random", "random"]
    env = {"env_vars": {"PYTHONPATH": TESTS}}
    first = selfplay.generate(4, players, tmp_path, games_per_shard=2, backend="ray",
                              address=ray_address, ray_actor_options={"runtime_env": env})  # fmt: skip
    assert first.generated == 2
    env["env_vars"]["KRODAN_TEST_CRASH"] = "1"  # from now on every actor dies in its shard
    with pytest.raises(RuntimeError, match=r"shard\(s\) 2, 3 failed 3 times"):
        selfplay.generate(8, players, tmp_path, games_per_shard=2, backend="ray",
                          address=ray_address, ray_actor_options={"runtime_env": env})  # fmt: skip
    assert markers(tmp_path) == 2  # the finished shards stay committed
    assert not actor_pids()


def test_ctrl_c_stops_the_run_and_its_actors_only(tmp_path, ray_address, reference):
    command = cli_command(tmp_path, ray_address)
    driver = subprocess.Popen(command, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: markers(tmp_path) >= 1 or driver.poll() is not None)
    driver.send_signal(signal.SIGINT)
    _, err = driver.communicate(timeout=120)
    assert driver.returncode == 130, err
    assert b"run the same command again" in err
    wait_for(lambda: not actor_pids(), 60)
    ray.init(address=ray_address, log_to_driver=False)  # the cluster it did not start lives on
    ray.shutdown()
    rerun = subprocess.run(command, env=ENV, capture_output=True, text=True, timeout=600)
    assert rerun.returncode == 0, rerun.stderr
    assert dataset_rows(tmp_path) == reference


def test_without_an_address_a_run_starts_its_own_instance_even_beside_a_cluster(
    tmp_path, ray_address
):
    command = [*cli_command(tmp_path, "")[:-1], "--games", "4"]  # --ray without an address
    child = subprocess.run(command, env={**ENV, "RAY_ADDRESS": ray_address},
                           capture_output=True, text=True, timeout=600)  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert "4 games" in child.stdout


def test_an_address_where_nothing_answers_fails_at_once_in_one_line(tmp_path):
    start = time.monotonic()
    child = subprocess.run(cli_command(tmp_path, f"127.0.0.1:{free_port()}"), env=ENV,
                           capture_output=True, text=True, timeout=600)  # fmt: skip
    assert child.returncode == 1 and time.monotonic() - start < 30
    assert "no Ray cluster answers at 127.0.0.1" in child.stderr
    assert len(child.stderr.strip().splitlines()) == 1


def test_a_killed_driver_of_a_local_instance_leaves_no_process_and_no_write(tmp_path):
    from krodan_rl._internal.workers import descendants

    out = tmp_path / "run"
    log = (tmp_path / "log").open("w")  # not a pipe, which an orphan would hold open
    driver = subprocess.Popen(cli_command(out, "")[:-1], env=ENV, stdout=log, stderr=log)
    try:
        wait_for(lambda: markers(out) >= 1 or driver.poll() is not None)
        family = descendants(driver.pid)
        driver.send_signal(signal.SIGKILL)
    finally:
        driver.wait(timeout=60)
        log.close()
    assert markers(out) < GAMES // PER_SHARD, "the run ended before its driver was killed"

    def alive(pid):
        try:
            return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    wait_for(lambda: not any(alive(pid) for pid in family), 20)
    written = {p: p.stat().st_mtime_ns for p in out.rglob("*") if p.is_file()}
    time.sleep(1.0)
    assert {p: p.stat().st_mtime_ns for p in out.rglob("*") if p.is_file()} == written


@pytest.mark.jax
def test_the_tiny_training_on_ray_runs_ahead_learns_on_an_actor_and_survives_a_killed_one(
    tmp_path, ray_address, tiny_training, monkeypatch
):
    from krodan_rl.nn import checkpoint
    from krodan_rl.train import PRESETS, train
    from krodan_rl.train.folder import Training

    config = PRESETS["tiny"].with_options(workers=2)
    # A relative folder: the head's processes work in another folder than this one.
    monkeypatch.chdir(tmp_path)
    training = Training(Path("az"))
    first = training.run(1)
    killed: list[int] = []

    def kill_one_actor():
        wait_for(lambda: markers(first) >= 1 and actor_pids(), 600)
        os.kill(actor_pids()[0], signal.SIGKILL)
        killed.append(markers(first))

    killer = threading.Thread(target=kill_one_actor)
    killer.start()
    train(config, training.out, log=lambda line: None, backend="ray", address=ray_address,
          learner_options={"num_cpus": 0})  # fmt: skip
    killer.join()
    assert killed and killed[0] < config.games // config.games_at_once
    for iteration in (1, 2):
        rows = dataset_rows(training.run(iteration))
        assert sorted(rows["games"]["game_id"]) == list(
            range(config.games)
        )  # none lost, none twice
    # Iteration 2's games ran ahead, on checkpoint 0, while the learner made checkpoint 1.
    assert [training.source(1), training.source(2)] == [0, 0]
    # Up to the run ahead, the same training as a local one: the same games, and the same
    # weights from the learner's actor as from a learner in the driver.
    reference = Training(tiny_training)
    for run in (training.warm_run, training.run(1)):
        assert dataset_rows(run) == dataset_rows(reference.out / run.relative_to(training.out))
    mine, theirs = (checkpoint.load(t.checkpoint(1)) for t in (training, reference))
    assert all(np.array_equal(mine.params[k], v) for k, v in theirs.params.items())
    assert training.checkpoint(2).is_file()
