"""The PettingZoo environment: the library's own checks, observations, skipped agents,
terminations and rewards, rendering."""

import pickle
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pettingzoo")
from pettingzoo.test import api_test, render_test, seed_test

import krodan_rl
from krodan_rl import PyKrodan
from krodan_rl.render import board_text

# PettingZoo's checks warn about every Dict observation that is not one of its own games.
KNOWN_WARNINGS = [
    "ignore:Observation space for each agent probably should be:UserWarning",
    "ignore:Observation is not a NumPy array:UserWarning",
]


@pytest.mark.filterwarnings(*KNOWN_WARNINGS)
def test_pettingzoo_api_test():
    api_test(krodan_rl.env(), num_cycles=1000)


@pytest.mark.filterwarnings(*KNOWN_WARNINGS)
def test_pettingzoo_seed_test():
    seed_test(krodan_rl.env, num_cycles=100)


def test_pettingzoo_render_test(capsys):
    render_test(krodan_rl.env)
    shown = capsys.readouterr().out  # "human" printed through sys.stdout, not a terminal
    assert " 0|  0 |" in shown and "\x1b" not in shown


def test_pickle_round_trip():
    env = krodan_rl.env(reward_mode="rank")
    env.reset(seed=3)
    clone = pickle.loads(pickle.dumps(env))
    clone.reset()
    assert clone.unwrapped.reward_mode == "rank"
    assert clone.agent_selection == "player_0"


def test_pickle_keeps_a_game_in_progress():
    env = krodan_rl.raw_env(reward_mode="score")
    env.reset()
    for _ in range(5):
        mask = env.observe(env.agent_selection)["action_mask"]
        env.step(int(np.flatnonzero(mask)[-1]))
    clone = pickle.loads(pickle.dumps(env))
    assert clone.game.to_bytes() == env.game.to_bytes()
    assert clone.agent_selection == env.agent_selection
    for agent in env.possible_agents:
        assert (clone.observe(agent)["observation"] == env.observe(agent)["observation"]).all()
    clone.step(int(np.flatnonzero(clone.observe(clone.agent_selection)["action_mask"])[0]))
    assert clone.game.ply == env.game.ply + 1


def test_spaces_are_the_same_objects():
    env = krodan_rl.env()
    env.reset()
    for agent in env.possible_agents:
        assert env.observation_space(agent) is env.observation_space(agent)
        assert env.action_space(agent) is env.action_space(agent)
        assert env.action_space(agent).n == 36400


def test_observation_is_the_engines_view_in_the_agents_frame():
    env = krodan_rl.raw_env()
    env.reset()
    env.step(0)  # player_0 places the one-cell piece
    obs = env.observe("player_1")
    native = env.game.observe(1)
    assert obs["observation"].shape == (12, 20, 20) and obs["observation"].dtype == np.int8
    assert obs["observation"].tobytes() == native.observation + native.corners + native.blocked
    assert obs["pieces"].tobytes() == native.pieces and obs["pieces"].shape == (4, 21)
    assert obs["done"].tobytes() == native.done
    assert obs["action_mask"].tobytes() == native.action_mask
    assert obs["observation"][3, 19, 0] == 1  # player_0's cell, seen by player_1
    # Only the agent to move has a mask.
    assert not env.observe("player_0")["action_mask"].any()
    assert env.observation_space("player_1").contains(obs)
    # Read-only views of immutable bytes: no copy, and moving on does not change them.
    for key, array in obs.items():
        assert not array.flags.writeable, key
    with pytest.raises(ValueError):
        obs["observation"][0, 0, 0] = 1
    saved = {key: array.copy() for key, array in obs.items()}
    env.step(int(env.infos["player_1"]["legal_actions"][0]))
    for key, array in obs.items():
        assert np.array_equal(array, saved[key]), key


def test_infos_hold_the_movers_legal_actions():
    env = krodan_rl.raw_env()
    env.reset()
    rng = np.random.default_rng(3)
    for agent in env.agent_iter(max_iter=200):
        obs, _, termination, _, info = env.last()
        legal = info["legal_actions"]
        assert legal.dtype == np.int32
        if termination:
            assert len(legal) == 0
            env.step(None)
            continue
        assert np.array_equal(legal, np.flatnonzero(obs["action_mask"]))
        for other in env.agents:
            if other != agent:
                assert len(env.infos[other]["legal_actions"]) == 0
        env.step(int(rng.choice(legal)))


