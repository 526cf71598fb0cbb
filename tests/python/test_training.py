"""The training loop end to end on its tiny preset: the command, its folder, metrics and curve;
a raw policy lifted above random by a few iterations (a statistical test with a fixed seed);
and a run killed during self-play and again during learning that, run again, ends with the
same shards and the same parameters, to the bit, as an undisturbed run."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import dataset_rows

pytestmark = pytest.mark.jax
pytest.importorskip("jax")
pytest.importorskip("optax")
pytest.importorskip("matplotlib")

from krodan_rl import arena  # noqa: E402 (after the skips)
from krodan_rl.nn import checkpoint  # noqa: E402

RUN = """
import sys
from krodan_rl.train import PRESETS, train
train(PRESETS["tiny"], sys.argv[1], log=lambda line: None)
"""


def test_the_command_trains_and_lifts_the_raw_policy_above_random(tmp_path):
    out = tmp_path / "az"
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "train", "--preset", "tiny", "--out", str(out)],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert "2 iterations" in child.stdout
    records = [json.loads(line) for line in (out / "metrics.jsonl").read_text().splitlines()]
    assert [r["iteration"] for r in records] == [0, 1, 2]
    assert "guided vs greedy" in records[2]["evaluation"] and (out / "curve.png").stat().st_size
    spec = f"policy:{out / 'checkpoints' / 'iter-000002.npz'}"
    result = arena.run([spec, "random", "random", "random"], 40, seed=1, workers=1, progress=False)
    share = result.standings.rows[0].outcomes["win_share"]
    assert share.low > 0.25, result.standings.format()  # fair share 0.25


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--learner-gpus", "1"], "--learner-gpus places the learner on Ray: it needs --ray"),
        (["--ray", "--learner-gpus", "inf"], "a number of GPUs, 0 or more, not 'inf'"),
        (["--preset", "tiny", "--workers", "0"], "workers must be"),
    ],
)
def test_the_command_refuses_bad_options_before_it_writes(tmp_path, options, message):
    out = tmp_path / "az"
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "train", "--out", str(out), *options],
        capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert child.returncode == 2 and message in child.stderr and not out.exists()


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"address": "127.0.0.1:6379"}, "address is for training on Ray"),
        ({"learner_options": {"num_gpus": 1}}, "learner_options is for training on Ray"),
        ({"backend": "slurm"}, "unknown backend 'slurm'"),
    ],
)
def test_train_refuses_options_of_another_backend_before_it_writes(tmp_path, options, message):
    from krodan_rl.train import PRESETS, train

    with pytest.raises(ValueError, match=message):
        train(PRESETS["tiny"], tmp_path / "az", log=lambda line: None, **options)
    assert not (tmp_path / "az").exists()


def test_a_metrics_line_cut_short_by_a_kill_costs_no_other_record(tmp_path):
    from krodan_rl.train import metrics
    from krodan_rl.train.curve import draw_curve

    path = tmp_path / "metrics.jsonl"
    shares = {"guided vs greedy": {"win_share": 0.5, "interval": [0.4, 0.6], "games": 8}}
    metrics.append(path, {"iteration": 0, "games": 0, "hours": 0.0, "evaluation": shares})
    path.write_text(path.read_text() + '{"iteration": 1, "ga')  # the kill, mid-write
    metrics.append(path, {"iteration": 1, "games": 4, "hours": 0.1, "evaluation": shares})
    assert [r["iteration"] for _, r in metrics.records(path)] == [0, 1]
    draw_curve(path, tmp_path / "curve.png")
    assert (tmp_path / "curve.png").stat().st_size > 0


def wait_for(condition, seconds=300.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def markers(run: Path) -> int:
    return len(list((run / "_done").glob("*.json"))) if (run / "_done").is_dir() else 0


def killed_when(out: Path, condition, script: str = RUN) -> None:
    """Starts the tiny training (or the one ``script`` runs in OUT, its argument) in a process
    of its own and kills it (SIGKILL) once ``condition()`` holds."""
    log = (out.parent / "log").open("a")
    child = subprocess.Popen([sys.executable, "-c", script, str(out)], stdout=log, stderr=log)
    try:
        wait_for(lambda: condition() or child.poll() is not None)
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
        log.close()


def test_a_run_killed_in_self_play_and_in_learning_resumes_to_the_same_end(tmp_path, tiny_training):
    from krodan_rl.train import PRESETS, train

    reference = tiny_training

    out = tmp_path / "killed"
    first = out / "selfplay" / "iter-000001"
    # During iteration 1's self-play: some of its four shards committed, not all.
    killed_when(out, lambda: 1 <= markers(first) < 4)
    assert 1 <= markers(first) < 4 and not (out / "checkpoints" / "iter-000001.npz").exists()
    # During iteration 2's learning: its games all played, its checkpoint not yet written.
    second = out / "selfplay" / "iter-000002"
    killed_when(out, lambda: markers(second) == 4)
    assert not (out / "checkpoints" / "iter-000002.npz").exists()
    # Resumed under another spelling of the same folder (the kills named it absolutely).
    train(PRESETS["tiny"], os.path.relpath(out), log=lambda line: None)

    for run in ("warm", "iter-000001", "iter-000002"):
        mine, theirs = (dataset_rows(root / "selfplay" / run) for root in (out, reference))
        assert mine == theirs
    for iteration in (0, 1, 2):
        name = f"iter-{iteration:06d}.npz"
        mine = checkpoint.load(out / "checkpoints" / name)
        theirs = checkpoint.load(reference / "checkpoints" / name)
        assert mine.step == theirs.step
        for key, value in theirs.params.items():
            assert np.array_equal(mine.params[key], value), (name, key)

    # Another sitting, elsewhere: it goes on from the last checkpoint, without the old games.
    later = tmp_path / "later"
    carried = reference / "checkpoints" / "iter-000002.npz"
    done = train(PRESETS["tiny"].with_options(iterations=3), later, log=lambda line: None,
                 start_from=carried)  # fmt: skip
    assert done == 3 and not (later / "selfplay" / "warm").exists()
    assert sorted(p.name for p in (later / "checkpoints").iterdir()) == [
        "iter-000002.npz",
        "iter-000003.npz",
    ]
    assert checkpoint.load(later / "checkpoints" / "iter-000003.npz").step == theirs.step + 3
    # Its metrics go on from the earlier sitting's, which it carried.
    earlier = (reference / "metrics.jsonl").read_text().splitlines()
    records = (later / "metrics.jsonl").read_text().splitlines()
    assert records[:3] == earlier[:3] and json.loads(records[3])["iteration"] == 3


def test_the_curve_marks_where_a_scheduled_setting_changed(tmp_path):
    pytest.importorskip("matplotlib")
    from krodan_rl.train import metrics
    from krodan_rl.train.curve import changes, draw_curve

    path = tmp_path / "metrics.jsonl"
    shares = {"guided vs greedy": {"win_share": 0.5, "interval": [0.5, 0.5], "games": 4}}
    settings = [(1e-3, 16, None), (1e-3, 16, 0.5), (3e-4, 16, 0.25), (3e-4, 64, 0.25)]
    for k, (rate, simulations, share) in enumerate(settings):
        record = {"iteration": k, "games": 8 * k, "hours": 0.1 * k, "evaluation": shares,
                  "learning_rate": rate, "simulations": simulations}  # fmt: skip
        if share is not None:
            record["warm_start_share"] = share
        metrics.append(path, record)
    found = changes([r for _, r in metrics.records(path)])
    assert found == {2: "lr 0.0003, warm share 0.25", 3: "sims 64"}
    draw_curve(path, tmp_path / "curve.png", shipped=2, notes={1: "by hand"})
    assert (tmp_path / "curve.png").stat().st_size > 0
