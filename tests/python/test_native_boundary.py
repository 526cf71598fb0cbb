"""The boundary with the native module: its constructors' stub signatures are the option records'
fields, which native code takes by keyword; its results are named; a refused row is an
attribute, not text to parse; the board comes plain or coloured from native code."""

import ast
import dataclasses
import re
from pathlib import Path

import numpy as np
import pytest

from krodan_rl import _native
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import RandomAgent
from krodan_rl.native_options import AgentConfig, BatchConfig, SearchConfig
from krodan_rl.views import StateRefused, ViewBuilder

STUB = Path(_native.__file__).with_name("_native.pyi")
if not STUB.exists():  # an installed copy may sit apart from the sources
    STUB = Path(__file__).resolve().parents[2] / "src" / "krodan_rl" / "_native.pyi"


def stub_constructor_parameters(class_name):
    """The parameter names of ``class_name.__new__`` in the stub, ``cls`` left out."""
    tree = ast.parse(STUB.read_text())
    (found,) = [node for node in tree.body if isinstance(node, ast.ClassDef)
                and node.name == class_name]  # fmt: skip
    (new,) = [node for node in found.body if isinstance(node, ast.FunctionDef)
              and node.name == "__new__"]  # fmt: skip
    return [arg.arg for arg in new.args.args[1:] + new.args.kwonlyargs]


@pytest.mark.parametrize(
    ("class_name", "record", "defaults"),
    [
        ("GuidedSearch", SearchConfig, _native.SEARCH_DEFAULTS),
        ("GameBatch", BatchConfig, _native.BATCH_DEFAULTS),
        ("Agent", AgentConfig, _native.AGENT_DEFAULTS),
    ],
)
def test_each_record_is_its_native_constructors_parameters(class_name, record, defaults):
    fields = [field.name for field in dataclasses.fields(record)]
    assert stub_constructor_parameters(class_name) == fields
    assert list(defaults) == fields
    built = record().native()  # every field by keyword, none left out
    assert type(built) is getattr(_native, class_name)


def test_whole_games_take_their_arguments_by_keyword():
    agent = AgentConfig(kind="greedy", seed=2).native()
    scores = _native.play_games(games=[[agent] * 4], streams=[0], num_threads=1, placements=None)
    assert len(np.frombuffer(scores, dtype=np.int16)) == 4


def played_rows(plies):
    """The state strings and actions of a game's first ``plies`` placements."""
    game, agent = PyKrodan(), RandomAgent(seed=3)
    states, actions = [], []
    for _ in range(plies):
        states.append(np.frombuffer(game.to_bytes(), dtype=np.uint8))
        actions.append(agent.act(game))
        game.step(actions[-1])
    return game, np.stack(states), np.array(actions, dtype=np.int64)


def replay(states, actions):
    n = len(actions)
    _native.replay_rows(
        states=np.ascontiguousarray(states).reshape(-1), actions=actions,
        after=np.empty(states.size, np.uint8), movers=np.empty(n, np.int8),
        over=np.empty(n, np.uint8), scores=np.empty(4 * n, np.int16),
    )  # fmt: skip


def illegal_action(states, actions, row):
    game = PyKrodan.from_bytes(states[row].tobytes())
    mask = np.frombuffer(game.observe(game.agent_selection).action_mask, dtype=np.uint8)
    actions[row] = int(np.flatnonzero(mask == 0)[0])


def garbage_state(states, actions, row):
    states[row] = 0


def set_state_rows(states, actions):
    BatchConfig(num_games=len(states)).native().set_state_rows(states.reshape(-1), len(states))


@pytest.mark.parametrize(
    ("spoil", "call", "reason"),
    [
        (illegal_action, replay, "Action index not available"),
        (garbage_state, replay, "Not a game state"),
        (garbage_state, set_state_rows, "Not a game state"),
    ],
)
def test_a_refused_row_is_named_by_attribute_and_in_the_same_words(spoil, call, reason):
    _, states, actions = played_rows(6)
    spoil(states, actions, 4)
    with pytest.raises(_native.RowError) as raised:
        call(states, actions)
    assert isinstance(raised.value, ValueError)
    assert raised.value.row == 4 and reason in raised.value.reason
    assert str(raised.value) == f"row 4: {raised.value.reason}"


