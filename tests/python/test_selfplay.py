"""Self-play shards replayed through single games: every placement, pass and final score; the
reader's batches against `observe`; the same data whatever the workers and chunking; refusals
of bad runs and bad files; the subcommand."""

import shutil
import subprocess
import sys
from pathlib import Path
from typing import ClassVar

import numpy as np
import pytest
from arena_players import LowestAction

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from krodan_rl import data, players, selfplay  # noqa: E402 (after the skip without pyarrow)
from krodan_rl._krodan import PyKrodan  # noqa: E402
from krodan_rl.agents import MCTSAgent  # noqa: E402
from krodan_rl.selfplay import cli  # noqa: E402

SEED = 7
GAMES, PER_SHARD = 9, 4  # shards of 4, 4 and 1 games


def legal_actions(game: PyKrodan) -> np.ndarray:
    mask = game.observe(game.agent_selection).action_mask
    return np.flatnonzero(np.frombuffer(mask, dtype=np.bool_)).astype(np.int32)


class UniformSearch:
    """A stand-in for a guided search: plays the legal action its seed picks, with the uniform
    distribution over the legal actions as its policy. Logs each call's (games given, movers of
    the games asked) in the class, which copies share."""

    name = "uniform-search"
    calls: ClassVar[list[tuple[int, list[int]]]] = []

    def search_moves(self, games, seeds):
        UniformSearch.calls.append(
            (len(games), [g.agent_selection for g in games if g is not None])
        )
        found = []
        for game, seed in zip(games, seeds, strict=True):
            if game is None:
                found.append(None)
                continue
            legal = legal_actions(game)
            probs = np.full(legal.size, 1 / legal.size, dtype=np.float32)
            found.append((int(legal[seed % legal.size]), legal, probs))
        return found


SEARCH = UniformSearch()
LINEUPS = {
    "built-in and shared search": ["mcts:8", "greedy", SEARCH, SEARCH],
    "own act and search": [LowestAction(), "random", SEARCH, "mcts:4:greedy"],
}


def generate(out, players, **options):
    options = {"games_per_shard": PER_SHARD, "seed": SEED, "workers": 1, **options}
    return selfplay.generate(options.pop("num_games", GAMES), players, out, **options)


@pytest.fixture(scope="module", params=list(LINEUPS))
def dataset(request, tmp_path_factory):
    out = tmp_path_factory.mktemp("selfplay")
    UniformSearch.calls.clear()
    summary = generate(out, LINEUPS[request.param], games_at_once=3)
    return out, LINEUPS[request.param], summary, list(UniformSearch.calls)


def read(out, kind):
    """A dataset's turns or games rows, all shards, as Python lists by column."""
    tables = [pq.read_table(p) for p in sorted((Path(out) / kind).glob("shard-*.parquet"))]
    return pa.concat_tables(tables).to_pydict()


def games_by_id(out):
    games = read(out, "games")
    return {g: {k: v[i] for k, v in games.items()} for i, g in enumerate(games["game_id"])}


def pass_done_movers(game: PyKrodan) -> None:
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)


def test_every_turn_replays_to_the_next_and_the_last_to_the_final_scores(dataset):
    out, lineup, summary, _ = dataset
    turns, games = read(out, "turns"), games_by_id(out)
    assert sorted(games) == list(range(GAMES))
    assert (summary.games, summary.shards, summary.turns) == (GAMES, 3, len(turns["game_id"]))
    for s, path in enumerate(sorted((out / "turns").glob("*.parquet"))):
        ids = set(pq.read_table(path).column("game_id").to_pylist())
        assert ids == set(range(s * PER_SHARD, min((s + 1) * PER_SHARD, GAMES)))
        assert pq.read_schema(path).metadata[b"krodan_rl.format"] == b"1"
    searching = {k for k, p in enumerate(lineup) if not isinstance(p, (str, LowestAction))}
    searching |= {k for k, p in enumerate(lineup) if str(p).startswith("mcts")}
    rows = list(
        zip(*(turns[k] for k in ("game_id", "ply", "mover", "state", "action")), strict=True)
    )
    game = None
    for r, (game_id, ply, mover, state, action) in enumerate(rows):
        if game is None:
            game = PyKrodan()
            assert ply == 0
        assert state == game.to_bytes()  # the previous placement and the passes after it
        assert (game.ply, game.agent_selection) == (ply, mover)
        assert turns["has_policy"][r] == (mover in searching)
        if mover not in searching:
            assert (turns["policy_actions"][r], turns["policy_probs"][r]) == ([action], [1.0])
        game.step(action)
        pass_done_movers(game)
        if r + 1 == len(rows) or rows[r + 1][0] != game_id:
            record = games[game_id]
            assert game.is_over and record["turns"] == ply + 1 == game.ply
            assert record["final_scores"] == game.scores and record["seed"] == SEED
            for mode in PyKrodan.reward_modes:
                assert np.allclose(record[f"outcome_{mode}"], game.outcome(mode))
            assert record["players"] == [players.name(p) for p in lineup]
            game = None
    assert turns["game_id"] == sorted(turns["game_id"])


