"""The reference network: its policy head reads actions as the engine numbers them, numpy and
JAX give the same evaluations, the evaluator keeps rows apart through its padding, checkpoints
hold plain arrays, and it learns: the loss on a small batch of self-play falls, and its values
come back in the loader's order (the mover first)."""

import numpy as np
import pytest
from conftest import random_positions

from krodan_rl import players
from krodan_rl.nn import checkpoint
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator, legal_softmax
from krodan_rl.nn.forward import init_params, policy_logits, value_of
from krodan_rl.nn.policy_player import observed

CONFIG = NetworkConfig(width=8, blocks=2, value_hidden=8)


def noisy_params(seed=1):
    """Parameters with every weight away from its initial value (the blocks' second
    convolutions start at zero)."""
    params = init_params(CONFIG, 0)
    rng = np.random.default_rng(seed)
    return {
        k: (v + rng.standard_normal(v.shape) * 0.1).astype(np.float32) for k, v in params.items()
    }


def test_a_one_hot_head_output_is_the_probability_one_on_its_action_in_every_frame():
    games = [g for g in random_positions(seed=3, every=9) if not g.is_over][:6]
    assert len({g.agent_selection for g in games}) >= 3  # several movers, so several frames
    inputs = observed(games)
    rng = np.random.default_rng(0)
    for b, game in enumerate(games):
        legal = inputs["legal_actions"][inputs["legal_offsets"][b] : inputs["legal_offsets"][b + 1]]
        action = int(rng.choice(legal))
        orientation, cell = divmod(action, 400)
        head = np.zeros((1, 20, 20, 91), np.float32)
        head[0, cell // 20, cell % 20, orientation] = 50.0
        probs = legal_softmax(policy_logits(np, head), legal, np.array([0, len(legal)]))
        assert legal[np.argmax(probs)] == action and probs.max() > 0.999
        mask = np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
        assert mask[action]


@pytest.mark.jax
def test_numpy_and_jax_evaluate_alike_and_rows_stay_apart():
    pytest.importorskip("jax")
    params = noisy_params()
    inputs = observed([g for g in random_positions(seed=5, every=7) if not g.is_over][:7])
    by_numpy = NetworkEvaluator(params, CONFIG, "numpy")(inputs)
    by_jax = NetworkEvaluator(params, CONFIG, "jax")(inputs)  # 7 rows padded to 16
    assert np.abs(by_numpy[0] - by_jax[0]).max() < 1e-5
    assert np.abs(by_numpy[1] - by_jax[1]).max() < 1e-5
    offsets = inputs["legal_offsets"]
    for b in range(7):  # each row alone, padded to 1: the same numbers
        one = {k: inputs[k][b : b + 1] for k in ("observation", "pieces", "done")}
        one["legal_actions"] = inputs["legal_actions"][offsets[b] : offsets[b + 1]]
        one["legal_offsets"] = np.array([0, offsets[b + 1] - offsets[b]])
        priors, values = NetworkEvaluator(params, CONFIG, "jax")(one)
        assert np.abs(priors - by_jax[0][offsets[b] : offsets[b + 1]]).max() < 1e-6
        assert np.abs(values - by_jax[1][b]).max() < 1e-6


def test_checkpoints_hold_plain_arrays_and_refuse_what_is_not_one(tmp_path):
    params = noisy_params()
    path = tmp_path / "model.npz"
    checkpoint.save(path, checkpoint.Checkpoint(params, CONFIG, 7, [np.ones(3)], {"iteration": 2}))
    found = checkpoint.load(path)
    assert found.config == CONFIG and found.step == 7 and found.meta["iteration"] == 2
    assert all(np.array_equal(found.params[k], v) for k, v in params.items())
    np.savez(tmp_path / "pickled.npz", meta=np.array([{"a": 1}], dtype=object))
    with pytest.raises(ValueError, match=r"pickled\.npz"):
        checkpoint.load(tmp_path / "pickled.npz")
    small = dict(params)
    small["stem/w"] = small["stem/w"][:, :, :, :4]
    checkpoint.save(tmp_path / "wrong.npz", checkpoint.Checkpoint(small, CONFIG))
    with pytest.raises(ValueError, match="do not fit"):
        checkpoint.load(tmp_path / "wrong.npz")


@pytest.mark.jax  # JAX where it is installed, which the sanitizer run leaves out
def test_model_specs_build_search_and_policy_players(tmp_path):
    path = tmp_path / "net.npz"
    checkpoint.save(path, checkpoint.Checkpoint(noisy_params(), CONFIG))
    guided = players.make(f"guided:{path}:3", seed=1)
    policy = players.make(f"policy:{path}", seed=1)
    assert guided.name == f"guided:{path}:3" and policy.name == f"policy:{path}"
    game = random_positions(seed=2, every=5)[1]
    mask = np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
    assert mask[guided.act(game.copy())] and mask[policy.act(game.copy())]
    with pytest.raises(ValueError, match="no checkpoint at"):
        players.parse("policy:missing/net.npz")


@pytest.mark.jax
def test_the_network_learns_and_gives_values_in_the_loaders_order(tmp_path):
    pytest.importorskip("jax")
    pytest.importorskip("optax")
    from krodan_rl import data, selfplay
    from krodan_rl.train.learner import Learner

    selfplay.generate(2, ["greedy", "random", "greedy", "random"], tmp_path, workers=1)
    batch = next(iter(data.load(tmp_path, 48, dense_policy=True, legal_actions="mask",
                                normalise_values=True)))  # fmt: skip
    learner = Learner(CONFIG, 3e-3, 0.0, seed=0)
    first = learner.losses(batch)["loss"]
    learner.train(iter([batch] * 300), 300)
    assert learner.losses(batch)["loss"] < first / 4
    trained = learner.checkpoint({})
    _, value_logits = NetworkEvaluator(trained.params, CONFIG, "numpy").logits(batch)
    values = value_of(np, value_logits, CONFIG)
    assert np.abs(values - batch["value"]).mean() < 0.1  # the mover first, as loaded
