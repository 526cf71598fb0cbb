"""Self-play at scale: games per second of `krodan_rl.selfplay.generate` with the local backend
and with Ray (a head started for the benchmark, as a cluster would be), 1 and 2 workers, the
same shards; Ray's overhead per shard as (Ray time - connection - local time) / shards; the
machine's load average beside each figure.

    python benchmarks/selfplay_scale.py [--rounds R] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from krodan_rl.selfplay import generate

ROOT = Path(__file__).resolve().parents[1]
LINEUPS = {
    "greedy + 3 random (cheap games: overhead shows)": ["greedy", "random", "random", "random"],
    "mcts:100 + 3 greedy (search-bound)": ["mcts:100", "greedy", "greedy", "greedy"],
}
SHARDS = {
    "greedy + 3 random (cheap games: overhead shows)": (16, 40),
    "mcts:100 + 3 greedy (search-bound)": (4, 8),
}
# A head and its drivers agree on no token authentication, whatever an earlier local Ray
# instance left in ~/.ray.
ENV = {**os.environ, "RAY_USAGE_STATS_ENABLED": "0", "RAY_AUTH_MODE": "disabled"}
RAY_CLI = [sys.executable, "-m", "ray.scripts.scripts"]


def start_head() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    subprocess.run(
        [*RAY_CLI, "start", "--head", f"--port={port}", "--node-ip-address=127.0.0.1",
         "--num-cpus=2", "--include-dashboard=false", "--disable-usage-stats"],
        check=True, capture_output=True, timeout=180, env=ENV,
    )  # fmt: skip
    return f"127.0.0.1:{port}"


def timed_run(players: list[str], games_per_shard: int, shards: int, **options: Any) -> float:
    with tempfile.TemporaryDirectory() as out:
        start = time.perf_counter()
        generate(games_per_shard * shards, players, out, games_per_shard=games_per_shard, **options)
        return time.perf_counter() - start


def connection_seconds(address: str) -> float:
    import ray

    start = time.perf_counter()
    ray.init(address=address, log_to_driver=False)
    ray.shutdown()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument(
        "--json", type=Path, default=ROOT / "benchmarks" / "selfplay_scale_results.json"
    )
    args = parser.parse_args()
    address = start_head()
    report: dict[str, Any] = {
        "machine": platform.processor() or platform.machine(),
        "cores": os.cpu_count(),
    }
    try:
        report["ray connection, s"] = round(
            statistics.median(connection_seconds(address) for _ in range(3)), 2
        )
        for name, players in LINEUPS.items():
            per_shard, shards = SHARDS[name]
            games = per_shard * shards
            rows: dict[str, Any] = {"games per shard": per_shard, "shards": shards}
            for workers in (1, 2):
                seconds: dict[str, list[float]] = {
                    k: [] for k in ("local", "ray", "local 1", "ray 1")
                }
                loads: list[float] = []
                for _ in range(args.rounds):  # interleaved rounds
                    loads.append(os.getloadavg()[0])
                    for count, suffix in ((shards, ""), (1, " 1")):
                        seconds["local" + suffix].append(
                            timed_run(players, per_shard, count, workers=workers)
                        )
                        seconds["ray" + suffix].append(
                            timed_run(
                                players,
                                per_shard,
                                count,
                                workers=workers,
                                backend="ray",
                                address=address,
                            )
                        )
                t = {k: statistics.median(v) for k, v in seconds.items()}
                rows[f"{workers} worker(s)"] = {
                    "local games/s": round(games / t["local"], 1),
                    "ray games/s": round(games / t["ray"], 1),
                    "ray overhead per shard, ms: (ray - local) / shards": round(
                        (t["ray"] - t["local"]) / shards * 1000, 1
                    ),
                    "of which start-up (connect, actors), s: ray - local for one shard": round(
                        t["ray 1"] - t["local 1"], 2
                    ),
                    "and per further shard, ms": round(
                        ((t["ray"] - t["ray 1"]) - (t["local"] - t["local 1"]))
                        / (shards - 1)
                        * 1000,
                        1,
                    ),
                    "load average (1 min) before the rounds": [round(x, 2) for x in loads],
                }
            report[name] = rows
    finally:
        subprocess.run([*RAY_CLI, "stop", "--force"], capture_output=True, timeout=180, env=ENV)
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
