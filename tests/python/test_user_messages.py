"""What users are told, and what stays for them to read: one line (no traceback) for a bad
demo option, help texts with single percent signs, the extra to install when the environment's
libraries are missing, final scores that stay until the next reset, and a VecKrodan's refusal
to pickle that says what to do."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

from krodan_rl import VecKrodan


def run(*args, **options):
    return subprocess.run([sys.executable, "-m", "krodan_rl", *args], capture_output=True,
                          text=True, timeout=120, check=False, **options)  # fmt: skip


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--seed", "-1"], "--seed must be from 0 to 2**64 - 1, not -1"),
        (["--seed", str(2**64 - 1), "--games", "2"], "--seed plus --games minus 1 must be"),
        (["--save-png", "board.jpg"], "writes PNG files only"),
    ],
)
def test_the_demo_refuses_bad_options_in_one_line(tmp_path, args, message):
    child = run(*args, cwd=tmp_path)
    assert child.returncode == 2 and message in child.stderr and "Traceback" not in child.stderr
    assert not list(tmp_path.iterdir())


def test_help_texts_show_a_single_percent_sign():
    child = run("arena", "--help")
    assert "95 %" in child.stdout and "%%" not in child.stdout


def test_without_gymnasium_the_error_names_the_extra():
    script = """
import sys
sys.modules["gymnasium"] = None
import krodan_rl
from krodan_rl import VecKrodan
for attempt in (lambda: krodan_rl.env(), lambda: VecKrodan(1).single_observation_space):
    try:
        attempt()
    except ImportError as error:
        print(error)
"""
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True)  # fmt: skip
    lines = child.stdout.splitlines()
    assert len(lines) == 2 and all("pip install 'krodan_rl[env]'" in line for line in lines)


def test_final_scores_stay_until_the_game_is_reset_without_auto_reset():
    vec = VecKrodan(3, auto_reset=False, dense_mask=False, seed=2)
    vec.reset()
    recorded = None
    for _ in range(400):
        if vec.terminated.all():
            break
        _, _, terminated, _, info = vec.step(vec.random_actions())
        if terminated[0] and recorded is None:
            recorded = info["final_scores"][0].copy()
        if recorded is not None:
            assert np.array_equal(info["final_scores"][0], recorded)  # kept, step after step
    assert recorded is not None and recorded.any()
    vec.reset(mask=np.array([True, False, False]))
    assert not vec.final_scores[0].any() and vec.final_scores[1].any()


def test_a_vec_krodan_refuses_to_pickle_saying_what_to_do():
    with pytest.raises(TypeError, match=r"rebuild with VecKrodan\.from_games") as refused:
        pickle.dumps(VecKrodan(2))
    assert "_thread.lock" not in str(refused.value)
