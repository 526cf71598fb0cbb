"""VecKrodan against single PyKrodan games stepped the same way, its arrays and its refusals."""

import gc
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from krodan_rl import PyKrodan, VecKrodan

N = 5


def play_like_the_batch(game: PyKrodan, action: int) -> None:
    """The action, then passes for every done agent to move, as the batch plays them."""
    game.step(action)
    while not game.is_over and game.terminations[game.agent_selection]:
        game.step(None)


def expect_game_matches(vec: VecKrodan, i: int, ref: PyKrodan) -> None:
    """Every array row of game i against the reference game observed by its mover."""
    assert vec.get_state(i) == ref.to_bytes()
    mover = ref.agent_selection
    assert vec.current_agent[i] == mover
    view = ref.observe(mover)
    planes = np.frombuffer(view.observation + view.corners + view.blocked, np.uint8)
    assert np.array_equal(vec.observation[i], planes.reshape(12, 20, 20))
    assert np.array_equal(vec.pieces[i], np.frombuffer(view.pieces, np.uint8).reshape(4, 21))
    assert np.array_equal(vec.done[i], np.frombuffer(view.done, np.uint8))
    mask = np.frombuffer(view.action_mask, np.uint8).astype(bool)
    if ref.is_over:
        mask[:] = False  # a finished game's mover is done: nothing is legal
    legal = vec.legal_actions[vec.legal_offsets[i] : vec.legal_offsets[i + 1]]
    assert np.array_equal(legal, np.flatnonzero(mask))
    if vec.action_mask is not None:
        assert np.array_equal(vec.action_mask[i], mask)


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("reward_mode", ["win_share", "score"])
def test_auto_reset_batch_agrees_with_single_games(threads, reward_mode):
    vec = VecKrodan(N, num_threads=threads, reward_mode=reward_mode, seed=3)
    refs = [PyKrodan() for _ in range(N)]
    ended = 0
    for _ in range(150):
        actions = vec.random_actions()
        movers = [ref.agent_selection for ref in refs]
        _, rewards, terminations, truncations, info = vec.step(actions)
        assert not truncations.any()
        assert list(info["mover"]) == movers
        finals = iter(range(int(terminations.sum())))
        for i, ref in enumerate(refs):
            play_like_the_batch(ref, int(actions[i]))
            assert terminations[i] == ref.is_over
            if ref.is_over:
                ended += 1
                assert list(rewards[i]) == ref.outcome(reward_mode)
                assert list(info["final_scores"][i]) == ref.scores
                view = ref.observe(ref.agent_selection)
                row = next(finals)
                assert info["final_observation"]["observation"][row].tobytes() == (
                    view.observation + view.corners + view.blocked
                )
                refs[i] = PyKrodan()
            else:
                assert not rewards[i].any() and not info["final_scores"][i].any()
            expect_game_matches(vec, i, refs[i])
    assert ended > 0


@pytest.mark.parametrize("threads", [1, 3])
def test_without_auto_reset_finished_games_stay_terminated_until_reset(threads):
    vec = VecKrodan(N, num_threads=threads, auto_reset=False, dense_mask=False, seed=5)
    refs = [PyKrodan() for _ in range(N)]
    while not all(ref.is_over for ref in refs):
        actions = vec.random_actions()
        was_over = [ref.is_over for ref in refs]
        assert [a == -1 for a in actions] == was_over
        _, rewards, terminations, _, _ = vec.step(actions)
        for i, ref in enumerate(refs):
            if was_over[i]:
                assert terminations[i] and not rewards[i].any()
                continue
            play_like_the_batch(ref, int(actions[i]))
            assert terminations[i] == ref.is_over
            if ref.is_over:
                assert list(rewards[i]) == ref.outcome("win_share")
            expect_game_matches(vec, i, ref)
    assert len(vec.legal_actions) == 0
    with pytest.raises(ValueError, match="finished game"):
        vec.set_state(0, refs[0].to_bytes())
    mask = np.zeros(N, bool)
    mask[1] = True
    vec.reset(mask=mask)
    assert vec.terminated.tolist() == [True, False, True, True, True]
    expect_game_matches(vec, 1, PyKrodan())
    expect_game_matches(vec, 0, refs[0])


