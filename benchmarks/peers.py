"""The same random-play loop on other game libraries and on ours, side by side.

    python benchmarks/peers.py [--seconds S] [--rounds R] [--json FILE]

Each turn of the loop reads the mover's observation as numpy, its legal actions, draws one
uniformly and plays it. Peers, where installed: OpenSpiel's go (19 x 19) and chess with its numpy
observer (`pip install open_spiel`), PettingZoo's connect_four (`pip install
'pettingzoo[classic]'`). Ours: the single game class, the PettingZoo environment and the batched
VecKrodan. Loops run in interleaved rounds; each figure is the median of its rounds.
"""

from __future__ import annotations

import json
import time
from collections.abc import Callable, Iterator

import numpy as np
from rounds import interleaved_medians, parse_arguments

# A loop plays turns until told to stop and yields after each batch of turns played.
Loop = Callable[[], Iterator[int]]


def timed(loop: Loop, seconds: float) -> float:
    """Turns per second of `loop` over about `seconds`."""
    turns = 0
    start = time.perf_counter()
    for played in loop():
        turns += played
        if time.perf_counter() - start >= seconds:
            break
    return turns / (time.perf_counter() - start)


def openspiel_loop(name: str, params: dict[str, int]) -> Loop | None:
    try:
        import pyspiel
        from open_spiel.python.observation import make_observation
    except ImportError:
        return None
    game = pyspiel.load_game(name, params)
    observer = make_observation(game)

    def loop() -> Iterator[int]:
        rng = np.random.default_rng(0)
        while True:
            state = game.new_initial_state()
            while not state.is_terminal():
                observer.set_from(state, state.current_player())
                legal = state.legal_actions()
                state.apply_action(legal[int(rng.integers(len(legal)))])
                yield 1

    return loop


def pettingzoo_loop(make_env: Callable[[], object]) -> Loop:
    def loop() -> Iterator[int]:
        env = make_env()
        env.reset(seed=0)  # type: ignore[attr-defined]
        while True:
            for agent in env.agent_iter():  # type: ignore[attr-defined]
                obs, _, termination, truncation, _ = env.last()  # type: ignore[attr-defined]
                if termination or truncation:
                    env.step(None)  # type: ignore[attr-defined]
                    continue
                action = env.action_space(agent).sample(obs["action_mask"])  # type: ignore[attr-defined]
                env.step(action)  # type: ignore[attr-defined]
                yield 1
            env.reset()  # type: ignore[attr-defined]

    return loop


def connect_four_loop() -> Loop | None:
    try:
        from pettingzoo.classic import connect_four_v3
    except ImportError:
        return None
    return pettingzoo_loop(connect_four_v3.env)


def single_game_loop() -> Iterator[int]:
    from krodan_rl import PyKrodan

    rng = np.random.default_rng(0)
    while True:
        game = PyKrodan()
        while not game.is_over:
            view = game.observe(game.agent_selection)
            np.frombuffer(view.observation, np.uint8).reshape(4, 20, 20)  # the observation
            legal = np.flatnonzero(np.frombuffer(view.action_mask, np.bool_))
            if len(legal):
                game.step(int(legal[int(rng.integers(len(legal)))]))
                yield 1
            else:
                game.step(None)


def batched_loop(num_games: int) -> Loop:
    def loop() -> Iterator[int]:
        from krodan_rl import VecKrodan

        vec = VecKrodan(num_games, dense_mask=False)
        while True:
            vec.step(vec.random_actions())
            yield num_games

    return loop


def main() -> None:
    args = parse_arguments(__doc__, 1.0, "peers_results.json")

    import krodan_rl

    loops: dict[str, Loop | None] = {
        "OpenSpiel go 19x19 (numpy observer)": openspiel_loop("go", {"board_size": 19}),
        "OpenSpiel chess (numpy observer)": openspiel_loop("chess", {}),
        "PettingZoo connect_four_v3": connect_four_loop(),
        "krodan_rl PyKrodan": single_game_loop,
        "krodan_rl env() (PettingZoo)": pettingzoo_loop(krodan_rl.env),
        "krodan_rl VecKrodan(1024), CSR lists": batched_loop(1024),
    }
    missing = [name for name, loop in loops.items() if loop is None]
    present = {name: loop for name, loop in loops.items() if loop is not None}
    measures = {
        name: (lambda loop=loop: timed(loop, args.seconds)) for name, loop in present.items()
    }
    rates = interleaved_medians(measures, args.rounds)
    ours = rates["krodan_rl VecKrodan(1024), CSR lists"]
    print(f"{'loop':<40} {'turns/s':>12} {'VecKrodan / this':>18}")
    for name, rate in rates.items():
        print(f"{name:<40} {rate:>12,.0f} {ours / rate:>18.1f}")
    for name in missing:
        print(f"{name:<40} {'not installed':>12}")
    args.json.write_text(json.dumps({"turns_per_second": rates, "missing": missing}, indent=2))


if __name__ == "__main__":
    main()
