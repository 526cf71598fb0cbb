"""The player registry: what each spec builds, and why a bad one is refused."""

import numpy as np
import pytest

from krodan_rl import players
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import GreedyAgent, MCTSAgent, RandomAgent
from krodan_rl.search import GuidedPlayer


def made_with_seed(seed=None):
    player = LowestLegal()
    player.seed = seed
    return player


def not_a_player(seed=None):
    return {"made with": seed}


def no_seed():
    return LowestLegal()


class LowestLegal:
    def act(self, game):
        mask = game.observe(game.agent_selection).action_mask
        return mask.find(1)


def uniform(seed=None):
    def evaluate(leaves):
        return np.ones(len(leaves["legal_actions"]), np.float32), np.full(
            (len(leaves["mover"]), 4), 0.25, np.float32
        )

    return evaluate


@pytest.mark.parametrize(
    ("spec", "kind", "options"),
    [
        ("random", RandomAgent, {}),
        ("greedy", GreedyAgent, {}),
        ("mcts:5", MCTSAgent, {"simulations": 5, "rollout": "random", "trees": 1}),
        ("mcts:7:greedy", MCTSAgent, {"simulations": 7, "rollout": "greedy"}),
    ],
)
def test_built_in_specs_build_their_agents_with_the_seed(spec, kind, options):
    agent = players.make(spec, seed=11)
    assert type(agent) is kind and agent.seed == 11
    assert all(getattr(agent, k) == v for k, v in options.items())
    assert players.parse(spec).built_in and players.name(spec) == spec
    game = PyKrodan()
    assert agent.act(game) == kind(seed=11, **options).act(game)


def test_guided_specs_build_guided_players_that_play_their_best_unless_exploring():
    spec = "guided:test_players:uniform:6"
    best, exploring = players.make(spec, 3), players.make(spec, 3, exploration=True)
    assert isinstance(best, GuidedPlayer) and players.parse(spec).searches
    assert best.config.simulations == 6 and best.temperature == 0
    assert best.config.dirichlet_fraction == 0
    assert exploring.temperature == 1 and exploring.config.dirichlet_fraction == 0.25
    assert players.parse("guided:test_players:uniform").options["simulations"] == 800
    assert best.act(PyKrodan()) is not None


def test_factories_take_the_seed_when_they_ask_for_it():
    assert players.make("test_players:made_with_seed", 5).seed == 5
    assert not hasattr(players.make("test_players:no_seed", 5), "seed")


@pytest.mark.parametrize(
    ("spec", "message"),
    [
        ("mcts:0", "simulations must be at least 1"),
        ("mcts:x", "simulations must be a whole number"),
        ("mcts:100:foo", "rollouts are random or greedy, not 'foo'"),
        ("mcts", "expected mcts:SIMULATIONS"),
        ("random:1", "takes no arguments"),
        ("alpha", "unknown player spec 'alpha': expected one of: random, greedy"),
        ("", "unknown player spec ''"),
        ("guided:test_players:uniform:0", "simulations must be at least 1"),
        ("guided:test_players", "expected guided:package.module:factory"),
        ("guided:no_such_module:make", "No module named 'no_such_module'"),
        ("policy:nothing", "expected policy:MODEL"),
        ("guided:missing/model.npz:8", "no checkpoint at missing/model.npz"),
        ("no_such_module:make", "No module named 'no_such_module'"),
        ("test_players:missing", "has no attribute 'missing'"),
        ("test_players:LowestLegal.act.__name__", "is not callable"),
    ],
)
def test_bad_specs_say_why(spec, message):
    with pytest.raises(ValueError, match="player spec") as info:
        players.parse(spec)
    assert message in str(info.value)


@pytest.mark.parametrize(
    ("spec", "message"),
    [
        ("test_players:not_a_player", "made a dict, which has neither act(game) nor search"),
        ("guided:test_players:no_seed", "made a LowestLegal, not an evaluator"),
    ],
)
def test_factories_that_make_no_player_are_refused_in_one_line(spec, message):
    with pytest.raises(ValueError, match="made a") as info:
        players.make(spec)
    assert message in str(info.value) and "\n" not in str(info.value)


def test_objects_are_checked_and_given_back():
    player = LowestLegal()
    assert players.make(player) is player
    with pytest.raises(TypeError, match="act"):
        players.make(object())
    with pytest.raises(TypeError, match="must be a str"):
        players.parse(3)


def test_the_help_text_lists_every_kind_and_the_reserved_prefixes():
    assert players.available() == [
        "random",
        "greedy",
        "mcts:SIMULATIONS[:ROLLOUT]",
        "guided:package.module:factory[:SIMULATIONS]",
        "guided:MODEL[:SIMULATIONS]",
        "policy:MODEL",
        "package.module:factory",
    ]
    text = players.describe()
    assert all(syntax in text for syntax in players.available()) and "policy:" in text
