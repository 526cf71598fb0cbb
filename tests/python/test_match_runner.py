"""The match runner: the arena, self-play and the training's evaluation all play through it;
tables and datasets that depend on neither the number of workers nor the process; "one per
core" as this process's CPU affinity says; specs parsed once; the policy protocol of act
players; a self-play pool that ends at once when a shard fails."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from arena_players import LowestAction
from conftest import dataset_rows

pytest.importorskip("pyarrow")

from krodan_rl import arena, matches, models, players, selfplay
from krodan_rl.train import evaluation
from krodan_rl.train.folder import Training

HERE = Path(__file__).resolve().parent


class StatelessLowest(LowestAction):
    """The lowest legal action, declared stateless: one object may play every game."""

    name = "stateless-lowest"
    stateless = True


class LowestWithPolicy(LowestAction):
    """The lowest legal action, saying the policy behind it: uniform over the legal actions,
    or (``bad``) a policy that does not sum to 1."""

    name = "lowest-with-policy"

    def __init__(self, bad=False):
        self.bad = bad

    def act_with_policy(self, game):
        mask = np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.bool_)
        legal = np.flatnonzero(mask).astype(np.int32)
        probs = np.full(legal.size, 2.0 if self.bad else 1 / legal.size, dtype=np.float32)
        return int(legal[0]), legal, probs


def test_the_arena_self_play_and_the_evaluation_all_play_through_the_runner(tmp_path, monkeypatch):
    calls = []
    play = matches.play

    def counting(plan, games, *args, **kwargs):
        calls.append(type(plan).__name__)
        return play(plan, games, *args, **kwargs)

    monkeypatch.setattr(matches, "play", counting)
    arena.run(["arena_players:LowestAction", "greedy", "random", "random"], 4, workers=1,
              progress=False)  # fmt: skip
    selfplay.generate(2, ["random"] * 4, tmp_path / "run", games_per_shard=2, workers=1)
    monkeypatch.setattr(evaluation, "MATCHES", {"guided vs greedy": evaluation.MATCHES[
        "guided vs greedy"]})  # fmt: skip
    monkeypatch.setattr(
        evaluation, "_network", lambda training, iteration: models.load("baseline", "numpy")
    )
    found = evaluation.evaluate(Training(tmp_path / "training"), 0, 4, 2, seed=0)
    assert 0 <= found["guided vs greedy"]["win_share"] <= 1
    assert calls == ["ArenaPlan", "SelfPlayPlan", "ArenaPlan"]


LINEUPS = {
    "factory": ["arena_players:seeded", "greedy", "random", "mcts:4"],
    "guided": ["guided:fixed_networks:hashed_evaluator:4", "greedy", "random", "random"],
    "stateless": [StatelessLowest(), "greedy", "random", "mcts:4:greedy"],
}


@pytest.mark.parametrize("lineup", list(LINEUPS))
def test_tables_and_datasets_do_not_depend_on_the_workers(tmp_path, lineup):
    entries = LINEUPS[lineup]
    tables, rows = [], []
    for workers in (1, 2):
        result = arena.run(entries, 8, seed=6, workers=workers, progress=False, games_at_once=4)
        tables.append((result.scores.tolist(), result.standings.format()))
        out = tmp_path / str(workers)
        selfplay.generate(4, entries, out, games_per_shard=2, seed=6, workers=workers,
                          games_at_once=2)  # fmt: skip
        rows.append(dataset_rows(out))
    assert tables[0] == tables[1]
    assert rows[0] == rows[1]
    assert rows[0]["games"]["players"][0] == [players.name(e) for e in entries]


# Under a CPU affinity of ``argv[1]`` cores, what the arena, its command line and self-play
# choose: the processes they would start (1: none, the games played here), the threads of a
# native arena. The pool is never started: its loop refuses, naming its workers.
CHOSEN = """
import json, os, sys
cores = sorted(os.sched_getaffinity(0))[: int(sys.argv[1])]
os.sched_setaffinity(0, cores)
from krodan_rl import _native, arena, matches, selfplay
from krodan_rl.arena import cli

class Pool(Exception):
    pass

