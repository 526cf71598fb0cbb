"""Speed and memory of the engine through the host API, with floors measured in the same run.

    python benchmarks/run.py [--json FILE] [--quick]

Prints a table and writes it as JSON (default benchmarks/results.json). Times are per call,
over a fixed corpus of positions from seeded random games, split into opening (ply < 16),
middle (ply < 56) and end. Each figure is the median of several timed repeats per position,
averaged over the positions of a phase. Floors: a no-op call of a C method, and creating bytes
objects of an observation's total size (41,288 bytes) plus one copy of 36,400 bytes. Each
target ratio is measured against its floor back to back, position by position.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

from krodan_rl import PyKrodan
from krodan_rl.play import legal_actions

PHASES = ("opening", "middle", "end")
OBSERVATION_SIZES = (1600, 1600, 1600, 84, 4, 36400)


def phase_of(game: PyKrodan) -> str:
    return "opening" if game.ply < 16 else "middle" if game.ply < 56 else "end"


def corpus(games: int) -> dict[str, list[tuple[PyKrodan, int]]]:
    """Positions where the agent to move can place a piece, with one legal action each."""
    positions: dict[str, list[tuple[PyKrodan, int]]] = {p: [] for p in PHASES}
    for seed in range(games):
        rng = random.Random(seed)
        game = PyKrodan()
        while not game.is_over:
            legal = legal_actions(game.observe(game.agent_selection).action_mask)
            if legal:
                action = rng.choice(legal)
                positions[phase_of(game)].append((game.copy(), action))
                game.step(action)
            else:
                game.step(None)
    return positions


def ns_per_call(run: Callable[[int], None], calls: int, repeats: int = 5) -> float:
    """Median over repeats of the time of `calls` calls, per call, in ns. A `run` that times
    its calls itself (after a setup) reports that time in `run.excluded`."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        run(calls)
        elapsed = time.perf_counter_ns() - start
        if getattr(run, "timed_inside", False):
            elapsed = run.excluded  # type: ignore[attr-defined]
        times.append(elapsed / calls)
    return statistics.median(times)


Make = Callable[[PyKrodan, int], Callable[[int], None]]


def operations() -> dict[str, Make]:
    """For each host operation, a maker of its timed loop at a position (game, legal action)."""

    def repeat(f: Callable[..., object], *args: object) -> Callable[[int], None]:
        """Calls f(*args) n times, with no wrapper between the loop and f."""
        if not args:

            def run(n: int) -> None:
                for _ in range(n):
                    f()

            return run
        (x,) = args

        def run_with(n: int) -> None:
            for _ in range(n):
                f(x)

        return run_with

    def observe(g: PyKrodan, a: int) -> Callable[[int], None]:
        def run(n: int) -> None:
            o, agent = g.observe, g.agent_selection
            for _ in range(n):
                o(agent).action_mask  # noqa: B018 (the read is what is timed)

        return run

    def scores(g: PyKrodan, a: int) -> Callable[[int], None]:
        def run(n: int) -> None:
            for _ in range(n):
                g.scores  # noqa: B018 (the read is what is timed)

        return run

    def step_placement(g: PyKrodan, a: int) -> Callable[[int], None]:
        # Each call steps a fresh copy; the copies are made before the clock starts.
        def run(n: int) -> None:
            steps = [g.copy().step for _ in range(n)]
            start = time.perf_counter_ns()
            for s in steps:
                s(a)
            run.excluded = time.perf_counter_ns() - start  # type: ignore[attr-defined]

        run.timed_inside = True  # type: ignore[attr-defined]
        return run

    done = PyKrodan.from_bytes(DONE_STATE)
    return {
        "PyKrodan()": lambda g, a: repeat(PyKrodan),
        "copy()": lambda g, a: repeat(g.copy),
        "step (placement)": step_placement,
        "step (pass)": lambda g, a: repeat(done.step, None),
        "observe + action_mask": observe,
        "to_bytes()": lambda g, a: repeat(g.to_bytes),
        "from_bytes()": lambda g, a: repeat(PyKrodan.from_bytes, g.to_bytes()),
        "scores": scores,
    }


def host_calls(positions: dict[str, list[tuple[PyKrodan, int]]], calls: int) -> dict:
    """ns per call of each host operation, by phase."""

    def over(phase: str, make: Make) -> float:
        return statistics.fmean(ns_per_call(make(g, a), calls) for g, a in positions[phase])

    return {name: {p: over(p, make) for p in PHASES} for name, make in operations().items()}


# Every agent done: each step is a pass.
DONE_STATE = b"\x01" + (bytes(64) + bytes(4) + b"\x00") * 4 + b"\x00"


def floor_runs() -> dict[str, Callable[[int], None]]:
    def call(n: int) -> None:
        f = (0).bit_length
        for _ in range(n):
            f()

    mask = bytes(36400)

    def observation_bytes(n: int) -> None:
        for _ in range(n):
            for size in OBSERVATION_SIZES:
                bytes(size)
            memoryview(mask).tobytes()

    return {CALL_FLOOR: call, BYTES_FLOOR: observation_bytes}


CALL_FLOOR = "call floor (no-op C method)"
BYTES_FLOOR = "bytes floor (41,288 B + copy of 36,400 B)"
TARGETS = {  # ratio name: (operation, floor)
    "observe / bytes floor": ("observe + action_mask", BYTES_FLOOR),
    "step (placement) / call floor": ("step (placement)", CALL_FLOOR),
    "copy / call floor": ("copy()", CALL_FLOOR),
}