def test_random_actions_are_legal_and_the_same_on_every_thread_count():
    runs = []
    for threads in (1, 2, 3):
        vec = VecKrodan(7, num_threads=threads, dense_mask=False, seed=11)
        drawn = []
        for _ in range(120):
            actions = vec.random_actions()
            for i, a in enumerate(actions):
                assert a in vec.legal_actions[vec.legal_offsets[i] : vec.legal_offsets[i + 1]]
            drawn.append(actions)
            vec.step(actions)
        runs.append(np.array(drawn))
    assert np.array_equal(runs[0], runs[1]) and np.array_equal(runs[0], runs[2])
    other_seed = VecKrodan(7, seed=12).random_actions()
    assert not np.array_equal(other_seed, runs[0][0])


def test_reset_with_a_seed_replays_the_same_streams():
    vec = VecKrodan(3, seed=0)
    first = [vec.step(vec.random_actions()) and vec.get_state(0) for _ in range(5)]
    vec.reset(seed=0)
    again = [vec.step(vec.random_actions()) and vec.get_state(0) for _ in range(5)]
    assert first == again


def test_an_illegal_action_changes_no_game():
    vec = VecKrodan(4, num_threads=2)
    vec.step(vec.random_actions())
    before = [vec.get_state(i) for i in range(4)]
    observation = vec.observation.copy()
    actions = vec.random_actions()
    actions[2] = 419
    with pytest.raises(ValueError, match="game 2: action 419 is not legal for agent 1"):
        vec.step(actions)
    for bad in (-1, 36400, 2**40):
        actions[2] = -1 if bad == -1 else 0
        wide = actions.astype(np.int64)
        wide[2] = bad
        with pytest.raises(ValueError, match=f"game 2: action {bad} is not legal"):
            vec.step(wide)
    assert [vec.get_state(i) for i in range(4)] == before
    assert np.array_equal(vec.observation, observation)


@pytest.mark.parametrize(
    ("actions", "error"),
    [
        (np.zeros(3, np.float64), TypeError),
        (np.zeros(3, np.bool_), TypeError),
        (["0", "0", "0"], TypeError),
        (np.zeros(4, np.int64), ValueError),
        (np.zeros((3, 1), np.int32), ValueError),
        (0, ValueError),
    ],
)
def test_step_refuses_bad_shapes_and_dtypes(actions, error):
    vec = VecKrodan(3)
    with pytest.raises(error):
        vec.step(actions)


def test_other_integer_dtypes_and_lists_are_accepted():
    vec = VecKrodan(2)
    vec.step(np.array([0, 0], np.uint16))
    vec.step([int(a) for a in vec.random_actions()])
    assert vec.game(0).ply == 2


def test_set_state_refusals_leave_the_game_unchanged_and_done_movers_are_passed():
    vec = VecKrodan(2)
    vec.step(vec.random_actions())
    before = vec.get_state(1)
    for data, error in [
        (b"", ValueError),
        (b"\x02" + before[1:], ValueError),
        ("text", TypeError),
        (5, TypeError),
    ]:
        with pytest.raises(error):
            vec.set_state(1, data)
    assert vec.get_state(1) == before
    with pytest.raises(IndexError):
        vec.set_state(2, before)
    # A position where the agent to move is done: the batch passes for it at once.
    game = PyKrodan()
    rng = np.random.default_rng(0)
    while game.is_over or not any(game.terminations):
        if game.is_over:
            game = PyKrodan()
        legal = np.flatnonzero(
            np.frombuffer(game.observe(game.agent_selection).action_mask, np.uint8)
        )
        game.step(int(rng.choice(legal)) if len(legal) else None)
    while not game.terminations[game.agent_selection]:
        legal = np.flatnonzero(
            np.frombuffer(game.observe(game.agent_selection).action_mask, np.uint8)
        )
        game.step(int(rng.choice(legal)))
    vec.set_state(1, game.to_bytes())
    while game.terminations[game.agent_selection] and not game.is_over:
        game.step(None)
    expect_game_matches(vec, 1, game)
    assert vec.game(1).to_bytes() == game.to_bytes()
    assert VecKrodan.from_games([PyKrodan(), game]).get_state(1) == game.to_bytes()