def pool(work, tasks, workers, *args, **kwargs):
    raise Pool(workers)

matches.run = pool
chosen = {}
native = _native.play_games
def play_games(**arguments):
    chosen["native threads"] = arguments["num_threads"]
    return native(**arguments)
_native.play_games = play_games

def processes(call):
    try:
        call()
    except Pool as started:
        return started.args[0]
    return 1

chosen["arena"] = processes(lambda: arena.run(["arena_players:LowestAction", "greedy", "random",
    "random"], 8, progress=False, games_at_once=4))
arena.run(["greedy"] * 4, 4, progress=False)
chosen["self-play"] = processes(lambda: selfplay.generate(4, ["random"] * 4, sys.argv[2],
    games_per_shard=1))
chosen["command line"] = cli.parser().parse_args(["random"] * 4).workers
print(json.dumps(chosen))
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
@pytest.mark.parametrize("cores", [1, 2])
def test_one_per_core_means_the_cores_this_process_may_use(tmp_path, cores):
    if len(os.sched_getaffinity(0)) < cores:
        pytest.skip(f"needs {cores} cores")
    child = subprocess.run(
        [sys.executable, "-c", CHOSEN, str(cores), str(tmp_path / "run")],
        capture_output=True, text=True, check=False, timeout=300, cwd=HERE,
        env={**os.environ, "PYTHONPATH": str(HERE)},
    )  # fmt: skip
    assert child.returncode == 0, child.stderr
    chosen = json.loads(child.stdout)
    assert chosen == dict.fromkeys(("native threads", "arena", "self-play", "command line"), cores)


def test_specs_are_parsed_once_where_they_enter(tmp_path, monkeypatch):
    parsed = []
    parse = players.parse

    def counting(spec):
        if isinstance(spec, str):
            parsed.append(spec)
        return parse(spec)

    monkeypatch.setattr(players, "parse", counting)
    lineup = [
        "arena_players:LowestAction",
        "greedy",
        "mcts:4",
        "guided:fixed_networks:hashed_evaluator:2",
    ]
    arena.run(lineup, 8, workers=1, progress=False, games_at_once=4)
    assert sorted(parsed) == sorted(lineup)
    parsed.clear()
    selfplay.generate(4, lineup, tmp_path, games_per_shard=2, workers=1, games_at_once=2)
    assert sorted(parsed) == sorted(lineup)
    assert len({kind.prefix for kind in players.KINDS}) == len(players.KINDS)


def test_an_act_player_that_says_its_policy_has_it_recorded_and_checked(tmp_path):
    selfplay.generate(2, [LowestWithPolicy(), "random", "mcts:4", "random"], tmp_path / "good",
                      games_per_shard=2, workers=1)  # fmt: skip
    turns = dataset_rows(tmp_path / "good")["turns"]
    assert turns["has_policy"] == [mover in (0, 2) for mover in turns["mover"]]
    first = turns["mover"].index(0)
    assert len(turns["policy_actions"][first]) > 1
    with pytest.raises(ValueError, match=r"lowest-with-policy at ply 0: .*not summing to 1"):
        selfplay.generate(2, [LowestWithPolicy(bad=True), "random", "random", "random"],
                          tmp_path / "bad", games_per_shard=2, workers=1)  # fmt: skip


class FailsOrBlocks(LowestAction):
    """In the worker that first plays it (the first to create the file at ``path``), raises at
    once; in the other, blocks its first move for a minute, as a long shard would."""

    def __init__(self, path):
        self.path, self.blocked = path, False

    def act(self, game):
        try:
            os.close(os.open(self.path, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            if not self.blocked:
                self.blocked = True
                time.sleep(60)
            return super().act(game)
        raise RuntimeError("the player broke")


def test_a_failing_shard_ends_the_other_workers_at_once(tmp_path):
    player = FailsOrBlocks(str(tmp_path / "first"))
    with pytest.raises(RuntimeError, match="the player broke"):
        selfplay.generate(2, [player, "random", "random", "random"], tmp_path / "run",
                          games_per_shard=1, workers=2)  # fmt: skip
    assert not list((tmp_path / "run" / "_done").glob("*.json"))  # the blocked shard never ends
