"""Speed of the batched engine, VecKrodan, at the level users drive it: a Python loop that steps
N games per call. Every figure that a goal is judged by is a ratio to a floor or a peer measured
in the same run, configurations interleaved round by round and the median taken.

    python benchmarks/vector.py [--seconds S] [--rounds R] [--json FILE]

Reports turns (placements) per second for N in {1, 64, 1024}, 1 and 2 threads, with and without
the dense mask, with actions from `random_actions` and from numpy over the CSR lists; then the
goals: the cost of observations against a memory floor, the speedup of two threads, random play
against whole random games in C++ on one core, and observations with CSR lists on two threads
against the PettingZoo loop.
"""

from __future__ import annotations

import json
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np
from rounds import ROOT, interleaved_medians, parse_arguments

from krodan_rl import VecKrodan

BENCH_BUILD = ROOT / "build" / "bench"
# One game's output bytes with observations and the dense mask: 12 planes, pieces, done, mask.
BYTES_PER_GAME = 12 * 400 + 84 + 4 + 36400


def turns_per_second(
    vec: VecKrodan, policy: Callable[[VecKrodan], np.ndarray], seconds: float
) -> float:
    """Placements per second of `vec.step(policy(vec))` over about `seconds`."""
    for _ in range(3):
        vec.step(policy(vec))
    steps = 0
    start = time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        for _ in range(4):
            vec.step(policy(vec))
        steps += 4
    return steps * vec.num_envs / elapsed


def from_random_actions(vec: VecKrodan) -> np.ndarray:
    return vec.random_actions()


def numpy_over_csr(rng: np.random.Generator) -> Callable[[VecKrodan], np.ndarray]:
    """A policy written in numpy: a uniform draw from each game's span of the CSR lists."""

    def policy(vec: VecKrodan) -> np.ndarray:
        offsets = vec.legal_offsets
        counts = np.diff(offsets)
        picks = (rng.random(vec.num_envs) * counts).astype(np.int64)
        return vec.legal_actions[offsets[:-1] + picks]

    return policy


def fill_floor_seconds_per_game(num_games: int, repeats: int = 30) -> float:
    """The memory floor: `buf.fill(1)` over a preallocated uint8 buffer of the bytes the
    observations and dense mask of `num_games` games take, per game (median)."""
    buf = np.zeros((num_games, BYTES_PER_GAME), dtype=np.uint8)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        buf.fill(1)
        times.append(time.perf_counter() - start)
    return statistics.median(times) / num_games


def single_game_cpp_rate(seconds: float) -> float | None:
    """Placements per second of whole random games played one at a time in C++ on one core."""
    binary = BENCH_BUILD / "benchmarks" / "batch_bench"
    # Configured as a Release build and brought up to date every time: a binary left from an
    # older engine or another build type would be a false floor.
    configure = ["cmake", "-S", str(ROOT), "-B", str(BENCH_BUILD)]
    configure += ["-DKRODAN_BUILD_BENCHMARKS=ON", "-DCMAKE_BUILD_TYPE=Release"]
    if subprocess.run(configure, capture_output=True).returncode != 0:
        return None
    build = ["cmake", "--build", str(BENCH_BUILD), "-j", "2", "--target", "batch_bench"]
    if subprocess.run(build, capture_output=True).returncode != 0:
        return None
    out = subprocess.run([str(binary), "--single", str(seconds)], capture_output=True, text=True)
    return float(out.stdout.split()[0]) if out.returncode == 0 else None


def pettingzoo_loop_rate(seconds: float) -> float:
    """Turns per second of the README's PettingZoo loop: env(), last(), masked sample."""
    import krodan_rl

    env = krodan_rl.env()
    env.reset(seed=0)
    turns = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        for agent in env.agent_iter():
            obs, _, termination, truncation, _ = env.last()
            if termination or truncation:
                action = None
            else:
                action = env.action_space(agent).sample(obs["action_mask"])
                turns += 1
            env.step(action)
        env.reset()
    return turns / (time.perf_counter() - start)


