"""The batched guided search against a small PUCT written here over PyKrodan from the rule in
the module's documentation: the same visit counts for single and batched games, on one and two
threads, with CSR and dense priors, and after tree reuse. Then what never reaches the
evaluator, what expand() refuses, and the roots' policies, draws and moves."""

import copy
import itertools
import math
import pickle

import numpy as np
import pytest
from conftest import random_positions, set_indices

from krodan_rl import VecKrodan
from krodan_rl._krodan import PyKrodan
from krodan_rl.search import BatchedSearch, GuidedPlayer

C_PUCT = 1.25
NUM_ACTIONS = 36400


def prior_weights(actions, cells: int) -> np.ndarray:
    """Deterministic, uneven priors of a position's legal actions."""
    a = np.asarray(actions, dtype=np.int64)
    return ((a * 2654435761 + cells * 97) % 1009 + 1).astype(np.float32)


def leaf_values(cell_counts) -> np.ndarray:
    """Values in [0, 1] of each agent (relative order) from its covered cells."""
    return (np.asarray(cell_counts) % 17 / 16).astype(np.float32)


def evaluator(leaves, dense=False):
    """The batch evaluator: the same numbers as `reference_evaluation` for each leaf."""
    offsets, legal = leaves["legal_offsets"], leaves["legal_actions"]
    cells = leaves["observation"][:, :4].reshape(len(offsets) - 1, 4, -1).sum(axis=2)
    flat = np.concatenate(
        [
            prior_weights(legal[lo:hi], cells[b].sum())
            for b, (lo, hi) in enumerate(itertools.pairwise(offsets))
        ]
    )
    values = leaf_values(cells)
    if not dense:
        return flat, values
    priors = np.full((len(offsets) - 1, NUM_ACTIONS), np.nan, dtype=np.float32)  # illegal: ignored
    rows = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    priors[rows, legal] = flat
    return priors, values


def reference_evaluation(game: PyKrodan):
    view = game.observe(game.agent_selection)
    actions = set_indices(view.action_mask)
    cells = np.frombuffer(view.observation, dtype=np.uint8).reshape(4, -1).sum(axis=1)
    weights = prior_weights(actions, cells.sum())
    total = 0.0
    for w in weights:  # in order, in double precision, as the search sums them
        total += float(w)
    priors = [float(np.float32(float(w) / total)) for w in weights]
    mover = game.agent_selection
    values = [0.0] * 4
    for k, v in enumerate(leaf_values(cells)):
        values[(mover + k) % 4] = float(v)
    return dict(zip(actions, priors, strict=True)), values


def skip_passes(game: PyKrodan) -> PyKrodan:
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)
    return game


class Node:
    def __init__(self, game: PyKrodan):
        self.game = game
        self.mover = game.agent_selection
        self.visits = 0
        self.value = [0.0] * 4
        self.children = None  # action -> [prior, Node | None], ascending

    def q(self, m):
        return self.value[m] / self.visits


def reference_search(root: Node, simulations: int) -> Node:
    """PUCT as documented: evaluations back up through their paths, a root's own first one not
    a simulation, finished games valued by their normalised outcome."""

    def back_up(path, values):
        for node in path:
            node.visits += 1
            node.value = [w + v for w, v in zip(node.value, values, strict=True)]

    def evaluate(node, path):
        if node.game.is_over:
            back_up(path, [float(x) for x in node.game.outcome("win_share")])
            return
        priors, values = reference_evaluation(node.game)
        node.children = {a: [p, None] for a, p in sorted(priors.items())}
        back_up(path, values)

    if root.children is None:
        evaluate(root, [root])
    while root.visits - 1 < simulations:
        node, path = root, [root]
        while True:
            if node.game.is_over:
                back_up(path, [float(x) for x in node.game.outcome("win_share")])
                break
            m, best, best_score = node.mover, None, -math.inf
            for action, (prior, child) in node.children.items():
                n = child.visits if child else 0
                q = child.q(m) if child else node.q(m)
                score = q + C_PUCT * prior * math.sqrt(node.visits) / (1 + n)
                if score > best_score:
                    best, best_score = action, score
            entry = node.children[best]
            if entry[1] is None:
                game = node.game.copy()
                game.step(best)
                entry[1] = Node(skip_passes(game))
                path.append(entry[1])
                evaluate(entry[1], path)
                break
            node = entry[1]
            path.append(node)
    return root


def reference_counts(root: Node):
    return {a: (c.visits if c else 0) for a, (_, c) in root.children.items()}


def search_counts(search: BatchedSearch):
    visits = search.visit_counts()
    o = visits["offsets"]
    return [
        dict(
            zip(
                visits["actions"][o[i] : o[i + 1]].tolist(),
                visits["counts"][o[i] : o[i + 1]].tolist(),
                strict=True,
            )
        )
        for i in range(search.num_games)
    ]