def test_a_stored_state_the_engine_refuses_is_named_by_its_row():
    _, states, _ = played_rows(6)
    states[3] = 0
    movers = np.zeros(len(states), np.int8)
    with pytest.raises(StateRefused) as raised:
        ViewBuilder(8, "csr").build(states, movers)
    assert raised.value.row == 3 and "Not a game state" in raised.value.why


def test_the_board_text_is_what_render_prints_in_colour_and_digits_without(capfd):
    game, _, _ = played_rows(9)
    capfd.readouterr()
    game.render()
    printed = capfd.readouterr().out
    coloured = _native.board_text(game)
    assert printed == coloured + "\n" and coloured == _native.board_text(game, colour=True)
    owners = iter(agent for agent in _native.owner_grid(game) if agent != _native.NO_OWNER)
    digits = re.sub("\x1b\\[4[1-4]mx\x1b\\[0m", lambda _: str(next(owners)), coloured)
    assert _native.board_text(game, colour=False) == digits and "\x1b" not in digits


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda game: _native.board_text(game, colour=1), "colour must be a bool"),
        (lambda game: _native.board_text(game, color=True), "unexpected keyword argument 'color'"),
        (lambda game: _native.board_text(game, True), "exactly one positional argument"),
    ],
)
def test_board_text_takes_its_flag_by_keyword_only(call, message):
    with pytest.raises(TypeError, match=message):
        call(PyKrodan())


def test_search_results_are_named_in_their_old_positions():
    game, _, _ = played_rows(4)
    agent = AgentConfig(kind="mcts", seed=1, simulations=60).native()
    root = agent.search(game)
    visits = np.frombuffer(root.visits, dtype=np.int32)
    actions = np.frombuffer(root.actions, dtype=np.int32)
    assert tuple(root) == (root.action, root.actions, root.visits, root.tree_nodes, root.tree_bytes)
    assert root.action == actions[np.argmax(visits)] and visits.sum() == 60 and root.tree_nodes > 1

    search = SearchConfig(num_games=2, simulations=8, num_threads=1).native()
    search.start([game, None], None)
    while not search.done():
        count = search.pending()
        legal = search.leaves()["legal_offsets"]
        listed = int(np.asarray(legal)[count])
        search.expand(np.ones(listed, np.float32), False, np.full(4 * count, 0.25, np.float32))
    counts, policy = search.visit_counts(), search.policy(1.0)
    assert tuple(counts) == (counts.actions, counts.counts, counts.offsets, counts.movers)
    assert tuple(policy) == (*counts, policy.probs)
    assert np.frombuffer(counts.counts, dtype=np.int32).sum() == 8
    assert np.frombuffer(counts.movers, dtype=np.int8).tolist() == [game.agent_selection, -1]
    assert np.frombuffer(policy.probs, dtype=np.float32).sum() == pytest.approx(1.0)


def test_a_networks_view_of_single_games_is_what_each_game_observes():
    """Single games reach a network through the batched engine's views: the same planes,
    pieces, done flags and legal actions as the game's own observation of its mover."""
    import random

    from conftest import play_random_turn

    from krodan_rl.nn.policy_player import observed

    rng, games = random.Random(3), []
    for plies in (0, 1, 7, 30, 61):
        game = PyKrodan()
        while game.ply < plies and not game.is_over:
            play_random_turn(game, rng)
        while game.terminations[game.agent_selection] and not game.is_over:
            game.step(None)
        if not game.is_over:
            games.append(game)
    assert len(games) >= 4
    found = observed(games)
    for i, game in enumerate(games):
        view = game.observe(game.agent_selection)
        planes = np.frombuffer(view.observation + view.corners + view.blocked, np.uint8)
        assert np.array_equal(found["observation"][i].reshape(-1), planes)
        assert np.array_equal(found["pieces"][i].reshape(-1), np.frombuffer(view.pieces, np.uint8))
        assert np.array_equal(found["done"][i], np.frombuffer(view.done, np.uint8))
        listed = found["legal_actions"][found["legal_offsets"][i] : found["legal_offsets"][i + 1]]
        assert np.array_equal(listed, np.flatnonzero(np.frombuffer(view.action_mask, np.bool_)))
