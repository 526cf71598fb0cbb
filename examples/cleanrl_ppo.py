"""PPO in one file, the CleanRL way (JAX and optax, no framework), learning one seat against
three random agents on the CPU.

    pip install '.[examples]'
    python examples/cleanrl_ppo.py --updates 20 --envs 64 --seed 0

The observation is one flat uint8 row (``SeatVectorEnv(flat=True)``): the board planes, the
pieces in hand and the done flags, then the action mask at ``facts.FLAT_SLICES["action_mask"]``
(60-200 legal actions of 36,400). The policy's logits are masked with it, so it only ever picks
a legal action. The autoreset mode is ``SAME_STEP``: after an episode ends the row returned is
already the next episode's first, so every stored step is a real decision with a real mask and
a terminal step simply does not bootstrap (``NEXT_STEP`` would hand back an extra step per
episode whose action is ignored and whose mask is the finished game's, all zeros).

Prints the win share of the last 200 episodes (random play earns about 0.25) as it trains;
``main`` returns the last figure.
"""

import argparse
import time

import jax
import jax.numpy as jnp
import numpy as np
import optax
from gymnasium.vector import AutoresetMode
from gymnasium.wrappers.vector import RecordEpisodeStatistics

from krodan_rl import SeatVectorEnv, facts

MASK = facts.FLAT_SLICES["action_mask"]
FEATURES = MASK.start  # everything before the mask: planes, pieces, done flags
ORIENTATIONS, CELLS = facts.NUM_ORIENTATIONS, facts.BOARD_CELLS  # action = orientation * 400 + cell


def init_params(key, hidden=64):
    # One logit per piece orientation plus one per anchor cell, summed: 491 outputs instead of
    # 36,400, so what a piece is worth is learnt from every placement of it, wherever it went.
    shapes = {"torso": (FEATURES, hidden), "piece": (hidden, ORIENTATIONS),
              "cell": (hidden, CELLS), "value": (hidden, 1)}  # fmt: skip
    keys = jax.random.split(key, len(shapes))
    params = {}
    for k, (name, (fan_in, fan_out)) in zip(keys, shapes.items(), strict=True):
        scale = 0.01 if name != "torso" else np.sqrt(2 / fan_in)  # near-uniform first policy
        params[name] = (jax.random.normal(k, (fan_in, fan_out)) * scale, jnp.zeros(fan_out))
    return params


def forward(params, rows):
    """Masked logits (B, 36400) and values (B,) for a batch of flat rows."""
    dense = lambda name, x: x @ params[name][0] + params[name][1]  # noqa: E731
    h = jax.nn.relu(dense("torso", rows[:, :FEATURES].astype(jnp.float32)))
    logits = (dense("piece", h)[:, :, None] + dense("cell", h)[:, None, :]).reshape(len(rows), -1)
    return jnp.where(rows[:, MASK] > 0, logits, -1e9), dense("value", h)[:, 0]


@jax.jit
def act(params, rows, key):
    logits, value = forward(params, rows)
    logps = jax.nn.log_softmax(logits)
    # Drawn by inverse CDF, one uniform number per game rather than one Gumbel per action
    # (36,400): the first action whose running probability passes it, a legal one as illegal
    # actions add nothing. Rounding may leave none past it: then the likeliest action.
    cdf = jnp.cumsum(jnp.exp(logps), axis=-1)
    passed = cdf > jax.random.uniform(key, (len(rows), 1)) * cdf[:, -1:]
    action = jnp.where(passed.any(-1), passed.argmax(-1), logits.argmax(-1))
    return action, logps[jnp.arange(len(rows)), action], value