def sample_positions():
    """An opening, a middle game, and an end with done agents to pass for."""
    positions = random_positions(seed=11)
    late = next(p for p in positions if sum(p.terminations) >= 2 and not p.is_over)
    return [PyKrodan(), positions[30], late]


POSITIONS = sample_positions()


def make_search(n, simulations, threads=1, **options):
    return BatchedSearch(
        n,
        simulations=simulations,
        c_puct=C_PUCT,
        dirichlet_fraction=0.0,
        num_threads=threads,
        seed=1,
        **options,
    )


@pytest.mark.parametrize("simulations", [1, 6, 40])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("dense", [False, True])
def test_visit_counts_equal_the_reference_for_single_and_batched_games(simulations, threads, dense):
    expected = [
        reference_counts(reference_search(Node(skip_passes(p.copy())), simulations))
        for p in POSITIONS
    ]
    for games in ([POSITIONS[0]], [POSITIONS[2]], POSITIONS, POSITIONS[::-1] + POSITIONS):
        search = make_search(len(games), simulations, threads, dense_mask=dense)
        search.start(games)
        search.run(lambda leaves: evaluator(leaves, dense))
        want = [expected[POSITIONS.index(g)] for g in games]
        assert search_counts(search) == want
        assert all(sum(c.values()) == simulations for c in want)


def test_reused_trees_continue_like_the_reference():
    root = reference_search(Node(PyKrodan()), 30)
    search = make_search(1, 30)
    search.start([PyKrodan()])
    search.run(evaluator)
    for _ in range(3):
        action = max(reference_counts(root).items(), key=lambda kv: (kv[1], -kv[0]))[0]
        assert search.select(0.0).tolist() == [action]
        search.advance([action])
        child = root.children[action][1]
        root = reference_search(child, 30)
        search.run(evaluator)
        assert search_counts(search) == [reference_counts(root)]
        nodes, _ = search.memory()
        assert nodes <= 31


def test_done_movers_and_finished_games_never_reach_the_evaluator():
    # Positions close to the end, with done agents: walks meet passes and finished games.
    ends = [p for p in random_positions(seed=5) if sum(p.terminations) >= 2 and not p.is_over]
    games = ends[-6:]
    seen = []

    def watching(leaves):
        for b in range(len(leaves["mover"])):
            seen.append(
                (leaves["done"][b, 0], leaves["legal_offsets"][b + 1] - leaves["legal_offsets"][b])
            )
        return evaluator(leaves)

    search = make_search(len(games), 60)
    search.start(games)
    search.run(watching)
    assert seen and all(done == 0 and count > 0 for done, count in seen)
    counts = search.visit_counts()
    assert np.add.reduceat(counts["counts"], counts["offsets"][:-1]).tolist() == [60] * len(games)
    # The last games end within a few moves: far fewer evaluations than simulations.
    assert len(seen) < 60 * len(games)
    movers = counts["mover"].tolist()
    assert movers == [skip_passes(g.copy()).agent_selection for g in games]


BAD_EXPANDS = {
    "NaN prior": lambda p, v: (np.where(np.arange(len(p)) == 0, np.nan, p), v),
    "negative prior": lambda p, v: (p - p.max(), v),
    "integer priors": lambda p, v: (p.astype(np.int64), v),
    "short priors": lambda p, v: (p[:-1], v),
    "2-D priors of the wrong width": lambda p, v: (p[None, :], v),
    "values of the wrong shape": lambda p, v: (p, v[:, :3]),
    "value above 1": lambda p, v: (p, v + 1.5),
    "NaN value": lambda p, v: (p, np.full_like(v, np.nan)),
    "values as strings": lambda p, v: (p, v.astype(str)),
}


@pytest.mark.parametrize("bad", BAD_EXPANDS)
def test_bad_evaluations_are_refused_and_the_search_goes_on(bad):
    games = POSITIONS[:2]
    clean = make_search(2, 12)
    clean.start(games)
    clean.run(evaluator)

    search = make_search(2, 12)
    search.start(games)
    rounds = 0
    while not search.done():
        leaves = search.pending()
        priors, values = evaluator(leaves)
        if rounds == 2:
            wrong_type = bad in ("integer priors", "values as strings")
            with pytest.raises(TypeError if wrong_type else ValueError):
                search.expand(*BAD_EXPANDS[bad](priors, values))
            assert search.pending()["game_index"].tolist() == leaves["game_index"].tolist()
        search.expand(priors, values)
        rounds += 1
    assert search_counts(search) == search_counts(clean)