def floors(calls: int) -> dict[str, float]:
    return {name: ns_per_call(run, calls * 10) for name, run in floor_runs().items()}


def ratios(positions: list[tuple[PyKrodan, int]], calls: int) -> dict[str, float]:
    """Each target ratio as the median over positions of the operation's time divided by its
    floor's, the two measured back to back, so that the shared machine's drift cancels out."""
    ops, runs = operations(), floor_runs()
    result = {}
    for name, (op, floor) in TARGETS.items():
        samples = []
        for game, action in positions:
            floor_ns = ns_per_call(runs[floor], calls * 10)
            samples.append(ns_per_call(ops[op](game, action), calls) / floor_ns)
        result[name] = statistics.median(samples)
    return result


def self_play(seconds: float, engine_only: bool) -> dict[str, float]:
    """Turns and games per second on one core with a random agent."""
    import numpy

    rng = random.Random(1)
    turns = games = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        game = PyKrodan()
        while not game.is_over:
            mask = game.observe(game.agent_selection).action_mask
            if engine_only:
                # The first legal action at or after a random index, wrapping around.
                at = mask.find(1, rng.randrange(36400))
                action = at if at != -1 else mask.find(1)
            else:
                legal = numpy.flatnonzero(numpy.frombuffer(mask, dtype=numpy.uint8))
                action = int(legal[rng.randrange(len(legal))]) if len(legal) else -1
            game.step(None if action == -1 else action)
            turns += 1
        games += 1
    elapsed = time.perf_counter() - start
    return {"turns/s": turns / elapsed, "games/s": games / elapsed}


def _worker(seconds: float) -> dict[str, float]:
    return self_play(seconds, engine_only=True)


def scaling(seconds: float) -> dict[str, float]:
    results = {}
    for workers in (1, 2):
        with multiprocessing.get_context("spawn").Pool(workers) as pool:
            parts = pool.map(_worker, [seconds] * workers)
        results[f"{workers} process(es) turns/s"] = sum(p["turns/s"] for p in parts)
    return results


FRESH_PROCESS = """
import time

def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

before = resident_kib()
start = time.perf_counter()
from krodan_rl import PyKrodan
game = PyKrodan()
elapsed = time.perf_counter() - start
print(elapsed * 1e3, resident_kib() - before)
"""

MANY_GAMES = """
import resource
from krodan_rl import PyKrodan
games = [PyKrodan() for _ in range(10_000)]
for g in games[::7]:
    g.step(0)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def memory() -> dict[str, float]:
    def run(code: str) -> list[float]:
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        )
        return [float(x) for x in out.stdout.split()]

    first_ms, first_kib = run(FRESH_PROCESS)
    (many_kib,) = run(MANY_GAMES)
    return {
        "game object bytes (sys.getsizeof)": sys.getsizeof(PyKrodan()),
        "first game in a fresh process, ms (import + table build)": first_ms,
        "first game in a fresh process, resident KiB added": first_kib,
        "peak RSS of 10,000 live games, KiB": many_kib,
    }


def engine_bench(build: Path) -> str | None:
    """The C++ benchmark's table, building it first with CMake where it is missing."""
    binary = build / "benchmarks" / "engine_bench"
    if not binary.exists():
        root = Path(__file__).resolve().parent.parent
        configure = ["cmake", "-S", str(root), "-B", str(build), "-DKRODAN_BUILD_BENCHMARKS=ON"]
        for command in (configure, ["cmake", "--build", str(build)]):
            if subprocess.run(command, capture_output=True, check=False).returncode != 0:
                return None
    return subprocess.run([str(binary)], capture_output=True, text=True, check=True).stdout


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", default=str(Path(__file__).with_name("results.json")))
    parser.add_argument("--quick", action="store_true", help="a smaller corpus, fewer calls")
    parser.add_argument("--build", default="build/bench", help="where engine_bench was built")
    args = parser.parse_args()
    games, calls, seconds = (2, 20, 1.0) if args.quick else (8, 100, 5.0)

    positions = corpus(games)
    result: dict = {
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"Python {platform.python_version()}",
        "corpus": {p: len(positions[p]) for p in PHASES},
    }
    result["host ns per call"] = host_calls(positions, calls)
    result["floors ns"] = floors(calls)
    result["ratios (middle, median of back-to-back pairs)"] = ratios(positions["middle"], calls)
    result["self-play, random agent (numpy)"] = self_play(seconds, engine_only=False)
    result["self-play, engine only"] = self_play(seconds, engine_only=True)
    result["scaling, engine-only self-play"] = scaling(seconds)
    result["memory"] = memory()
    cpp = engine_bench(Path(args.build))

    for section, values in result.items():
        if not isinstance(values, dict):
            print(f"{section}: {values}")
            continue
        print(f"\n{section}")
        for name, value in values.items():
            if isinstance(value, dict):
                print(f"  {name:<45}" + "".join(f"{v:>12.1f}" for v in value.values()))
            else:
                print(f"  {name:<45}{value:>12.2f}")
    if cpp:
        print("\nC++ engine (engine_bench)\n" + cpp)
        result["C++ engine"] = cpp.splitlines()
    Path(args.json).write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
