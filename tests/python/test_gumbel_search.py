"""The guided search's Gumbel root against a plain Gumbel search written here over PyKrodan from
the rule in search/gumbel.hpp: the same root visits after every round (the Gumbel-top-k sample
and the halving's rounds), the same action and improved policy, for single and batched games on
one and two threads. The improved policy's expected value is not below the prior's. Where JAX
and mctx are installed, mctx's gumbel_muzero_policy is an outside oracle on the same trees."""

import math

import numpy as np
import pytest
from test_search import POSITIONS, Node, evaluator, reference_evaluation, skip_passes

from krodan_rl.search import BatchedSearch

C_VISIT, C_SCALE = 50.0, 0.1
TINY = float(np.finfo(np.float32).tiny)


def logit(p):
    return math.log(p) if p > 0 else -math.inf


def considered_visits(k, simulations):
    """The visits that each simulation of a root with k sampled children looks for."""
    if k <= 1:
        return list(range(simulations))
    rounds_of, plan, reached, remaining = math.ceil(math.log2(k)), [], 0, k
    while len(plan) < simulations:
        for _ in range(max(1, simulations // (rounds_of * remaining))):
            plan += [reached] * remaining
            reached += 1
        remaining = max(2, remaining // 2)
    return plan[:simulations]


def children_of(node):
    """(prior, visits, mean value for the mover) of each child, ascending by action."""
    m = node.mover
    return [(p, c.visits if c else 0, c.q(m) if c and c.visits else 0.0)
            for p, c in node.children.values()]  # fmt: skip


def completed_q(node):
    """The completed Q-values, the mixed value standing in for children not visited."""
    kids = children_of(node)
    total = sum(n for _, n, _ in kids)
    visited_prior = sum(max(TINY, p) for p, n, _ in kids if n)
    weighted = sum(max(TINY, p) * q / visited_prior for p, n, q in kids if n)
    mixed = (node.raw + total * weighted) / (total + 1)
    return [q if n else mixed for _, n, q in kids]


def sigma(node):
    completed = completed_q(node)
    lo, hi = min(completed), max(completed)
    scale = (C_VISIT + max(n for _, n, _ in children_of(node))) * C_SCALE
    return [scale * (c - lo) / max(hi - lo, 1e-8) for c in completed]


def improved(node):
    z = [logit(p) + s for (p, _, _), s in zip(children_of(node), sigma(node), strict=True)]
    top = max(z)
    w = [math.exp(x - top) for x in z]
    return [x / sum(w) for x in w]


def first_best(scores):
    return max(range(len(scores)), key=lambda k: (scores[k], -k))


def halving_index(node, noise, considered):
    kids = children_of(node)
    top = max(logit(p) for p, _, _ in kids)
    scores = [max(-1e9, g + (logit(p) - top) + s) if n == considered else -math.inf
              for (p, n, _), g, s in zip(kids, noise, sigma(node), strict=True)]  # fmt: skip
    return first_best(scores)


def interior_index(node):
    kids = children_of(node)
    total = sum(n for _, n, _ in kids)
    return first_best([pi - n / (1 + total)
                       for pi, (_, n, _) in zip(improved(node), kids, strict=True)])  # fmt: skip


def gumbel_reference(game, simulations, k, noise):
    """The plain search: returns the root and its visits after each evaluation."""
    root, history = Node(skip_passes(game.copy())), []

    def back_up(path, values):
        for node in path:
            node.visits += 1
            node.value = [w + v for w, v in zip(node.value, values, strict=True)]

    def evaluate(node, path):
        if node.game.is_over:
            return back_up(path, [float(x) for x in node.game.outcome("win_share")])
        priors, values = reference_evaluation(node.game)
        node.children = {a: [p, None] for a, p in sorted(priors.items())}
        node.raw = values[node.mover]
        back_up(path, values)
        history.append([c.visits if c else 0 for _, c in root.children.values()])

    evaluate(root, [root])
    history.clear()
    plan = considered_visits(min(k, len(root.children)), simulations)
    while root.visits - 1 < simulations:
        node, path = root, [root]
        while not node.game.is_over:
            at = (halving_index(node, noise, plan[node.visits - 1]) if node is root
                  else interior_index(node))  # fmt: skip
            entry = list(node.children.values())[at]
            if entry[1] is None:
                child = node.game.copy()
                child.step(list(node.children)[at])
                entry[1] = Node(skip_passes(child))
                path.append(entry[1])
                break
            node = entry[1]
            path.append(node)
        evaluate(path[-1], path)
    return root, history


def row(found, name, i):
    """Slot i's entries of a visit_counts or policy array."""
    o = found["offsets"]
    return found[name][o[i] : o[i + 1]]


def gumbel_search(n, simulations, k, threads=1):
    return BatchedSearch(n, simulations=simulations, root="gumbel", gumbel_actions=k,
                         c_visit=C_VISIT, c_scale=C_SCALE, num_threads=threads, seed=5)  # fmt: skip


def run_recording(search):
    """Runs the search; each slot's root visits after each of its evaluations."""
    histories = [[] for _ in range(search.num_games)]
    while not search.done():
        leaves = search.pending()
        if not len(leaves["mover"]):
            break
        slots = leaves["game_index"].tolist()
        search.expand(*evaluator(leaves))
        found = search.visit_counts()
        for i in slots:
            histories[i].append(row(found, "counts", i).tolist())
    return histories


@pytest.mark.parametrize(("simulations", "k"), [(1, 16), (9, 4), (40, 16), (30, 1)])
@pytest.mark.parametrize("threads", [1, 2])
def test_rounds_action_and_improved_policy_equal_the_reference(simulations, k, threads):
    games = POSITIONS + POSITIONS[::-1]
    search = gumbel_search(len(games), simulations, k, threads)
    search.start(games, seeds=list(range(len(games))))
    histories = run_recording(search)
    chosen = search.select(0.0)
    policy = search.policy(1.0)
    noise_rows = {**policy, "noise": search.root_noise()}
    for i, game in enumerate(games):
        noise = row(noise_rows, "noise", i).tolist()
        root, history = gumbel_reference(game, simulations, k, noise)
        assert histories[i][1:] == history  # the first row: the root's own evaluation
        counts = row(policy, "counts", i).tolist()
        # Simulations that end at finished games after the last evaluation show only here.
        assert counts == [c.visits if c else 0 for _, c in root.children.values()]
        assert sum(counts) == simulations
        assert sum(c > 0 for c in counts) == min(k, len(counts), simulations)
        assert chosen[i] == list(root.children)[halving_index(root, noise, max(counts))]
        probs = row(policy, "probs", i)
        np.testing.assert_allclose(probs, improved(root), rtol=1e-6, atol=1e-9)
        # The improved policy's expected completed Q is not below the prior's.
        q = np.array(completed_q(root))
        prior = np.array([p for p, _, _ in children_of(root)])
        assert probs @ q >= prior @ q - 1e-6
    # The same seeds give the same searches one game at a time.
    alone = gumbel_search(1, simulations, k)
    alone.start([games[2]], seeds=[2])
    assert run_recording(alone)[0] == histories[2]
    assert alone.select(0.0)[0] == chosen[2]