def test_priors_summing_to_zero_are_uniform_and_illegal_priors_are_ignored():
    uniform = make_search(1, 20)
    uniform.start([POSITIONS[1]])
    uniform.run(
        lambda leaves: (np.zeros(len(leaves["legal_actions"]), np.float32), evaluator(leaves)[1])
    )

    # Dense priors whose mass is on illegal actions only: zero on the legal ones.
    dense = make_search(1, 20)
    dense.start([POSITIONS[1]])

    def illegal_mass(leaves):
        priors = np.ones((len(leaves["mover"]), NUM_ACTIONS), np.float32)
        rows = np.repeat(np.arange(len(leaves["mover"])), np.diff(leaves["legal_offsets"]))
        priors[rows, leaves["legal_actions"]] = 0
        return priors, evaluator(leaves)[1]

    dense.run(illegal_mass)
    assert search_counts(dense) == search_counts(uniform)


def test_the_leaves_are_the_positions_views():
    search = make_search(3, 5, dense_mask=True)
    search.start(POSITIONS)
    leaves = search.pending()  # the roots themselves
    for b, game in enumerate(POSITIONS):
        game = skip_passes(game.copy())
        view = game.observe(game.agent_selection)
        planes = np.concatenate(
            [np.frombuffer(x, np.uint8) for x in (view.observation, view.corners, view.blocked)]
        )
        assert (leaves["observation"][b].reshape(-1) == planes).all()
        assert (
            leaves["pieces"][b].tobytes() == view.pieces
            and leaves["done"][b].tobytes() == view.done
        )
        lo, hi = leaves["legal_offsets"][b : b + 2]
        assert leaves["legal_actions"][lo:hi].tolist() == set_indices(view.action_mask)
        assert set_indices(leaves["action_mask"][b].astype(np.uint8).tobytes()) == set_indices(
            view.action_mask
        )
        assert leaves["mover"][b] == game.agent_selection and leaves["game_index"][b] == b


def test_noise_draws_policy_and_select_follow_the_seeds():
    def run(seed, seeds=None, threads=1):
        search = BatchedSearch(3, simulations=30, seed=seed, num_threads=threads)
        search.start(POSITIONS, seeds)
        search.run(evaluator)
        return search_counts(search), search.select(1.0).tolist()

    assert run(4) == run(4, threads=2)
    assert run(4) != run(5)
    assert run(4, [7, 8, 9]) == run(5, [7, 8, 9])
    big = [2**64 - 1, 8, 2**63]  # a list numpy alone would read as float64
    assert run(4, big) == run(5, np.array(big, dtype=np.uint64)) != run(4, [2**64 - 2, 8, 2**63])

    search = make_search(3, 30)
    search.start(POSITIONS)
    search.run(evaluator)
    policy = search.policy(1.0)
    o = policy["offsets"]
    for i in range(3):
        counts, probs = policy["counts"][o[i] : o[i + 1]], policy["probs"][o[i] : o[i + 1]]
        assert probs == pytest.approx(counts / counts.sum())
        greedy = search.policy(0.0)["probs"][o[i] : o[i + 1]]
        assert greedy.tolist().index(1.0) == int(np.argmax(counts)) and greedy.sum() == 1
    assert search.select(0.0).tolist() == [
        int(policy["actions"][o[i] + np.argmax(policy["counts"][o[i] : o[i + 1]])])
        for i in range(3)
    ]


def test_start_and_advance_refuse_bad_games_and_actions_and_change_nothing():
    finished = random_positions(seed=3)[-1]
    search = make_search(3, 8)
    with pytest.raises(ValueError, match="game 1: the game is over"):
        search.start([PyKrodan(), finished, None])
    search.start([PyKrodan(), POSITIONS[1], None])
    search.run(evaluator)
    before = search_counts(search)
    legal = search.select(0.0)
    assert legal[2] == -1
    for actions, message in [
        ([legal[0], 5, -1], "game 1: action 5"),
        ([legal[0], legal[1], 3], "game 2: action 3"),
        ([-1, legal[1], -1], "game 0"),
    ]:
        with pytest.raises(ValueError, match=message):
            search.advance(actions)
        assert search_counts(search) == before
    search.advance(legal)
    assert search.visit_counts()["mover"].tolist()[2] == -1


def test_start_takes_a_vector_of_games():
    vec = VecKrodan(2, num_threads=1)
    vec.step(vec.random_actions())
    search = make_search(2, 10)
    search.start(vec)
    search.run(evaluator)
    other = make_search(2, 10)
    other.start([vec.game(0), vec.game(1)])
    other.run(evaluator)
    assert search_counts(search) == search_counts(other)


def test_guided_player_plays_legal_games_and_its_copies_play_alike():
    player = GuidedPlayer(evaluator, simulations=6, temperature=1.0, seed=3)
    game = PyKrodan()
    while not game.is_over:
        twin = pickle.loads(pickle.dumps(player)) if game.ply == 10 else None
        action = player.act(game)
        legal = set_indices(game.observe(game.agent_selection).action_mask)
        assert (action is None) == (not legal) and (action is None or action in legal)
        if twin is not None:
            assert copy.deepcopy(twin).act(game) == action
        game.step(action)
    moves = player.search_moves([POSITIONS[0], None], [1, 2])
    assert moves[1] is None and moves[0][2].sum() == pytest.approx(1)
