"""A training folder against what goes wrong around it: a path holding ':' and spaces trains and
evaluates as any other; a damaged metrics file, a broken config.json, files that are FIFOs, a
checkpoint to go on from (or the folder's own last one) that claims an impossible iteration,
games or time, or holds an optimizer state its optimizer could not have kept, a learning that
diverges, and the temporary files a kill leaves behind."""

import json
import math
import os
import re
import shutil
import threading

import numpy as np
import pytest

pytestmark = pytest.mark.jax
pytest.importorskip("jax")
pytest.importorskip("optax")
pytest.importorskip("matplotlib")

from krodan_rl.nn import checkpoint  # noqa: E402 (after the skips)
from krodan_rl.train import PRESETS, metrics, train  # noqa: E402
from krodan_rl.train.folder import Training  # noqa: E402
from krodan_rl.train.learner import Learner  # noqa: E402

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
    assert run["run"]["note"] == {
        "checkpoint": "checkpoints/iter-000001.npz",
        "checkpoint_iteration": 1,
    }
    assert Training(odd).source(2) == 1


def test_the_run_records_note_not_its_players_name_says_which_checkpoint_played(copy):
    """The note decides (a player may be named anything); a run written before notes is read
    by its players' name; a marker keeps the note too, should the manifest be lost."""
    run = copy / "selfplay" / "iter-000002"
    manifest = run / "_manifest.json"
    stored = json.loads(manifest.read_text())
    stored["run"]["note"]["checkpoint_iteration"] = 0
    manifest.write_text(json.dumps(stored))
    assert Training(copy).source(2) == 0
    del stored["run"]["note"]
    manifest.write_text(json.dumps(stored))
    assert Training(copy).source(2) == 1
    manifest.unlink()
    marker = json.loads(next((run / "_done").glob("*.json")).read_text())
    assert marker["run"]["note"]["checkpoint_iteration"] == 1


@pytest.mark.parametrize(
    "damage", [b'{"iteration": 3, "loss": \xff', b"[" * 100000], ids=["cut", "deep"]
)
def test_a_damaged_metrics_line_is_skipped_and_the_training_goes_on(copy, damage):
    path = copy / "metrics.jsonl"
    path.write_bytes(path.read_bytes() + damage)  # cut short and not UTF-8, or nested deeply
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
        ('{"full_search_share": 0}', "full_search_share must be above 0"),
        ('{"full_search_share": 1.5}', "full_search_share must be"),
        ('{"root_rule": "minimax"}', "root_rule"),
        ('{"gumbel_actions": 0}', "gumbel_actions must be"),
        pytest.param("[" * 100000, "it nests too deeply", id="deep"),
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


def carried_copy(odd, tmp_path, change, name="carried.npz"):
    """Checkpoint 2 of the odd training, changed by ``change(checkpoint)``, saved at
    ``tmp_path / name``."""
    carried = checkpoint.load(odd / "checkpoints" / "iter-000002.npz")
    change(carried)
    start = tmp_path / name
    start.parent.mkdir(exist_ok=True)
    checkpoint.save(start, carried)
    return start


def leaf(k, value):
    def change(carried):
        carried.opt_leaves[k] = np.asarray(value)

    return change


def meta(name, value):
    def change(carried):
        carried.meta[name] = value

    return change


def refused_to_go_on_from(odd, tmp_path, change, mode):
    """Trains from a changed checkpoint: carried into a new folder (``--from``), or as the
    last checkpoint of a copy of the odd training's folder (a resume); returns the checkpoint
    and a check that nothing was written."""
    if mode == "from":
        start, out = carried_copy(odd, tmp_path, change), tmp_path / "later"
        return start, lambda: train(TINY, out, log=quiet, start_from=start), out.exists
    out = tmp_path / "resumed"
    shutil.copytree(odd, out)
    # The last checkpoint is 1: iteration 2 is redone from it.
    (out / "checkpoints" / "iter-000002.npz").unlink()
    shutil.rmtree(out / "selfplay" / "iter-000002")
    start = carried_copy(odd, out / "checkpoints", change, "iter-000001.npz")
    wrote = (out / "selfplay" / "iter-000002").exists
    return start, lambda: train(TINY, out, log=quiet), wrote


