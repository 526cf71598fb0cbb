"""The engine's regression signature: one number that changes when its behaviour does.

    python -m krodan_rl.signature

Plays a fixed set of seeded random games in a batch and hashes, after every step, each game's
observation and legal actions, then the final states; the rules, the move search, the
observations, the state strings and the random streams all reach it. A test holds the value:
a change that moves it changes what users see, and must say so.
"""

from __future__ import annotations

import hashlib

from krodan_rl.vector import VecKrodan

__all__ = ["GAMES", "SEED", "signature"]

GAMES = 16
SEED = 2026


def signature(games: int = GAMES, seed: int = SEED) -> int:
    """The signature of `games` seeded random games played to their ends."""
    vec = VecKrodan(games, num_threads=1, auto_reset=False, dense_mask=False, copy=False, seed=seed)
    digest = hashlib.blake2b(digest_size=8)
    legal_total = 0
    while not vec.terminated.all():
        legal_total += int(vec.legal_offsets[-1])
        for array in (vec.observation, vec.pieces, vec.done, vec.legal_offsets, vec.legal_actions):
            if array is not None:  # each is, with observations on
                digest.update(array.tobytes())
        vec.step(vec.random_actions())
    for i in range(games):
        digest.update(vec.get_state(i))
    digest.update(legal_total.to_bytes(8, "little"))
    return int.from_bytes(digest.digest(), "little")


if __name__ == "__main__":
    print(signature())
