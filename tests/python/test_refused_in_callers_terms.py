"""Wrong input is refused, in the caller's terms, rather than recorded or followed: self-play
players whose policies cannot be true, players that touch the game they are shown, priors
beyond float32, and the messages of bad arguments."""

import subprocess
import sys

import numpy as np
import pytest

from krodan_rl import PyKrodan, VecKrodan, arena
from krodan_rl.agents import MCTSAgent
from krodan_rl.search import BatchedSearch

pytest.importorskip("pyarrow")

from krodan_rl import selfplay


def legal(game):
    return np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, bool))


class LyingSearch:
    """A search player whose policy is wrong in one way: weight on an illegal action, or
    without the action it plays."""

    name = "liar"

    def __init__(self, lie):
        self.lie = lie

    def search_moves(self, games, seeds):
        moves = []
        for game in games:
            if game is None:
                moves.append(None)
                continue
            actions = legal(game).astype(np.int32)
            probs = np.full(actions.size, 1 / actions.size, np.float32)
            chosen = int(actions[0])
            if self.lie == "illegal":  # the last entry replaced by an action of no piece here
                actions = actions.copy()
                actions[-1] = 36399 if actions[-1] != 36399 else 36398
            else:  # the action played left out
                actions, probs = actions[1:], np.full(actions.size - 1, 1 / (actions.size - 1))
                probs = probs.astype(np.float32)
                if not actions.size:
                    actions, probs = np.array([chosen + 1], np.int32), np.ones(1, np.float32)
            moves.append((chosen, actions, probs))
        return moves


@pytest.mark.parametrize(
    ("lie", "message"),
    [("illegal", "not legal in its position"), ("without its action", "not in its policy")],
)
def test_self_play_refuses_a_policy_it_would_record_wrongly(tmp_path, lie, message):
    with pytest.raises(ValueError, match=message) as refused:
        selfplay.generate(2, [LyingSearch(lie), "random", "random", "random"], tmp_path,
                          games_per_shard=2, workers=1)  # fmt: skip
    assert "player liar at ply 0" in str(refused.value)
    assert not list(tmp_path.glob("turns/shard-*"))


class Meddler:
    """Plays the lowest legal action, and plays it on the game it is shown as well."""

    name = "meddler"

    def act(self, game):
        action = int(legal(game)[0])
        game.step(action)  # a mistake: the game shown is a copy
        return action


class Lowest:
    name = "meddler"

    def act(self, game):
        return int(legal(game)[0])


def test_players_and_arena_agents_are_shown_a_copy_of_the_game(tmp_path):
    for name, player in (("meddling", Meddler()), ("clean", Lowest())):
        selfplay.generate(4, [player, "greedy", "random", "greedy"], tmp_path / name,
                          games_per_shard=2, workers=1)  # fmt: skip
    rows = [
        [p.read_bytes() for p in sorted((tmp_path / name / "games").glob("*.parquet"))]
        for name in ("meddling", "clean")
    ]
    assert rows[0] == rows[1]
    a = arena.run([Meddler(), "greedy", "random", "greedy"], 8, seed=2, workers=1, progress=False)
    b = arena.run([Lowest(), "greedy", "random", "greedy"], 8, seed=2, workers=1, progress=False)
    assert np.array_equal(a.scores, b.scores)


class Cheater(Lowest):
    def act(self, game):
        return 0  # rarely legal


def test_an_illegal_move_in_the_arena_names_entry_seat_and_ply():
    with pytest.raises(ValueError, match=r"entry 0 \(meddler\) in seat \d of game \d+ chose 0 for "
                       r"agent \d at ply \d+, which is not a legal action") as refused:  # fmt: skip
        arena.run([Cheater(), "greedy", "greedy", "greedy"], 4, workers=1, progress=False)
    assert isinstance(refused.value.__cause__, AssertionError)


def test_a_prior_beyond_float32_is_the_one_the_search_follows():
    search = BatchedSearch(1, simulations=40, seed=0, dirichlet_fraction=0.0)
    search.start([PyKrodan()])

    def evaluate(leaves):
        priors = np.ones(len(leaves["legal_actions"]))
        priors[leaves["legal_offsets"][1] - 1] = 1e39  # the last legal action of the first leaf
        return priors, np.full((len(leaves["mover"]), 4), 0.25)

    search.run(evaluate)
    counts = search.visit_counts()["counts"]
    assert counts[-1] == counts.sum() == 40


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: BatchedSearch(1, c_puct=-2.5), ValueError, "c_puct must be at least 0, not -2.5"),
        (lambda: BatchedSearch(1, dirichlet_fraction=2.0), ValueError,
         "dirichlet_fraction must be from 0 to 1, not 2.0"),
        (lambda: BatchedSearch(1, c_puct=float("nan")), ValueError, "c_puct must be a finite"),
        (lambda: BatchedSearch(1).select(temperature=-1.0), ValueError,
         "temperature must be at least 0, not -1.0"),
        (lambda: VecKrodan(2**64), ValueError, "num_games must be from 1 to 1048576, not"),
        (lambda: MCTSAgent(simulations=-1), ValueError, "simulations must be from 1 to"),
        (lambda: BatchedSearch(1, num_threads=-1), ValueError, "num_threads must be from 0 to 1024, not -1"),
        (lambda: MCTSAgent(simulations=True), TypeError, "simulations must be an integer, not bool"),
        (lambda: arena.run(["random"] * 4, 4, workers=5000), ValueError,
         "workers must be from 1 to 1024, not 5000"),
        (lambda: BatchedSearch(2).start([PyKrodan(), PyKrodan()], seeds=[[1, 2], [3, 4]]),
         ValueError, "seeds must be 2 integers, one per slot, not shape"),
    ],
)  # fmt: skip
def test_errors_say_what_was_wrong_in_the_callers_terms(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_numpy_bools_are_bools_everywhere():
    assert BatchedSearch(1, dense_mask=np.True_).dense_mask is True
    assert VecKrodan(1, dense_mask=np.False_).dense_mask is False


def test_the_player_registry_names_a_huge_simulation_count():
    from krodan_rl import players

    with pytest.raises(ValueError, match="simulations must be at most 16777216"):
        players.parse("mcts:99999999999999999999")


@pytest.mark.parametrize(
    ("out", "message"),
    [("", "an empty path is the current folder"), ("dangling", "symbolic link to a missing")],
)
def test_the_selfplay_command_refuses_an_empty_or_dangling_out(tmp_path, out, message):
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    child = subprocess.run(
        [sys.executable, "-m", "krodan_rl", "selfplay", "--games", "2", "--out", out,
         "--players", "random", "random", "random", "random", "--workers", "1"],
        capture_output=True, text=True, check=False, cwd=tmp_path, timeout=120,
    )  # fmt: skip
    assert child.returncode == 2 and message in child.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dangling"]


def test_the_loaders_memory_follows_its_rows_not_the_batch_size(tmp_path):
    selfplay.generate(2, ["random"] * 4, tmp_path, games_per_shard=2, workers=1)
    script = f"""
import resource
from krodan_rl import data
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
rows = sum(len(b["action"]) for b in data.load({str(tmp_path)!r}, batch_size=2**20))
print(rows, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True, timeout=120)  # fmt: skip
    rows, grown_kib = map(int, child.stdout.split())
    assert rows > 0 and grown_kib < 200 * 1024  # not the gigabytes of 2**20 engine games
