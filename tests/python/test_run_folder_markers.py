"""A run folder is read from its commit markers: a shard whose marker lacks one of its files, or
whose files lack their marker, is refused naming the shard and the rerun that repairs it, and
that rerun does; plain folders of shards and lone shard files load as they always did."""

import shutil
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


@pytest.mark.parametrize("lost", list(LOSSES))
@pytest.mark.parametrize("given", ["run folder", "its turns folder"])
def test_a_shard_short_of_a_file_or_marker_is_refused_until_rerun(committed, tmp_path, lost, given):
    reference, count = committed
    out = tmp_path / "run"
    shutil.copytree(reference, out)
    name, repair = LOSSES[lost]
    (out / name).unlink()
    # Nothing in the manifest either: the rerun must find the shard from the folder alone.
    (out / "_manifest.json").unlink()
    path = out if given == "run folder" else out / "turns"
    with pytest.raises(ValueError) as refused:
        data.load(path)
    message = str(refused.value)
    assert "shard 1 " in message and str(out / name) in message, message
    assert "run the same selfplay command again" in message and repair in message, message
    run(out)  # as the message says
    assert rows(path) == count


def test_plain_folders_and_lone_shard_files_load_as_they_did(committed, tmp_path):
    reference, count = committed
    plain = tmp_path / "plain"
    shutil.copytree(reference, plain)
    shutil.rmtree(plain / "_done")  # a folder of shards, not a run folder
    lone = Path(plain / "turns" / "shard-000000.parquet")
    alone = rows(lone)
    (plain / "turns" / "shard-000002.parquet").unlink()
    assert 0 < alone < rows(plain) < count