def test_players_are_seeded_per_shard_game_and_seat(dataset):
    """Built-in agents replayed from SeedSequence([seed, s, j, seat]) play the recorded moves;
    the search player's choices follow SeedSequence([seed, s, j, seat, ply])."""
    out, lineup, _, _ = dataset
    turns = read(out, "turns")
    agents = {}
    for game_id, ply, mover, state, action in zip(
        *(turns[k] for k in ("game_id", "ply", "mover", "state", "action")), strict=True
    ):
        s, j = divmod(game_id, PER_SHARD)
        game = PyKrodan.from_bytes(state)
        player = lineup[mover]
        if player is SEARCH:
            legal = legal_actions(game)
            assert action == legal[selfplay.move_seed(SEED, s, j, mover, ply) % legal.size]
        elif isinstance(player, str):
            key = (game_id, mover)
            if key not in agents:
                agents[key] = players.make(player, selfplay.player_seed(SEED, s, j, mover))
            agent = agents[key]
            played = agent.search(game).action if isinstance(agent, MCTSAgent) else agent.act(game)
            assert played == action
        else:
            assert action == legal_actions(game)[0]


def test_search_players_are_asked_once_a_round_for_every_game_waiting_on_them(dataset):
    """Each round, every game of a chunk advances to its next move by the search player, which
    is then asked once for all of them: its k-th call holds the k-th such move of every game
    that has one."""
    out, lineup, _, calls = dataset
    seats = {k for k, p in enumerate(lineup) if p is SEARCH}
    turns = read(out, "turns")
    expected = []
    for s in range(3):
        shard_end = min((s + 1) * PER_SHARD, GAMES)
        for first in range(s * PER_SHARD, shard_end, 3):  # the chunks of games_at_once=3
            ids = range(first, min(first + 3, shard_end))
            movers = {g: [] for g in ids}
            for game_id, mover in zip(turns["game_id"], turns["mover"], strict=True):
                if game_id in movers and mover in seats:
                    movers[game_id].append(mover)
            for k in range(max(len(m) for m in movers.values())):
                expected.append((len(ids), [m[k] for m in movers.values() if k < len(m)]))
    assert calls == expected


@pytest.mark.parametrize("reward_mode", PyKrodan.reward_modes)
def test_the_reader_rebuilds_the_movers_view_value_and_policy(dataset, reward_mode):
    out, _, _, _ = dataset
    turns, games = read(out, "turns"), games_by_id(out)
    sparse = data.load(out, batch_size=50, reward_mode=reward_mode)
    dense = data.load(out / "turns", batch_size=50, dense_policy=True, reward_mode=reward_mode)
    row = 0
    for batch, dense_batch in zip(sparse, dense, strict=True):
        offsets = batch["policy_offsets"]
        assert batch["observation"].dtype == np.uint8 and batch["value"].dtype == np.float32
        assert len(batch["action"]) == len(dense_batch["action"]) <= 50
        for i in range(len(batch["action"])):
            for key in ("game_id", "ply", "mover", "action", "has_policy"):
                assert batch[key][i] == turns[key][row] == dense_batch[key][i]
            mover = turns["mover"][row]
            view = PyKrodan.from_bytes(turns["state"][row]).observe(mover)
            planes = np.frombuffer(view.observation + view.corners + view.blocked, np.uint8)
            assert np.array_equal(batch["observation"][i].ravel(), planes)
            assert np.array_equal(batch["pieces"][i].ravel(), np.frombuffer(view.pieces, np.uint8))
            assert np.array_equal(batch["done"][i], np.frombuffer(view.done, np.uint8))
            outcome = games[turns["game_id"][row]][f"outcome_{reward_mode}"]
            assert batch["value"][i].tolist() == [outcome[(mover + k) % 4] for k in range(4)]
            actions = batch["policy_actions"][offsets[i] : offsets[i + 1]]
            probs = batch["policy_probs"][offsets[i] : offsets[i + 1]]
            assert actions.tolist() == turns["policy_actions"][row]
            scattered = np.zeros(PyKrodan.num_actions, dtype=np.float32)
            scattered[actions] = probs
            assert np.array_equal(dense_batch["policy"][i], scattered)
            assert abs(float(probs.sum()) - 1) < 1e-5
            row += 1
    assert row == len(turns["game_id"])


