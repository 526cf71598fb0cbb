"""The evaluator's backends against a reference written here: every logit by the numpy forward
pass, each row's softmax over its legal actions in float64. The policy head read at the legal
actions only, the native softmax, the inference runtimes' graph and the pickled evaluator in
another process all give the reference's priors and values."""

import pickle
import subprocess
import sys

import numpy as np
import pytest
from conftest import random_positions

from krodan_rl import _native, models
from krodan_rl.nn import backends, checkpoint, runtimes
from krodan_rl.nn.config import NetworkConfig
from krodan_rl.nn.evaluator import NetworkEvaluator, chosen_backend, softmax_rows
from krodan_rl.nn.forward import forward, init_params, value_of
from krodan_rl.nn.policy_player import observed


def installed(backend):
    if backend == "jax":
        return backends.has_jax()
    return backend == "numpy" or runtimes.installed(backend)


BACKENDS = [
    pytest.param(b, marks=pytest.mark.skipif(not installed(b), reason=f"{b} not installed"))
    for b in ("numpy", "jax", *runtimes.RUNTIMES)
]


def reference(params, config, leaves):
    logits, value_logits = forward(np, backends.numpy_conv, params, config, leaves)
    offsets, legal = leaves["legal_offsets"], leaves["legal_actions"]
    priors = []
    for b in range(len(offsets) - 1):
        chosen = logits[b, legal[offsets[b] : offsets[b + 1]]].astype(np.float64)
        weights = np.exp(chosen - chosen.max())
        priors.append(weights / weights.sum())
    return np.concatenate(priors), value_of(np, value_logits.astype(np.float64), config)


def networks():
    """A small network with every weight drawn, and the shipped model."""
    config = NetworkConfig(width=8, blocks=2, value_hidden=8, value_mode="score")
    rng = np.random.default_rng(1)
    drawn = {k: (v + rng.standard_normal(v.shape) * 0.3).astype(np.float32)
             for k, v in init_params(config, 0).items()}  # fmt: skip
    shipped = checkpoint.load(models.path_of("baseline"))
    return [(drawn, config), (shipped.params, shipped.config)]


@pytest.mark.parametrize("backend", BACKENDS)
def test_every_backend_gives_the_reference_priors_and_values(backend):
    games = [g for g in random_positions(seed=8, every=3) if not g.is_over]
    games = [g for g in games if not g.terminations[g.agent_selection]]
    leaves = observed(games[:37])  # an odd count, between the compiled batch sizes
    assert len(set(np.diff(leaves["legal_offsets"]))) > 10  # rows of many lengths
    for params, config in networks():
        evaluator = NetworkEvaluator(params, config, backend)
        assert evaluator.runs_on == backend
        want_priors, want_values = reference(params, config, leaves)
        for copy in (evaluator, pickle.loads(pickle.dumps(evaluator))):
            priors, values = copy(leaves)
            assert priors.dtype == np.float32 and values.dtype == np.float32
            assert np.abs(priors - want_priors).max() < 1e-5
            assert np.abs(values - want_values).max() < 1e-5
        one = {k: leaves[k][5:6] for k in ("observation", "pieces", "done")}
        offsets = leaves["legal_offsets"]
        one["legal_actions"] = leaves["legal_actions"][offsets[5] : offsets[6]]
        one["legal_offsets"] = np.array([0, offsets[6] - offsets[5]], np.int32)
        alone, _ = evaluator(one)  # a row alone: the same numbers as in the batch
        assert np.abs(alone - want_priors[offsets[5] : offsets[6]]).max() < 1e-5


def test_the_native_softmax_keeps_rows_apart_and_refuses_what_is_not_rows():
    logits = np.array([1000.0, 999.0, -3.0, 5.0, 5.0, 5.0, 0.0], np.float32)
    offsets = np.array([0, 2, 2, 3, 6, 7], np.int32)  # an empty row, and rows of one
    priors = softmax_rows(logits, offsets)
    e = np.exp(-1.0)
    want = [1 / (1 + e), e / (1 + e), 1.0, 1 / 3, 1 / 3, 1 / 3, 1.0]
    assert np.allclose(priors, want, atol=1e-7) and np.isfinite(priors).all()
    in_place = logits.copy()
    _native.legal_softmax(in_place, offsets, in_place)
    assert np.array_equal(in_place, priors)
    cases = [
        (logits, np.array([0, 2, 8], np.int32), np.empty(7, np.float32), ValueError),
        (logits, np.array([0, 3, 2, 7], np.int32), np.empty(7, np.float32), ValueError),
        (logits, offsets, np.empty(6, np.float32), ValueError),
        (logits.astype(np.float64), offsets, np.empty(7, np.float32), TypeError),
        (logits, offsets.astype(np.int64), np.empty(7, np.float32), TypeError),
        (logits, offsets, bytes(28), BufferError),  # not writable
    ]
    for values, rows, out, error in cases:
        with pytest.raises(error):
            _native.legal_softmax(values, rows, out)


def test_auto_takes_a_runtime_where_one_is_installed_and_plays_without_any():
    found = [r for r in runtimes.RUNTIMES if runtimes.installed(r)]
    assert chosen_backend() == (found[0] if found else "jax" if backends.has_jax() else "numpy")
    script = """
import sys
for name in ("jax", "onnxruntime", "onnx"):
    sys.modules[name] = None  # as if none were installed
from krodan_rl import models
print(models.load("baseline").runs_on)
"""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=300, check=False)  # fmt: skip
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["numpy"]
