"""The hot loops on the baseline instruction set against the set chosen for this processor: each
measurement in a fresh process with KRODAN_RL_ISA=baseline, then in one without it, round after
round, the median of each kept and the ratio dispatched / baseline.

    python benchmarks/isa.py [--seconds S] [--rounds R] [--json FILE]

Measured: placements per second of VecKrodan at 1,024 games on 2 threads with observations and
the CSR lists (`random_actions`, the engine's own views), the same with the dense mask; the
single-game host loop (PyKrodan, engine-only self-play: observe, step); UCT simulations per
second at the opening (1 tree) and in the middle (ply 36, 2 trees).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

from rounds import interleaved_medians, parse_arguments

HERE = Path(__file__).resolve().parent
VARIABLE = "KRODAN_RL_ISA"


def batch_rate(seconds: float, dense_mask: bool) -> float:
    from vector import from_random_actions, turns_per_second

    from krodan_rl import VecKrodan

    vec = VecKrodan(1024, num_threads=2, seed=1, dense_mask=dense_mask, copy=False)
    return turns_per_second(vec, from_random_actions, seconds)


def host_loop_rate(seconds: float) -> float:
    from run import self_play

    return self_play(seconds, engine_only=True)["turns/s"]


def uct_rate(seconds: float, ply: int, trees: int) -> float:
    from before_after import tree_search

    return tree_search(ply, trees, seconds)


MEASURES: dict[str, Callable[[float], float]] = {
    "batch, observations + CSR lists, 1,024 games, 2 threads (placements/s)": lambda s: batch_rate(
        s, dense_mask=False
    ),
    "batch, observations + dense mask, 1,024 games, 2 threads (placements/s)": lambda s: batch_rate(
        s, dense_mask=True
    ),
    "single game through the host API, engine only (turns/s)": host_loop_rate,
    "UCT, opening, 1 tree (simulations/s)": lambda s: uct_rate(s, 0, 1),
    "UCT, middle, 2 trees (simulations/s)": lambda s: uct_rate(s, 36, 2),
}


def measure_in_child(name: str, seconds: float, isa: str | None) -> float:
    """One measurement in a fresh interpreter, its instruction set forced or left to choose."""
    env = {k: v for k, v in os.environ.items() if k != VARIABLE}
    if isa is not None:
        env[VARIABLE] = isa
    index = list(MEASURES).index(name)
    out = subprocess.run(
        [sys.executable, str(Path(__file__)), "--child", str(index), str(seconds)],
        env=env,
        cwd=HERE,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    expected = "baseline" if isa == "baseline" else None
    if expected is not None and out[0] != expected:
        raise RuntimeError(f"forced {isa}, ran {out[0]}")
    return float(out[1])


def child(index: int, seconds: float) -> None:
    from krodan_rl import _native

    rate = list(MEASURES.values())[index](seconds)
    print(_native.instruction_set(), rate)


def main() -> None:
    args = parse_arguments(__doc__, 2.0, "isa_results.json")
    from krodan_rl import _native

    chosen = _native.instruction_set()
    measures: dict[str, Callable[[], float]] = {}
    for name in MEASURES:
        for label, isa in (("baseline", "baseline"), (chosen, None)):
            measures[f"{name} | {label}"] = lambda name=name, isa=isa: measure_in_child(
                name, args.seconds, isa
            )
    medians = interleaved_medians(measures, args.rounds)
    print(f"| measurement | baseline | {chosen} | {chosen} / baseline |")
    print("|---|---:|---:|---:|")
    rows = {}
    for name in MEASURES:
        base, fast = medians[f"{name} | baseline"], medians[f"{name} | {chosen}"]
        rows[name] = {"baseline": base, chosen: fast, "ratio": fast / base}
        print(f"| {name} | {base:,.0f} | {fast:,.0f} | **{fast / base:.2f}** |")
    args.json.write_text(json.dumps({"dispatched": chosen, "rows": rows}, indent=2) + "\n")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        sys.path.insert(0, str(HERE))
        child(int(sys.argv[2]), float(sys.argv[3]))
    else:
        main()
