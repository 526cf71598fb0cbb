"""mctx's gumbel_muzero_policy as an outside oracle for the guided search's Gumbel root: the same
positions, evaluations and Gumbel noise give the same root visits, action and improved policy.

mctx values a node by one number for its mover and a child by reward + discount · value; the
made-up evaluator here gives values in two teams (agents 0 and 2 against 1 and 3, who alternate
while nobody passes), x for the mover's team and 1 - x for the other, which mctx's
reward 1 and discount -1 reproduce exactly."""

import numpy as np
import pytest
from conftest import set_indices
from test_search import NUM_ACTIONS, POSITIONS, prior_weights, skip_passes

from krodan_rl.search import BatchedSearch

jax = pytest.importorskip("jax")
mctx = pytest.importorskip("mctx")
jnp = jax.numpy

pytestmark = pytest.mark.jax


def team_value(cells) -> np.float32:
    """x of the mover's team from the cells of each agent (relative order)."""
    weighted = int((np.asarray(cells, dtype=np.int64) * [7, 13, 29, 31]).sum())
    return np.float32(weighted % 97 / 96)


def team_evaluator(leaves):
    offsets, legal = leaves["legal_offsets"], leaves["legal_actions"]
    cells = leaves["observation"][:, :4].reshape(len(offsets) - 1, 4, -1).sum(axis=2)
    priors = np.concatenate(
        [
            prior_weights(legal[lo:hi], c.sum())
            for lo, hi, c in zip(offsets, offsets[1:], cells, strict=False)
        ]
    )
    x = np.array([team_value(c) for c in cells], dtype=np.float32)
    return priors, np.stack([x, 1 - x, x, 1 - x], axis=1)


def oracle_evaluation(game):
    """Dense prior logits as the search holds the priors (renormalised in double, then float32;
    illegal actions far below) and the mover's team value."""
    view = game.observe(game.agent_selection)
    actions = set_indices(view.action_mask)
    cells = np.frombuffer(view.observation, dtype=np.uint8).reshape(4, -1).sum(axis=1)
    weights = prior_weights(actions, cells.sum()).astype(np.float64)
    logits = np.full(NUM_ACTIONS, -1e30, dtype=np.float32)
    logits[actions] = np.log((weights / weights.sum()).astype(np.float32))
    return logits, team_value(cells), actions


def oracle_search(game, simulations, k, noise):
    games = [game]

    def step(action, embedding):
        child = games[int(embedding[0])].copy()
        mover = child.agent_selection
        child.step(int(action[0]))
        skip_passes(child)
        assert not child.is_over and child.agent_selection == (mover + 1) % 4
        games.append(child)
        logits, x, _ = oracle_evaluation(child)
        return logits[None], np.array([x]), np.array([len(games) - 1], dtype=np.int32)

    shapes = (jax.ShapeDtypeStruct((1, NUM_ACTIONS), jnp.float32),
              jax.ShapeDtypeStruct((1,), jnp.float32), jax.ShapeDtypeStruct((1,), jnp.int32))  # fmt: skip

    def recurrent_fn(params, rng, action, embedding):
        logits, value, child = jax.pure_callback(step, shapes, action, embedding)
        out = mctx.RecurrentFnOutput(reward=jnp.ones(1), discount=-jnp.ones(1),
                                     prior_logits=logits, value=value)  # fmt: skip
        return out, child

    logits, x, actions = oracle_evaluation(game)
    invalid = np.ones((1, NUM_ACTIONS), dtype=bool)
    invalid[0, actions] = False
    root = mctx.RootFnOutput(prior_logits=jnp.asarray(logits[None]), value=jnp.array([x]),
                             embedding=jnp.zeros(1, dtype=jnp.int32))  # fmt: skip
    out = mctx.gumbel_muzero_policy(
        params=(), rng_key=jax.random.PRNGKey(0), root=root, recurrent_fn=recurrent_fn,
        num_simulations=simulations, invalid_actions=jnp.asarray(invalid),
        max_num_considered_actions=k, gumbel_scale=1.0,
    )  # fmt: skip
    return out, actions


@pytest.mark.parametrize(("position", "simulations", "k"), [(0, 16, 16), (1, 32, 16), (1, 24, 4)])
def test_visits_action_and_improved_policy_equal_mctx(monkeypatch, position, simulations, k):
    game = skip_passes(POSITIONS[position].copy())
    search = BatchedSearch(1, simulations=simulations, root="gumbel", gumbel_actions=k, seed=7)
    search.start([game])
    search.run(team_evaluator)
    policy = search.policy(1.0)
    dense_noise = np.zeros((1, NUM_ACTIONS), dtype=np.float32)
    dense_noise[0, policy["actions"]] = search.root_noise()
    # mctx draws its noise from jax.random.gumbel: it gets the search's instead.
    monkeypatch.setattr(jax.random, "gumbel", lambda *args, **kwargs: jnp.asarray(dense_noise))
    out, actions = oracle_search(game, simulations, k, dense_noise)
    assert list(actions) == policy["actions"].tolist()
    visits = np.asarray(out.search_tree.summary().visit_counts)[0, actions]
    assert visits.astype(int).tolist() == policy["counts"].tolist()
    assert int(out.action[0]) == int(search.select(0.0)[0])
    weights = np.asarray(out.action_weights)[0, actions]
    np.testing.assert_allclose(policy["probs"], weights, atol=2e-5)
