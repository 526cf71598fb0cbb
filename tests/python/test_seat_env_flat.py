"""The flat observation: each row is the Dict observation's fields flattened where
``facts.FLAT_SLICES`` says, its mask slice marking exactly the legal actions, step after step and
in the final observations of both autoreset modes, for the one-call path and the round-at-a-time
one alike."""

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pytestmark = pytest.mark.gymnasium

from gymnasium.vector import AutoresetMode  # noqa: E402

from krodan_rl import facts  # noqa: E402
from krodan_rl.seat_env import SeatVectorEnv  # noqa: E402

N = 4


def flattened(fields, rows):
    return np.concatenate(
        [fields[k].reshape(rows, -1).view(np.uint8) for k in facts.FLAT_SLICES], 1
    )


class FirstLegal:
    """A plain Python opponent: sends the environment down its round-at-a-time path."""

    stateless = True

    def act(self, game):
        return bytes(game.observe(game.agent_selection).action_mask).index(1)


@pytest.mark.parametrize(
    ("opponents", "mode", "copy"),
    [
        (("greedy", "random", "greedy"), AutoresetMode.NEXT_STEP, True),
        (("greedy", "random", "greedy"), AutoresetMode.SAME_STEP, False),
        (("random", FirstLegal(), "greedy"), AutoresetMode.SAME_STEP, True),
        (("random", FirstLegal(), "greedy"), AutoresetMode.NEXT_STEP, False),
    ],
)
def test_flat_rows_are_the_dict_fields_and_the_mask_slice_the_legal_actions(opponents, mode, copy):
    options = {"seat": "rotate", "autoreset_mode": mode, "num_threads": 2}
    flat = SeatVectorEnv(N, opponents, flat=True, copy=copy, **options)
    fields = SeatVectorEnv(N, opponents, **options)
    assert flat.single_observation_space.shape == (facts.FLAT_SIZE,)
    rows, info = flat.reset(seed=5)
    obs, _ = fields.reset(seed=5)
    rng = np.random.default_rng(0)
    finals = 0
    for step in range(150):
        assert flat.observation_space.contains(rows)
        np.testing.assert_array_equal(rows, flattened(obs, N), err_msg=f"step {step}")
        masks = rows[:, facts.FLAT_SLICES["action_mask"]]
        for i, legal in enumerate(info["legal_actions"]):
            if info["_legal_actions"][i]:
                assert np.flatnonzero(masks[i]).tolist() == sorted(legal.tolist()), step
        actions = [legal[rng.integers(len(legal))] if len(legal) else 0
                   for legal in info["legal_actions"]]  # fmt: skip
        rows, _, terminated, _, info = flat.step(actions)
        obs, _, terminated_fields, _, info_fields = fields.step(actions)
        np.testing.assert_array_equal(terminated, terminated_fields)
        for i in np.flatnonzero(info.get("_final_obs", [])):
            expected = flattened(info_fields["final_obs"][i], 1)[0]
            np.testing.assert_array_equal(info["final_obs"][i], expected)
            finals += 1
    assert mode == AutoresetMode.NEXT_STEP or finals >= N


def test_flat_rows_need_the_mask():
    with pytest.raises(ValueError, match="action_mask=True"):
        SeatVectorEnv(2, flat=True, action_mask=False)
