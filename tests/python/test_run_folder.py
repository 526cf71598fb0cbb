"""A self-play folder run again: what was committed is kept, what is missing, corrupt,
unmarked or left half-written is mended, more games extend the run, and a folder of another run
is refused without touching it. Every mended folder holds exactly the data of a run that was
never disturbed."""

import json
from pathlib import Path

import pytest
from conftest import dataset_rows

pytest.importorskip("pyarrow")

from krodan_rl import data, selfplay

PLAYERS = ["greedy", "random", "mcts:4", "random"]
GAMES, PER_SHARD = 7, 2  # shards 0-3, the last of one game


def run(out, num_games=GAMES, players=PLAYERS, **options):
    options = {"games_per_shard": PER_SHARD, "seed": 5, "workers": 1, **options}
    return selfplay.generate(num_games, players, out, **options)


def files(out):
    """Every file of the folder with its inode and modification time."""
    return {
        p.relative_to(out): (p.stat().st_ino, p.stat().st_mtime_ns)
        for p in Path(out).rglob("*")
        if p.is_file()
    }


def shard_file(out, kind, shard):
    return Path(out) / kind / data.shard_name(shard)


def marker(out, shard):
    return Path(out) / "_done" / f"{shard:06d}.json"


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = tmp_path_factory.mktemp("reference")
    run(out)
    return dataset_rows(out)


def test_a_rerun_keeps_every_committed_shard_untouched(tmp_path, reference):
    first = run(tmp_path)
    assert (first.generated, first.reused, first.games) == (4, 0, GAMES)
    before = files(tmp_path)
    again = run(tmp_path, workers=2)  # workers may change between runs
    assert (again.generated, again.reused, again.redone, again.games) == (0, 4, 0, 0)
    after = files(tmp_path)
    rewritten = ("_manifest.json", "_run")  # the manifest, and each run's token
    assert {k: v for k, v in after.items() if k.name not in rewritten} == {
        k: v for k, v in before.items() if k.name not in rewritten
    }
    manifest = json.loads((tmp_path / "_manifest.json").read_text())
    assert manifest["run"] == {"format": "1", "seed": 5, "players": PLAYERS,
                               "games_per_shard": PER_SHARD, "num_games": GAMES}  # fmt: skip
    assert [m["shard"] for m in manifest["shards"]] == [0, 1, 2, 3]
    assert sum(m["games"] for m in manifest["shards"]) == GAMES
    assert dataset_rows(tmp_path) == reference


def flip_a_byte(path):
    raw = bytearray(path.read_bytes())
    raw[len(raw) // 2] ^= 0xFF
    path.write_bytes(bytes(raw))


FAULTS = {
    # what is done to a finished folder: (shards redone, shards adopted)
    "truncated turns shard": (
        lambda out: shard_file(out, "turns", 1).write_bytes(
            shard_file(out, "turns", 1).read_bytes()[:100]
        ),
        [1],
        [],
    ),
    "a flipped byte in a games shard": (
        lambda out: flip_a_byte(shard_file(out, "games", 2)),
        [2],
        [],
    ),
    "a missing games shard": (lambda out: shard_file(out, "games", 3).unlink(), [3], []),
    "a missing marker the manifest still lists": (lambda out: marker(out, 1).unlink(), [], []),
    "a torn marker, no manifest": (
        lambda out: (
            marker(out, 2).write_text('{"shard": '),
            (Path(out) / "_manifest.json").unlink(),
        ),
        [],
        [2],
    ),
    "no manifest and a missing marker": (
        lambda out: (marker(out, 0).unlink(), (Path(out) / "_manifest.json").unlink()),
        [],
        [0],
    ),
    "leftovers of an interrupted attempt": (
        lambda out: [
            (Path(out) / kind / name).write_bytes(b"partial")
            for kind, name in [
                ("turns", ".shard-000001.parquet.123.abc.tmp"),
                ("games", ".shard-000001.parquet.123.abc.tmp"),
                ("_done", ".000001.json.123.abc.tmp"),
            ]
        ],
        [],
        [],
    ),
}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_a_rerun_mends_what_it_finds_and_nothing_else(tmp_path, reference, fault):
    run(tmp_path)
    damage, redone, adopted = FAULTS[fault]
    damage(tmp_path)
    before = files(tmp_path)
    summary = run(tmp_path)
    assert (summary.redone, summary.generated) == (len(redone), len(redone))
    assert (summary.adopted, summary.reused) == (len(adopted), 4 - len(redone))
    after = files(tmp_path)
    for shard in set(range(4)) - set(redone):  # untouched, adopted ones included
        for kind in ("turns", "games"):
            key = shard_file(tmp_path, kind, shard).relative_to(tmp_path)
            assert after[key] == before[key]
    assert all(marker(tmp_path, s).is_file() for s in range(4))
    assert not [p for p in after if p.name.startswith(".")]
    assert dataset_rows(tmp_path) == reference
    assert sum(len(b["action"]) for b in data.load(tmp_path)) == len(reference["turns"]["ply"])


def test_more_games_extend_a_run(tmp_path, reference):
    first = run(tmp_path, num_games=5)  # shards 0 and 1, and shard 2 of one game
    assert first.generated == 3
    summary = run(tmp_path)  # 7 games: shard 2 whole now, shard 3 new
    assert (summary.reused, summary.redone, summary.generated) == (2, 1, 2)
    assert summary.games == 3
    assert dataset_rows(tmp_path) == reference


CHANGES = {
    "seed": ({"seed": 6}, "seed"),
    "players": ({"players": ["random"] * 4}, "players"),
    "games per shard": ({"games_per_shard": 3}, "games_per_shard|more games"),
    # Shards of 2 games read as shards of 3: none beyond the run, but not its games.
    "games per shard, as many shards": (
        {"games_per_shard": 3, "num_games": 12},
        "games_per_shard",
    ),
    "fewer games": ({"num_games": 3}, "more games than this run's 3"),
}
LEFT = {
    "whole folder": lambda out: None,
    "markers, no manifest": lambda out: (Path(out) / "_manifest.json").unlink(),
    "shards only": lambda out: (
        (Path(out) / "_manifest.json").unlink(),
        [p.unlink() for p in (Path(out) / "_done").iterdir()],
    ),
}


@pytest.mark.parametrize("left", list(LEFT))
@pytest.mark.parametrize("change", list(CHANGES))
def test_a_folder_of_another_run_is_refused_untouched(tmp_path, change, left):
    run(tmp_path)
    LEFT[left](tmp_path)
    before = files(tmp_path)
    options, message = CHANGES[change]
    with pytest.raises(ValueError, match=message):
        run(tmp_path, **options)
    assert files(tmp_path) == before