def play_until_done(env, seed):
    env.reset(seed=seed)
    rng = np.random.default_rng(seed)
    skipped = False
    for agent in env.agent_iter():
        obs, reward, termination, truncation, _ = env.last()
        if termination or truncation:
            env.step(None)
            continue
        game = env.unwrapped.game
        # The agent to move can always place a piece: done agents are skipped.
        assert not game.terminations[env.possible_agents.index(agent)]
        assert reward == 0
        skipped |= any(game.terminations)
        env.step(int(rng.choice(np.flatnonzero(obs["action_mask"]))))
    return skipped


@pytest.mark.parametrize("reward_mode", PyKrodan.reward_modes)
def test_game_end_rewards_every_agent_with_its_outcome(reward_mode):
    env = krodan_rl.env(reward_mode=reward_mode)
    env.reset(seed=1)
    rewards = {}
    rng = np.random.default_rng(5)
    for agent in env.agent_iter():
        obs, reward, termination, _, _ = env.last()
        if termination:
            rewards[agent] = reward
            assert all(env.terminations.values())
            env.step(None)
            continue
        env.step(int(rng.choice(np.flatnonzero(obs["action_mask"]))))
    game = env.unwrapped.game
    expected = dict(zip(env.possible_agents, game.outcome(reward_mode), strict=True))
    assert rewards == pytest.approx(expected)
    assert env.agents == []


def test_agents_out_of_moves_are_skipped():
    assert any(play_until_done(krodan_rl.env(), seed) for seed in range(3))


def test_illegal_action_ends_the_game_with_a_penalty(caplog):
    env = krodan_rl.env()
    env.reset()
    env.step(1)  # the one-cell piece away from the start cell
    assert "Illegal move" in caplog.text
    assert all(env.terminations.values())
    assert env.rewards["player_0"] == -1


def test_raw_env_refuses_illegal_actions():
    env = krodan_rl.raw_env()
    env.reset()
    with pytest.raises(ValueError, match="illegal action 1"):
        env.step(1)
    with pytest.raises(ValueError):
        env.step(None)
    env.step(0)
    assert env.agent_selection == "player_1"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [({"reward_mode": "Rank"}, "reward mode"), ({"render_mode": "video"}, "render mode")],
)
def test_bad_modes(kwargs, message):
    with pytest.raises(ValueError, match=message):
        krodan_rl.raw_env(**kwargs)


