"""A learner-seat step is all or nothing: a refused action moves no game (the run goes on as if
the step had never been asked), and a step that an opponent or an interrupt cut short leaves
the environment refusing to step until it is reset, as does an opponent's answer that is no
action (refused naming the opponent and the game). Also the environment's and the action
table's argument checks."""

import numpy as np
import pytest

from krodan_rl import _native, actions

N = 3
OPPONENTS = ("greedy", "random", "random")


@pytest.fixture
def seat_env():
    pytest.importorskip("gymnasium")
    from krodan_rl.seat_env import SeatVectorEnv

    return SeatVectorEnv


def learner_actions(info):
    """Each game's first legal action; 0 where the action is ignored (an episode that ended
    last step starts again), the monomino on the start cell: legal in the new episode, it
    would show if a stale step played there."""
    return np.array(
        [legal[0] if playing else 0 for legal, playing in
         zip(info["legal_actions"], info["_legal_actions"], strict=True)],
        dtype=np.int64,
    )  # fmt: skip


def assert_same_step(got, expected, step):
    (obs, rewards, terminated, _, info), (obs_e, rewards_e, terminated_e, _, info_e) = got, expected
    for key in obs_e:
        np.testing.assert_array_equal(obs[key], obs_e[key], err_msg=f"step {step}: {key}")
    np.testing.assert_array_equal(rewards, rewards_e, err_msg=f"step {step}: rewards")
    np.testing.assert_array_equal(terminated, terminated_e, err_msg=f"step {step}: terminated")
    np.testing.assert_array_equal(info["seat"], info_e["seat"], err_msg=f"step {step}: seats")


def assert_same_runs(env, reference, steps):
    """Both environments, reset with the same seed, give the same steps to the same learner."""
    (obs, info), (obs_e, _) = env.reset(seed=9), reference.reset(seed=9)
    for key in obs_e:
        np.testing.assert_array_equal(obs[key], obs_e[key], err_msg=f"reset: {key}")
    for step in range(steps):
        info = step_both(env, reference, info, step)[4]


def step_both(env, reference, info, step):
    """One step of the learner's in both, which must give the same; the env's step."""
    chosen = learner_actions(info)
    got = env.step(chosen)
    assert_same_step(got, reference.step(chosen), step)
    return got


class Flaky:
    """An opponent playing each game's last legal action, by ``act`` or by ``search_moves``,
    that raises ``error`` in its ``fail_at``-th call (never without an error)."""

    def __init__(self, method, error=None, fail_at=4):
        self.error, self.fail_at, self.calls = error, fail_at, 0
        if method == "search_moves":
            self.search_moves = self._search_moves
        else:
            self.act = self._act

    def _tick(self):
        self.calls += 1
        if self.error is not None and self.calls == self.fail_at:
            raise self.error("the opponent failed")

    @staticmethod
    def _last_legal(game):
        mask = np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
        return int(np.flatnonzero(mask)[-1])

    def _act(self, game):
        self._tick()
        return self._last_legal(game)

    def _search_moves(self, games, seeds):
        self._tick()
        return [None if g is None else (self._last_legal(g), None, None) for g in games]


@pytest.mark.gymnasium
@pytest.mark.parametrize(
    ("method", "error"),
    [("act", ValueError), ("act", KeyboardInterrupt), ("search_moves", KeyboardInterrupt)],
)
def test_an_interrupted_step_is_refused_until_a_full_reset(seat_env, method, error):
    env = seat_env(N, ("greedy", Flaky(method, error), "random"), seat="rotate")
    steady = seat_env(N, ("greedy", Flaky(method), "random"), seat="rotate")
    _, info = env.reset(seed=1)
    with pytest.raises(error, match="the opponent failed"):
        for _ in range(50):
            _, _, _, _, info = env.step(learner_actions(info))
    # Some game now waits on an opponent: the learner's action must not be played for it.
    refusal = rf"a step was interrupted by {error.__name__} \(the opponent failed\), leaving games mid-turn: call reset\(\)"
    with pytest.raises(RuntimeError, match=refusal + " before stepping"):
        env.step(learner_actions(info))
    with pytest.raises(RuntimeError, match=refusal + " before a reset whose reset_mask"):
        env.reset(options={"reset_mask": np.array([True] * (N - 1) + [False])})
    assert_same_runs(env, steady, 30)


@pytest.mark.gymnasium
def test_a_step_before_the_first_reset_is_refused(seat_env):
    """Before a reset the seats are not dealt: a step would play the learner as agent 0."""
    env = seat_env(2, OPPONENTS, seat=2)
    with pytest.raises(RuntimeError, match=r"no reset\(\) has started the games"):
        env.step(np.zeros(2, dtype=np.int64))
    _, info = env.reset(seed=0)
    assert list(info["seat"]) == [2, 2]
    env.step(learner_actions(info))


