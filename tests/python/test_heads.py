"""The optional score and ownership heads: a network with them trains an iteration of the loop
end to end, its losses finite, weighed as configured and recorded; a checkpoint without them
(the shipped model) loads as it was stored and evaluates to the bit as the same tower with
heads beside it does, on every backend, since a search never reads the heads."""

import json
import math
from dataclasses import replace

import numpy as np
import pytest
from conftest import random_positions

from krodan_rl import models
from krodan_rl.nn import backends, checkpoint, runtimes
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator
from krodan_rl.nn.forward import init_params, param_shapes
from krodan_rl.nn.policy_player import observed

HEADS = {"score_head": True, "ownership_head": True}
WEIGHTS = {"score": 0.7, "ownership": 1.5}
AUXILIARY = ("score_loss", "ownership_loss")


def installed(backend):
    if backend == "jax":
        return backends.has_jax()
    return backend == "numpy" or runtimes.installed(backend)


BACKENDS = [
    pytest.param(b, marks=pytest.mark.skipif(not installed(b), reason=f"{b} not installed"))
    for b in ("numpy", "jax", *runtimes.RUNTIMES)
]


def leaves():
    games = [g for g in random_positions(seed=4, every=5) if not g.is_over]
    return observed([g for g in games if not g.terminations[g.agent_selection]][:9])


@pytest.mark.parametrize("backend", BACKENDS)
def test_the_shipped_model_loads_as_stored_and_evaluates_as_with_heads_beside_it(backend):
    path = models.path_of("baseline")
    with np.load(path) as archive:
        stored = json.loads(archive["meta"].tobytes().decode())["config"]
        members = set(archive.files)
    shipped = checkpoint.load(path)
    assert not shipped.config.has_heads
    assert shipped.config.to_dict() == stored  # saved again, its configuration is the same
    assert {f"params/{name}" for name in param_shapes(shipped.config)} <= members
    with_heads = replace(shipped.config, **HEADS)
    drawn = init_params(with_heads, seed=9)
    extra = {k: v for k, v in drawn.items() if k.startswith(("score/", "ownership/"))}
    assert len(extra) == 6
    plain = NetworkEvaluator(shipped.params, shipped.config, backend=backend, threads=1)
    beside = NetworkEvaluator({**shipped.params, **extra}, with_heads, backend=backend, threads=1)
    views = leaves()
    for left, right in zip(plain(views), beside(views), strict=True):
        np.testing.assert_array_equal(left, right)
    assert plain.auxiliary(views) == {}
    found = beside.auxiliary(views)
    assert found["score"].shape == (9, 4)
    assert found["ownership"].shape == (9, 20, 20, 5)
    np.testing.assert_allclose(found["ownership"].sum(axis=-1), 1, rtol=1e-5)


@pytest.mark.parametrize(
    ("network", "options", "refused"),
    [
        (NetworkConfig(), {"score_weight": 1.0}, "no score_head"),
        (NetworkConfig(score_head=True), {"ownership_weight": 0.5}, "no ownership_head"),
        (NetworkConfig(**HEADS), {"score_weight": -1.0}, "at least 0"),
    ],
)
def test_a_weight_needs_its_head(network, options, refused):
    from krodan_rl.train import TrainConfig

    with pytest.raises(ValueError, match=refused):
        TrainConfig(network=network, **options)


def test_a_configuration_names_its_heads_only_when_on():
    assert set(NetworkConfig().to_dict()) == {"width", "blocks", "value_hidden", "value_mode"}
    on = NetworkConfig(width=8, score_head=True)
    assert on.to_dict()["score_head"] is True and "ownership_head" not in on.to_dict()
    assert NetworkConfig.from_dict(on.to_dict()) == on
    with pytest.raises(TypeError, match="ownership_head must be a bool"):
        NetworkConfig(ownership_head=1)


@pytest.mark.jax
def test_a_network_with_heads_trains_an_iteration_end_to_end(tmp_path):
    pytest.importorskip("optax")
    from krodan_rl.train import PRESETS, metrics, train

    base = PRESETS["tiny-2"]
    config = base.with_options(
        network=replace(base.network, **HEADS), iterations=1, warm_start_games=8,
        warm_start_steps=4, score_weight=WEIGHTS["score"],
        ownership_weight=WEIGHTS["ownership"],
    )  # fmt: skip
    train(config, tmp_path / "az", log=lambda line: None)
    records = [record for _, record in metrics.records(tmp_path / "az" / metrics.NAME)]
    assert [record["iteration"] for record in records] == [0, 1]
    for record in records:
        for prefix in ("", "heldout_"):
            losses = {name: record[prefix + name] for name in
                      ("loss", "policy_loss", "value_loss", *AUXILIARY)}  # fmt: skip
            assert all(math.isfinite(value) and value > 0 for value in losses.values())
            weighed = sum(WEIGHTS[name.removesuffix("_loss")] * losses[name] for name in AUXILIARY)
            total = losses["policy_loss"] + losses["value_loss"] + weighed
            assert losses["loss"] == pytest.approx(total, rel=1e-5)
    trained = checkpoint.load(tmp_path / "az" / "checkpoints" / "iter-000001.npz")
    assert trained.config == config.network
    drawn = init_params(config.network, config.seed)
    for name in ("score/w1", "score/w2", "ownership/w", "ownership/b"):
        assert not np.array_equal(trained.params[name], drawn[name]), name