def loss(params, batch, clip=0.2, value_coef=0.5, entropy_coef=0.01):
    logits, value = forward(params, batch["rows"])
    logps = jax.nn.log_softmax(logits)
    logp = logps[jnp.arange(len(logits)), batch["actions"]]
    ratio = jnp.exp(logp - batch["logps"])
    adv = (batch["advantages"] - batch["advantages"].mean()) / (batch["advantages"].std() + 1e-8)
    policy_loss = -jnp.minimum(ratio * adv, jnp.clip(ratio, 1 - clip, 1 + clip) * adv).mean()
    entropy = -(jnp.exp(logps) * logps).sum(-1).mean()  # illegal actions add 0 * -1e9 = 0
    value_loss = ((value - batch["returns"]) ** 2).mean()
    return policy_loss + value_coef * value_loss - entropy_coef * entropy


def advantages_of(rewards, values, ends, last_value, gamma=1.0, lam=0.95):
    """GAE over a (steps, envs) rollout; a step that ended its episode does not bootstrap."""
    adv, running = np.zeros_like(rewards), 0.0
    for t in reversed(range(len(rewards))):
        following = last_value if t == len(rewards) - 1 else values[t + 1]
        delta = rewards[t] + gamma * following * (1 - ends[t]) - values[t]
        running = delta + gamma * lam * (1 - ends[t]) * running
        adv[t] = running
    return adv


def main(updates=20, envs=64, seed=0, steps=16, learning_rate=1e-2, epochs=2, minibatches=4,
         quiet=False):  # fmt: skip
    games = SeatVectorEnv(envs, opponents=("random",) * 3, seat="rotate", seed=seed, flat=True,
                          autoreset_mode=AutoresetMode.SAME_STEP)  # fmt: skip
    env = RecordEpisodeStatistics(games, buffer_length=200)  # the last 200 episodes' returns
    key = jax.random.PRNGKey(seed)
    key, init_key = jax.random.split(key)
    params = init_params(init_key)
    optimizer = optax.chain(optax.clip_by_global_norm(0.5), optax.adam(learning_rate))
    opt_state = optimizer.init(params)

    @jax.jit
    def learn(params, opt_state, batch):
        grads = jax.grad(loss)(params, batch)
        updates_, opt_state = optimizer.update(grads, opt_state)
        return optax.apply_updates(params, updates_), opt_state

    rows, _ = env.reset(seed=seed)
    rng, start, share = np.random.default_rng(seed), time.perf_counter(), float("nan")
    for update in range(1, updates + 1):
        stored = {name: [] for name in ("rows", "actions", "logps", "values", "rewards", "ends")}
        for _ in range(steps):
            key, sub = jax.random.split(key)
            action, logp, value = jax.device_get(act(params, rows, sub))
            stored["rows"].append(rows)
            rows, reward, terminated, truncated, _ = env.step(action)
            ends = (terminated | truncated).astype(np.float32)
            for name, item in zip(("actions", "logps", "values", "rewards", "ends"),
                                  (action, logp, value, reward, ends), strict=True):  # fmt: skip
                stored[name].append(np.asarray(item))
        data = {name: np.stack(items) for name, items in stored.items()}
        last_value = np.asarray(forward(params, rows)[1])
        advantages = advantages_of(data["rewards"], data["values"], data["ends"], last_value)
        flat = {"rows": data["rows"], "actions": data["actions"], "logps": data["logps"],
                "advantages": advantages, "returns": advantages + data["values"]}  # fmt: skip
        flat = {name: value.reshape(steps * envs, *value.shape[2:]) for name, value in flat.items()}
        for _ in range(epochs):
            for part in np.array_split(rng.permutation(steps * envs), minibatches):
                params, opt_state = learn(params, opt_state, {k: v[part] for k, v in flat.items()})
        if env.return_queue:
            share = float(np.mean(env.return_queue))
        if not quiet:
            print(f"update {update:3d}  episodes {env.episode_count:5d}  "
                  f"win share (last {len(env.return_queue)}) {share:.3f}  "
                  f"{time.perf_counter() - start:5.1f} s", flush=True)  # fmt: skip
    return share


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updates", type=int, default=20, help="PPO updates (default 20)")
    parser.add_argument("--envs", type=int, default=64, help="games played side by side")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(f"final win share {main(args.updates, args.envs, args.seed):.3f}")
