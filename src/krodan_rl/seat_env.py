"""One learner seat against chosen opponents, as a Gymnasium vector environment.

``SeatVectorEnv(256, opponents=("greedy", "greedy", "greedy"))`` holds 256 games; the learner
plays one seat of each (fixed, or ``"rotate"``: a game's seat moves on by one with each new
episode) and the three opponents, any players of ``krodan_rl.players``, play the others. A
step takes the learner's action in every game, then plays the opponents until each game is
back at the learner's turn or over: built-in opponents in native calls with the GIL released
(every game waiting on them at once), search players once per round for all the games waiting
on them, other players game by game. Agents with no move left are passed for.

- Observations: the learner's view, ``observation`` uint8 (12, 20, 20), ``pieces`` (4, 21),
  ``done`` (4), and ``action_mask`` bool (36400) unless ``action_mask=False`` (at large N the
  mask is most of the memory); the legal actions are also in ``info["legal_actions"]`` (one
  int32 array per game, in an object array).
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
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import BuiltInAgent, RandomAgent
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
HOLD = -2  # the batch's action that leaves a game as it is for one step
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


class SeatVectorEnv(VectorEnv):
    """``num_envs`` games, the learner in ``seat`` (0-3 or "rotate") of each, ``opponents``
    (three player specs or objects) in the others, seated in turn order after the learner."""

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
        self._specs = list(opponents)
        self._first_seat = 0 if self.rotate else int(seat)
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
        self._episodes = np.zeros(self.num_envs, dtype=np.int64)
        self._seats = np.zeros(self.num_envs, dtype=np.int8)
        self._ended = np.zeros(self.num_envs, dtype=np.bool_)  # awaiting NEXT_STEP's reset
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
        self._built_in = [isinstance(p, BuiltInAgent) for p in self._opponents]
        # A stand-in for the learner's seat in native calls: it is asked only for games whose
        # mover is an opponent's, so its draws never matter.
        self._stand_in = RandomAgent(0)

    def _seat_of(self, env: np.ndarray) -> np.ndarray:
        if not self.rotate:
            return np.full(len(env), self._first_seat, dtype=np.int8)
        seats: np.ndarray = ((env + self._episodes[env]) % 4).astype(np.int8)
        return seats

    def _play_opponents(self, rewards: Array) -> None:
        """Plays every game's opponents until it is at the learner's turn or over; the learner's
        reward of each game that ends goes into ``rewards``."""
        vec = self._vec
        while True:
            movers = vec.current_agent.astype(np.int64)
            waiting = ~vec.terminated & (movers != self._seats)
            if not waiting.any():
                return
            actions = np.full(self.num_envs, HOLD, dtype=np.int64)
            actions[vec.terminated] = -1
            opponent = (movers - self._seats - 1) % 4  # which opponent moves in each game
            native_used = False
            for j, player in enumerate(self._opponents):
                games = np.flatnonzero(waiting & (opponent == j))
                if not games.size:
                    continue
                if self._built_in[j]:
                    native_used = True
                elif players.is_search_player(player):
                    asked: list[PyKrodan | None] = [None] * self.num_envs
                    for i in games:
                        asked[i] = vec.game(int(i))
                    seeds = np.zeros(self.num_envs, dtype=np.uint64)
                    seeds[games] = self._rng_seeds(games)
                    moves = player.search_moves(asked, seeds)
                    for i in games:
                        chosen = self._search_action(j, moves, int(i))
                        actions[i] = self._opponent_action(j, int(i), chosen)
                else:
                    for i in games:
                        chosen = player.act(vec.game(int(i)))
                        actions[i] = self._opponent_action(j, int(i), chosen)
            if native_used:
                self._native_actions(actions, waiting, opponent)
            vec.step(actions)
            ended = vec.terminated & waiting
            if ended.any():
                rewards[ended] = vec.rewards[ended, self._seats[ended]]

    def _search_action(self, j: int, moves: Any, i: int) -> Any:
        """The action of game i's entry in what search opponent j's ``search_moves`` gave."""
        entry = moves[i] if isinstance(moves, Sequence) and len(moves) == self.num_envs else None
        if not isinstance(entry, Sequence) or isinstance(entry, str) or len(entry) != 3:
            raise ValueError(
                f"{self._opponent_name(j)}: search_moves must give an (action, actions, probs) "
                f"entry for each game asked, game {i} among them"
            )
        return entry[0]

    def _opponent_action(self, j: int, i: int, chosen: Any) -> int:
        """Opponent j's action in game i, checked: an index, or a pass (None or -1, which the
        batch takes only for an agent that is done). The batch would take -2 as HOLD, leaving
        the game waiting on the opponent, asked again forever."""
        if chosen is None:
            return -1
        name = f"the action of {self._opponent_name(j)} in game {i}"
        return arguments.integer(chosen, name, minimum=-1, maximum=facts.NUM_ACTIONS - 1)

    def _opponent_name(self, j: int) -> str:
        return f"opponent {j} ({players.name(self._specs[j])})"

    def _native_actions(self, actions: Array, waiting: Array, opponent: Array) -> None:
        """The built-in opponents' actions, one native call per seat of the learner in use,
        each deciding only the games of that seat (the others draw nothing)."""
        native_games = waiting & np.isin(opponent, np.flatnonzero(self._built_in))
        for seat in np.unique(self._seats[native_games]):
            seats: list[BuiltInAgent] = [self._stand_in] * 4
            for j, player in enumerate(self._opponents):
                if self._built_in[j]:
                    seats[(seat + 1 + j) % 4] = player
            chosen = native_games & (self._seats == seat)
            found = self._vec.agent_actions(seats, chosen)
            actions[chosen] = found[chosen]

    def _rng_seeds(self, games: np.ndarray) -> np.ndarray:
        """Per-move seeds of search opponents: from the game, its episode and its ply."""
        plies = np.array([self._vec.game(int(i)).ply for i in games], dtype=np.uint64)
        words = np.stack([games.astype(np.uint64), self._episodes[games].astype(np.uint64), plies])
        return seeds_of.rows(words.T)

    # Observations.

    def _single_space(self) -> spaces.Dict:
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

    def _observations(self) -> dict[str, Array]:
        vec = self._vec
        obs = {"observation": vec.observation.copy(), "pieces": vec.pieces.copy(),  # type: ignore[union-attr]
               "done": vec.done.copy()}  # type: ignore[union-attr]  # fmt: skip
        if self.action_mask:
            obs["action_mask"] = vec.action_mask.copy()  # type: ignore[union-attr]
        for i in np.flatnonzero(vec.terminated):
            for key, value in self._learner_view(int(i)).items():
                obs[key][i] = value
        return obs

    def _infos(self) -> dict[str, Any]:
        vec = self._vec
        legal = np.empty(self.num_envs, dtype=object)
        offsets = vec.legal_offsets
        for i in range(self.num_envs):
            legal[i] = vec.legal_actions[offsets[i] : offsets[i + 1]].copy()
        in_play = ~vec.terminated.astype(np.bool_)
        return {
            "legal_actions": legal,
            "_legal_actions": in_play.copy(),
            "seat": self._seats.astype(np.int64),
            "_seat": np.ones(self.num_envs, dtype=np.bool_),
        }

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
        """Whether each game's action (in range) is in its mover's legal list: one pass over
        the batch's lists, every entry compared with its game's action."""
        vec = self._vec
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
            self._vec.reset(seed=combined, mask=mask)
            if combined is not None:
                self._make_opponents(combined)
            restarted = np.ones(self.num_envs, dtype=np.bool_) if mask is None else mask
            self._start_episodes(restarted, first=True)
            self._play_opponents(np.zeros(self.num_envs, dtype=np.float32))
            found = self._observations(), self._infos()
        self._unready = None
        return found

    def _start_episodes(self, games: Array, first: bool = False) -> None:
        if not first:
            self._episodes[games] += 1
        self._seats[games] = self._seat_of(np.flatnonzero(games))
        self._ended[games] = False

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
        if restart.any():
            vec.reset(mask=restart)
            self._start_episodes(restart)
            self._play_opponents(rewards)
        playing = ~restart & ~vec.terminated.astype(np.bool_)
        step = np.where(playing, chosen, np.where(vec.terminated, -1, HOLD))
        vec.step(step)
        ended = vec.terminated.astype(np.bool_) & playing
        rewards[ended] = vec.rewards[ended, self._seats[ended]]
        self._play_opponents(rewards)
        terminated = vec.terminated.astype(np.bool_) & ~restart
        infos: dict[str, Any]
        if self.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP and terminated.any():
            final = self._observations()
            finals = np.full(self.num_envs, None, dtype=object)
            for i in np.flatnonzero(terminated):
                finals[i] = {key: value[i] for key, value in final.items()}
            vec.reset(mask=terminated)
            self._start_episodes(terminated)
            self._play_opponents(np.zeros(self.num_envs, dtype=np.float32))
            infos = self._infos()
            infos["final_obs"], infos["_final_obs"] = finals, terminated
            infos["final_info"], infos["_final_info"] = {}, terminated
        else:
            self._ended = terminated.copy()
            infos = self._infos()
        truncated = np.zeros(self.num_envs, dtype=np.bool_)
        return self._observations(), rewards, terminated, truncated, infos

    def close_extras(self, **kwargs: Any) -> None:
        self._vec.close()
