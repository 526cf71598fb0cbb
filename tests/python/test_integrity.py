"""Nothing silently wrong on load: crafted shards that pass for ours (outcomes out of range or
not from their scores, illegal actions, unsound policies, reordered rows, shifted ids, a huge
footer) and files that differ from their marker are refused naming the file; single bits flipped
anywhere in a whole run either leave every batch as it was or raise ValueError."""

import json
import shutil

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from krodan_rl import data, selfplay  # noqa: E402 (after the skip without pyarrow)
from krodan_rl._internal.files import sha256_of  # noqa: E402

PLAYERS = ["mcts:4", "greedy", "random", "greedy"]
TURNS = "turns/shard-000001.parquet"
GAMES = "games/shard-000001.parquet"


@pytest.fixture(scope="module")
def clean(tmp_path_factory):
    out = tmp_path_factory.mktemp("clean")
    selfplay.generate(4, PLAYERS, out, games_per_shard=2, seed=3, workers=1)
    return out


def batches(path, **options):
    return [{k: v.copy() for k, v in b.items()} for b in data.load(path, batch_size=64, **options)]


def same(a, b):
    return len(a) == len(b) and all(
        x.keys() == y.keys() and all(np.array_equal(x[k], y[k]) for k in x)
        for x, y in zip(a, b, strict=True)
    )


def rewrite(path, change):
    """The table at ``path`` changed by ``change(columns)`` (a dict of Python lists), written
    back as our writer would, format metadata and all."""
    table = pq.read_table(path)
    columns = table.to_pydict()
    change(columns)
    pq.write_table(pa.Table.from_pydict(columns, schema=table.schema), path)


def set_row(column, row, value):
    def change(columns):
        columns[column][row] = value

    return change


def swap_rows(a, b):
    def change(columns):
        for values in columns.values():
            values[a], values[b] = values[b], values[a]

    return change


def shift_ids(columns):
    columns["game_id"] = [g + 100 for g in columns["game_id"]]


def illegal_policy(columns):
    row = columns["has_policy"].index(True)
    columns["policy_actions"][row][0] = 36399  # a corner anchor no piece can use at this ply


def repeated_policy(columns):
    row = columns["has_policy"].index(True)
    actions, probs = columns["policy_actions"][row], columns["policy_probs"][row]
    actions[1], probs[0], probs[1] = actions[0], 0.5, 0.5
    for k in range(2, len(probs)):
        probs[k] = 0.0


def illegal_action(columns):
    row = columns["has_policy"].index(False)
    columns["action"][row], columns["policy_actions"][row] = 36399, [36399]


def policy_without_its_action(columns):
    row = columns["has_policy"].index(True)
    actions, probs = columns["policy_actions"][row], columns["policy_probs"][row]
    at = actions.index(columns["action"][row])
    del actions[at], probs[at]
    total = sum(probs)
    columns["policy_probs"][row] = [p / total for p in probs]


def emptied_search_policy(columns):
    row = columns["has_policy"].index(True)
    columns["policy_actions"][row], columns["policy_probs"][row] = [], []


def huge_metadata(path):
    table = pq.read_table(path)
    metadata = {**table.schema.metadata, b"padding": b"x" * (50 << 20)}
    pq.write_table(table.replace_schema_metadata(metadata), path)


FAULTS = {
    # name: (file, damage, message)
    "an outcome that is NaN": (GAMES, lambda p: rewrite(p, set_row("outcome_rank", 0, [float("nan")] * 4)), "outcome_rank holds a value outside"),
    "a win share of 7": (GAMES, lambda p: rewrite(p, set_row("outcome_win_share", 0, [7.0, 0, 0, 0])), r"outside \[0, 1\]"),
    "a score outcome of -3 beside other scores": (GAMES, lambda p: rewrite(p, set_row("outcome_score", 1, [-3.0] * 4)), "does not follow from final_scores"),
    "other final scores": (GAMES, lambda p: rewrite(p, set_row("final_scores", 0, [0, 0, 0, 0])), "does not follow from final_scores"),
    "an illegal action": (TURNS, lambda p: rewrite(p, illegal_action), "not a position whose mover plays its action"),
    "a policy over an illegal action": (TURNS, lambda p: rewrite(p, illegal_policy), "not legal in its position"),
    "a policy listing an action twice": (TURNS, lambda p: rewrite(p, repeated_policy), "listed twice"),
    "a policy without the action played": (TURNS, lambda p: rewrite(p, policy_without_its_action), "not in its policy"),
    "a search's policy emptied": (TURNS, lambda p: rewrite(p, emptied_search_policy), "an empty policy"),
    "two rows of a game swapped": (TURNS, lambda p: rewrite(p, swap_rows(3, 4)), "plies must run 0, 1, 2"),
    "game ids shifted in both files": (None, lambda out: (rewrite(out / TURNS, shift_ids), rewrite(out / GAMES, shift_ids)), "shard 1 of its run holds games 2-3"),
    "50 MB of extra metadata": (TURNS, huge_metadata, "a footer of"),
}  # fmt: skip


