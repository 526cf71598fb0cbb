"""One learner seat against chosen opponents, as a Gymnasium vector environment.

``SeatVectorEnv(256, opponents=("greedy", "greedy", "greedy"))`` holds 256 games; the learner
plays one seat of each (fixed, or ``"rotate"``: a game's seat moves on by one with each new
episode) and the three opponents, any players of ``krodan_rl.players``, play the others. A
step takes the learner's action in every game, then plays the opponents until each game is
back at the learner's turn or over. When every opponent is a built-in agent (random, greedy,
mcts) a step is one native call with the GIL released: the learner's moves, then every game's
opponents until its learner's next turn. Otherwise they are played a round at a time: built-in
opponents in native calls (every game waiting on them at once), search players once per round
for all the games waiting on them, other players game by game. Agents with no move left are
passed for.

- Observations: the learner's view, ``observation`` uint8 (12, 20, 20), ``pieces`` (4, 21),
  ``done`` (4), and ``action_mask`` bool (36400) unless ``action_mask=False`` (at large N the
  mask is most of the memory); the legal actions are also in ``info["legal_actions"]`` (one
  int32 array per game, in an object array) unless ``legal_actions=False`` (handing out a list
  per game costs a little at every step).
- ``flat=True``: the observation is one uint8 row instead, the fields above flattened in that
  order with the mask last, where ``krodan_rl.facts.FLAT_SLICES`` says (the mask at
  ``FLAT_SLICES["action_mask"]``): a single ``Box``, as libraries that take no ``Dict`` want it,
  from which a policy reads its mask. In both autoreset modes (``final_obs`` rows too).
- Arrays: ``reset`` and ``step`` return fresh copies by default; with ``copy=False`` the
  observations are read-only views of buffers the environment reuses (the batch's own memory
  where every opponent is built in), valid until the next ``step`` or ``reset``: copy what you
  keep. The mask alone is 36,400 bytes per game a step, 9 MB at 256 games.
- Actions: an index in the learner's frame, a legal one in every game in play (the learner
  always has one there: agents with no move are passed for); anything else, a pass (-1) or the
  batch's HOLD (-2) included, is refused with ValueError before any game moves, and the
  environment goes on as if the step had not been asked. Rewards: float32, the learner's
  outcome in ``reward_mode`` when its game ends, 0 otherwise; episodes end by termination only.
- Opponents' actions are checked: an index, or a pass (None or -1) for an agent that is done;
  anything else is refused (TypeError or ValueError naming the opponent and the game).
- A step or reset that raises once games have started moving (an opponent's error, a
  KeyboardInterrupt) leaves games mid-turn: every later ``step`` raises RuntimeError until a
  full ``reset()`` (or one whose ``reset_mask`` covers every game; a narrower one is refused).
- Autoreset: Gymnasium's ``AutoresetMode.NEXT_STEP`` by default (the step after an episode
  ends starts the next, ignoring its action), ``SAME_STEP`` on request (the final observation
  in ``info["final_obs"]``, masked by ``info["_final_obs"]``).

The opponents' random streams are those of ``VecKrodan.agent_actions``: opponent j draws for
game i from its stream i, whatever the number of threads.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import facts, players
from krodan_rl import seeds as seeds_of
from krodan_rl._internal import arguments
from krodan_rl.agents import BuiltInAgent
from krodan_rl.seat_rounds import OpponentRounds
from krodan_rl.vector import VecKrodan

try:
    from gymnasium import spaces
    from gymnasium.vector import AutoresetMode, VectorEnv
    from gymnasium.vector.utils import batch_space
except ImportError as error:  # pragma: no cover (the env extra is missing)
    raise ImportError(
        "SeatVectorEnv needs Gymnasium 1.1 or newer: pip install 'krodan_rl[env]'"
    ) from error

__all__ = ["SeatVectorEnv"]

Array = npt.NDArray[Any]
OPPONENTS = 3


def _combined_seed(seed: Any) -> int:
    """A reset's seed, an int or a sequence of them (one per game, say), as one seed."""
    if isinstance(seed, (int, np.integer)):
        values = [seed]
    elif isinstance(seed, (Sequence, np.ndarray)) and not isinstance(seed, (str, bytes)):
        values = list(seed)
    else:
        raise TypeError(f"seed must be an int or a sequence of ints, not {type(seed).__name__}")
    return seeds_of.combined(arguments.seed(value) for value in values)