def test_a_finished_state_restarts_under_auto_reset():
    finished = PyKrodan()
    rng = np.random.default_rng(1)
    while not finished.is_over:
        legal = np.flatnonzero(
            np.frombuffer(finished.observe(finished.agent_selection).action_mask, np.uint8)
        )
        finished.step(int(rng.choice(legal)) if len(legal) else None)
    vec = VecKrodan.from_games([finished])
    expect_game_matches(vec, 0, PyKrodan())


def test_a_second_call_from_another_thread_is_refused():
    vec = VecKrodan(512, num_threads=1, dense_mask=True)
    actions = vec.random_actions()
    errors: list[BaseException] = []
    running = threading.Event()
    stop = threading.Event()

    def stepper():
        try:
            while not stop.is_set():
                running.set()
                vec.step(vec.random_actions())
        except BaseException as error:  # noqa: BLE001 (reported to the main thread)
            errors.append(error)

    thread = threading.Thread(target=stepper)
    thread.start()
    running.wait()
    refused = 0
    for _ in range(2000):
        try:
            vec.step(actions)
        except RuntimeError as error:
            assert "another thread" in str(error)
            refused += 1
            if refused > 5:
                break
        except ValueError:
            pass  # the other thread moved the games on: these actions went stale
    stop.set()
    thread.join()
    assert refused > 0
    assert not errors
    for i in range(0, 512, 97):
        expect_game_matches(vec, i, vec.game(i))


def test_views_keep_their_memory_and_outlive_the_batch():
    vec = VecKrodan(4, copy=False, seed=2)
    observation, legal_offsets, rewards = vec.observation, vec.legal_offsets, vec.rewards
    obs, *_ = vec.step(vec.random_actions())
    assert obs["observation"] is observation
    assert vec.observation is observation and vec.legal_offsets is legal_offsets
    assert vec.rewards is rewards
    assert not observation.flags.writeable
    with pytest.raises(ValueError):
        observation[0, 0, 0, 0] = 1
    snapshot = observation.copy()
    del vec, obs
    gc.collect()
    assert np.array_equal(observation, snapshot)


def test_legal_actions_grows_into_a_new_array_and_lists_stay_right():
    vec = VecKrodan(1, dense_mask=False, seed=4)
    first = vec.legal_actions.base
    grew = False
    for _ in range(40):
        vec.step(vec.random_actions())
        grew = grew or vec.legal_actions.base is not first
        expect_game_matches(vec, 0, vec.game(0))
    # This line of play reaches a list of 513 actions, longer than the room first set aside.
    assert grew


def test_copy_results_are_not_overwritten_by_the_next_call():
    vec = VecKrodan(3, seed=6)
    obs, *_ = vec.step(vec.random_actions())
    saved = {key: value.copy() for key, value in obs.items()}
    vec.step(vec.random_actions())
    for key, value in obs.items():
        assert np.array_equal(value, saved[key])
        assert value.flags.writeable
    assert not np.shares_memory(obs["observation"], vec.observation)


def test_observations_off_still_lists_legal_actions():
    vec = VecKrodan(3, observations=False, dense_mask=False, seed=8)
    full = VecKrodan(3, seed=8)
    for _ in range(30):
        obs, *_ = vec.step(vec.random_actions())
        full.step(full.random_actions())
        assert set(obs) == {"legal_actions", "legal_offsets"}
        assert np.array_equal(vec.legal_actions, full.legal_actions)
    assert vec.observation is None


def test_spaces_and_close():
    vec = VecKrodan(2)
    assert vec.num_envs == 2 and vec.num_threads >= 1
    space = vec.single_observation_space
    obs, _ = vec.reset()
    assert space["observation"].contains(obs["observation"][0])
    assert space["action_mask"].contains(obs["action_mask"][0])
    assert vec.single_action_space.n == 36400
    kept = vec.observation
    vec.close()
    vec.close()
    assert kept.shape == (2, 12, 20, 20)
    with pytest.raises(RuntimeError, match="closed"):
        vec.step(np.zeros(2, np.int32))


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"num_games": 0}, ValueError),
        ({"num_games": 2.0}, TypeError),
        ({"num_games": 2, "num_threads": -1}, ValueError),
        ({"num_games": 2, "reward_mode": "points"}, ValueError),
        ({"num_games": 2, "auto_reset": 1}, TypeError),
        ({"num_games": 2, "seed": -1}, ValueError),
        ({"num_games": 2, "seed": 2**64}, ValueError),
    ],
)
def test_constructor_refuses_bad_options(kwargs, error):
    with pytest.raises(error):
        VecKrodan(**kwargs)