def main() -> None:
    args = parse_arguments(__doc__, 0.6, "vector_results.json")
    seconds, rounds = args.seconds, args.rounds
    rng = np.random.default_rng(0)

    def config(
        n: int, threads: int, policy: Callable[[VecKrodan], np.ndarray], **kw: bool
    ) -> Callable[[], float]:
        return lambda: turns_per_second(
            VecKrodan(n, num_threads=threads, seed=1, **kw), policy, seconds
        )

    load_before = os.getloadavg()
    grid: dict[str, Callable[[], float]] = {}
    for n in (1, 64, 1024):
        for threads in (1, 2):
            for dense in (True, False):
                for source, policy in (
                    ("random_actions", from_random_actions),
                    ("numpy CSR", numpy_over_csr(rng)),
                ):
                    grid[f"{n}|{threads}|{dense}|{source}"] = config(
                        n, threads, policy, dense_mask=dense
                    )
    # The goals' own configurations: shared views (copy=False) isolate the engine's cost.
    bare = {"observations": False, "dense_mask": False, "copy": False}
    goals = {
        "obs+mask, 1 thread, views": config(1024, 1, from_random_actions, copy=False),
        "obs+mask, 2 threads, views": config(1024, 2, from_random_actions, copy=False),
        "obs+CSR, 1 thread, views": config(
            1024, 1, from_random_actions, dense_mask=False, copy=False
        ),
        "64 obs+CSR, 1 thread, views": config(
            64, 1, from_random_actions, dense_mask=False, copy=False
        ),
        "64 obs+CSR, 2 threads, views": config(
            64, 2, from_random_actions, dense_mask=False, copy=False
        ),
        "bare, 1 thread, views": config(1024, 1, from_random_actions, **bare),
        "bare, 2 threads, views": config(1024, 2, from_random_actions, **bare),
        "obs+CSR, 2 threads": config(1024, 2, from_random_actions, dense_mask=False),
        "obs+CSR, 2 threads, views": config(
            1024, 2, from_random_actions, dense_mask=False, copy=False
        ),
    }
    rates = interleaved_medians({**grid, **goals}, rounds)
    floor = fill_floor_seconds_per_game(1024)
    cpp_single = single_game_cpp_rate(max(1.0, seconds * 2))
    pettingzoo = statistics.median(pettingzoo_loop_rate(seconds * 2) for _ in range(rounds))
    load_after = os.getloadavg()

    print(
        f"machine: {platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}, load average before {load_before[0]:.2f}, "
        f"after {load_after[0]:.2f}"
    )
    print("\nplacements/s (copy=True, as returned to users)")
    print(
        f"{'games':>6} {'threads':>7} {'dense mask':>10} {'random_actions':>15} {'numpy CSR':>10}"
    )
    for n in (1, 64, 1024):
        for threads in (1, 2):
            for dense in (True, False):
                a = rates[f"{n}|{threads}|{dense}|random_actions"]
                b = rates[f"{n}|{threads}|{dense}|numpy CSR"]
                print(f"{n:>6} {threads:>7} {dense!s:>10} {a:>15,.0f} {b:>10,.0f}")

    with_obs = 1 / rates["obs+mask, 1 thread, views"]
    without = 1 / rates["bare, 1 thread, views"]
    obs_ratio = (with_obs - without) / floor
    speedups = {}
    for n in (64, 1024):
        for dense in (True, False):
            two, one = (rates[f"{n}|{t}|{dense}|random_actions"] for t in (2, 1))
            speedups[f"N={n}, {'dense' if dense else 'CSR'}"] = two / one
    # The engine's own scaling: shared views, nothing copied on the calling thread.
    for name, two, one in (
        ("N=1024, dense, views", "obs+mask, 2 threads, views", "obs+mask, 1 thread, views"),
        ("N=1024, CSR, views", "obs+CSR, 2 threads, views", "obs+CSR, 1 thread, views"),
        ("N=1024, no observations, views", "bare, 2 threads, views", "bare, 1 thread, views"),
        ("N=64, CSR, views", "64 obs+CSR, 2 threads, views", "64 obs+CSR, 1 thread, views"),
    ):
        speedups[name] = rates[two] / rates[one]
    results = {
        "rates": rates,
        "floor_fill_ns_per_game": floor * 1e9,
        "observation_cost_ns_per_turn": (with_obs - without) * 1e9,
        "observation_cost_over_floor": obs_ratio,
        "two_thread_speedups": speedups,
        "cpp_single_game_placements_per_s": cpp_single,
        "pettingzoo_turns_per_s": pettingzoo,
        "load_average": [load_before[0], load_after[0]],
    }
    print("\ngoals")
    print(
        f"observation cost (N=1024, 1 thread, dense): {(with_obs - without) * 1e9:,.0f} ns/turn "
        f"= {obs_ratio:.2f} x the fill floor of {floor * 1e9:,.0f} ns/game (goal <= 2)"
    )
    for name, ratio in speedups.items():
        print(f"2 threads / 1 thread, random_actions, {name}: {ratio:.2f} (goal >= 1.7)")
    if cpp_single is not None:
        ratio = rates["bare, 2 threads, views"] / cpp_single
        results["random_play_over_cpp_single"] = ratio
        print(
            "random_actions play on 2 threads (no observations): "
            f"{rates['bare, 2 threads, views']:,.0f} placements/s = {ratio:.2f} x whole random "
            f"games in C++ on one core, {cpp_single:,.0f} placements/s (goal >= 1.7)"
        )
    else:
        print("C++ batch_bench could not be built: no C++ floor")
    for key in ("obs+CSR, 2 threads", "obs+CSR, 2 threads, views"):
        print(
            f"{key}: {rates[key]:,.0f} placements/s (goal >= 300,000) = "
            f"{rates[key] / pettingzoo:.1f} x the PettingZoo loop, {pettingzoo:,.0f} turns/s, "
            "passes included (goal >= 20)"
        )
    args.json.write_text(json.dumps(results, indent=2))
    print(f"\nwrote {args.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
