"""A training folder against what goes wrong around it: a path holding ':' and spaces trains and
evaluates as any other; a damaged metrics file, a broken config.json, a checkpoint to go on from
that claims an impossible iteration, and the temporary files a kill leaves behind."""

import json
import re
import shutil

import pytest

pytestmark = pytest.mark.jax
pytest.importorskip("jax")
pytest.importorskip("optax")
pytest.importorskip("matplotlib")

from krodan_rl.nn import checkpoint  # noqa: E402 (after the skips)
from krodan_rl.train import PRESETS, metrics, train  # noqa: E402
from krodan_rl.train.folder import Training  # noqa: E402

TINY = PRESETS["tiny"]


def quiet(line: str) -> None:
    pass


def records(out) -> list[dict]:
    return [record for _, record in metrics.records(out / "metrics.jsonl")]


@pytest.fixture(scope="module")
def odd(tmp_path_factory):
    """A tiny training in a folder whose path holds a ':' and a space."""
    out = tmp_path_factory.mktemp("odd") / "a dir:x"
    assert train(TINY, out, log=quiet) == TINY.iterations
    return out


@pytest.fixture
def copy(odd, tmp_path):
    out = tmp_path / "b dir:y"
    shutil.copytree(odd, out)
    return out


def test_a_path_with_a_colon_and_a_space_trains_and_evaluates_as_any(odd, tiny_training):
    mine, plain = records(odd), records(tiny_training)
    assert [r["iteration"] for r in mine] == [0, 1, 2]
    # The same games as in a plain path: the same evaluation, to the last digit.
    assert [r.get("evaluation") for r in mine] == [r.get("evaluation") for r in plain]
    assert "guided beside earlier" in mine[2]["evaluation"]
    # The self-play runs name their checkpoint relative to the folder, and are read back.
    run = json.loads((odd / "selfplay" / "iter-000002" / "_manifest.json").read_text())
    assert run["run"]["players"] == ["guided:checkpoints/iter-000001.npz:4"] * 4
    assert Training(odd).source(2) == 1


def test_a_damaged_metrics_line_is_skipped_and_the_training_goes_on(copy):
    path = copy / "metrics.jsonl"
    path.write_bytes(path.read_bytes() + b'{"iteration": 3, "loss": \xff')  # cut, not UTF-8
    assert train(TINY, copy, log=quiet) == TINY.iterations
    metrics.append(path, {"iteration": 3, "games": 24, "hours": 0.0})
    assert [r["iteration"] for r in records(copy)] == [0, 1, 2, 3]


def test_a_rerun_removes_the_temporary_files_a_kill_left(copy):
    left = [
        copy / "checkpoints" / ".iter-000003.npz.4242.0123456789abcdef0123456789abcdef.tmp",
        copy / ".config.json.4242.0123456789abcdef0123456789abcdef.tmp",
        copy / ".curve.png.tmp.png",  # the curve's, as earlier versions named it
    ]
    kept = [copy / "checkpoints" / "notes.tmp", copy / "checkpoints" / ".keep"]
    for path in left + kept:
        path.write_bytes(b"half")
    assert train(TINY, copy, log=quiet) == TINY.iterations
    assert [p.name for p in left if p.exists()] == []
    assert all(p.read_bytes() == b"half" for p in kept)


@pytest.mark.parametrize("iteration", [-3, 10**12, True, "2"])
def test_a_checkpoint_claiming_an_impossible_iteration_is_refused_before_writing(
    odd, tmp_path, iteration
):
    carried = checkpoint.load(odd / "checkpoints" / "iter-000002.npz")
    carried.meta["iteration"] = iteration
    start = tmp_path / "carried.npz"
    checkpoint.save(start, carried)
    out = tmp_path / "later"
    expected = f"{re.escape(str(start))}: its meta's iteration .*{re.escape(repr(iteration))}"
    with pytest.raises(ValueError, match=expected):
        train(TINY, out, log=quiet, start_from=start)
    assert not out.exists()


@pytest.mark.parametrize(
    ("stored", "why"),
    [
        ("[]", "must be a JSON object, not list"),
        ("{", "Expecting property name"),
        ('{"iterations": "x"}', "iterations must be an integer, not str"),
        ('{"network": {"width": 8}, "learning_rate": null}', "learning_rate must be a number"),
    ],
)
def test_a_broken_config_is_refused_naming_it(tmp_path, stored, why):
    path = tmp_path / "az" / "config.json"
    path.parent.mkdir()
    path.write_text(stored)
    expected = f"{re.escape(str(path))}: not a training's configuration .*{re.escape(why)}"
    with pytest.raises(ValueError, match=expected):
        train(TINY, path.parent, log=quiet)
    assert path.read_text() == stored and not (path.parent / "checkpoints").exists()
