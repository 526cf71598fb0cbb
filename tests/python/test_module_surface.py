import gc
import sys
import weakref

import pytest

import krodan_rl
from krodan_rl import _krodan
from krodan_rl._krodan import PyKrodan, PyObservation

PIECE_NAMES = ("I1", "I2", "V3", "I3", "T4", "O", "L4", "I4", "Z4", "F", "X", "P", "W", "Z5",
               "Y", "L5", "U", "T5", "V5", "N", "I5")  # fmt: skip


def test_module_attributes():
    assert _krodan.__name__ == "krodan_rl._krodan"
    assert _krodan.__doc__ == ""
    assert _krodan.__all__ == ["PyKrodan", "PyObservation"]
    public = {name for name in vars(_krodan) if not name.startswith("__")}
    assert public == {"PyKrodan", "PyObservation"}
    assert krodan_rl.PyKrodan is PyKrodan and krodan_rl.PyObservation is PyObservation


def test_game_class_names_and_doc():
    assert PyKrodan.__module__ == "krodan_rl._krodan"
    assert PyKrodan.__qualname__ == "PyKrodan"
    assert PyKrodan.__text_signature__ == "()"
    assert not PyKrodan.__doc__
    assert PyKrodan.__bases__ == (object,)


def test_observation_class_names_and_doc():
    assert PyObservation.__qualname__ == "PyObservation"
    assert PyObservation.__doc__ == (
        "An observation as bytes of 0/1, cheap to wrap with `numpy.frombuffer`. Agents are in\n"
        "agent-relative order, see `Observation`."
    )
    with pytest.raises(TypeError):
        PyObservation()


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        ("reset", "($self)", None),
        ("outcome", "($self, mode)",
         "The final rewards in `mode`, one of `reward_modes`, None until the game is over."),
        ("step", "($self, action_idx)", None),
    ],
)  # fmt: skip
def test_method_signatures_and_docs(name, signature, doc):
    method = getattr(PyKrodan, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        ("agents", None),
        ("agent_selection", None),
        ("terminations", None),
        ("rewards", "The score of every agent that is done, None for the others."),
        ("scores", "Every agent's official score as if the game ended now."),
        ("is_over", None),
        ("ply", "The number of placements made so far, by all agents."),
    ],
)
def test_properties_are_read_only_with_docs(game, name, doc):
    descriptor = vars(PyKrodan)[name]
    assert descriptor.__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(game, name, 1)
    with pytest.raises(AttributeError):
        delattr(game, name)


def test_class_attributes_without_a_game():
    assert PyKrodan.num_actions == 36400
    assert PyKrodan.action_grid_shape == (91, 20, 20)
    assert PyKrodan.reward_modes == ("score", "win_share", "rank")
    assert PyKrodan.piece_names == PIECE_NAMES


def test_class_attributes_are_one_object_each(game):
    for name in ("num_actions", "action_grid_shape", "reward_modes", "piece_names"):
        assert name in vars(PyKrodan)
        assert getattr(game, name) is getattr(PyKrodan, name) is getattr(PyKrodan(), name)


def test_type_traits(game):
    with pytest.raises(TypeError):
        type("Derived", (PyKrodan,), {})
    with pytest.raises(AttributeError):
        game.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(game)
    assert not hasattr(game, "__dict__")
    assert not gc.is_tracked(game)
    assert sys.getsizeof(game) <= 512


def test_default_object_behaviour(game):
    other = PyKrodan()
    same = game
    assert game != other and game == same
    assert hash(game) == object.__hash__(game)
    assert repr(game).startswith("<krodan_rl._krodan.PyKrodan object at ")


def test_new_game_state(game):
    assert game.agents == [0, 1, 2, 3]
    assert game.agent_selection == 0
    assert game.terminations == [False] * 4
    assert game.rewards == [None] * 4
    assert game.scores == [-89] * 4
    assert game.is_over is False
    assert game.ply == 0
    assert game.outcome("rank") is None


def test_lists_are_new_on_every_read(game):
    agents = game.agents
    agents.append(9)
    terminations = game.terminations
    terminations[0] = True
    assert game.agents == [0, 1, 2, 3]
    assert game.terminations == [False] * 4
    assert game.agents is not game.agents


def test_a_second_initialisation_reuses_the_type_objects():
    import importlib.util

    spec = importlib.util.find_spec("krodan_rl._krodan")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _krodan
    assert again.PyKrodan is PyKrodan and again.PyObservation is PyObservation
    assert again.__all__ == ["PyKrodan", "PyObservation"]


def test_the_entry_point_is_the_only_exported_symbol():
    import shutil
    import subprocess

    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", _krodan.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__krodan"]