@pytest.mark.parametrize("lineup", list(LINEUPS))
def test_the_same_data_for_any_workers_and_games_at_once(tmp_path, lineup):
    runs = {
        "one": dict(workers=1, games_at_once=1),
        "two": dict(workers=2, games_at_once=5),
        "seed": dict(workers=1, games_at_once=2, seed=SEED + 1),
    }
    for name, options in runs.items():
        generate(tmp_path / name, LINEUPS[lineup], num_games=6, **options)
    for kind in ("turns", "games"):
        one, two, seed = (read(tmp_path / name, kind) for name in runs)
        assert one == two
        assert one != seed
        for path in (tmp_path / "one" / kind).iterdir():  # the files too, to the byte
            assert path.read_bytes() == (tmp_path / "two" / kind / path.name).read_bytes()


class Fails:
    """Plays the lowest legal action, then raises at its tenth move."""

    def __init__(self, failure):
        self.failure, self.moves = failure, 0

    def act(self, game):
        self.moves += 1
        if self.moves == 10:
            if self.failure == "illegal":
                return 0 if game.ply else 1
            raise RuntimeError("the player broke")
        return int(legal_actions(game)[0])


class BadSearch(UniformSearch):
    def __init__(self, fault):
        self.fault = fault

    def search_moves(self, games, seeds):
        found = super().search_moves(games, seeds)
        if self.fault == "short":
            return found[:-1]
        first = next(i for i, g in enumerate(games) if g is not None)
        action, actions, probs = found[first]
        if self.fault == "unnormalised":
            found[first] = (action, actions, probs * 2)
        elif self.fault == "negative":
            found[first] = (action, actions, np.where(np.arange(probs.size) == 0, -0.5, probs))
        elif self.fault == "illegal without a policy":
            found[first] = (-5, np.empty(0, np.int32), np.empty(0, np.float32))
        elif self.fault == "unasked" and None in games:
            found[games.index(None)] = found[first]
        return found


@pytest.mark.parametrize(
    ("player", "error", "message"),
    [
        (Fails("raise"), RuntimeError, "the player broke"),
        (Fails("illegal"), ValueError, "not a legal action"),
        (BadSearch("short"), ValueError, "one entry per game"),
        (BadSearch("unnormalised"), ValueError, "not summing to 1"),
        (BadSearch("negative"), ValueError, "negative or not finite"),
        (BadSearch("unasked"), ValueError, "a game not asked"),
        (BadSearch("illegal without a policy"), ValueError, "-5 is not a legal action"),
    ],
)
def test_a_failing_player_stops_the_run_and_leaves_no_shard(tmp_path, player, error, message):
    with pytest.raises(error, match=message):
        generate(tmp_path, ["random", player, "random", "random"], num_games=4, games_at_once=4)
    # No shard and no leftovers: only the run's manifest (and lock and token), so that a rerun
    # goes on.
    found = sorted(p.name for p in tmp_path.rglob("*") if p.is_file())
    assert found == ["_lock", "_manifest.json", "_run"]


class FakeGuidedPlayer(UniformSearch):
    made: ClassVar[list[tuple[object, int, float, float, int]]] = []

    def __init__(self, evaluator, simulations, seed, temperature=0.0, dirichlet_fraction=0.0):
        FakeGuidedPlayer.made.append(
            (evaluator, simulations, temperature, dirichlet_fraction, seed)
        )


def make_evaluator(seed):
    def evaluate(leaves):
        raise AssertionError("never called")

    evaluate.seed = seed
    return evaluate


