"""A recipe as data, on the tiny-2 preset (schedules, a window of games, the warm start's share,
held-out games): the settings each iteration used, read back from its metrics and its runs, and
its learning redone by hand at the scheduled rate; a run killed in the middle that resumes to
the same end (and so the recipe with the Gumbel root and capped playouts); a finished run extended by ``--iterations``, and the same iteration learned in
another folder that carries the window (or records that it rebuilt it)."""

import json
import shutil
from pathlib import Path

import numpy as np
import pytest
from conftest import capped_recipe, dataset_rows
from test_training import killed_when, markers

pytestmark = pytest.mark.jax
pytest.importorskip("jax")
pytest.importorskip("optax")
pytest.importorskip("matplotlib")

from krodan_rl.nn import checkpoint  # noqa: E402 (after the skips)
from krodan_rl.selfplay import run_folder  # noqa: E402
from krodan_rl.train import PRESETS, train  # noqa: E402
from krodan_rl.train.config import TrainConfig  # noqa: E402
from krodan_rl.train.schedules import Schedule  # noqa: E402

# Evaluated at iteration 0 only, and a shorter warm start: neither is what these tests look at.
OPTIONS = {"evaluate_every": 1000, "warm_start_steps": 10}
RECIPE = PRESETS["tiny-2"].with_options(**OPTIONS)
RUN = """
import json, sys
from krodan_rl.train import TrainConfig, train
train(TrainConfig.from_dict(json.loads({stored!r})), sys.argv[1], log=lambda line: None)
"""
# The recipes a kill must not change: tiny-2's, and tiny-2's with capped Gumbel searches.
RECIPES = {"puct": "recipe_training", "gumbel-capped": "capped_training"}


def records(out: Path) -> dict[int, dict]:
    lines = (out / "metrics.jsonl").read_text().splitlines()
    return {r["iteration"]: r for r in map(json.loads, lines)}


def same_parameters(mine: Path, theirs: Path) -> bool:
    a, b = checkpoint.load(mine), checkpoint.load(theirs)
    return a.step == b.step and all(np.array_equal(a.params[k], v) for k, v in b.params.items())


@pytest.fixture(scope="module")
def recipe_training(tmp_path_factory):
    out = tmp_path_factory.mktemp("recipe") / "az"
    train(RECIPE, out, log=lambda line: None)
    return out


def test_the_schedules_are_the_ones_learner_and_self_play_used(recipe_training):
    from krodan_rl.train.folder import Training
    from krodan_rl.train.learner import Learner
    from krodan_rl.train.learning import batches
    from krodan_rl.train.window import window

    out, found = recipe_training, records(recipe_training)
    assert [found[k]["learning_rate"] for k in (0, 1, 2)] == [1e-3, 1e-3, 3e-4]
    assert [found[k]["simulations"] for k in (1, 2)] == [4, 6]
    assert [found[k]["temperature_plies"] for k in (1, 2)] == [8, 4]
    assert [found[k]["warm_start_share"] for k in (1, 2)] == [0.5, 0.0]
    assert all(np.isfinite(found[k]["heldout_value_loss"]) for k in (0, 1, 2))
    for k, simulations in ((1, 4), (2, 6)):  # the players self-play recorded
        players = run_folder.recorded_run(out / "selfplay" / f"iter-{k:06d}")["players"]
        assert players == [f"guided:checkpoints/iter-{k - 1:06d}.npz:{simulations}"] * 4
    # Iteration 2's learning redone by hand at its scheduled rate gives its checkpoint; at the
    # first rate, another.
    start = checkpoint.load(out / "checkpoints" / "iter-000001.npz")
    learned, _ = window(Training(out), RECIPE, RECIPE.at(2), 2)
    params = {}
    for rate in (3e-4, 1e-3):
        learner = Learner(RECIPE.network, rate, RECIPE.weight_decay, RECIPE.seed, start,
                          RECIPE.weight_decay_mode)  # fmt: skip
        learner.train(batches(learned, RECIPE, RECIPE.seed + 2), RECIPE.steps)
        params[rate] = learner.checkpoint({}).params
    theirs = checkpoint.load(out / "checkpoints" / "iter-000002.npz").params
    assert all(np.array_equal(params[3e-4][k], v) for k, v in theirs.items())
    assert not all(np.array_equal(params[1e-3][k], v) for k, v in theirs.items())


@pytest.mark.parametrize("recipe", list(RECIPES))
def test_a_run_killed_in_its_second_self_play_resumes_to_the_same_end(tmp_path, recipe, request):
    reference = request.getfixturevalue(RECIPES[recipe])
    config = RECIPE if recipe == "puct" else capped_recipe()
    out = tmp_path / "killed"
    second = out / "selfplay" / "iter-000002"
    script = RUN.format(stored=json.dumps(config.to_dict()))
    killed_when(out, lambda: 1 <= markers(second) < 4, script)
    assert 1 <= markers(second) < 4
    train(config, out, log=lambda line: None)
    for k in (0, 1, 2):
        name = f"checkpoints/iter-{k:06d}.npz"
        assert same_parameters(out / name, reference / name), name
    assert dataset_rows(second) == dataset_rows(reference / "selfplay" / "iter-000002")
    mine, theirs = records(out), records(reference)
    settled = ("learning_rate", "simulations", "cheap_simulations", "full_search_share_played",
               "window", "heldout_loss", "loss")  # fmt: skip
    assert [[mine[k].get(s) for s in settled] for k in (1, 2)] == [
        [theirs[k].get(s) for s in settled] for k in (1, 2)
    ]