def test_ansi_text_equals_the_native_render():
    code = textwrap.dedent(
        """
        import random, sys
        from krodan_rl import PyKrodan
        from krodan_rl.play import legal_actions
        from krodan_rl._native import board_text
        game, rng = PyKrodan(), random.Random(2)
        for _ in range(30):
            legal = legal_actions(game.observe(game.agent_selection).action_mask)
            game.step(rng.choice(legal) if legal else None)
        sys.stderr.write(board_text(game) + "\\n")
        game.render()
        """
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert child.stdout == child.stderr
    assert child.stdout.count("\x1b[") > 40


@pytest.mark.parametrize("seed", [0, 1])
def test_owner_grid_agrees_with_the_planes_of_agent_0(seed):
    from krodan_rl._native import owner_grid

    rng = np.random.default_rng(seed)
    game = PyKrodan()
    while not game.is_over:
        planes = np.frombuffer(game.observe(0).observation, np.uint8).reshape(4, 400)
        want = np.full(400, 255, np.uint8)
        for agent in range(4):
            want[planes[agent] == 1] = agent
        assert owner_grid(game) == want.tobytes()
        legal = np.flatnonzero(
            np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
        )
        game.step(int(rng.choice(legal)) if len(legal) else None)
    with pytest.raises(TypeError, match="expected a PyKrodan"):
        owner_grid(game.to_bytes())


def test_ansi_render_mode_returns_the_text():
    env = krodan_rl.env(render_mode="ansi")
    env.reset()
    env.step(0)
    text = env.render()
    assert text == board_text(env.unwrapped.game, colour=True)
    assert text.split("\n")[2].startswith(" 0|  \x1b[44mx\x1b[0m ")


def test_rgb_array_shows_each_agent_in_its_colour():
    from krodan_rl.render import RGB_COLOURS

    env = krodan_rl.env(render_mode="rgb_array")
    env.reset()
    empty = env.render()
    for _ in range(4):
        env.step(0)
    image = env.render()
    assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3
    assert image.shape == empty.shape == (501, 501, 3)
    centre = {(0, 0): 0, (0, 19): 1, (19, 19): 2, (19, 0): 3}
    for (row, col), agent in centre.items():
        y, x = 1 + row * 25 + 12, 1 + col * 25 + 12
        assert tuple(image[y, x]) == RGB_COLOURS[agent]
        assert tuple(empty[y, x]) == (245, 245, 245)  # an outlined empty start cell
        assert tuple(empty[y - 11, x - 11]) == RGB_COLOURS[agent]
    assert tuple(image[1 + 5 * 25 + 12, 1 + 5 * 25 + 12]) == (245, 245, 245)
    assert tuple(image[0, 100]) == (170, 170, 170)  # a grid line


def test_the_native_module_needs_none_of_the_extras():
    code = textwrap.dedent(
        """
        import sys
        for name in ("numpy", "pettingzoo", "gymnasium"):
            sys.modules[name] = None
        import krodan_rl
        game = krodan_rl.PyKrodan()
        game.step(0)
        try:
            krodan_rl.env()
        except ImportError:
            print("env needs the extras")
        """
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert child.stdout == "env needs the extras\n"


NOT_AN_INDEX = (TypeError, "integer index")
OUT_OF_RANGE = (ValueError, r"not in \[0, 36400\)")


@pytest.mark.parametrize(
    ("action", "refusal"),
    [(a, NOT_AN_INDEX) for a in (0.9, "0", True, np.float32(0.0), [0], b"\x00")]
    + [(a, OUT_OF_RANGE) for a in (-1, 36400, 2**70, np.int64(-5))],
)
def test_raw_env_refuses_what_is_not_an_index_of_the_space(action, refusal):
    error, message = refusal
    env = krodan_rl.raw_env()
    env.reset()
    with pytest.raises(error, match=message):
        env.step(action)
    assert env.game.ply == 0


@pytest.mark.parametrize("action", [0, np.int32(0), np.uint16(0), np.int64(0)])
def test_raw_env_takes_python_and_numpy_integers(action):
    env = krodan_rl.raw_env()
    env.reset()
    env.step(action)
    assert env.game.ply == 1


def sampled_game(seed):
    """A whole game of an env reset with `seed`, its agents sampling their action spaces."""
    env = krodan_rl.env()
    env.reset(seed=seed)
    actions = []
    for agent in env.agent_iter():
        obs, _, termination, truncation, _ = env.last()
        action = (
            None
            if termination or truncation
            else env.action_space(agent).sample(obs["action_mask"])
        )
        actions.append(action)
        env.step(action)
    return actions


def test_reset_with_a_seed_plays_the_same_game_again():
    first = sampled_game(7)
    assert sampled_game(7) == first
    assert sampled_game(8) != first


def test_reset_without_a_seed_continues_the_streams():
    env = krodan_rl.raw_env()
    env.reset(seed=3)
    first = [env.action_space("player_0").sample() for _ in range(3)]
    env.reset()
    after = [env.action_space("player_0").sample() for _ in range(3)]
    env.reset(seed=3)
    assert [env.action_space("player_0").sample() for _ in range(3)] == first
    assert after != first
    assert env.metadata["name"] == "krodan_v1"


def test_module_documentation_names_the_plane_order_and_the_version():
    from krodan_rl import environment

    doc = environment.__doc__
    assert "planes 0-3 are the cells each agent covers, planes 4-7" in doc
    assert "- v1:" in doc and "- v0:" in doc
    observe_doc = " ".join(environment.raw_env.observe.__doc__.split())
    assert (
        "cells of the four agents, then their corner planes, then their blocked planes"
        in observe_doc
    )


def test_star_import_works_without_the_environment_extras():
    code = textwrap.dedent(
        """
        import sys
        class Missing:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("pettingzoo", "gymnasium"):
                    raise ModuleNotFoundError(name)
        sys.meta_path.insert(0, Missing())
        from krodan_rl import *
        print(sorted(n for n in dir() if not n.startswith("_")))
        """
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert child.stdout.strip() == "['Missing', 'PyKrodan', 'PyObservation', 'VecKrodan', 'sys']"
    with_extras = subprocess.run([sys.executable, "-c", "from krodan_rl import *; print(env, raw_env)"],
                                 capture_output=True, text=True, check=True)  # fmt: skip
    assert "raw_env" in with_extras.stdout
