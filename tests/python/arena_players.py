"""Agents of users' own, for the arena tests: named by `arena_players:...` specs."""

import os

from krodan_rl._krodan import PyKrodan


class LowestAction:
    """Plays the lowest legal action: deterministic, and weaker than greedy."""

    name = "lowest"

    def act(self, game: PyKrodan) -> int | None:
        mask = game.observe(game.agent_selection).action_mask
        at = mask.find(1)
        return None if at == -1 else at


def seeded(seed: int) -> "SeededRandom":
    return SeededRandom(seed)


class SeededRandom:
    """A Python random agent whose factory takes the arena's seed."""

    def __init__(self, seed: int) -> None:
        import random

        self.rng = random.Random(seed)

    def act(self, game: PyKrodan) -> int | None:
        mask = game.observe(game.agent_selection).action_mask
        legal = [i for i, v in enumerate(mask) if v]
        return self.rng.choice(legal) if legal else None


class CrashingWhere(LowestAction):
    """Plays the lowest legal action, but ends its process at once where the environment
    variable KRODAN_TEST_CRASH is set: a worker that dies, for the self-play retry tests."""

    name = "crashing-where-told"

    def act(self, game: PyKrodan) -> int | None:
        if os.environ.get("KRODAN_TEST_CRASH"):
            os._exit(3)
        return super().act(game)


class InterruptedAt(LowestAction):
    """Plays the lowest legal action, and at its 20th move is interrupted as Ctrl-C would
    interrupt a library's code: ``KRODAN_TEST_INTERRUPT=callback``, in a garbage-collection
    callback, whose exceptions Python prints and ignores; ``=crash-at-exit``, in code that
    leaves the interpreter's finalisation crashing (as an interrupted compilation does)."""

    name = "interrupted"

    def __init__(self) -> None:
        self.moves = 0

    def act(self, game: PyKrodan) -> int | None:
        self.moves += 1
        if self.moves == 20:
            if os.environ.get("KRODAN_TEST_INTERRUPT") == "callback":
                import gc

                def callback(phase: str, info: dict) -> None:
                    gc.callbacks.remove(callback)
                    raise KeyboardInterrupt

                gc.callbacks.append(callback)
                gc.collect()
            else:  # with JAX loaded, as where a compilation is interrupted
                import builtins

                import jax  # noqa: F401

                builtins.crash_at_exit = CrashWhenFinalised()  # type: ignore[attr-defined]
                raise KeyboardInterrupt
        return super().act(game)


class CrashWhenFinalised:
    """Aborts the process when the interpreter's finalisation destroys it."""

    def __del__(self, abort: object = os.abort) -> None:  # bound now: imports fail then
        abort()  # type: ignore[operator]