@pytest.mark.parametrize("fault", list(FAULTS))
def test_crafted_shards_are_refused_naming_the_file(clean, tmp_path, fault):
    out = tmp_path / "run"
    shutil.copytree(clean, out)
    target, damage, message = FAULTS[fault]
    damage(out if target is None else out / target)
    for name in (TURNS, GAMES):  # the markers follow, as a forger's would
        marker = out / "_done" / "000001.json"
        record = json.loads(marker.read_text())
        record["files"][name.split("/")[0]] = {
            "bytes": (out / name).stat().st_size,
            "sha256": sha256_of(out / name),
        }
        marker.write_text(json.dumps(record))
    with pytest.raises(ValueError, match=message) as refused:
        batches(out)
    assert "shard-000001.parquet" in str(refused.value)


@pytest.mark.parametrize("verify", [True, False])
def test_a_file_unlike_its_marker_is_refused(clean, tmp_path, verify):
    out = tmp_path / "run"
    shutil.copytree(clean, out)
    original = (out / TURNS).read_bytes()
    raw = bytearray(original)
    raw[100] ^= 0x10  # same size: only the checksum can tell
    (out / TURNS).write_bytes(bytes(raw))
    if verify:
        with pytest.raises(ValueError, match="sha256 is not the one its marker records"):
            batches(out)
    (out / TURNS).write_bytes(original)
    (out / GAMES).write_bytes((out / GAMES).read_bytes() + b"\0")
    with pytest.raises(ValueError, match="bytes, its marker records"):
        batches(out, verify=verify)


def test_single_bit_flips_never_change_what_loads(clean, tmp_path):
    """Every flip of one bit in the turns and games shards of a run: the load, with and without
    the sha256 of the markers, equals the clean one or raises ValueError."""
    reference = batches(clean)
    rng = np.random.default_rng(7)
    out = tmp_path / "run"
    shutil.copytree(clean, out)
    outcomes = {"equal": 0, "refused": 0}
    for name in ("turns/shard-000000.parquet", TURNS, "games/shard-000000.parquet", GAMES):
        path = out / name
        original = path.read_bytes()
        for _ in range(40):
            raw = bytearray(original)
            at = int(rng.integers(len(raw)))
            raw[at] ^= 1 << int(rng.integers(8))
            path.write_bytes(bytes(raw))
            for verify in (True, False):
                try:
                    loaded = batches(out, verify=verify)
                except ValueError:
                    outcomes["refused"] += 1
                    continue
                assert same(loaded, reference), f"{name}: byte {at} changed what loads"
                outcomes["equal"] += 1
        path.write_bytes(original)
    assert outcomes["refused"] >= 160  # with verify, every flip; without, most


def test_shards_written_without_page_checksums_still_load(clean, tmp_path):
    out = tmp_path / "run"
    shutil.copytree(clean, out)
    for name in (TURNS, GAMES):
        pq.write_table(pq.read_table(out / name), out / name)  # as writers before checksums
    marker = out / "_done" / "000001.json"
    record = json.loads(marker.read_text())
    for kind, name in (("turns", TURNS), ("games", GAMES)):
        record["files"][kind] = {"bytes": (out / name).stat().st_size,
                                 "sha256": sha256_of(out / name)}  # fmt: skip
    marker.write_text(json.dumps(record))
    assert pq.ParquetFile(out / TURNS).metadata.num_rows > 0
    assert same(batches(out), batches(clean))
