"""The learner-seat environment's speed against the batch it stands on: learner moves per second
of ``SeatVectorEnv`` (the learner's move plus the three greedy opponents' until its next turn)
with and without the action mask, the per-game legal lists in ``info`` and fresh copies of the
observations, beside ``VecKrodan`` stepping the same games with greedy agents in every seat
(four moves a round, native; its rate divided by four is one seat's), N games, 2 threads,
interleaved rounds. Only the calls into each are timed: the learner's choice of its first legal
action (from the lists, or from the mask when the lists are off) is left out.

    python benchmarks/seat_env.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import platform
import time
from typing import Any

import numpy as np
from rounds import interleaved_medians, parse_arguments

from krodan_rl import VecKrodan
from krodan_rl.agents import GreedyAgent
from krodan_rl.seat_env import SeatVectorEnv

GAMES = 256
BATCH = "VecKrodan, greedy in every seat, moves/s / 4"
ROUNDS = "SeatVectorEnv, opponents a round at a time, mask on, legal lists on, copies"


def first_legal(obs: dict[str, Any], info: dict[str, Any]) -> np.ndarray:
    """Each game's first legal action (0 where it has none: a game that just ended)."""
    if "legal_actions" in info:
        return np.array([legal[0] if len(legal) else 0 for legal in info["legal_actions"]])
    chosen: np.ndarray = obs["action_mask"].argmax(axis=1)
    return chosen


class RoundAtATime(SeatVectorEnv):
    """The environment playing its built-in opponents a round at a time, as it plays search
    and Python opponents (and as it played every opponent before a step became one call)."""

    def _make_opponents(self, seed: int) -> None:
        super()._make_opponents(seed)
        self._all_built_in = False


def seat_env_rate(
    seconds: float, mask: bool, lists: bool, copy: bool, kind: type[SeatVectorEnv] = SeatVectorEnv
) -> float:
    """Learner moves per second of the environment's own time (one per game in play per
    step)."""
    env = kind(GAMES, action_mask=mask, legal_actions=lists, copy=copy, num_threads=2)
    obs, info = env.reset(seed=0)
    done, spent = 0, 0.0
    while spent < seconds:
        actions = first_legal(obs, info)
        in_play = int((~env._vec.terminated).sum())  # what the step will play for the learner
        start = time.perf_counter()
        obs, _, _, _, info = env.step(actions)
        spent += time.perf_counter() - start
        done += in_play
    env.close()
    return done / spent


def batch_rate(seconds: float) -> float:
    """Moves per second of the batch with greedy agents in every seat, divided by four: the
    rate of one seat's moves when the others cost what the learner's opponents cost."""
    vec = VecKrodan(GAMES, dense_mask=False, copy=False, num_threads=2)
    vec.reset(seed=0)
    agents = [GreedyAgent(k) for k in range(4)]
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        actions = vec.agent_actions(agents)
        vec.step(actions)
        done += int((actions >= 0).sum())
        if vec.terminated.all():
            vec.reset()
    return done / 4 / (time.perf_counter() - start)


def configuration(mask: bool, lists: bool, copy: bool) -> str:
    return (
        f"SeatVectorEnv, mask {'on' if mask else 'off'}, legal lists {'on' if lists else 'off'}"
        f", {'copies' if copy else 'views'}"
    )


# Every combination but the one that tells the learner nothing of its legal actions.
CONFIGURATIONS = [
    (mask, lists, copy)
    for mask in (True, False)
    for lists in (True, False)
    for copy in (True, False)
    if mask or lists
]


def main() -> None:
    args = parse_arguments(__doc__ or "", 2.0, "seat_env_results.json")
    measures = {
        configuration(*c): (lambda c=c: seat_env_rate(args.seconds, *c)) for c in CONFIGURATIONS
    }
    measures[ROUNDS] = lambda: seat_env_rate(args.seconds, True, True, True, RoundAtATime)
    measures[BATCH] = lambda: batch_rate(args.seconds)
    medians = interleaved_medians(measures, args.rounds)
    report = {
        "machine": platform.processor() or platform.machine(),
        "games": GAMES,
        "rates": {k: round(v) for k, v in medians.items()},
        "against the batch": {
            name: round(rate / medians[BATCH], 2) for name, rate in medians.items() if name != BATCH
        },
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
