"""Playout cap randomisation and the Gumbel root in a training's self-play, on the tiny-2 recipe
(``conftest.capped_recipe``): which moves were searched fully follows from each move's seed
alone; a full move's target is the Gumbel search's improved policy and a cheap move the
noiseless search's own move, both redone here one game at a time from the run's checkpoint;
the share played is the configured one within sampling error, as the metrics record it; and
the learner's batches give cheap rows no policy weight while the warm start's greedy rows keep
their one-hot target."""

import json
import math

import numpy as np
import pytest
from conftest import capped_recipe, dataset_rows

pytestmark = pytest.mark.jax
pytest.importorskip("jax")
pytest.importorskip("optax")
pytest.importorskip("matplotlib")

from krodan_rl import seeds  # noqa: E402 (after the skips)
from krodan_rl._krodan import PyKrodan  # noqa: E402
from krodan_rl.nn import checkpoint  # noqa: E402
from krodan_rl.nn.evaluator import NetworkEvaluator  # noqa: E402
from krodan_rl.search import EXPLORATION, GuidedPlayer  # noqa: E402
from krodan_rl.selfplay import run_folder  # noqa: E402

CONFIG = capped_recipe()
# The moves of each kind and run searched again by hand.
REDONE = 8


def turns(out, iteration):
    return dataset_rows(out / "selfplay" / f"iter-{iteration:06d}")["turns"]


def move_seed(iteration, game_id, mover, ply):
    """The seed self-play gave the move: its run's, shard's, game's, seat's and ply's."""
    shard, game = divmod(game_id, CONFIG.games_at_once)
    return seeds.selfplay_move(CONFIG.seed + iteration, shard, game, mover, ply)


def one_game_players(out, iteration):
    """The full and the cheap search of ``iteration``'s player, each made for one game."""
    start = checkpoint.load(out / "checkpoints" / f"iter-{iteration - 1:06d}.npz")
    evaluator = NetworkEvaluator(start.params, start.config)
    settings = CONFIG.at(iteration)
    root = {"root": "gumbel", "gumbel_actions": CONFIG.gumbel_actions,
            "reward_mode": CONFIG.network.value_mode}  # fmt: skip
    full = GuidedPlayer(evaluator, settings.simulations,
                        temperature_plies=settings.temperature_plies, **root, **EXPLORATION)  # fmt: skip
    cheap = GuidedPlayer(evaluator, settings.cheap_simulations, gumbel_scale=0.0, **root)
    return full, cheap


@pytest.mark.parametrize("iteration", [1, 2])
def test_each_move_is_searched_as_its_seed_draws_and_recorded_as_that_search_gave(
    capped_training, iteration
):
    rows = turns(capped_training, iteration)
    drawn = [
        move_seed(iteration, *row)
        for row in zip(rows["game_id"], rows["mover"], rows["ply"], strict=True)
    ]
    full_drawn = [seeds.full_search_draw(s) < CONFIG.full_search_share for s in drawn]
    assert rows["has_policy"] == full_drawn
    settings = CONFIG.at(iteration)
    name = f"gumbel:checkpoints/iter-{iteration - 1:06d}.npz:{settings.simulations}"
    capped = f"{name}/{settings.cheap_simulations}@{CONFIG.full_search_share:g}"
    recorded = run_folder.recorded_run(capped_training / "selfplay" / f"iter-{iteration:06d}")
    assert recorded["players"] == [capped] * 4
    full, cheap = one_game_players(capped_training, iteration)
    for wanted, player in ((True, full), (False, cheap)):
        redone = [r for r, f in enumerate(full_drawn) if f == wanted][:REDONE]
        assert len(redone) == REDONE
        for r in redone:
            game = PyKrodan.from_bytes(rows["state"][r])
            seed = np.array([drawn[r]], dtype=np.uint64)
            action, actions, probs = player.search_moves([game], seed)[0]
            assert rows["action"][r] == action, (wanted, r)
            if wanted:  # the improved policy, as the search gave it
                assert rows["policy_actions"][r] == actions.tolist()
                assert np.array_equal(np.float32(rows["policy_probs"][r]), probs)
            else:  # no target; and no draw: another seed plays the same move
                assert rows["policy_actions"][r] == [] and rows["policy_probs"][r] == []
                assert player.search_moves([game], seed + 1)[0][0] == action


def test_the_share_searched_fully_is_the_configured_one_and_the_metrics_record_it(
    capped_training,
):
    lines = (capped_training / "metrics.jsonl").read_text().splitlines()
    found = {r["iteration"]: r for r in map(json.loads, lines)}
    played = [turns(capped_training, k)["has_policy"] for k in (1, 2)]
    for k, flags in zip((1, 2), played, strict=True):
        assert found[k]["full_search_share_played"] == sum(flags) / len(flags)
        assert found[k]["cheap_simulations"] == CONFIG.at(k).cheap_simulations
    assert [found[k]["cheap_simulations"] for k in (1, 2)] == [2, 3]
    pooled = [flag for flags in played for flag in flags]
    share, p = sum(pooled) / len(pooled), CONFIG.full_search_share
    assert abs(share - p) <= 4 * math.sqrt(p * (1 - p) / len(pooled)), (share, len(pooled))


def test_cheap_rows_weigh_nothing_in_the_policy_loss_and_greedy_rows_keep_their_one_hot(
    capped_training,
):
    from krodan_rl.train.folder import Training
    from krodan_rl.train.learner import Learner, batch_arrays
    from krodan_rl.train.learning import batches
    from krodan_rl.train.window import window

    # Iteration 1: half of each batch from the warm start's greedy games, drawn after the rest.
    config = CONFIG.with_options(batch_size=128)
    assert config.at(1).warm_start_share == 0.5
    found, _ = window(Training(capped_training), config, config.at(1), 1)
    batch = next(batches(found, config, config.seed + 1))
    arrays = batch_arrays(batch)
    weight, policy, action = arrays["policy_weight"], arrays["policy"], batch["action"]
    searched, greedy = slice(0, 64), slice(64, 128)
    cheap = ~batch["has_policy"][searched]
    assert cheap.any() and not cheap.all()
    assert np.array_equal(weight[searched], np.where(cheap, 0.0, 1.0).astype(np.float32))
    assert not policy[searched][cheap].any()
    assert np.allclose(policy[searched][~cheap].sum(axis=1), 1.0, atol=1e-5)
    assert not batch["has_policy"][greedy].any() and (weight[greedy] == 1).all()
    one_hot = np.zeros_like(policy[greedy])
    one_hot[np.arange(64), action[greedy]] = 1.0
    assert np.array_equal(policy[greedy], one_hot)

    # The policy's loss is the same without the cheap rows, a batch computed as batches
    # without such rows always were (no weights); the value's is not.
    start = checkpoint.load(capped_training / "checkpoints" / "iter-000000.npz")
    learner = Learner(config.network, 1e-3, config.weight_decay, config.seed, start,
                      config.weight_decay_mode)  # fmt: skip
    kept = weight > 0
    without = {key: value[kept] for key, value in batch.items()}
    assert "policy_weight" not in batch_arrays(without)
    mine, theirs = learner.losses(batch), learner.losses(without)
    assert mine["policy_loss"] == pytest.approx(theirs["policy_loss"], rel=1e-6)
    assert mine["value_loss"] != pytest.approx(theirs["value_loss"], rel=1e-6)
