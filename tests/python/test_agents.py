"""The built-in agents: legal actions from every seat and from positions where some agents are
done, None exactly for a done mover, determinism by seed and across thread counts, pickles that
continue, and tree searches that find the plainly best move of constructed endgames."""

import copy
import pickle

import numpy as np
import pytest
from conftest import random_positions, set_indices

from krodan_rl import VecKrodan
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import GreedyAgent, MCTSAgent, RandomAgent, SearchResult
from krodan_rl.play import RandomAgent as PlayRandomAgent

MAKERS = {
    "random": lambda seed: RandomAgent(seed),
    "greedy": lambda seed: GreedyAgent(seed),
    "mcts": lambda seed: MCTSAgent(12, seed=seed),
    "mcts-greedy-2-trees": lambda seed: MCTSAgent(
        10, rollout="greedy", trees=2, seed=seed, reward_mode="score"
    ),
}


def legal(game: PyKrodan) -> list[int]:
    return set_indices(game.observe(game.agent_selection).action_mask)


@pytest.mark.parametrize("name", MAKERS)
def test_only_legal_actions_and_none_exactly_for_a_done_mover(name):
    # Decoded positions of random games, late ones with done agents among them.
    for position in random_positions(seed=31, every=7):
        game = PyKrodan.from_bytes(position.to_bytes())
        action = MAKERS[name](5).act(game)
        moves = legal(game)
        assert (action is None) == (not moves)
        assert action is None or action in moves


@pytest.mark.parametrize("name", ["random", "greedy", "mcts"])
def test_every_agent_in_every_seat_plays_games_to_the_end(name):
    for seat in range(4):
        others = RandomAgent(seat)
        agent = MAKERS[name](seat)
        game = PyKrodan()
        while not game.is_over:
            player = agent if game.agent_selection == seat else others
            action = player.act(game)
            assert action is None or action in legal(game)
            game.step(action)


@pytest.mark.parametrize("name", MAKERS)
def test_same_seed_same_actions_other_seed_other_actions(name):
    positions = random_positions(seed=2, every=6)[:8]
    one, two, other = MAKERS[name](7), MAKERS[name](7), MAKERS[name](8)
    first = [one.act(p) for p in positions]
    assert first == [two.act(p) for p in positions]
    assert first != [other.act(p) for p in positions]


@pytest.mark.parametrize("name", MAKERS)
def test_a_pickled_agent_continues_identically(name):
    positions = random_positions(seed=4, every=9)
    agent = MAKERS[name](3)
    for p in positions[:3]:
        agent.act(p)
    clone = pickle.loads(pickle.dumps(agent))
    assert type(clone) is type(agent) and repr(clone) == repr(agent)
    twin = copy.deepcopy(agent)
    rest = [agent.act(p) for p in positions[3:]]
    assert rest == [clone.act(p) for p in positions[3:]] == [twin.act(p) for p in positions[3:]]


def test_act_is_game_zero_of_a_batch():
    # act draws from stream 0, as game 0 of a batch does: the single game against the batch.
    game = random_positions(seed=9, every=20)[1]
    vec = VecKrodan.from_games([game, game])
    for name in MAKERS:
        single, seated = MAKERS[name](6), MAKERS[name](6)
        assert vec.agent_actions([seated] * 4)[0] == single.act(game)


def seated_run(threads: int) -> list[np.ndarray]:
    seats = [RandomAgent(1), GreedyAgent(2), MCTSAgent(6, seed=3), RandomAgent(1)]
    vec = VecKrodan(5, num_threads=threads, auto_reset=False, dense_mask=False, seed=4)
    vec.reset()
    chosen = []
    while not vec.terminated.all():
        actions = vec.agent_actions(seats)
        for i in np.flatnonzero(actions >= 0):
            row = vec.legal_actions[vec.legal_offsets[i] : vec.legal_offsets[i + 1]]
            assert actions[i] in row
        chosen.append(actions)
        vec.step(actions)
    return chosen


def test_agent_actions_are_the_same_for_one_two_and_three_threads():
    one = seated_run(1)
    for threads in (2, 3):
        other = seated_run(threads)
        assert len(other) == len(one)
        assert all(np.array_equal(a, b) for a, b in zip(one, other, strict=True))


@pytest.mark.parametrize(
    ("seats", "error"),
    [
        ([RandomAgent(0)] * 3, ValueError),
        ([RandomAgent(0)] * 3 + [object()], TypeError),
    ],
)
def test_agent_actions_refuses_bad_seats(seats, error):
    with pytest.raises(error):
        VecKrodan(2).agent_actions(seats)


@pytest.mark.parametrize(("threads", "mode"), [(1, "win_share"), (3, "score"), (2, "rank")])
def test_search_visits_add_up_over_the_legal_actions(threads, mode):
    game = random_positions(seed=5, every=25)[1]
    agent = MCTSAgent(50, trees=threads, seed=1, reward_mode=mode)
    found = agent.search(game)
    assert found.actions.tolist() == sorted(legal(game))
    assert found.actions.dtype == found.visits.dtype == np.int32
    assert int(found.visits.sum()) == 50
    best = found.actions[found.visits == found.visits.max()].min()
    assert found.action == best  # the most visited, ties to the lowest action
    assert agent.last_tree_nodes <= 50 // threads + 2 and agent.last_tree_bytes > 0
    again = MCTSAgent(50, trees=threads, seed=1, reward_mode=mode).search(game)
    assert np.array_equal(again.visits, found.visits)