def test_iterations_extend_a_finished_run_as_another_folder_carrying_its_window_would(
    tmp_path, recipe_training, capsys
):
    from krodan_rl.__main__ import main

    extended = tmp_path / "extended"
    shutil.copytree(recipe_training, extended)
    # In this process, whose learner step is compiled already.
    command = ["train", "--preset", "tiny-2", "--out", str(extended)]
    # The copy's configuration differs from the preset's: stored as the preset's.
    PRESETS["tiny-2"].write(extended / "config.json")
    assert main([*command, "--iterations", "3"]) == 0, capsys.readouterr().err
    assert TrainConfig.read(extended / "config.json").iterations == 3
    capsys.readouterr()
    assert main([*command, "--iterations", "2"]) == 1
    assert "another configuration (iterations)" in capsys.readouterr().err

    # Another sitting, elsewhere, from checkpoint 2: it reads the first folder's runs.
    later = tmp_path / "later"
    source = recipe_training / "checkpoints" / "iter-000002.npz"
    three = PRESETS["tiny-2"].with_options(iterations=3)
    train(three, later, log=lambda line: None, start_from=source)
    assert not (later / "selfplay" / "iter-000001").exists()
    assert records(later)[3]["window_runs"] == 4 and "window_rebuilt" not in records(later)[3]
    name = "checkpoints/iter-000003.npz"
    assert same_parameters(later / name, extended / name)

    # From a checkpoint kept apart from its runs: the window is rebuilt, and said to be.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy(source, alone / "kept.npz")
    train(RECIPE.with_options(iterations=3), tmp_path / "rebuilt", log=lambda line: None,
          start_from=alone / "kept.npz")  # fmt: skip
    assert records(tmp_path / "rebuilt")[3]["window_rebuilt"] is True


@pytest.mark.parametrize("start", [0, 1])
def test_a_sitting_elsewhere_goes_on_from_a_kept_snapshot_as_its_folder_did(
    recipe_training, tmp_path, start
):
    """A checkpoint kept apart from its folder with its window's runs, on a machine without the
    warm start's games (which the sitting plays again), learns the same next checkpoints."""
    from krodan_rl.train.folder import Training
    from krodan_rl.train.window import keep_window

    source, kept = Training(recipe_training), tmp_path / "kept"
    kept.mkdir()
    shutil.copy(source.checkpoint(start), kept / "latest.npz")
    shutil.copy(source.metrics, kept / "metrics.jsonl")
    (kept / "selfplay" / "iter-000009").mkdir(parents=True)  # an older sitting's: removed
    assert keep_window(source, RECIPE, start, kept) == list(range(1, start + 1))
    assert sorted(p.name for p in (kept / "selfplay").iterdir()) == [
        f"iter-{k:06d}" for k in range(1, start + 1)
    ]
    out = tmp_path / "elsewhere"
    train(RECIPE, out, log=lambda line: None, start_from=kept / "latest.npz")
    assert same_parameters(out / "checkpoints" / "iter-000002.npz", source.checkpoint(2))
    assert (out / "selfplay" / "warm").is_dir() == (start == 0)  # played again where read
    assert not any("window_rebuilt" in record for record in records(out).values())


def test_learner_steps_follow_a_filling_window(tmp_path):
    """Steps in proportion to the window's fill, the warm start's share counted full: read
    back from the checkpoints' step counts and the metrics."""
    config = RECIPE.with_options(steps=10, window=32, steps_follow_window=True)
    train(config, tmp_path, log=lambda line: None)
    # 8 games a run of a window of 32: 0.5 + 0.5 * 8/32 of 10 steps, then (share 0) 16/32.
    steps = [checkpoint.load(tmp_path / f"checkpoints/iter-{k:06d}.npz").step for k in (0, 1, 2)]
    assert [steps[1] - steps[0], steps[2] - steps[1]] == [6, 5]
    assert [records(tmp_path)[k]["learner_steps"] for k in (1, 2)] == [6, 5]
    with pytest.raises(ValueError, match="needs a warm_start_share"):
        config.with_options(warm_start_share=None)


@pytest.mark.parametrize(
    ("stored", "why"),
    [
        ({"steps": []}, "at least one"),
        ({"steps": [[0, 1e-3], [0, 1e-4]]}, "strictly increasing"),
        ({"linear": [[0, -1.0]]}, "learning_rate"),
        ({"sawtooth": [[0, 1e-3]]}, "a schedule is"),
    ],
)
def test_a_stored_schedule_that_is_not_one_is_refused_naming_it(tmp_path, stored, why):
    values = {**RECIPE.to_dict(), "learning_rate": stored}
    (tmp_path / "config.json").write_text(json.dumps(values))
    with pytest.raises(ValueError, match=why):
        TrainConfig.read(tmp_path / "config.json")


def test_schedules_step_and_interpolate_between_their_points():
    steps = Schedule("steps", ((2, 1.0), (5, 3.0)))
    line = Schedule("linear", ((2, 1.0), (5, 4.0)))
    assert [steps.at(k) for k in range(7)] == [1.0, 1.0, 1.0, 1.0, 1.0, 3.0, 3.0]
    assert [line.at(k) for k in range(7)] == [1.0, 1.0, 1.0, 2.0, 3.0, 4.0, 4.0]
    assert TrainConfig.from_dict(RECIPE.to_dict()) == RECIPE


def test_a_configuration_stored_by_an_earlier_version_reads_as_the_same_training():
    # The shipped baseline's, written before the root rule and capped playouts were settings.
    stored = Path(__file__).parents[2] / "benchmarks" / "baseline" / "config.json"
    assert "full_search_share" not in json.loads(stored.read_text())
    assert TrainConfig.read(stored) == PRESETS["baseline"]