def test_guided_specs_make_one_exploring_player_per_shard_shared_by_their_seats(
    tmp_path, monkeypatch
):
    monkeypatch.setattr(players, "GuidedPlayer", FakeGuidedPlayer)
    FakeGuidedPlayer.made.clear()
    spec = "guided:test_selfplay:make_evaluator:25"
    generate(tmp_path, [spec, "random", spec, "guided:test_selfplay:make_evaluator"])
    made = FakeGuidedPlayer.made
    assert [m[1:4] for m in made] == [(25, 1.0, 0.25), (800, 1.0, 0.25)] * 3
    assert all(m[0].seed == m[4] for m in made)
    turns = read(tmp_path, "turns")
    assert all(h == (m != 1) for h, m in zip(turns["has_policy"], turns["mover"], strict=True))
    assert games_by_id(tmp_path)[0]["players"][0] == spec


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        ({"players": ["random"] * 3}, ValueError, "exactly 4 players"),
        ({"players": ["random"] * 3 + ["mcts:x"]}, ValueError, "player spec 'mcts:x'"),
        (
            {"players": ["random"] * 3 + ["guided:no_such_module:make:0"]},
            ValueError,
            "simulations must be at least 1",
        ),
        ({"players": ["random"] * 3 + ["no_such_module:make"]}, ValueError, "no_such_module"),
        ({"players": ["random"] * 3 + [object()]}, TypeError, "act"),
        ({"num_games": 0}, ValueError, "num_games"),
        ({"games_per_shard": 0}, ValueError, "games_per_shard"),
        ({"games_at_once": 0}, ValueError, "games_at_once"),
        ({"seed": -1}, ValueError, "seed"),
        ({"workers": 0}, ValueError, "workers"),
        ({"out": "file"}, ValueError, "not a folder"),
    ],
)
def test_bad_runs_are_refused_before_any_game(tmp_path, change, error, message):
    (tmp_path / "file").write_text("")
    args = {"num_games": 2, "players": ["random"] * 4, "out": tmp_path / "out", **change}
    out = tmp_path / args.pop("out")
    with pytest.raises(error, match=message):
        selfplay.generate(args.pop("num_games"), args.pop("players"), out, **args)
    assert not (tmp_path / "out").exists()


def rewrite(path, metadata=None, table=None):
    table = pq.read_table(path) if table is None else table
    pq.write_table(table.replace_schema_metadata(metadata), path)


BAD_FILES = {
    "truncated": lambda t: t.write_bytes(t.read_bytes()[: t.stat().st_size // 2]),
    "not Parquet": lambda t: t.write_text("game_id,ply\n0,0\n"),
    "foreign Parquet": lambda t: pq.write_table(pa.table({"x": [1, 2]}), t),
    "version 2": lambda t: rewrite(t, {"krodan_rl.format": "2"}),
    "wrong column type": lambda t: rewrite(
        t,
        {"krodan_rl.format": "1"},
        pq.read_table(t).set_column(
            1, "ply", pa.array([0] * pq.read_metadata(t).num_rows, pa.int32())
        ),
    ),
    "no games shard": lambda t: (t.parent.parent / "games" / t.name).unlink(),
    "another shard's games": lambda t: shutil.copy(
        t.parent.parent / "games" / "shard-000002.parquet", t.parent.parent / "games" / t.name
    ),
}
MESSAGES = {
    "truncated": "not a readable Parquet file",
    "not Parquet": "not a readable Parquet file",
    "foreign Parquet": "no krodan_rl.format in its metadata",
    "version 2": "krodan_rl.format is '2'",
    "wrong column type": "ply: int32",
    "no games shard": "games shard .* is missing",
    "another shard's games": "rows, but its games shard records",
}


@pytest.mark.parametrize("fault", list(BAD_FILES))
@pytest.mark.parametrize("given", ["folder", "file"])
def test_the_reader_refuses_bad_files_naming_them(dataset, tmp_path, fault, given):
    out = tmp_path / "copy"
    shutil.copytree(dataset[0], out)
    shutil.rmtree(out / "_done")  # the files' own checks, not their markers'
    target = out / "turns" / "shard-000001.parquet"
    BAD_FILES[fault](target)
    with pytest.raises(ValueError, match=MESSAGES[fault]) as refused:
        for _ in data.load(out if given == "folder" else target):
            pass
    assert "shard-000001.parquet" in str(refused.value)


def test_shards_are_read_in_the_order_of_their_numbers(tmp_path):
    names = ["shard-1000000.parquet", "shard-000010.parquet", ".shard-000000.parquet.1.tmp",
             "shard-000002.parquet", "notes.txt", "shard-7.parquet"]  # fmt: skip
    for kind in ("turns", "games"):
        (tmp_path / kind).mkdir()
        for name in names:
            (tmp_path / kind / name).write_text("")
    expected = ["shard-000002.parquet", "shard-000010.parquet", "shard-1000000.parquet"]
    assert [p.name for p in data.shard_paths(tmp_path)] == expected
    assert [p.name for p in data.shard_paths(tmp_path / "turns")] == expected
    with pytest.raises(ValueError, match="holds more games than this run"):
        selfplay.generate(1, ["random"] * 4, tmp_path, games_per_shard=1)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ({"batch_size": 0}, ValueError, "batch_size"),
        ({"reward_mode": "points"}, ValueError, "reward mode"),
        ({"path": "missing"}, FileNotFoundError, "no such file"),
        ({"path": "empty"}, ValueError, "no turns shards"),
    ],
)
def test_the_reader_refuses_bad_arguments_at_once(tmp_path, args, error, message):
    (tmp_path / "empty").mkdir()
    path = tmp_path / args.pop("path", "empty")
    with pytest.raises(error, match=message):
        data.load(path, **args)


