"""The engine's one policy of visit counts, `_native.visit_policy`: at temperature 1 exactly
the targets that self-play stores (float32 of count / sum computed in double), the probabilities
of a guided search's own policy at every temperature, an MCTS agent's choice at temperature 0,
and bad rows refused. Then the score range that the searches normalise with, and the messages
of reals out of range."""

import numpy as np
import pytest
from conftest import random_positions

from krodan_rl import _native
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import MCTSAgent
from krodan_rl.search import BatchedSearch


def csr(rows):
    counts = np.concatenate(rows).astype(np.int32)
    offsets = np.cumsum([0] + [len(r) for r in rows]).astype(np.int32)
    return counts, offsets


def policy(counts, offsets, temperature):
    return np.frombuffer(_native.visit_policy(counts, offsets, temperature), dtype=np.float32)


def uniform_evaluator(leaves):
    count = len(leaves["legal_offsets"]) - 1
    priors = np.ones(leaves["legal_offsets"][-1], dtype=np.float32)
    return priors, np.full((count, 4), 0.25, dtype=np.float32)


def test_temperature_one_gives_the_stored_targets_bit_for_bit():
    rng = np.random.default_rng(4)
    rows = [rng.integers(0, 3, n) * rng.integers(1, 900, n) for n in rng.integers(1, 400, 300)]
    # 21285731 / 2**25 lies half-way between two floats: any other order of operations may
    # round it the other way.
    rows.append(np.array([21285731, 9549657, 2719044]))
    rows = [r for r in rows if r.sum() > 0]
    expected = np.concatenate([(r.astype(np.float64) / r.sum()).astype(np.float32) for r in rows])
    assert policy(*csr(rows), 1.0).tobytes() == expected.tobytes()


def test_a_guided_search_policy_is_the_function_of_its_counts():
    search = BatchedSearch(4, simulations=30, seed=2)
    search.start([*random_positions(seed=9, every=20)[:3], None])
    search.run(uniform_evaluator)
    for temperature in (0.0, 0.5, 1.0, 2.0):
        found = search.policy(temperature)
        again = policy(found["counts"], found["offsets"], temperature)
        assert again.tobytes() == found["probs"].tobytes()


def test_an_mcts_agents_choice_is_its_policy_at_temperature_zero():
    for seed, game in enumerate(random_positions(seed=12, every=15)[:4]):
        found = MCTSAgent(60, seed=seed).search(game)
        offsets = np.array([0, found.visits.size], dtype=np.int32)
        greedy = policy(found.visits, offsets, 0.0)
        assert found.actions[np.flatnonzero(greedy)].tolist() == [found.action]
        targets = (found.visits.astype(np.float64) / found.visits.sum()).astype(np.float32)
        assert policy(found.visits, offsets, 1.0).tobytes() == targets.tobytes()


@pytest.mark.parametrize(
    ("counts", "offsets", "error", "message"),
    [
        ([1, 2], [0, 1], ValueError, "offsets must start at 0 and end at the number of entries"),
        ([1, 2, 3], [0, 2, 1, 3], ValueError, "offsets must not decrease"),
        ([1, -2], [0, 2], ValueError, "counts must not be negative"),
        (np.array([1.0, 2.0]), [0, 2], TypeError, "counts: unsupported element format"),
        (np.ones((2, 2), dtype=np.int32), [0, 4], ValueError, "counts: expected one dimension"),
        ([1, 2], np.array([0, 2], dtype=np.int64), TypeError, "offsets: unsupported"),
    ],
)
def test_bad_rows_are_refused(counts, offsets, error, message):
    as_int32 = [
        x if isinstance(x, np.ndarray) else np.array(x, np.int32) for x in (counts, offsets)
    ]
    with pytest.raises(error, match=message):
        _native.visit_policy(*as_int32, 1.0)


def test_the_score_range_is_the_engines():
    assert _native.LOWEST_SCORE == min(PyKrodan().scores) == -89
    assert _native.HIGHEST_SCORE == 20
    assert _native.HIGHEST_SCORE - _native.LOWEST_SCORE == 109


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: _native.visit_policy(np.zeros(1, np.int32), np.array([0, 1], np.int32), -1.0),
         "temperature must be from 0 to inf, not -1.0"),
        (lambda: _native.GuidedSearch(**{**_native.SEARCH_DEFAULTS, "dirichlet_fraction": 1.5}),
         "dirichlet_fraction must be from 0 to 1, not 1.5"),
    ],
)  # fmt: skip
def test_a_real_out_of_range_is_named_with_its_bounds(make, message):
    with pytest.raises(ValueError) as raised:
        make()
    assert str(raised.value) == message
