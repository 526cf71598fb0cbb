"""About 10^5 mixed calls, error paths included: the process's memory settles and no reference
to an argument is leaked by any path."""

import contextlib
import copy
import gc
import json
import os
import pickle
import random
import subprocess
import sys

import pytest
from conftest import set_indices

from krodan_rl import PyKrodan

UNDER_SANITIZER = os.environ.get("KRODAN_UNDER_SANITIZER") == "1"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


# Arguments kept alive across the whole run, so that their reference counts can be compared.
BAD_STATE = b"\x02" * 278
BAD_BYTES = bytearray(278)
MODE = "rank"
BAD_MODE = "Rank"
WRONG_TYPE = "not an index"
OUT_OF_RANGE = 2**70
INDEX = Index(5)
ARGUMENTS = [BAD_STATE, BAD_BYTES, MODE, BAD_MODE, WRONG_TYPE, OUT_OF_RANGE, INDEX]


def mixed_calls(rng: random.Random, rounds: int) -> int:
    """Plays games with every kind of call in between; returns the number of calls made."""
    calls = 0
    game = PyKrodan()
    for _ in range(rounds):
        if game.is_over:
            game.reset()
        for attempt in (
            lambda: game.step(OUT_OF_RANGE),
            lambda: game.step(WRONG_TYPE),
            lambda: game.step(INDEX),  # sometimes a legal action
            lambda: game.outcome(BAD_MODE),
            lambda: game.observe(OUT_OF_RANGE),
            lambda: PyKrodan.from_bytes(BAD_STATE),
            lambda: PyKrodan.from_bytes(BAD_BYTES),
            lambda: game.__setstate__(BAD_BYTES),
            lambda: game.step(),
        ):
            calls += 1
            with contextlib.suppress(TypeError, ValueError, OverflowError, AssertionError):
                attempt()
        twin = game.copy()
        restored = pickle.loads(pickle.dumps(game, rng.choice([2, 3, 4, 5])))
        clone = copy.deepcopy(restored)
        assert PyKrodan.from_bytes(clone.to_bytes()).to_bytes() == twin.to_bytes()
        game.outcome(MODE)
        observation = game.observe(rng.randrange(4))
        observation.corners, observation.pieces  # noqa: B018 (reads are what is exercised)
        legal = set_indices(game.observe(game.agent_selection).action_mask)
        game.step(rng.choice(legal) if legal else None)
        calls += 13
    return calls


def measure() -> tuple[int, int, bool]:
    """(calls, KiB of resident growth, whether every argument's count is back) over the mixed
    calls, after a warm-up (the table, caches, allocator pools)."""
    rng = random.Random(4)
    mixed_calls(rng, 300)
    gc.collect()
    counts = [sys.getrefcount(argument) for argument in ARGUMENTS]
    before = resident_kib()
    calls = mixed_calls(rng, 4700)
    gc.collect()
    grown = resident_kib() - before
    return calls, grown, [sys.getrefcount(argument) for argument in ARGUMENTS] == counts


def test_memory_settles_and_no_argument_reference_leaks():
    # In a process of its own: what other tests leave running (pools, libraries' threads) would
    # move this one's resident memory.
    child = subprocess.run(
        [sys.executable, __file__], capture_output=True, text=True, timeout=600, check=False
    )
    assert child.returncode == 0, child.stderr
    calls, grown, counts_back = json.loads(child.stdout)
    assert calls >= 100_000
    assert counts_back
    if not UNDER_SANITIZER:  # the sanitizer's allocator keeps freed blocks in quarantine
        assert grown < 2048, f"resident memory grew by {grown} KiB over {calls} calls"


@pytest.mark.parametrize("argument", [BAD_STATE, BAD_BYTES, WRONG_TYPE, OUT_OF_RANGE, INDEX])
def test_error_paths_release_their_arguments(argument):
    game = PyKrodan()
    calls = [
        lambda: game.step(argument),
        lambda: game.observe(argument),
        lambda: game.outcome(argument),
        lambda: PyKrodan.from_bytes(argument),
        lambda: game.__setstate__(argument),
        lambda: game.__deepcopy__(argument),
    ]
    before = sys.getrefcount(argument)
    for _ in range(1000):
        for call in calls:
            with contextlib.suppress(TypeError, ValueError, OverflowError, AssertionError):
                call()
    assert sys.getrefcount(argument) == before


if __name__ == "__main__":
    print(json.dumps(measure()))