@pytest.mark.gymnasium
@pytest.mark.parametrize(
    ("dtype", "value"),
    [
        (np.int64, -2),  # the batch's HOLD: the game would stall
        (np.int8, -2),
        (np.uint64, 2**64 - 2),  # wraps to HOLD in a cast to int64
        (np.int64, -1),  # a pass: the learner has moves
        (np.uint32, 2**32 - 2),
        (np.int64, _native.NUM_ACTIONS),
        (np.int64, None),  # an index on the board, not legal there
    ],
)
def test_a_refused_action_moves_nothing(seat_env, dtype, value):
    """Refused in game 1 in the step that starts game 0's next episode (NEXT_STEP): the run
    then goes on exactly as one that never asked it."""
    env, reference = seat_env(2, OPPONENTS, seat="rotate"), seat_env(2, OPPONENTS, seat="rotate")
    (_, info), _ = env.reset(seed=4), reference.reset(seed=4)
    for ended_at in range(100):
        _, _, terminated, _, info = step_both(env, reference, info, ended_at)
        if terminated[0] and not terminated[1]:
            break
    else:
        pytest.fail("game 0 never ended before game 1")
    if value is None:
        unlisted = np.ones(_native.NUM_ACTIONS, np.bool_)
        unlisted[info["legal_actions"][1]] = False
        value = int(np.flatnonzero(actions.table().fits & unlisted)[0])
    refused = np.array([np.iinfo(dtype).max, value], dtype)  # game 0's is ignored: it restarts
    with pytest.raises(ValueError, match=rf"game 1: action {value} is not a legal action"):
        env.step(refused)
    for step in range(ended_at + 1, ended_at + 30):
        info = step_both(env, reference, info, step)[4]


@pytest.mark.parametrize(
    ("agent", "action", "error", "name"),
    [
        (-1, 0, ValueError, "agent"),  # numpy would read agent 3's frame
        (4, 0, ValueError, "agent"),
        (True, 0, TypeError, "agent"),  # numpy would index with it as a mask
        (0, -1, ValueError, "action"),
        (0, _native.NUM_ACTIONS, ValueError, "action"),
        (0, 1.0, TypeError, "action"),
    ],
)
def test_on_board_refuses_what_is_not_an_agent_or_an_action(agent, action, error, name):
    with pytest.raises(error, match=f"^{name} must be"):
        actions.table().on_board(agent, action)


ACTIONS = f"must be from -1 to {_native.NUM_ACTIONS - 1}"  # an index, or -1 to pass


class Answering:
    """An opponent that gives ``action`` for every game it is asked, by ``act`` or in the
    entries of ``search_moves``; asked too often, it fails the test rather than let it hang."""

    def __init__(self, method, action):
        self.action, self.calls = action, 0
        if method == "search_moves":
            self.search_moves = self._search_moves
        else:
            self.act = self._act

    def _act(self, game):
        self.calls += 1
        assert self.calls < 100, "asked again and again"
        return self.action

    def _search_moves(self, games, seeds):
        self._act(None)
        return [None if g is None else (self.action, None, None) for g in games]


@pytest.mark.gymnasium
@pytest.mark.parametrize(
    ("method", "action", "error", "why"),
    [
        ("act", -2, ValueError, f"{ACTIONS}, not -2"),  # the batch's HOLD
        ("search_moves", -2, ValueError, f"{ACTIONS}, not -2"),
        ("act", np.int8(-2), ValueError, f"{ACTIONS}, not -2"),
        ("act", -3, ValueError, f"{ACTIONS}, not -3"),
        ("act", _native.NUM_ACTIONS, ValueError, f"{ACTIONS}, not {_native.NUM_ACTIONS}"),
        ("act", 2.0, TypeError, "must be an integer, not float"),
        ("search_moves", np.float64(2.0), TypeError, "must be an integer, not float64"),
        ("act", "2", TypeError, "must be an integer, not str"),
        ("act", True, TypeError, "must be an integer, not bool"),
    ],
)
def test_an_opponents_action_that_is_not_one_is_refused_naming_it(
    seat_env, method, action, error, why
):
    """Refused, not taken as HOLD (the opponent asked again, forever) or as what it converts
    to; the step then stands interrupted, as for any opponent's error."""
    env = seat_env(2, ("greedy", Answering(method, action), "random"), seat=0)
    _, info = env.reset(seed=3)
    with pytest.raises(error, match=rf"^the action of opponent 1 \(.+\) in game 0 {why}$"):
        env.step(learner_actions(info))
    with pytest.raises(RuntimeError, match=f"interrupted by {error.__name__}"):
        env.step(learner_actions(info))


@pytest.mark.gymnasium
@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        pytest.param(lambda env: env(2**40), ValueError, "num_envs must be from 1 to", id="2**40"),
        *[
            pytest.param(lambda env, seed=seed: env(2).reset(seed=seed), TypeError,
                         f"seed must be an int or a sequence of ints, not {type(seed).__name__}",
                         id=f"seed {seed!r}")
            for seed in (1.5, "12", b"\1", {1, 2})
        ],
        pytest.param(lambda env: env(2).reset(seed=[1, -1]), ValueError, "seed must be from 0",
                     id="seed [1, -1]"),
    ],
)  # fmt: skip
def test_the_environments_arguments_are_checked_in_its_terms(seat_env, make, error, message):
    with pytest.raises(error, match=f"^{message}"):
        make(seat_env)
