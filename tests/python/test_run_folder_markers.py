"""A run folder (one with commit markers or a manifest) must hold every shard its manifest
records, each with its marker and both files, whether it is given whole, by its turns folder or
by one shard file: anything short is refused naming the shard and the rerun that repairs it, and
that rerun does; plain folders of shards and lone shard files load as they always did."""

import os
import shutil
import threading
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")

from krodan_rl import data, selfplay

GAMES, PER_SHARD = 9, 3  # shards 0-2


def run(out):
    return selfplay.generate(GAMES, ["random"] * 4, out, games_per_shard=PER_SHARD, workers=1)


def rows(path) -> int:
    return sum(len(batch["action"]) for batch in data.load(path, 64))


@pytest.fixture(scope="module")
def committed(tmp_path_factory):
    out = tmp_path_factory.mktemp("committed") / "run"
    run(out)
    return out, rows(out)


# What is taken away from shard 1, and what the refusal says a rerun does about it.
LOSSES = {
    "turns file": ("turns/shard-000001.parquet", "to replay shard 1"),
    "games file": ("games/shard-000001.parquet", "to replay shard 1"),
    "commit marker": ("_done/000001.json", "to check and commit shard 1"),
}
GIVEN = {"run folder": ".", "its turns folder": "turns", "the shard": "turns/shard-000001.parquet"}
# A shard given by a file that is gone is not there to load.
CASES = [
    (lost, given)
    for lost in LOSSES
    for given in GIVEN
    if (lost, given) != ("turns file", "the shard")
]


@pytest.mark.parametrize(("lost", "given"), CASES)
def test_a_shard_short_of_a_file_or_marker_is_refused_until_rerun(committed, tmp_path, lost, given):
    reference, count = committed
    out = tmp_path / "run"
    shutil.copytree(reference, out)
    name, repair = LOSSES[lost]
    (out / name).unlink()
    # Nothing in the manifest either: the rerun must find the shard from the folder alone.
    (out / "_manifest.json").unlink()
    path = out / GIVEN[given]
    expected = count if given != "the shard" else rows(reference / GIVEN[given])
    with pytest.raises(ValueError) as refused:
        data.load(path)
    message = str(refused.value)
    assert "shard 1 " in message and str(out / name) in message, message
    assert "run the same selfplay command again" in message and repair in message, message
    run(out)  # as the message says
    assert rows(path) == expected


# A shard taken away whole (its marker and both files), and what else goes with it.
WHOLE = {"in the middle": 1, "at the end": 2}
ALSO_GONE = {
    "nothing": lambda out: None,
    "the manifest": lambda out: (out / "_manifest.json").unlink(),
    "every marker": lambda out: shutil.rmtree(out / "_done"),
}


@pytest.mark.parametrize("also", list(ALSO_GONE))
@pytest.mark.parametrize("where", list(WHOLE))
def test_a_shard_gone_whole_is_refused_until_rerun(committed, tmp_path, where, also):
    reference, count = committed
    out = tmp_path / "run"
    shutil.copytree(reference, out)
    shard = WHOLE[where]
    turns = out / "turns" / f"shard-{shard:06d}.parquet"
    for path in (out / "_done" / f"{shard:06d}.json", turns, out / "games" / turns.name):
        path.unlink()
    ALSO_GONE[also](out)
    # The markers do not record how many shards the run holds: without the manifest, only a
    # gap in their numbers shows, and a folder without one is refused for want of it.
    without_size = (where, also) == ("at the end", "the manifest")
    named = out / "_manifest.json" if without_size else turns
    with pytest.raises(ValueError) as refused:
        data.load(out)
    message = str(refused.value)
    assert str(named) in message and "run the same selfplay command again" in message, message
    run(out)
    assert rows(out) == count


MANIFESTS = {
    "torn": (lambda text: text[:20], "an unreadable run manifest"),
    "without its run's size": (lambda text: text.replace('"num_games"', '"games"'), "no num_games"),
    "of a run of fewer games": (lambda text: text.replace('"num_games": 9', '"num_games": 6'), "shard 2 lies beyond the 2 shards"),
}  # fmt: skip


@pytest.mark.parametrize("fault", list(MANIFESTS))
def test_a_manifest_that_misstates_the_run_is_refused(committed, tmp_path, fault):
    reference, _ = committed
    out = tmp_path / "run"
    shutil.copytree(reference, out)
    damage, message = MANIFESTS[fault]
    manifest = out / "_manifest.json"
    manifest.write_text(damage(manifest.read_text()))
    with pytest.raises(ValueError, match=message):
        data.load(out / "turns")


@pytest.mark.parametrize("record", ["_manifest.json", "_done/000001.json"])
def test_a_fifo_in_place_of_a_record_is_refused_without_blocking(committed, tmp_path, record):
    reference, _ = committed
    out = tmp_path / "run"
    shutil.copytree(reference, out)
    (out / record).unlink()
    os.mkfifo(out / record)
    refused = []
    reader = threading.Thread(target=lambda: refused.append(refusal(out)), daemon=True)
    reader.start()
    reader.join(timeout=30)
    if reader.is_alive():  # blocked in open: release it with a writer before failing
        os.close(os.open(out / record, os.O_WRONLY | os.O_NONBLOCK))
        pytest.fail(f"reading a FIFO at {record} blocked")
    assert "not a regular file" in refused[0]


def refusal(path) -> str:
    try:
        rows(path)
    except ValueError as error:
        return str(error)
    return "loaded"


def test_plain_folders_and_lone_shard_files_load_as_they_did(committed, tmp_path):
    reference, count = committed
    plain = tmp_path / "plain"
    shutil.copytree(reference, plain)
    shutil.rmtree(plain / "_done")  # a folder of shards, not a run folder
    (plain / "_manifest.json").unlink()
    lone = Path(plain / "turns" / "shard-000000.parquet")
    alone = rows(lone)
    (plain / "turns" / "shard-000002.parquet").unlink()
    assert 0 < alone < rows(plain) < count
