"""The arena's standings on small tables made here: outcome values, pooled means, block
bootstrap intervals, and the Plackett-Luce rating against a brute-force maximisation."""

import itertools
import json
import math

import numpy as np
import pytest

from krodan_rl.arena.ratings import PRIOR_GAMES
from krodan_rl.arena.standings import standings
from krodan_rl.outcomes import outcome_values

ROTATIONS = np.array([np.roll(np.arange(4), -k) for k in range(4)])


def rotated(entry_scores):
    """Seats and scores of games in rotated blocks, from each entry's score game by game."""
    entry_scores = np.asarray(entry_scores)
    seats = np.tile(ROTATIONS, (len(entry_scores) // 4, 1))
    return seats, np.take_along_axis(entry_scores, seats, axis=1)


def random_games(blocks, seed, edge=0):
    """Entry scores drawn in -40..-1, entry 0 `edge` points better."""
    entry_scores = np.random.default_rng(seed).integers(-40, 0, size=(4 * blocks, 4))
    entry_scores[:, 0] = np.minimum(entry_scores[:, 0] + edge, 20)
    return rotated(entry_scores)


def estimates(result):
    """Every estimate of the table with its row's spec and what it estimates."""
    for row in result.rows:
        yield row.spec, "mean_score", row.mean_score
        yield row.spec, "rating", row.rating
        for mode, estimate in row.outcomes.items():
            yield row.spec, mode, estimate


@pytest.mark.parametrize(
    ("scores", "mode", "expected"),
    [
        ([5, -3, -10, -20], "win_share", [1, 0, 0, 0]),
        ([5, -3, -10, -20], "rank", [1, 2 / 3, 1 / 3, 0]),
        ([-20, 5, 5, -10], "win_share", [0, 0.5, 0.5, 0]),
        ([-20, 5, 5, -10], "rank", [0, 5 / 6, 5 / 6, 1 / 3]),
        ([20, -7, -7, -7], "rank", [1, 1 / 3, 1 / 3, 1 / 3]),
        ([-1, -1, -1, -1], "win_share", [0.25] * 4),
        ([-1, -1, -1, -1], "rank", [0.5] * 4),
        ([15, -2, 15, -89], "score", [15, -2, 15, -89]),
    ],
)
def test_outcome_values(scores, mode, expected):
    assert outcome_values(scores, mode) == pytest.approx(expected)
    # Stacked games give each game's values.
    assert outcome_values([[0, 0, 0, 0], scores], mode)[1] == pytest.approx(expected)


def test_pooled_means_and_seats():
    # One block, entry 0 "greedy", entries 1-3 one pooled "random" row.
    entry_scores = [[10, -5, -5, -20], [-8, -8, -30, -40], [-50, -4, -6, -2], [-1, -1, -1, -1]]
    result = standings(["greedy", "random", "random", "random"], *rotated(entry_scores))
    greedy, pooled = result.rows
    assert (greedy.spec, greedy.games, pooled.spec, pooled.games) == ("greedy", 4, "random", 12)
    expected = {
        "greedy": {"score": -12.25, "win_share": 1.75 / 4, "rank": (1 + 5 / 6 + 0 + 0.5) / 4},
        "random": {"score": -10.25, "win_share": 2.25 / 12, "rank": (1 + 7 / 6 + 2 + 1.5) / 12},
    }
    for spec, what, estimate in estimates(result):
        if what != "rating":
            mode = "score" if what == "mean_score" else what
            assert estimate.value == pytest.approx(expected[spec][mode])
        # One block: every resample is the table itself.
        assert estimate.low == estimate.value == estimate.high
    # Rotated, greedy sat at seat 0, 3, 2 and 1 in turn.
    assert greedy.win_share_by_seat == pytest.approx((1, 0.25, 0, 0.5))


def test_intervals_contain_the_point_shrink_with_more_blocks_and_repeat_for_a_seed():
    specs = ["edge", "random", "other", "random"]
    result = standings(specs, *random_games(4, 1, edge=8))
    few = {(s, w): e for s, w, e in estimates(result)}
    many = {(s, w): e for s, w, e in estimates(standings(specs, *random_games(100, 1, edge=8)))}
    for key, estimate in many.items():
        if key != ("random", "rating"):  # the anchor's is 0
            assert few[key].low < few[key].value < few[key].high
            assert estimate.low < estimate.value < estimate.high
            assert estimate.high - estimate.low < few[key].high - few[key].low
    assert standings(specs, *random_games(4, 1, edge=8), seed=0) == result
    assert standings(specs, *random_games(4, 1, edge=8), seed=1) != result


def test_a_dominant_spec_rates_highest():
    seats, scores = random_games(5, 3)
    scores[seats == 1] = 20  # entry 1 always wins
    scores[seats == 3] = -89  # entry 3 always loses
    rest, strong, weak = standings(["random", "strong", "random", "weak"], seats, scores).rows
    assert (rest.spec, strong.spec, weak.spec) == ("random", "strong", "weak")
    assert strong.rating.low > 0 > weak.rating.high
    assert math.isfinite(strong.rating.high) and math.isfinite(weak.rating.low)
    assert strong.outcomes["win_share"].value == 1


def test_seat_determined_games_rate_everyone_alike():
    # Seat m always scores the same: each entry wins one game of every block.
    seats = np.tile(ROTATIONS, (3, 1))
    scores = np.tile([20, -5, -10, -30], (12, 1))
    result = standings(["a", "b", "c", "d"], seats, scores)
    for row in result.rows:
        rating = row.rating
        assert [rating.value, rating.low, rating.high] == pytest.approx([0, 0, 0], abs=1e-6)
        assert (row.mean_score.value, row.win_share_by_seat) == (-6.25, (1, 0, 0, 0))


def test_all_tied_games_state_no_preference():
    seats, scores = random_games(3, 4, edge=6)
    tied_seats, tied_scores = rotated(np.full((8, 4), -12))
    specs = ["edge", "random", "b", "c"]
    alone = standings(specs, seats, scores, resamples=50)
    padded = standings(
        specs, np.vstack([seats, tied_seats]), np.vstack([scores, tied_scores]), resamples=50
    )
    for row, padded_row in zip(alone.rows, padded.rows, strict=True):
        assert padded_row.rating.value == pytest.approx(row.rating.value, abs=1e-6)
    assert any(abs(row.rating.value) > 10 for row in alone.rows)  # there was a preference


@pytest.mark.parametrize(
    ("specs", "rows", "anchor"),
    [
        (["greedy", "random", "x", "random"], ["greedy", "random", "x"], "random"),
        (["b", "a", "b", "c"], ["b", "a", "c"], "b"),
        (["a", "a", "a", "a"], ["a"], "a"),
    ],
)
def test_rows_and_anchor(specs, rows, anchor):
    result = standings(specs, *random_games(3, 5, edge=10))
    assert [row.spec for row in result.rows] == rows
    assert result.anchor == anchor
    anchored = result.rows[rows.index(anchor)].rating
    assert (anchored.value, anchored.low, anchored.high) == (0, 0, 0)
    assert sum(row.games for row in result.rows) == 4 * 12


def brute_force_rating(entry_scores, rows):
    """Rating of row 1 over row 0 maximising the same posterior on zooming grids, from the
    model's definition: every strict order agreeing with the scores, drawn place by place."""

    def log_posterior(theta):
        total = sum(PRIOR_GAMES * (t - 2 * np.logaddexp(0, t)) for t in theta)
        for game in entry_scores:
            likelihood = 0
            for order in itertools.permutations(range(4)):
                if all(game[order[i]] >= game[order[i + 1]] for i in range(3)):
                    strength = [np.exp(theta[rows[e]]) for e in order]
                    likelihood = likelihood + math.prod(
                        strength[i] / sum(strength[i:]) for i in range(3)
                    )
            total = total + np.log(likelihood)
        return total

    center, span = np.zeros(2), 3.0
    for _ in range(5):
        axes = [np.linspace(c - span, c + span, 61) for c in center]
        grid = np.meshgrid(*axes, indexing="ij")
        best = np.unravel_index(np.argmax(log_posterior(grid)), grid[0].shape)
        center, span = np.array([g[best] for g in grid]), span / 10
    return 400 / math.log(10) * (center[1] - center[0])


def test_rating_matches_a_brute_force_maximum():
    entry_scores = np.random.default_rng(6).integers(-4, 0, size=(8, 4))  # ties aplenty
    entry_scores[:, 0] += 1  # a small edge for one "a" entry
    result = standings(["a", "b", "a", "b"], *rotated(entry_scores), resamples=10)
    expected = brute_force_rating(entry_scores, [0, 1, 0, 1])
    assert abs(expected) > 20
    assert result.rows[1].rating.value == pytest.approx(expected, abs=0.05)


def test_outputs_where_a_spec_never_sat_somewhere():
    seats = np.tile(np.arange(4), (8, 1))  # never rotated: "x" always at seat 0
    scores = np.tile([-3, -3, -20, -40], (8, 1))
    result = standings(["x", "y", "y", "y"], seats, scores, resamples=100)
    assert result.rows[0].win_share_by_seat == (0.5, None, None, None)
    data = json.loads(json.dumps(result.to_dict(), allow_nan=False))
    assert data["rows"][0]["win_share_by_seat"] == [0.5, None, None, None]
    assert data["rows"][1]["outcomes"]["win_share"] == {"value": 1 / 6, "interval": [1 / 6, 1 / 6]}
    *table, footer = result.format().splitlines()
    assert len({len(line) for line in table}) == 1  # aligned columns
    assert [line.split()[0] for line in table] == ["spec", "x", "y"]
    assert "0.500     -     -     -" in table[1]
    assert "bootstrap" in footer and "'x' = 0" in footer


GOOD_SEATS, GOOD_SCORES = rotated(np.full((4, 4), -5))


def with_row(table, row):
    return np.vstack([[row], table[1:]])


@pytest.mark.parametrize(
    ("changed", "message"),
    [
        ({"specs": ["a", "b", "c"]}, "specs must name 4 entries, not 3"),
        ({"specs": "abcd"}, "specs must be a sequence"),
        ({"specs": ["a", "b", "", "d"]}, "non-empty string, not ''"),
        ({"specs": ["a", "b", "c", 3]}, "non-empty string, not 3"),
        ({"seats": GOOD_SEATS * 1.0}, "seats must hold integers, not float64"),
        ({"scores": GOOD_SCORES < 0}, "scores must hold integers, not bool"),
        ({"seats": GOOD_SEATS[:, :3]}, r"seats must have shape \(games, 4\)"),
        ({"scores": GOOD_SCORES[:3]}, r"seats \(4, 4\) and scores \(3, 4\) differ"),
        ({"seats": GOOD_SEATS[:2], "scores": GOOD_SCORES[:2]}, "positive multiple of 4, not 2"),
        ({"seats": GOOD_SEATS[:0], "scores": GOOD_SCORES[:0]}, "positive multiple of 4, not 0"),
        ({"seats": with_row(GOOD_SEATS, [0, 1, 1, 3])}, "game 0 are not a permutation"),
        ({"scores": with_row(GOOD_SCORES, [21, 0, 0, 0])}, "outside -89..20"),
        ({"resamples": 0}, "resamples must be a positive integer"),
        ({"seed": -1}, "seed must be a non-negative integer"),
    ],
)
def test_bad_input(changed, message):
    arguments = {"specs": list("abcd"), "seats": GOOD_SEATS, "scores": GOOD_SCORES} | changed
    with pytest.raises(ValueError, match=message):
        standings(**arguments)


@pytest.mark.parametrize(
    ("scores", "mode", "message"),
    [
        ([1, 2, 3, 4], "elo", "unknown reward mode 'elo'"),
        ([1, 2, 3], "rank", "4 values on the last axis"),
        ([1, 2, 3, np.nan], "rank", "finite numbers"),
    ],
)
def test_bad_outcome_input(scores, mode, message):
    with pytest.raises(ValueError, match=message):
        outcome_values(scores, mode)