P = pytest.param
BAD_LEAVES = [
    P(
        leaf(0, np.int64(-5)),
        "opt/0 holds -5; the optimizer's count is never negative",
        id="negative count",
    ),
    P(
        leaf(0, np.int64(2**40)),
        "opt/0 holds 1099511627776, beyond the int32 the optimizer keeps",
        id="count beyond int32",
    ),
    P(
        leaf(0, 66.0),
        "opt/0 has shape () and dtype float64; the optimizer keeps int32 ()",
        id="float count",
    ),
    P(
        leaf(3, [True]),
        "opt/3 has shape (1,) and dtype bool; the optimizer keeps float32 (8,)",
        id="bool moment",
    ),
    P(
        leaf(14, -np.ones(8)),
        "opt/14 holds -1.0; the optimizer's nu is never negative",
        id="negative nu",
    ),
    P(
        lambda c: c.opt_leaves.append(np.zeros(8)),
        "28 optimizer leaves; the optimizer keeps 27",
        id="a leaf more",
    ),
    P(lambda c: c.opt_leaves.pop(), "26 optimizer leaves; the optimizer keeps 27", id="one less"),
]
BAD_META = [
    P(meta("seconds", [1]), "its meta's seconds must be a number, not list", id="seconds list"),
    P(meta("seconds", math.nan), "its meta's seconds must be a finite number, not nan", id="nan"),
    P(meta("seconds", math.inf), "its meta's seconds must be a finite number, not inf", id="inf"),
    P(
        meta("seconds", 10**400),
        "its meta's seconds must be a finite number, not an integer of that size",
        id="seconds beyond floats",
    ),
    P(
        meta("seconds", -1.5),
        "its meta's seconds must be at least 0, not -1.5",
        id="negative seconds",
    ),
    P(meta("games", "x"), "its meta's games must be an integer, not str", id="games str"),
    P(meta("games", True), "its meta's games must be an integer, not bool", id="games bool"),
    P(meta("games", -8), "its meta's games must be at least 0, not -8", id="negative games"),
]


@pytest.mark.parametrize("mode", ["from", "resume"])
@pytest.mark.parametrize(("change", "why"), BAD_LEAVES + BAD_META)
def test_a_checkpoint_to_go_on_from_is_checked_before_anything_is_written(
    odd, tmp_path, mode, change, why
):
    start, run, wrote = refused_to_go_on_from(odd, tmp_path, change, mode)
    with pytest.raises(ValueError, match=f"^{re.escape(f'{start}: {why}')}"):
        run()
    assert not wrote()


@pytest.mark.parametrize(("change", "why"), BAD_LEAVES)
def test_a_learner_refuses_an_optimizer_state_its_optimizer_could_not_keep(odd, change, why):
    carried = checkpoint.load(odd / "checkpoints" / "iter-000002.npz")
    change(carried)
    with pytest.raises(ValueError, match=f"^{re.escape(why)}$"):
        Learner(TINY.network, TINY.learning_rate, TINY.weight_decay, 0, carried)


def test_a_learning_that_diverges_writes_no_checkpoint(odd, tmp_path):
    # Finite moments, and yet the first update sends weights beyond float32.
    start = carried_copy(odd, tmp_path, leaf(1, np.full(8, 3e38, np.float32)))
    out = tmp_path / "later"
    three = TINY.with_options(iterations=3)
    third = out / "checkpoints" / "iter-000003.npz"
    with pytest.raises(ValueError, match=f"^{re.escape(str(third))} not written: its learning "):
        train(three, out, log=quiet, start_from=start)
    assert not third.exists()
    assert [r["iteration"] for r in records(out)] == [2]  # its own evaluation, none of 3


def without_blocking(call):
    """What ``call()`` raised, in a thread that may not block for long."""
    raised = []

    def run():
        try:
            call()
        except BaseException as error:  # noqa: BLE001 (handed to the test)
            raised.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout=60)
    assert not thread.is_alive(), "blocked"
    return raised[0] if raised else None


@pytest.mark.parametrize(
    ("fifo", "unwritten"),
    [
        ("az/config.json", "az/checkpoints"),  # a new folder's
        ("odd/metrics.jsonl", None),  # a finished training's, resumed
        ("kept/metrics.jsonl", "az"),  # beside the checkpoint a training goes on from
    ],
)
def test_a_fifo_for_a_file_the_training_reads_is_refused_naming_it(odd, tmp_path, fifo, unwritten):
    out, start = tmp_path / "az", None
    if fifo.startswith("odd/"):
        out = tmp_path / "odd"
        shutil.copytree(odd, out)
    if fifo.startswith("kept/"):
        start = carried_copy(odd, tmp_path / "kept", lambda c: None)
    (tmp_path / fifo).parent.mkdir(exist_ok=True)
    (tmp_path / fifo).unlink(missing_ok=True)
    os.mkfifo(tmp_path / fifo)
    error = without_blocking(lambda: train(TINY, out, log=quiet, start_from=start))
    assert isinstance(error, ValueError), error
    assert str(error).startswith(f"{tmp_path / fifo}: not a"), error
    assert unwritten is None or not (tmp_path / unwritten).exists()


@pytest.mark.parametrize("value", [math.nan, math.inf])
def test_a_metrics_record_that_is_not_json_is_refused_leaving_the_file_whole(tmp_path, value):
    path = tmp_path / "metrics.jsonl"
    metrics.append(path, {"iteration": 0, "hours": 0.0})
    with pytest.raises(ValueError, match="not JSON compliant"):
        metrics.append(path, {"iteration": 1, "hours": value})
    assert [json.loads(line) for line in path.read_text().splitlines()] == [
        {"iteration": 0, "hours": 0.0}
    ]
