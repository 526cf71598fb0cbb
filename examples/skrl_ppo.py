"""PPO from skrl (its JAX backend) learning one seat against three random agents, on the CPU.

    pip install '.[examples]'
    python examples/skrl_ppo.py --updates 20 --envs 64 --seed 0

Everything here is skrl's own boilerplate (two models, a memory, the agent, the trainer) but
the glue this game needs, marked GLUE below, 8 lines in all: the observation is one flat uint8
row (``SeatVectorEnv(flat=True)``) whose slice ``facts.FLAT_SLICES["action_mask"]`` marks the
legal actions (60-200 of 36,400); the networks read the features before it, and the policy's
logits are masked with it so that it only ever picks a legal action. The autoreset mode is
``SAME_STEP`` because skrl takes the observation returned with an episode's end for the next
episode's first, which is what that mode returns.

Prints the win share of the last 200 episodes (random play earns about 0.25) as it trains;
``main`` returns the last figure.
"""

import argparse
import time

import flax.linen as nn
import jax.numpy as jnp
from gymnasium.vector import AutoresetMode
from gymnasium.wrappers.vector import RecordEpisodeStatistics
from skrl.agents.jax.ppo import PPO, PPO_CFG
from skrl.envs.wrappers.jax import wrap_env
from skrl.memories.jax import RandomMemory
from skrl.models.jax import CategoricalMixin, DeterministicMixin, Model
from skrl.trainers.jax import SequentialTrainer
from skrl.utils import set_seed

from krodan_rl import SeatVectorEnv, facts

MASK = facts.FLAT_SLICES["action_mask"]  # GLUE: where the legal actions lie in a row
FEATURES = slice(0, MASK.start)  # GLUE: the planes, pieces and done flags before the mask
HIDDEN = 64
ORIENTATIONS, CELLS = facts.NUM_ORIENTATIONS, facts.BOARD_CELLS


class Policy(CategoricalMixin, Model):
    def __init__(self, **spaces):  # skrl's spaces and device, and flax's parent and name
        Model.__init__(self, **spaces)
        CategoricalMixin.__init__(self, unnormalized_log_prob=True)

    @nn.compact
    def __call__(self, inputs, role):
        rows = inputs["observations"]
        x = nn.relu(nn.Dense(HIDDEN)(rows[:, FEATURES]))  # GLUE: the features alone
        # One logit per piece orientation plus one per anchor cell (action = orientation * 400
        # + cell), summed: 491 outputs rather than 36,400, so that what a piece is worth is
        # learnt from every placement of it, wherever it went.
        small = nn.initializers.normal(0.01)  # a near-uniform first policy
        by_piece = nn.Dense(ORIENTATIONS, kernel_init=small)(x)
        by_cell = nn.Dense(CELLS, kernel_init=small)(x)
        logits = (by_piece[:, :, None] + by_cell[:, None, :]).reshape(len(rows), -1)
        legal = rows[:, MASK] > 0  # GLUE: the mask, read from the same row
        return jnp.where(legal, logits, -1e9), {}  # GLUE: illegal actions never drawn


class Value(DeterministicMixin, Model):
    def __init__(self, **spaces):  # skrl's spaces and device, and flax's parent and name
        Model.__init__(self, **spaces)
        DeterministicMixin.__init__(self)

    @nn.compact
    def __call__(self, inputs, role):
        x = nn.relu(nn.Dense(HIDDEN)(inputs["observations"][:, FEATURES]))  # GLUE
        return nn.Dense(1, kernel_init=nn.initializers.normal(0.01))(x), {}  # starts near 0


def main(updates=20, envs=64, seed=0, rollouts=16, learning_rate=1e-2, quiet=False):
    set_seed(seed)
    games = SeatVectorEnv(envs, opponents=("random",) * 3, seat="rotate", seed=seed, flat=True,
                          autoreset_mode=AutoresetMode.SAME_STEP)  # fmt: skip  # GLUE (2 lines)
    stats = RecordEpisodeStatistics(games, buffer_length=200)  # the last 200 episodes' returns
    env = wrap_env(stats, wrapper="gymnasium")
    spaces = {"observation_space": env.observation_space, "state_space": env.state_space,
              "action_space": env.action_space}  # fmt: skip
    models = {"policy": Policy(**spaces), "value": Value(**spaces)}
    for model in models.values():
        model.init_state_dict(role="")
    # The value network learns at a tenth of the policy's rate and unclipped: Adam moves each
    # of its first layer's weights by the rate, and a row has about a thousand nonzero inputs,
    # so at the policy's rate its outputs overshoot [0, 1] at once; skrl's clipped value loss
    # then has no gradient to bring them back, and the advantages are noise.
    cfg = PPO_CFG(rollouts=rollouts, learning_epochs=2, mini_batches=4, discount_factor=1.0,
                  learning_rate=(learning_rate, learning_rate / 10), value_clip=0.0,
                  experiment={"write_interval": 0, "checkpoint_interval": 0})  # fmt: skip
    memory = RandomMemory(memory_size=rollouts, num_envs=envs)
    agent = PPO(models=models, memory=memory, cfg=cfg, **spaces)
    # One update per call: the trainer's `rollouts` steps fill the memory, then PPO learns.
    trainer = SequentialTrainer(env=env, agents=agent,
                                cfg={"timesteps": rollouts, "headless": True,
                                     "disable_progressbar": True})  # fmt: skip
    start, share = time.perf_counter(), float("nan")
    for update in range(1, updates + 1):
        trainer.train()
        if stats.return_queue:
            share = sum(stats.return_queue) / len(stats.return_queue)
        if not quiet:
            print(f"update {update:3d}  episodes {stats.episode_count:5d}  "
                  f"win share (last {len(stats.return_queue)}) {share:.3f}  "
                  f"{time.perf_counter() - start:5.1f} s", flush=True)  # fmt: skip
    return share


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updates", type=int, default=20, help="PPO updates (default 20)")
    parser.add_argument("--envs", type=int, default=64, help="games played side by side")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(f"final win share {main(args.updates, args.envs, args.seed):.3f}")
