"""A step against built-in opponents is one native call for the whole batch; the games it plays
are those of the round-at-a-time path that other opponents take: every step's observations,
rewards, terminations and infos equal the reference's, under both autoreset modes, a fixed
seat and rotating ones, with the mask, the legal lists and fresh copies each on or off."""

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pytestmark = pytest.mark.gymnasium

from gymnasium.vector import AutoresetMode  # noqa: E402

from krodan_rl.seat_env import SeatVectorEnv  # noqa: E402

N = 5


class RoundByRound(SeatVectorEnv):
    """The environment made to play even built-in opponents a round at a time, as it plays
    search and Python opponents: the reference."""

    def _make_opponents(self, seed):
        super()._make_opponents(seed)
        self._all_built_in = False


def learner_actions(obs, info, reference_info, rng):
    """A legal action per game in play, drawn from the reference's lists (0 elsewhere); the
    environment under test hands out the same (its mask, when its lists are off)."""
    actions = np.zeros(N, dtype=np.int64)
    for i, legal in enumerate(reference_info["legal_actions"]):
        if reference_info["_legal_actions"][i]:
            actions[i] = legal[rng.integers(len(legal))]
            if "legal_actions" not in info and "action_mask" in obs:
                assert obs["action_mask"][i, actions[i]]
    return actions


def assert_same(got, expected, where):
    assert got.keys() == expected.keys(), where
    for key, value in expected.items():
        if isinstance(value, dict):
            assert_same(got[key], value, f"{where}: {key}")
        elif value.dtype == object:
            assert len(got[key]) == len(value), f"{where}: {key}"
            for i, (a, b) in enumerate(zip(got[key], value, strict=True)):
                if isinstance(b, dict):
                    assert_same(a, b, f"{where}: {key}[{i}]")
                else:
                    np.testing.assert_array_equal(a, b, err_msg=f"{where}: {key}[{i}]")
        else:
            np.testing.assert_array_equal(got[key], value, err_msg=f"{where}: {key}")


@pytest.mark.parametrize(
    ("opponents", "seat", "mode", "mask", "lists", "copy"),
    [
        (("greedy", "random", "greedy"), "rotate", AutoresetMode.NEXT_STEP, True, True, True),
        (("greedy", "random", "greedy"), "rotate", AutoresetMode.SAME_STEP, False, True, False),
        (("random", "greedy", "mcts:6"), 3, AutoresetMode.NEXT_STEP, True, False, False),
        (("random", "random", "random"), "rotate", AutoresetMode.SAME_STEP, True, False, True),
    ],
)
def test_steps_equal_the_round_at_a_time_reference(opponents, seat, mode, mask, lists, copy):
    options = {"seat": seat, "autoreset_mode": mode, "reward_mode": "score", "num_threads": 2}
    env = SeatVectorEnv(N, opponents, action_mask=mask, legal_actions=lists, copy=copy, **options)
    reference = RoundByRound(N, opponents, action_mask=mask, **options)
    assert env._all_built_in and not reference._all_built_in
    rng = np.random.default_rng(3)
    obs, info = env.reset(seed=11)
    obs_e, info_e = reference.reset(seed=11)
    ended = 0
    for step in range(120):
        kept = {key: np.array(value) for key, value in obs.items()}
        assert_same(obs, obs_e, f"step {step}")
        assert_same(info, {k: v for k, v in info_e.items() if lists or "legal" not in k}, str(step))
        actions = learner_actions(obs, info, info_e, rng)
        obs, rewards, terminated, _, info = env.step(actions)
        obs_e, rewards_e, terminated_e, _, info_e = reference.step(actions)
        np.testing.assert_array_equal(rewards, rewards_e, err_msg=f"step {step}")
        np.testing.assert_array_equal(terminated, terminated_e, err_msg=f"step {step}")
        ended += int(terminated.sum())
        if not copy:
            # Views: valid until the next step, which overwrote them in place.
            assert not obs["observation"].flags.writeable
        else:
            assert not np.shares_memory(kept["observation"], obs["observation"])
    assert ended >= N  # every game played to its end at least once


def test_a_reset_with_a_mask_restarts_only_those_games_in_one_call():
    env = SeatVectorEnv(N, seat="rotate", copy=False)
    reference = RoundByRound(N, seat="rotate")
    env.reset(seed=4), reference.reset(seed=4)
    for _ in range(3):
        actions = np.array([legal[0] for legal in reference._infos()["legal_actions"]])
        env.step(actions), reference.step(actions)
    mask = np.array([True, False, True, False, False])
    got, expected = (
        env.reset(options={"reset_mask": mask}),
        reference.reset(options={"reset_mask": mask}),
    )
    assert_same(got[0], expected[0], "reset")
    assert_same(got[1], expected[1], "reset")


@pytest.mark.parametrize("mask", [True, False])
def test_an_illegal_learner_action_moves_no_game(mask):
    env = SeatVectorEnv(N, seat=1, action_mask=mask, legal_actions=False)
    reference = RoundByRound(N, seat=1)
    env.reset(seed=2)
    _, info = reference.reset(seed=2)
    actions = np.array([legal[-1] for legal in info["legal_actions"]])
    refused = actions.copy()
    legal = set(info["legal_actions"][3].tolist())
    refused[3] = next(a for a in range(len(legal) + 1) if a not in legal)
    before = [env._vec.get_state(i) for i in range(N)]
    with pytest.raises(ValueError, match=f"game 3: action {refused[3]} is not a legal action"):
        env.step(refused)
    assert [env._vec.get_state(i) for i in range(N)] == before
    got, expected = env.step(actions), reference.step(actions)
    assert_same(got[0], {k: v for k, v in expected[0].items() if mask or k != "action_mask"}, "")