def _read_only(array: Array) -> Array:
    view = array.view()
    view.flags.writeable = False
    return view


class SeatVectorEnv(VectorEnv):
    """``num_envs`` games, the learner in ``seat`` (0-3 or "rotate") of each, ``opponents``
    (three player specs or objects) in the others, seated in turn order after the learner.

    ``action_mask=False`` leaves the mask out of the observations, ``legal_actions=False``
    the per-game legal lists out of ``info``; ``flat=True`` gives each observation as one
    uint8 row (``krodan_rl.facts.FLAT_SLICES``); ``copy=False`` returns observations that are
    read-only views of buffers the environment reuses, valid until the next ``step`` or
    ``reset`` (the default: fresh copies). The module's doc string says the rest."""

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP}  # noqa: RUF012

    def __init__(
        self,
        num_envs: int,
        opponents: Sequence[Any] = ("greedy", "greedy", "greedy"),
        seat: int | str = 0,
        reward_mode: str = "win_share",
        seed: int = 0,
        num_threads: int = 0,
        autoreset_mode: AutoresetMode = AutoresetMode.NEXT_STEP,
        action_mask: bool = True,
        legal_actions: bool = True,
        copy: bool = True,
        flat: bool = False,
    ) -> None:
        # Checked here, in this class's terms, rather than by the batch underneath.
        self.num_envs = arguments.integer(num_envs, "num_envs", minimum=1, maximum=facts.MAX_GAMES)
        arguments.integer(num_threads, "num_threads", minimum=0, maximum=facts.MAX_THREADS)
        seed = arguments.seed(seed)
        if isinstance(opponents, str) or len(opponents) != OPPONENTS:
            raise ValueError(f"opponents must be {OPPONENTS} players, not {opponents!r}")
        for j, opponent in enumerate(opponents):
            players.check(opponent, f"opponent {j}")
        self.rotate = seat == "rotate"
        if not self.rotate:
            arguments.integer(seat, "seat", minimum=0, maximum=3)
        if autoreset_mode not in (AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP):
            raise ValueError(f"autoreset_mode must be NEXT_STEP or SAME_STEP, not {autoreset_mode}")
        self.metadata = {"autoreset_mode": autoreset_mode}
        self.reward_mode = arguments.reward_mode(reward_mode)
        self.action_mask = arguments.flag(action_mask, "action_mask")
        self.legal_actions = arguments.flag(legal_actions, "legal_actions")
        self.copy = arguments.flag(copy, "copy")
        self.flat = arguments.flag(flat, "flat")
        if self.flat and not self.action_mask:
            raise ValueError(
                "flat=True puts the action mask in each row: it needs action_mask=True"
            )
        self._specs = list(opponents)
        self._first_seat = 0 if self.rotate else int(seat)
        self._episodes = np.zeros(self.num_envs, dtype=np.int64)
        self._seats = np.zeros(self.num_envs, dtype=np.int8)
        self._vec = VecKrodan(
            self.num_envs,
            num_threads=num_threads,
            reward_mode=self.reward_mode,
            auto_reset=False,
            dense_mask=self.action_mask,
            copy=False,
            seed=seed,
        )
        self._make_opponents(seed)
        self._ended = np.zeros(self.num_envs, dtype=np.bool_)  # awaiting NEXT_STEP's reset
        self._reused: dict[str, Array] = {}  # the observations' buffers, reused step to step
        self._flat_rows: Array | None = None  # the flat rows' buffer, with copy=False
        # Why the games cannot be stepped until a full reset: none started yet, or a step that
        # raised midway left some mid-turn.
        self._unready: str | None = "no reset() has started the games"
        self.single_observation_space = self._single_space()
        self.single_action_space = spaces.Discrete(facts.NUM_ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)

    # The opponents.

    def _make_opponents(self, seed: int) -> None:
        self._opponents = [
            players.make(spec, seeds_of.opponent_seed(seed, j))
            for j, spec in enumerate(self._specs)
        ]
        # With every opponent built in, the batch plays their moves itself, in one call a step
        # for all the games; otherwise they are played a round at a time.
        self._all_built_in = all(isinstance(p, BuiltInAgent) for p in self._opponents)
        self._rounds = OpponentRounds(
            self._vec, self._opponents, self._specs, self._seats, self._episodes
        )

    def _seat_of(self, env: np.ndarray) -> np.ndarray:
        if not self.rotate:
            return np.full(len(env), self._first_seat, dtype=np.int8)
        seats: np.ndarray = ((env + self._episodes[env]) % 4).astype(np.int8)
        return seats

    # Observations.

    def _single_space(self) -> spaces.Space[Any]:
        if self.flat:
            return spaces.Box(0, 1, (facts.FLAT_SIZE,), np.uint8)
        fields: dict[str, spaces.Space[Any]] = {
            name: spaces.Box(0, 1, shape, dtype)
            for name, (dtype, shape) in facts.OBSERVATION_LAYOUT.items()
            if name != "action_mask" or self.action_mask
        }
        return spaces.Dict(fields)

    def _learner_view(self, i: int) -> dict[str, Array]:
        """The learner's view of game i, whoever is to move (its final position, say)."""
        view = self._vec.game(i).observe(int(self._seats[i]))
        out = {
            "observation": np.frombuffer(
                view.observation + view.corners + view.blocked, np.uint8
            ).reshape(facts.OBSERVATION_SHAPE),
            "pieces": np.frombuffer(view.pieces, np.uint8).reshape(facts.NUM_AGENTS, -1),
            "done": np.frombuffer(view.done, np.uint8),
        }
        if self.action_mask:
            out["action_mask"] = np.frombuffer(view.action_mask, np.bool_)
        return out

    def _batch_views(self) -> dict[str, Array]:
        """The batch's own arrays, read-only, overwritten by its next call."""
        vec = self._vec
        views = {"observation": vec.observation, "pieces": vec.pieces, "done": vec.done}
        if self.action_mask:
            views["action_mask"] = vec.action_mask
        return views  # type: ignore[return-value]

    def _observations(self) -> Any:
        views = self._batch_views()
        if not self._all_built_in:
            # The batch's view of a finished game is its last mover's: the learner's is put in.
            views = self._reused_copies(views)
            for i in np.flatnonzero(self._vec.terminated):
                for key, value in self._learner_view(int(i)).items():
                    views[key][i] = value
        return self._handed_out(views)

    def _reused_copies(self, views: dict[str, Array]) -> dict[str, Array]:
        """Copies of the batch's arrays into buffers kept from step to step."""
        if not self._reused:
            self._reused = {key: np.empty_like(value) for key, value in views.items()}
        for key, value in views.items():
            np.copyto(self._reused[key], value)
        return self._reused

    def _handed_out(self, views: dict[str, Array]) -> Any:
        """The observations as the caller gets them: fresh copies, or read-only views (with
        ``copy=False``); with ``flat=True``, as flat rows."""
        if self.flat:
            rows = self._flat_rows
            if self.copy or rows is None:
                rows = np.empty((self.num_envs, facts.FLAT_SIZE), np.uint8)
                self._flat_rows = None if self.copy else rows
            for key, where in facts.FLAT_SLICES.items():
                rows[:, where] = views[key].reshape(self.num_envs, -1)
            return rows if self.copy else _read_only(rows)
        if self.copy:
            return {key: value.copy() for key, value in views.items()}
        return {key: _read_only(value) for key, value in views.items()}

    def _final_observation(self, i: int) -> Any:
        """Game i's final observation, as a copy the next steps leave alone."""
        if not self._all_built_in:
            final = self._learner_view(i)
        else:
            final = {key: value[i].copy() for key, value in self._batch_views().items()}
        if self.flat:
            return np.concatenate(
                [final[key].reshape(-1).view(np.uint8) for key in facts.FLAT_SLICES]
            )
        return final

    def _infos(self) -> dict[str, Any]:
        vec = self._vec
        infos: dict[str, Any] = {}
        if self.legal_actions:
            legal = np.empty(self.num_envs, dtype=object)
            offsets = vec.legal_offsets.tolist()
            every = vec.legal_actions.copy()  # one copy, each game's list a view of it
            for i in range(self.num_envs):
                legal[i] = every[offsets[i] : offsets[i + 1]]
            infos["legal_actions"] = legal
            infos["_legal_actions"] = ~vec.terminated.astype(np.bool_)
        infos["seat"] = self._seats.astype(np.int64)
        infos["_seat"] = np.ones(self.num_envs, dtype=np.bool_)
        return infos

    # Checks, before anything moves.

    def _learner_actions(self, actions: npt.ArrayLike, playing: Array) -> Array:
        """The learner's actions as int64, each game in ``playing`` checked against its legal
        list; the others' are ignored (0 in the result)."""
        given = arguments.integer_array(actions, "actions")
        if given.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), not {given.shape}")
        # Compared in the given dtype, not after a cast: a uint64 beyond int64 would wrap to a
        # pass or to HOLD, which the batch takes without a word.
        in_range = (given >= 0) & (given < facts.NUM_ACTIONS)
        chosen: Array = np.where(in_range, given, 0).astype(np.int64)
        refused = np.flatnonzero(playing & ~(in_range & self._in_legal_lists(chosen)))
        if refused.size:
            i = int(refused[0])
            raise ValueError(
                f"game {i}: action {int(given[i])} is not a legal action of the learner "
                f"(agent {int(self._seats[i])}); nothing was played"
            )
        return chosen

    def _in_legal_lists(self, chosen: Array) -> Array:
        """Whether each game's action (in range) is in its mover's legal list: read from the
        mask where there is one, else one pass over the batch's lists, every entry compared
        with its game's action."""
        vec = self._vec
        if vec.action_mask is not None:
            in_mask: Array = vec.action_mask[np.arange(self.num_envs), chosen]
            return in_mask
        offsets = vec.legal_offsets.astype(np.intp)
        repeated = np.repeat(chosen.astype(np.int32), np.diff(offsets))
        hits = np.zeros(len(repeated) + 1, dtype=np.intp)
        np.cumsum(vec.legal_actions == repeated, out=hits[1:])
        found: Array = hits[offsets[1:]] > hits[offsets[:-1]]
        return found

    def _refuse_if_unready(self, then: str = "stepping") -> None:
        if self._unready is not None:
            raise RuntimeError(f"{self._unready}: call reset() before {then}")

    @contextmanager
    def _moving(self, what: str) -> Iterator[None]:
        """Runs what moves games; should it raise, games may be left mid-turn (an opponent to
        move, a reward unreported), and the environment refuses to step until reset. It cannot
        be rolled back instead: the opponents' random streams have already advanced."""
        try:
            yield
        except BaseException as error:
            cause = type(error).__name__ + (f" ({error})" if str(error) else "")
            self._unready = f"a {what} was interrupted by {cause}, leaving games mid-turn"
            raise

    # The API.

    def reset(
        self, *, seed: int | Sequence[int] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[dict[str, Array], dict[str, Any]]:
        """Starts every game anew, or those of ``options["reset_mask"]``; a seed (an int, or
        one per game, combined into one) reseeds the games' streams and the opponents. After
        an interrupted step only a reset of every game is taken."""
        mask = None
        if options and options.get("reset_mask") is not None:
            mask = np.asarray(options["reset_mask"])
            if mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError(f"reset_mask must be bool ({self.num_envs},)")
        if mask is not None and not mask.all():
            # The interrupted step may have left any game mid-turn or its end unreported.
            self._refuse_if_unready("a reset whose reset_mask leaves games out")
        combined = None if seed is None else _combined_seed(seed)
        with self._moving("reset"):
            if combined is not None:
                self._make_opponents(combined)
            restarted = np.ones(self.num_envs, dtype=np.bool_) if mask is None else mask
            self._start_episodes(restarted, first=True)
            self._restart_games(restarted, seed=combined)
            found = self._observations(), self._infos()
        self._unready = None
        return found

    def _start_episodes(self, games: Array, first: bool = False) -> None:
        if not first:
            self._episodes[games] += 1
        self._seats[games] = self._seat_of(np.flatnonzero(games))
        self._ended[games] = False

    def _restart_games(self, games: Array, seed: int | None = None) -> None:
        """Starts ``games`` anew (``seed`` reseeding the batch's streams of them) and plays
        their opponents up to the learner's first turn; no game can end that soon."""
        if self._all_built_in:
            self._vec.play_to_learners(self._seats, self._opponents, restart=games, seed=seed)
        else:
            self._vec.reset(seed=seed, mask=games)
            self._rounds.play(np.zeros(self.num_envs, dtype=np.float32))

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[dict[str, Array], Array, Array, Array, dict[str, Any]]:
        """The learner's action in every game (ignored where its episode just ended, under
        NEXT_STEP), then the opponents' moves. Returns (obs, rewards, terminations,
        truncations, infos). All or nothing: the actions are checked before any game moves."""
        self._refuse_if_unready()
        restart = self._ended.copy()  # NEXT_STEP: the episodes that ended last step start again
        chosen = self._learner_actions(actions, ~restart & ~self._vec.terminated.astype(np.bool_))
        with self._moving("step"):
            return self._play_step(chosen, restart)

    def _play_step(
        self, chosen: Array, restart: Array
    ) -> tuple[dict[str, Array], Array, Array, Array, dict[str, Any]]:
        vec = self._vec
        rewards = np.zeros(self.num_envs, dtype=np.float32)
        playing = ~restart & ~vec.terminated.astype(np.bool_)
        self._start_episodes(restart)
        if self._all_built_in:
            self._play_natively(chosen, restart, playing, rewards)
        else:
            self._rounds.step(chosen, restart, rewards)
        terminated = vec.terminated.astype(np.bool_) & ~restart
        infos: dict[str, Any]
        if self.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP and terminated.any():
            finals = np.full(self.num_envs, None, dtype=object)
            for i in np.flatnonzero(terminated):
                finals[i] = self._final_observation(int(i))
            self._start_episodes(terminated)
            self._restart_games(terminated)
            infos = self._infos()
            infos["final_obs"], infos["_final_obs"] = finals, terminated
            infos["final_info"], infos["_final_info"] = {}, terminated
        else:
            self._ended = terminated.copy()
            infos = self._infos()
        truncated = np.zeros(self.num_envs, dtype=np.bool_)
        return self._observations(), rewards, terminated, truncated, infos

    def _play_natively(self, chosen: Array, restart: Array, playing: Array, rewards: Array) -> None:
        """The step in one call: the ended episodes start again (their opponents playing up
        to the learner's first turn), the games in play take the learner's action and their
        opponents' moves up to its next turn."""
        vec = self._vec
        # A finished game's action is ignored, a restarted one's never played.
        step = np.where(playing, chosen, -1)
        vec.play_to_learners(self._seats, self._opponents, actions=step, restart=restart)
        ended = vec.terminated.astype(np.bool_) & (playing | restart)
        rewards[ended] = vec.rewards[ended, self._seats[ended]]

    def close_extras(self, **kwargs: Any) -> None:
        self._vec.close()
