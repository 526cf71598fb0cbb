"""Tree-search speed: simulations per second at the opening, in the middle and at the end, on 1
and 2 threads, as a ratio to whole random games per second in C++ on one core measured in the
same run; the same UCT written in Python over PyKrodan.copy()/step, as a ratio; and the tree's
bytes per node and peak memory.

    python benchmarks/search.py [--seconds S] [--rounds R] [--json FILE]
"""

from __future__ import annotations

import json
import math
import platform
import random
import time

from rounds import interleaved_medians, parse_arguments
from vector import single_game_cpp_rate

from krodan_rl import PyKrodan
from krodan_rl.agents import MCTSAgent, RandomAgent
from krodan_rl.play import legal_actions

PHASE_PLY = {"opening": 0, "middle": 36, "end": 60}


def position_at(ply: int, seed: int = 1) -> PyKrodan:
    """The first position at `ply` placements or more whose mover can move, of the first
    seeded random game that gets there."""
    while True:
        game, agent = PyKrodan(), RandomAgent(seed)
        while not game.is_over and (game.ply < ply or agent_done(game)):
            game.step(agent.act(game))
        if not game.is_over:
            return game
        seed += 1


def agent_done(game: PyKrodan) -> bool:
    return not legal_actions(game.observe(game.agent_selection).action_mask)


def placements_per_random_game(games: int = 200) -> float:
    total = 0
    for seed in range(games):
        game, agent = PyKrodan(), RandomAgent(seed)
        while not game.is_over:
            game.step(agent.act(game))
        total += game.ply
    return total / games


def search_rate(game: PyKrodan, threads: int, seconds: float) -> float:
    """Simulations per second of searches from `game`, repeated for about `seconds`."""
    agent = MCTSAgent(800, threads=threads, seed=3)
    done, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        agent.search(game)
        done += agent.simulations
    return done / (time.perf_counter() - start)


class PythonUct:
    """The same UCT over the game class: a few dozen lines of what users would write."""

    def __init__(self, c: float = 1.4142, seed: int = 0) -> None:
        self.c, self.rng = c, random.Random(seed)

    def search(self, root: PyKrodan, simulations: int) -> int:
        stats: dict[bytes, list[float]] = {}  # state -> [visits, value of each agent x 4]
        children: dict[bytes, list[tuple[int, bytes]]] = {}
        for _ in range(simulations):
            game, path = root.copy(), [root.to_bytes()]
            while not game.is_over:
                key = path[-1]
                if key not in children:
                    moves = legal_actions(game.observe(game.agent_selection).action_mask)
                    if not moves:
                        game.step(None)
                        path[-1] = game.to_bytes()
                        continue
                    kids = []
                    for a in moves:
                        child = game.copy()
                        child.step(a)
                        kids.append((a, child.to_bytes()))
                    children[key] = kids
                kids, mover = children[key], game.agent_selection
                untried = [k for k in kids if k[1] not in stats]
                if untried:
                    action, state = self.rng.choice(untried)
                    game.step(action)
                    path.append(state)
                    stats[state] = [0.0] * 5
                    break
                log_n = math.log(stats[key][0])

                def score(kid: tuple[int, bytes], log_n: float = log_n, mover: int = mover):
                    s = stats[kid[1]]
                    return s[1 + mover] / s[0] + self.c * math.sqrt(log_n / s[0])

                action, state = max(kids, key=score)
                game.step(action)
                path.append(state)
            while not game.is_over:  # random rollout
                moves = legal_actions(game.observe(game.agent_selection).action_mask)
                game.step(self.rng.choice(moves) if moves else None)
            outcome = game.outcome("win_share") or [0.0] * 4
            for key in path:
                s = stats.setdefault(key, [0.0] * 5)
                s[0] += 1
                for a in range(4):
                    s[1 + a] += outcome[a]
        kids = children[root.to_bytes()]
        return max(kids, key=lambda k: stats.get(k[1], [0.0])[0])[0]


def python_rate(game: PyKrodan, seconds: float) -> float:
    uct, done, start = PythonUct(), 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        uct.search(game, 20)
        done += 20
    return done / (time.perf_counter() - start)


def main() -> None:
    args = parse_arguments(__doc__, 3.0, "search_results.json")
    positions = {phase: position_at(ply) for phase, ply in PHASE_PLY.items()}
    per_game = placements_per_random_game()
    placements = single_game_cpp_rate(args.seconds)
    measures = {
        f"{phase} {threads} thread(s)": (lambda g=game, t=threads: search_rate(g, t, args.seconds))
        for phase, game in positions.items()
        for threads in (1, 2)
    }
    measures["opening, Python UCT"] = lambda: python_rate(positions["opening"], args.seconds)
    rates = interleaved_medians(measures, args.rounds)
    games_per_second = placements / per_game if placements else None
    memory = MCTSAgent(1600, seed=1)
    memory.search(positions["opening"])
    report = {
        "machine": platform.processor() or platform.machine(),
        "placements per random game": round(per_game, 1),
        "C++ random games/s, one core": round(games_per_second, 1) if games_per_second else None,
        "simulations/s": {k: round(v, 1) for k, v in rates.items()},
        "ratio to C++ random games/s": {
            k: round(v / games_per_second, 3) for k, v in rates.items() if games_per_second
        },
        "native / Python UCT at the opening, 1 thread": round(
            rates["opening 1 thread(s)"] / rates["opening, Python UCT"], 1
        ),
        "tree at 1,600 simulations from the opening": {
            "nodes": memory.last_tree_nodes,
            "bytes": memory.last_tree_bytes,
            "bytes per node": round(memory.last_tree_bytes / memory.last_tree_nodes, 1),
        },
    }
    print(json.dumps(report, indent=2))
    args.json.write_text(json.dumps(report, indent=2) + "\n")


if __name__ == "__main__":
    main()
