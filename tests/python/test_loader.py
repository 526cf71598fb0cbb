"""The training loader over several runs against the Parquet rows themselves: every row once a
pass whatever the batching and shuffling, a split by game that never changes side when shards
are added, windows, and legal actions equal to the engine's for each stored state."""

from collections import Counter

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from krodan_rl import data, outcomes, selfplay  # noqa: E402 (after the skip without pyarrow)
from krodan_rl._krodan import PyKrodan  # noqa: E402

PLAYERS = ["mcts:4", "greedy", "random", "greedy"]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Two runs of 7 games in shards of 3, 3 and 1, with other seeds."""
    root = tmp_path_factory.mktemp("runs")
    for k in range(2):
        selfplay.generate(7, PLAYERS, root / f"run-{k}", games_per_shard=3, seed=k, workers=1)
    return [root / "run-0", root / "run-1"]


def stored_rows(run, shards=None):
    """The turns rows of a run (or of some of its shards), in order, as dicts."""
    paths = sorted((run / "turns").glob("shard-*.parquet"))
    paths = paths if shards is None else [paths[s] for s in shards]
    table = pa.concat_tables([pq.read_table(p) for p in paths]).to_pydict()
    return [dict(zip(table, values, strict=True)) for values in zip(*table.values(), strict=True)]


def row_key(game_id, ply, action, policy_actions):
    return (int(game_id), int(ply), int(action), tuple(int(a) for a in policy_actions))


def loaded_keys(batches):
    keys, sizes = Counter(), []
    for batch in batches:
        offsets = batch["policy_offsets"]
        sizes.append(len(batch["action"]))
        for i in range(len(batch["action"])):
            policy = batch["policy_actions"][offsets[i] : offsets[i + 1]]
            keys[row_key(batch["game_id"][i], batch["ply"][i], batch["action"][i], policy)] += 1
    return keys, sizes


@pytest.mark.parametrize("shuffle", [False, True])
@pytest.mark.parametrize(("batch_size", "drop_last"), [(50, False), (50, True), (1000, False)])
def test_every_row_comes_once_a_pass_in_batches_of_one_size(runs, shuffle, batch_size, drop_last):
    expected = Counter(
        row_key(r["game_id"], r["ply"], r["action"], r["policy_actions"])
        for run in runs
        for r in stored_rows(run)
    )
    total = sum(expected.values())
    batches = data.load(runs, batch_size, shuffle=shuffle, seed=3, shuffle_buffer=200,
                        drop_last=drop_last)  # fmt: skip
    keys, sizes = loaded_keys(batches)
    full, rest = divmod(total, batch_size)
    assert sizes == [batch_size] * full + ([rest] if rest and not drop_last else [])
    if drop_last:
        assert not keys - expected and sum(keys.values()) == full * batch_size
    else:
        assert keys == expected


def test_shuffling_follows_the_seed(runs):
    def order(**options):
        return [
            int(x) for b in data.load(runs, 64, **options) for x in b["game_id"] * 100 + b["ply"]
        ]

    in_order = order()
    assert order(shuffle=True, seed=1) == order(shuffle=True, seed=1) != in_order
    assert order(shuffle=True, seed=2) != order(shuffle=True, seed=1)
    assert sorted(order(shuffle=True, seed=1)) == sorted(in_order)


def test_the_split_by_game_is_disjoint_and_stays_when_shards_are_added(tmp_path):
    run = tmp_path / "run"
    selfplay.generate(9, PLAYERS, run, games_per_shard=3, seed=5, workers=1)

    def games(split):
        batches = data.load(run, 256, split=split, validation_fraction=0.4)
        return {int(g) for b in batches for g in b["game_id"]}

    train, validation = games("train"), games("validation")
    assert train and validation and not train & validation
    assert train | validation == set(range(9))
    selfplay.generate(15, PLAYERS, run, games_per_shard=3, seed=5, workers=1)
    assert games("validation") & set(range(9)) == validation
    assert games("train") & set(range(9)) == train


@pytest.mark.parametrize(
    ("window", "run", "shards"),
    [(("runs", 1), 1, None), (("shards", 2), 1, [1, 2]), (("shards", 4), None, None)],
)
def test_windows_keep_the_latest_runs_and_shards(runs, window, run, shards):
    loaded, _ = loaded_keys(data.load(runs, 100, window=window))
    if run is None:  # the last shard of run 0 and all of run 1
        sources = [stored_rows(runs[0], [2]), stored_rows(runs[1])]
    else:
        sources = [stored_rows(runs[run], shards)]
    rows = [r for source in sources for r in source]
    expected = Counter(
        row_key(r["game_id"], r["ply"], r["action"], r["policy_actions"]) for r in rows
    )
    assert loaded == expected


def test_a_window_of_games_cuts_into_a_shard(runs):
    ids = [int(g) for b in data.load(runs, 100, window=("games", 3)) for g in b["game_id"]]
    assert sorted(set(ids)) == [4, 5, 6]  # of run 1: games 4 and 5 of shard 1, game 6 of shard 2


def test_legal_actions_are_the_engines_for_each_stored_state(runs):
    rows = stored_rows(runs[0])
    csr = data.load(runs[0], 37, legal_actions=True)
    masks = data.load(runs[0], 37, legal_actions="mask")
    r = 0
    for batch, masked in zip(csr, masks, strict=True):
        offsets = batch["legal_offsets"]
        for i in range(len(batch["action"])):
            view = PyKrodan.from_bytes(rows[r]["state"]).observe(rows[r]["mover"])
            legal = np.flatnonzero(np.frombuffer(view.action_mask, dtype=np.bool_))
            assert batch["legal_actions"][offsets[i] : offsets[i + 1]].tolist() == legal.tolist()
            assert np.flatnonzero(masked["action_mask"][i]).tolist() == legal.tolist()
            assert batch["action"][i] in legal
            r += 1
    assert r == len(rows)


def test_values_on_the_searches_scale(runs):
    raw = data.load(runs[0], 64, reward_mode="score")
    scaled = data.load(runs[0], 64, reward_mode="score", normalise_values=True)
    for a, b in zip(raw, scaled, strict=True):
        assert np.array_equal(outcomes.normalise(a["value"], "score"), b["value"])
        assert (b["value"] >= 0).all() and (b["value"] <= 1).all()


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"split": "test"}, ValueError, "unknown split 'test'"),
        ({"window": ("days", 2)}, ValueError, "unknown window unit 'days'"),
        ({"window": ("runs", 0)}, ValueError, "window count must be at least 1"),
        ({"legal_actions": "dense"}, ValueError, "legal_actions must be"),
        ({"shuffle": 1}, TypeError, "shuffle must be a bool"),
        ({"validation_fraction": 1.5}, ValueError, "validation_fraction must be from 0 to 1"),
        ({"batch_size": 2.0}, TypeError, "batch_size must be an integer"),
    ],
)
def test_bad_options_are_refused_at_once(runs, options, error, message):
    with pytest.raises(error, match=message):
        data.load(runs, **options)
