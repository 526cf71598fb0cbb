"""Threads: many games at once, and threads racing on one shared game. With the interpreter
lock, calls on one game interleave only inside argument conversion, so the racing calls convert
arguments whose __index__ yields the lock while the borrow is held."""

import random
import threading
import time

from conftest import play_random_game, set_indices

from krodan_rl import PyKrodan

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


class YieldingIndex:
    """An index whose conversion lets other threads run."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def run_threads(target, count):
    barrier = threading.Barrier(count)
    errors = []

    def body(i):
        barrier.wait()
        try:
            target(i)
        except BaseException as error:  # noqa: BLE001 (reported to the main thread)
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors


def test_many_threads_on_separate_games():
    results = {}

    def play(i):
        game = PyKrodan()
        rng = random.Random(i)
        while not game.is_over:
            legal = set_indices(game.observe(YieldingIndex(game.agent_selection)).action_mask)
            game.step(YieldingIndex(rng.choice(legal)) if legal else None)
        results[i] = game.to_bytes()

    run_threads(play, 8)
    for i, state in results.items():
        game = PyKrodan()
        rng = random.Random(i)
        while not game.is_over:
            legal = set_indices(game.observe(game.agent_selection).action_mask)
            game.step(rng.choice(legal) if legal else None)
        assert game.to_bytes() == state


def test_threads_racing_on_one_game():
    # A finished game: every step is a pass, so only borrows can refuse a call.
    game = play_random_game(3)
    state = game.to_bytes()
    conflicts = []
    lock = threading.Lock()

    def race(i):
        rng = random.Random(i)
        calls = [
            lambda: game.step(YieldingIndex(0)),
            lambda: game.observe(YieldingIndex(i % 4)).action_mask,
            lambda: game.__setstate__(state),
            lambda: game.copy().to_bytes(),
            lambda: game.to_bytes(),
            lambda: (game.scores, game.rewards, game.terminations, game.ply),
            lambda: game.outcome("rank"),
        ]
        for _ in range(400):
            try:
                rng.choice(calls)()
            except RuntimeError as error:
                assert str(error) in BORROW_ERRORS, error
                with lock:
                    conflicts.append(str(error))

    # Which conflicts a round meets depends on the scheduler; rounds go on until both kinds came.
    for _ in range(20):
        run_threads(race, 6)
        if set(conflicts) == BORROW_ERRORS:
            break
    assert set(conflicts) == BORROW_ERRORS, "both kinds of conflict happened"
    # The game is consistent: its state string decodes to an equal game.
    restored = PyKrodan.from_bytes(game.to_bytes())
    assert restored.to_bytes() == game.to_bytes()
    assert game.is_over and game.terminations == [True] * 4
    assert game.ply == restored.ply and game.scores == restored.scores
    game.step(None)  # every borrow was released