def test_search_of_a_done_mover_is_empty():
    done = next(p for p in random_positions(seed=6) if not legal(p) and not p.is_over)
    found = MCTSAgent(10).search(done)
    assert found.action is None and found.actions.size == found.visits.size == 0


def best_final_scores(game: PyKrodan, agent: int) -> int:
    """The mover's best final score when it alone still plays: a depth-first search."""
    if game.is_over:
        return game.scores[agent]
    moves = legal(game) or [None]
    best = -100
    for action in moves:
        child = game.copy()
        child.step(action)
        best = max(best, best_final_scores(child, agent))
    return best


def lone_mover_endgames(count: int) -> list[tuple[PyKrodan, set[int]]]:
    """Late positions where the mover alone is in play and one of its actions leads to a final
    score at least 3 points above any other's (it places a piece more): with that action."""
    found = []
    for seed in range(200):
        for position in random_positions(seed, every=1):
            mover = position.agent_selection
            moves = legal(position)
            in_play = [a for a in range(4) if legal_or_not_done(position, a)]
            if in_play != [mover] or len(moves) < 4 or len(moves) > 60:
                continue
            values = {}
            for action in moves:
                child = position.copy()
                child.step(action)
                values[action] = best_final_scores(child, mover)
            ranked = sorted(values.values(), reverse=True)
            best = {a for a, v in values.items() if v == ranked[0]}
            if ranked[0] - ranked[1] >= 3:
                found.append((position, best))
                break
        if len(found) == count:
            return found
    return found


def legal_or_not_done(game: PyKrodan, agent: int) -> bool:
    return not game.observe(agent).done[0]


def test_search_finds_the_move_that_places_one_piece_more():
    endgames = lone_mover_endgames(3)
    assert len(endgames) == 3
    for position, best in endgames:
        agent = MCTSAgent(400, seed=2, reward_mode="score")
        assert agent.search(position).action in best


def win_share_range(game: PyKrodan, agent: int, budget: list[int]) -> tuple[float, float]:
    """The lowest and highest win share `agent` can end with, over every continuation; raises
    LookupError once `budget` nodes are spent."""
    outcome = game.outcome("win_share")
    if outcome is not None:
        return outcome[agent], outcome[agent]
    budget[0] -= 1
    if budget[0] < 0:
        raise LookupError("too many continuations")
    low, high = 2.0, -1.0
    for action in legal(game) or [None]:
        child = game.copy()
        child.step(action)
        child_low, child_high = win_share_range(child, agent, budget)
        low, high = min(low, child_low), max(high, child_high)
    return low, high


def blocking_endgames(count: int) -> list[tuple[PyKrodan, set[int]]]:
    """Positions where the mover and one opponent are in play, the opponent has one legal
    placement left, the moves that take it make the mover's win certain and no other move
    does: with those moves."""
    found = []
    for seed in range(400):
        for position in random_positions(seed, every=1):
            mover, moves = position.agent_selection, legal(position)
            in_play = [a for a in range(4) if legal_or_not_done(position, a)]
            if len(in_play) != 2 or mover not in in_play or len(moves) < 4:
                continue
            (opponent,) = set(in_play) - {mover}
            if len(set_indices(position.observe(opponent).action_mask)) != 1:
                continue
            blocking, certain = set(), set()
            try:
                for action in moves:
                    child = position.copy()
                    child.step(action)
                    if child.observe(opponent).done[0]:
                        blocking.add(action)
                    if win_share_range(child, mover, [20000])[0] == 1:
                        certain.add(action)
            except LookupError:
                break
            if blocking and certain == blocking:
                found.append((position, blocking))
            break
        if len(found) == count:
            break
    return found


def test_search_takes_the_opponents_only_placement_when_that_wins():
    # Win share, not score: taking an opponent's placement changes the mover's own score in
    # no way, only whether it wins.
    endgames = blocking_endgames(1)
    assert endgames
    for position, blocking in endgames:
        assert MCTSAgent(400, seed=2).search(position).action in blocking


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda: RandomAgent(-1), ValueError),
        (lambda: RandomAgent(2**64), ValueError),
        (lambda: RandomAgent(True), TypeError),
        (lambda: MCTSAgent(0), ValueError),
        (lambda: MCTSAgent(10, trees=0), ValueError),
        (lambda: MCTSAgent(10, trees=2.0), TypeError),
        (lambda: MCTSAgent(True), TypeError),
        (lambda: MCTSAgent(10, c=-1.0), ValueError),
        (lambda: MCTSAgent(10, c=float("nan")), ValueError),
        (lambda: MCTSAgent(10, rollout="minimax"), ValueError),
        (lambda: MCTSAgent(10, reward_mode="elo"), ValueError),
    ],
)
def test_bad_options_are_refused(make, error):
    with pytest.raises(error):
        make()


def test_the_old_name_of_trees_still_works_with_a_warning():
    game = PyKrodan()
    with pytest.warns(DeprecationWarning, match="trees"):
        old = MCTSAgent(40, threads=2, seed=3)
    new = MCTSAgent(40, trees=2, seed=3)
    assert old.trees == old.threads == 2
    assert np.array_equal(old.search(game).visits, new.search(game).visits)


def test_the_play_module_keeps_its_random_agent():
    assert PlayRandomAgent is RandomAgent
    assert isinstance(MCTSAgent(3).search(PyKrodan()), SearchResult)
    with pytest.raises(TypeError, match="PyKrodan"):
        RandomAgent(1).act("not a game")  # type: ignore[arg-type]