def test_the_subcommand_end_to_end(tmp_path):
    out = tmp_path / "run"
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "selfplay", "--games", "5", "--out", str(out),
         "--players", "greedy", "random", "mcts:4", "random", "--workers", "2",
         "--games-per-shard", "2", "--seed", "3"],
        capture_output=True, text=True, check=False, timeout=300,
        cwd=Path(__file__).parent,
    )  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("3 shard(s): 3 generated (0 redone), 0 reused")
    assert "; 5 games, " in child.stdout
    assert "games/s" in child.stdout and "placements/s" in child.stdout
    generate(tmp_path / "api", ["greedy", "random", "mcts:4", "random"], num_games=5,
             games_per_shard=2, seed=3)  # fmt: skip
    for kind in ("turns", "games"):
        assert read(out, kind) == read(tmp_path / "api", kind)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--out", "x", "--players", "random", "random", "random", "random"], "--games"),
        (["--games", "2", "--out", "x", "--players", "random", "random", "random"], "--players"),
        (["--games", "0", "--out", "x", "--players", *["random"] * 4], "--games"),
        (["--games", "2", "--out", "x", "--players", *["random"] * 3, "mcts:0"], "player spec"),
        (
            ["--games", "2", "--out", "x", "--workers", "0", "--players", *["random"] * 4],
            "--workers",
        ),
        (["--games", "2", "--out", "file", "--players", *["random"] * 4], "not a folder"),
    ],
)
def test_the_subcommand_refuses_bad_arguments(tmp_path, monkeypatch, capsys, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_text("")
    with pytest.raises(SystemExit) as stopped:
        cli.main(args)
    assert stopped.value.code == 2 and message in capsys.readouterr().err
    assert not (tmp_path / "x").exists()


def uniform_evaluator():
    """Uniform priors over the legal actions and even values: a network that knows nothing."""

    def evaluate(leaves):
        values = np.full((len(leaves["mover"]), 4), 0.25, dtype=np.float32)
        return np.ones(len(leaves["legal_actions"]), dtype=np.float32), values

    return evaluate


def test_the_guided_player_plays_alike_whatever_the_chunking(tmp_path):
    pytest.importorskip("krodan_rl.search")
    spec = "guided:test_selfplay:uniform_evaluator:6"
    players = [spec, "random", spec, "greedy"]
    for name, at_once, seed in [("one", 1, SEED), ("three", 3, SEED), ("seed", 3, SEED + 1)]:
        generate(tmp_path / name, players, num_games=3, games_per_shard=2, games_at_once=at_once,
                 seed=seed)  # fmt: skip
    turns = read(tmp_path / "one", "turns")
    assert turns == read(tmp_path / "three", "turns") != read(tmp_path / "seed", "turns")
    assert turns["has_policy"] == [m in (0, 2) for m in turns["mover"]]
    rows = sum(len(b["action"]) for b in data.load(tmp_path / "one"))  # checks every row
    assert rows == len(turns["game_id"])


def test_a_rerun_without_a_shard_size_takes_the_folders_and_a_new_run_takes_100(tmp_path):
    old = tmp_path / "old"
    generate(old, ["random"] * 4, num_games=7, games_per_shard=3)
    summary = selfplay.generate(10, ["random"] * 4, old, seed=SEED, workers=1)
    assert (summary.shards, summary.reused, summary.generated) == (4, 2, 2)  # 3 + 3 + 3 + 1
    assert [p.name for p in data.shard_paths(old)][-1] == "shard-000003.parquet"
    new = tmp_path / "new"
    selfplay.generate(3, ["random"] * 4, new, workers=1)
    manifest = (new / "_manifest.json").read_text()
    assert f'"games_per_shard": {selfplay.DEFAULT_GAMES_PER_SHARD}' in manifest


def test_progress_moves_game_by_game(tmp_path, capsys):
    generate(tmp_path, ["random"] * 4, num_games=6, games_per_shard=6, games_at_once=2,
             progress=True)  # fmt: skip
    shown = capsys.readouterr().err
    assert all(f" {n}/6 " in shown for n in (2, 4, 6))  # not only when the shard ends