def test_many_games_per_chunk_agree_across_thread_counts():
    """300 games make chunks of several games each: every array, after every call, equal
    between 1 and 4 threads, and each mask row exactly its game's legal list."""
    batches = [VecKrodan(300, num_threads=t, copy=False, seed=9) for t in (1, 4)]
    rng = np.random.default_rng(0)
    for call in range(60):
        if call % 15 == 14:
            mask = rng.random(300) < 0.3
            for vec in batches:
                vec.reset(mask=mask)
        else:
            actions = batches[0].random_actions()
            for vec in batches:
                vec.step(actions)
        one, four = batches
        for name in ("observation", "pieces", "done", "action_mask", "legal_offsets",
                     "legal_actions", "current_agent", "rewards", "terminated", "final_scores"):  # fmt: skip
            assert np.array_equal(getattr(one, name), getattr(four, name)), name
        rows, actions_of = np.nonzero(four.action_mask)
        assert np.array_equal(actions_of, four.legal_actions)
        assert np.array_equal(np.bincount(rows, minlength=300), np.diff(four.legal_offsets))


def test_the_native_batch_refuses_overlapping_calls():
    vec = VecKrodan(512, num_threads=1)
    native = vec._native
    out = np.empty(512, np.int32)
    refused: list[str] = []
    errors: list[BaseException] = []
    stop = threading.Event()

    def stepper():
        try:
            while not stop.is_set():
                native.random_actions(out)
                native.step(out.copy())
        except BaseException as error:  # noqa: BLE001 (reported to the main thread)
            errors.append(error)

    thread = threading.Thread(target=stepper)
    thread.start()
    deadline = time.monotonic() + 10
    try:
        while len(refused) < 3 and time.monotonic() < deadline and not errors:
            try:
                native.legal_actions()
            except RuntimeError as error:
                refused.append(str(error))
            time.sleep(0)
    finally:
        stop.set()
        thread.join()
    assert not errors
    assert refused and "another thread" in refused[0]


def test_a_forked_child_steps_its_copy_without_the_parents_threads():
    code = textwrap.dedent(
        """
        import os, sys
        import numpy as np
        from krodan_rl import VecKrodan
        vec = VecKrodan(64, num_threads=2, seed=1)
        pid = os.fork()
        if pid == 0:
            for _ in range(20):
                vec.step(vec.random_actions())
            ok = vec.game(0).ply == 20
            del vec
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        vec.step(vec.random_actions())
        sys.exit(os.waitstatus_to_exitcode(status))
        """
    )
    child = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True,
                           text=True, timeout=120, check=False)  # fmt: skip
    assert child.returncode == 0, child.stderr


def test_from_games_takes_every_game_in_one_pass_or_none():
    rng = np.random.default_rng(5)
    games = []
    for length in range(0, 60, 6):
        game = PyKrodan()
        for _ in range(length):
            legal = np.flatnonzero(
                np.frombuffer(game.observe(game.agent_selection).action_mask, np.bool_)
            )
            game.step(int(rng.choice(legal)) if len(legal) else None)
        games.append(game)
    vec = VecKrodan.from_games(games, dense_mask=False)
    for i, game in enumerate(games):
        while game.terminations[game.agent_selection] and not game.is_over:
            game.step(None)
        expect_game_matches(vec, i, game)
    finished = PyKrodan()
    while not finished.is_over:
        legal = np.flatnonzero(
            np.frombuffer(finished.observe(finished.agent_selection).action_mask, np.bool_)
        )
        finished.step(int(rng.choice(legal)) if len(legal) else None)
    with pytest.raises(ValueError, match="game 1: The state is of a finished game"):
        VecKrodan.from_games([games[3], finished], auto_reset=False)
    vec = VecKrodan(2, auto_reset=False)
    before = [vec.get_state(i) for i in range(2)]
    with pytest.raises(ValueError, match="game 1:"):
        vec._native.set_states([(0, games[5].to_bytes()), (1, finished.to_bytes())])
    assert [vec.get_state(i) for i in range(2)] == before
