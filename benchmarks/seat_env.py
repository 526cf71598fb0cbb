"""The learner-seat environment's speed against the batch it stands on: learner steps per second
of ``SeatVectorEnv`` (the learner's move plus the three greedy opponents' until its next turn)
beside ``VecKrodan`` stepping the same games with greedy agents in every seat (four moves a
round, native), N games, 2 threads, interleaved rounds.

    python benchmarks/seat_env.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import platform
import time

import numpy as np
from rounds import interleaved_medians, parse_arguments

from krodan_rl import VecKrodan
from krodan_rl.agents import GreedyAgent
from krodan_rl.seat_env import SeatVectorEnv

GAMES = 256


def seat_env_rate(seconds: float, mask: bool) -> float:
    """Learner moves per second (one per game per step), the learner playing its first legal
    action."""
    env = SeatVectorEnv(GAMES, action_mask=mask, num_threads=2)
    _, info = env.reset(seed=0)
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        actions = np.array([legal[0] if len(legal) else 0 for legal in info["legal_actions"]])
        _, _, _, _, info = env.step(actions)
        done += int(info["_legal_actions"].sum())
    return done / (time.perf_counter() - start)


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


def main() -> None:
    args = parse_arguments(__doc__ or "", 2.0, "seat_env_results.json")
    medians = interleaved_medians(
        {
            "SeatVectorEnv, learner moves/s": lambda: seat_env_rate(args.seconds, True),
            "SeatVectorEnv without the mask, learner moves/s": lambda: seat_env_rate(
                args.seconds, False
            ),
            "VecKrodan, greedy in every seat, moves/s / 4": lambda: batch_rate(args.seconds),
        },
        args.rounds,
    )
    report = {
        "machine": platform.processor() or platform.machine(),
        "games": GAMES,
        "rates": {k: round(v) for k, v in medians.items()},
        "SeatVectorEnv / VecKrodan": round(
            medians["SeatVectorEnv, learner moves/s"]
            / medians["VecKrodan, greedy in every seat, moves/s / 4"],
            2,
        ),
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
