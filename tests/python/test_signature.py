"""The regression signature: the engine's behaviour over fixed seeded games, as one number.

When a change moves it on purpose (a rule fixed, the generator changed), write the new value
here and say in the commit what users will see differently."""

import subprocess
import sys

from krodan_rl.signature import signature

SIGNATURE = 4040106174767122341


def test_the_engine_behaves_as_it_did():
    assert signature() == SIGNATURE


def test_the_command_prints_it():
    out = subprocess.run([sys.executable, "-m", "krodan_rl.signature"], capture_output=True,
                         text=True, check=True).stdout  # fmt: skip
    assert out == f"{SIGNATURE}\n"
