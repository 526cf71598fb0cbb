"""The learner-seat vector environment against a slow reference that plays the same opponents
through PyKrodan one game at a time: Gymnasium's own vector wrappers record, for every game,
the returns and lengths of the reference's episodes, whatever the number of threads; and its
spaces hold what it returns."""

import zlib

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pytestmark = pytest.mark.gymnasium

from gymnasium.vector import AutoresetMode  # noqa: E402
from gymnasium.wrappers.vector import (  # noqa: E402
    DictInfoToList,
    NormalizeReward,
    RecordEpisodeStatistics,
)

from krodan_rl import PyKrodan, VecKrodan, players  # noqa: E402
from krodan_rl.seat_env import SeatVectorEnv  # noqa: E402

OPPONENTS = ("greedy", "random", "random")
N = 6


def learner_action(observation, pieces, legal):
    """A deterministic learner: a legal action picked by a hash of its view."""
    return int(legal[(int(observation.sum()) * 31 + int(pieces.sum())) % len(legal)])


def hashed_pick(game):
    """A legal action of the mover picked by a checksum of the position."""
    legal = np.flatnonzero(np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_))
    return int(legal[zlib.crc32(game.to_bytes()) % len(legal)])


class HashSearch:
    """A search player that picks by ``hashed_pick``, counting the games of each call."""

    def __init__(self):
        self.calls = []

    def search_moves(self, games, seeds):
        assert len(games) == len(seeds)
        chosen = [None if g is None else hashed_pick(g) for g in games]
        self.calls.append(sum(c is not None for c in chosen))
        return [None if c is None else (c, np.array([c], np.int32), np.ones(1, np.float32))
                for c in chosen]  # fmt: skip


def reference_episodes(seed, seat, episodes, reward_mode="rank", opponents=OPPONENTS):
    """Each game's first episodes as (return, length), played one game at a time through
    PyKrodan; built-in opponents decide through a batch of the same agents (same seeds) asked
    for that game alone, so that they draw from its streams as the environment's do; a search
    opponent picks by ``hashed_pick``."""
    from krodan_rl.seeds import opponent_seed

    agents = [
        players.make(s, opponent_seed(seed, j)) if isinstance(s, str) else None
        for j, s in enumerate(opponents)
    ]
    stand_in = next(a for a in agents if a is not None)
    oracle = VecKrodan(N, auto_reset=False, dense_mask=False, seed=seed)
    found = {}
    for i in range(N):
        found[i] = []
        for episode in range(episodes):
            learner = (i + episode) % 4 if seat == "rotate" else seat
            by_seat = [None if s == learner else agents[(s - learner - 1) % 4] for s in range(4)]
            seats = [stand_in if a is None else a for a in by_seat]
            game, length = PyKrodan(), 0
            while not game.is_over:
                if game.terminations[game.agent_selection]:
                    game.step(None)
                elif game.agent_selection == learner:
                    view = game.observe(learner)
                    legal = np.flatnonzero(np.frombuffer(view.action_mask, np.bool_))
                    planes = np.frombuffer(view.observation + view.corners + view.blocked, np.uint8)
                    game.step(learner_action(planes, np.frombuffer(view.pieces, np.uint8), legal))
                    length += 1
                elif by_seat[game.agent_selection] is None:
                    game.step(hashed_pick(game))
                else:
                    oracle.set_state(i, game.to_bytes())
                    only = np.arange(N) == i
                    game.step(int(oracle.agent_actions(seats, only)[i]))
            found[i].append((game.outcome(reward_mode)[learner], length))
    return found


def recorded_episodes(env, episodes):
    """Each game's first episodes as recorded by RecordEpisodeStatistics."""
    env = RecordEpisodeStatistics(env)
    obs, info = env.reset(seed=5)
    found = {i: [] for i in range(N)}
    while min(len(v) for v in found.values()) < episodes:
        actions = np.zeros(N, dtype=np.int64)
        for i in range(N):
            if info["_legal_actions"][i]:
                actions[i] = learner_action(
                    obs["observation"][i], obs["pieces"][i], info["legal_actions"][i]
                )
        obs, _, _, _, info = env.step(actions)
        assert env.unwrapped.observation_space.contains(obs)
        if "episode" in info:
            for i in np.flatnonzero(info["_episode"]):
                found[i].append((float(info["episode"]["r"][i]), int(info["episode"]["l"][i])))
    return {i: v[:episodes] for i, v in found.items()}


@pytest.mark.parametrize("seat", [2, "rotate"])
def test_episodes_equal_the_reference_whatever_the_threads(seat):
    from krodan_rl.seeds import opponent_seed

    seed = int(np.random.SeedSequence([5]).generate_state(1, np.uint64)[0])
    assert opponent_seed(seed, 0) >= 0
    expected = reference_episodes(seed, seat, 2)
    for threads in (1, 2):
        env = SeatVectorEnv(N, OPPONENTS, seat=seat, reward_mode="rank", num_threads=threads)
        got = recorded_episodes(env, 2)
        for i in range(N):
            np.testing.assert_allclose(got[i], expected[i], rtol=1e-6, err_msg=f"{threads} {i}")


def test_a_search_opponent_decides_every_waiting_game_in_one_call():
    seed = int(np.random.SeedSequence([5]).generate_state(1, np.uint64)[0])  # reset(seed=5)'s
    search = HashSearch()
    opponents = ("greedy", search, "random")
    env = SeatVectorEnv(N, opponents, seat="rotate", reward_mode="rank")
    got = recorded_episodes(env, 2)
    expected = reference_episodes(seed, "rotate", 2, opponents=opponents)
    for i in range(N):
        np.testing.assert_allclose(got[i], expected[i], rtol=1e-6, err_msg=str(i))
    # One call per round for all the games waiting on it, not one per game.
    assert max(search.calls) > 1 and sum(search.calls) > len(search.calls)


def test_gymnasiums_wrappers_run_over_whole_episodes():
    env = DictInfoToList(NormalizeReward(SeatVectorEnv(4, seat="rotate", action_mask=False)))
    assert env.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
    obs, infos = env.reset(seed=1)
    assert isinstance(infos, list) and "action_mask" not in obs
    ended = 0
    while ended < 8:
        actions = [
            int(info["legal_actions"][0]) if "legal_actions" in info else 0 for info in infos
        ]
        obs, _, terminated, _, infos = env.step(np.array(actions))
        ended += int(terminated.sum())
    same_step = SeatVectorEnv(2, autoreset_mode=AutoresetMode.SAME_STEP)
    obs, info = same_step.reset(seed=2)
    while True:
        obs, _, terminated, _, info = same_step.step(
            np.array([legal[0] for legal in info["legal_actions"]])
        )
        if terminated.any():
            break
    assert info["_final_obs"].tolist() == terminated.tolist()
    assert same_step.single_observation_space.contains(info["final_obs"][np.argmax(terminated)])


def test_vec_krodan_names_its_autoreset_mode_as_gymnasium_does():
    assert VecKrodan(1).metadata["autoreset_mode"] == AutoresetMode.SAME_STEP
