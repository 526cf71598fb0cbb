"""Many games stepped per call: actions in, games stepped in parallel with the GIL released,
numpy arrays out.

`VecKrodan(N)` holds N independent games. Each call hands every game's mover one action and
returns numpy arrays that view memory the engine allocated once: observations in the mover's
frame, its legal actions as a CSR list (and, optionally, a dense mask), rewards per agent. The
shapes follow Gymnasium's vector API where it fits; rewards come per agent, as batched
board-game libraries give them.

Agent order: `observation`, `pieces` and `done` are in the mover's frame and relative order (the
mover first), as `PyKrodan.observe` gives them; `current_agent`, `rewards` and `final_scores`
are in absolute agent order 0-3.
"""

from __future__ import annotations

import dataclasses
import threading
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, facts
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import BuiltInAgent
from krodan_rl.native_options import BatchConfig

if TYPE_CHECKING:
    from gymnasium import spaces

Array = npt.NDArray[Any]
Observation = dict[str, Array]

__all__ = ["VecKrodan"]

_OBSERVATION_KEYS = ("observation", "pieces", "done")


def _spaces() -> Any:
    """Gymnasium's spaces module, or ImportError saying which extra brings it."""
    try:
        from gymnasium import spaces
    except ImportError as error:
        raise ImportError(
            "spaces need Gymnasium: pip install 'krodan_rl[env]' (or 'gymnasium')"
        ) from error
    return spaces


class VecKrodan:
    """`num_games` independent games, stepped together in one native call.

    Args:
        num_games: how many games (N).
        num_threads: threads stepping the games, the calling one included; 0 means one per core
            this process may use. Results never depend on it.
        reward_mode: "win_share", "score" or "rank": the reward of a game that ends.
        auto_reset: a game that ends starts again in the same call; its final view goes into
            `info["final_observation"]`. Without it a finished game stays terminated (rewarded
            once, its `final_scores` kept) until `reset(mask=...)` restarts it; its action is
            ignored (pass -1 by convention).
        dense_mask: also write `action_mask`, bool (N, 36400), beside the legal action lists.
            At large N it costs more than the games: 36,400 bytes per game each step, copied
            on the calling thread with `copy` (at 1,024 games, 2 threads: 92,000 placements/s
            with it, 314,000 without). Kept on by default for code that reads the mask; turn
            it off and read the lists when speed matters.
        observations: write `observation`, `pieces` and `done`; without them a call costs
            little more than the move search, for play that needs only the legal actions.
        copy: return fresh arrays from `reset` and `step` (as Gymnasium does); with False they
            are the shared read-only views, overwritten by the next call.
        seed: the random streams of `random_actions`: game i draws from stream (seed, i).

    Attributes (read-only views of the engine's memory, overwritten by every call):
        observation: uint8 (N, 12, 20, 20), the mover's cells, corners and blocked planes.
        pieces: uint8 (N, 4, 21); done: uint8 (N, 4).
        action_mask: bool (N, 36400), or None without `dense_mask`.
        legal_actions, legal_offsets: int32; game i's legal actions, ascending, are
            `legal_actions[legal_offsets[i]:legal_offsets[i + 1]]`. `legal_actions` is replaced
            by a larger array when it must grow: read the attribute again after each call.
        current_agent: int8 (N,), the agent to move (absolute).
        rewards: float32 (N, 4); terminated: bool (N,); final_scores: int16 (N, 4).
    """

    #: The action that leaves a game as it is for one step.
    HOLD = -2

    def __init__(
        self,
        num_games: int,
        *,
        num_threads: int = BatchConfig.num_threads,
        reward_mode: str = BatchConfig.reward_mode,
        auto_reset: bool = BatchConfig.auto_reset,
        dense_mask: bool = BatchConfig.dense_mask,
        observations: bool = BatchConfig.observations,
        copy: bool = True,
        seed: int = BatchConfig.seed,
    ) -> None:
        config = BatchConfig(
            num_games=num_games,
            num_threads=num_threads,
            reward_mode=reward_mode,
            auto_reset=auto_reset,
            dense_mask=dense_mask,
            observations=observations,
            seed=seed,
        )
        if config.num_threads == 0:
            # The cores this process may run on, which a container or taskset may limit.
            config = dataclasses.replace(config, num_threads=min(facts.cores(), facts.MAX_THREADS))
        n = self.num_envs = config.num_games
        self.reward_mode = config.reward_mode
        self.auto_reset = config.auto_reset
        self.dense_mask = config.dense_mask
        self.observations = config.observations
        self.copy = arguments.flag(copy, "copy")
        self._lock = threading.Lock()
        self._native: _native.GameBatch | None = config.native()
        views = {
            name: None if array is None else np.asarray(array)
            for name, array in self._native.arrays().items()
        }
        self.observation: Array | None = views["observation"]
        self.pieces: Array | None = views["pieces"]
        self.done: Array | None = views["done"]
        self.action_mask: Array | None = views["action_mask"]
        always = {name: view for name, view in views.items() if view is not None}
        self.legal_offsets: Array = always["legal_offsets"]
        self.current_agent: Array = always["current_agent"]
        self.rewards: Array = always["rewards"]
        self.terminated: Array = always["terminated"]
        self.final_scores: Array = always["final_scores"]
        self._mover: Array = always["mover"]
        self._final: dict[str, Array | None] = {
            key: views[f"final_{key}"] for key in _OBSERVATION_KEYS
        }
        self._truncated = np.zeros(n, dtype=np.bool_)
        self._truncated.flags.writeable = False
        self._legal_source: object = None
        self._legal_block: Array = np.empty(0, dtype=np.int32)
        self.legal_actions: Array = self._legal_block
        self._refresh_legal()

    @property
    def metadata(self) -> dict[str, Any]:
        """``autoreset_mode``: Gymnasium's ``AutoresetMode.SAME_STEP`` where Gymnasium is
        installed (a game that ends starts again within the same step, when ``auto_reset``),
        else the string "same-step"."""
        try:
            from gymnasium.vector import AutoresetMode
        except ImportError:
            return {"autoreset_mode": "same-step"}
        return {"autoreset_mode": AutoresetMode.SAME_STEP}

    @property
    def num_threads(self) -> int:
        """The number of threads that step the games, the calling one included."""
        return self._batch().num_threads

    @property
    def single_observation_space(self) -> spaces.Dict:
        """One game's observation (gymnasium): planes, pieces and done flags, and the action
        mask when `dense_mask`. The legal action list has no fixed size and no space."""
        gym = _spaces()
        fields: dict[str, spaces.Space[Any]] = {
            name: gym.Box(0, 1, shape, dtype)
            for name, (dtype, shape) in facts.OBSERVATION_LAYOUT.items()
            if name != "action_mask" or self.dense_mask
        }
        space: spaces.Dict = gym.Dict(fields)
        return space

    @property
    def single_action_space(self) -> spaces.Discrete:
        """One game's action: an index in its mover's frame (gymnasium)."""
        space: spaces.Discrete = _spaces().Discrete(facts.NUM_ACTIONS)
        return space

    def reset(
        self, *, seed: int | None = None, mask: npt.ArrayLike | None = None
    ) -> tuple[Observation, dict[str, Any]]:
        """Starts every game anew, or those where the boolean `mask` is True; a seed reseeds
        their random streams. Returns (obs, info)."""
        restart = None if mask is None else self._bool_mask(mask)
        new_seed = None if seed is None else arguments.seed(seed)
        with self._exclusive() as batch:
            batch.reset(restart, new_seed)
            self._refresh_legal()
            return self._observation(), {"current_agent": self._out(self.current_agent)}

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[Observation, Array, Array, Array, dict[str, Any]]:
        """Plays one action per game, each an index in its mover's frame (int32 or int64, shape
        (N,)); ``VecKrodan.HOLD`` (-2) leaves a game as it is for this step (its reward zero),
        for callers that play some games' movers elsewhere. Every action is checked first: an
        illegal one raises ValueError and no game changes. Returns (obs, rewards,
        terminations, truncations, info)."""
        chosen = self._actions(actions)
        with self._exclusive() as batch:
            batch.step(chosen)
            self._refresh_legal()
            terminated = self._out(self.terminated)
            info: dict[str, Any] = {
                "mover": self._out(self._mover),
                "current_agent": self._out(self.current_agent),
                "final_scores": self._out(self.final_scores),
            }
            if self.auto_reset and self.observations:
                info["final_observation"] = {
                    key: array[self.terminated]
                    for key, array in self._final.items()
                    if array is not None
                }
            truncated = self._truncated.copy() if self.copy else self._truncated
            return self._observation(), self._out(self.rewards), terminated, truncated, info

    def random_actions(self) -> Array:
        """A uniformly random legal action of each game's mover, int32 (N,), drawn from that
        game's stream (streams go on across automatic resets); -1 for a finished game."""
        out = np.empty(self.num_envs, dtype=np.int32)
        with self._exclusive() as batch:
            batch.random_actions(out)
        return out

    def agent_actions(
        self, seats: Sequence[BuiltInAgent], games: npt.ArrayLike | None = None
    ) -> Array:
        """The action of each game's mover as played by the built-in agent in its seat, int32
        (N,): game i's mover m is played by ``seats[m]`` from that agent's stream i, so the
        result does not depend on ``num_threads``; -1 for a finished game. With ``games`` (bool
        (N,)), only those games are decided: the others get ``HOLD`` and draw nothing. An agent
        may take several seats; the interpreter lock is released while the agents decide."""
        if len(seats) != 4:
            raise ValueError(f"seats must hold exactly 4 agents, one per seat, not {len(seats)}")
        natives = [self._native_agent(seat, "seats") for seat in seats]
        chosen = None if games is None else self._bool_mask(games, "games")
        out = np.empty(self.num_envs, dtype=np.int32)
        with self._exclusive() as batch:
            batch.agent_actions(natives, out, chosen)
        return out

    def play_to_learners(
        self,
        learner_seats: npt.ArrayLike,
        opponents: Sequence[BuiltInAgent | None],
        *,
        actions: npt.ArrayLike | None = None,
        restart: npt.ArrayLike | None = None,
        seed: int | None = None,
    ) -> None:
        """Plays every game on to its learner's next turn in one call, for an environment in
        which a learner plays one seat (``learner_seats``, 0-3 per game) against three
        opponents: game i starts anew where ``restart`` (bool (N,)) is True (``seed``
        reseeding its stream, as ``reset`` does), or else takes ``actions[i]`` as ``step``
        would; then opponent j (``opponents[j]``, a built-in agent seated j + 1 seats after the
        learner) moves whenever it is its turn, until the learner's turn or the game's end.
        A None opponent is one the caller plays: play stops at its turn too. Each opponent
        draws for game i from its stream i, as ``agent_actions`` has it. A game over shows
        its learner's view. The attributes describe the games afterwards (``rewards``: those
        of games that ended on the way); nothing is returned."""
        if len(opponents) != 3:
            raise ValueError(f"opponents must hold exactly 3 entries, not {len(opponents)}")
        natives = [None if agent is None else self._native_agent(agent) for agent in opponents]
        seats = np.ascontiguousarray(learner_seats, dtype=np.uint8)
        if seats.shape != (self.num_envs,):
            raise ValueError(f"learner_seats must have shape ({self.num_envs},)")
        chosen = None if actions is None else self._actions(actions)
        restarted = None if restart is None else self._bool_mask(restart, "restart")
        new_seed = None if seed is None else arguments.seed(seed)
        with self._exclusive() as batch:
            batch.play_to_learners(natives, seats, restarted, chosen, new_seed)
            self._refresh_legal()

    def get_state(self, index: int) -> bytes:
        """Game `index`'s 278-byte state string, as `PyKrodan.to_bytes` writes it."""
        with self._exclusive() as batch:
            return batch.get_state(self._game_index(index))

    def set_state(self, index: int, data: bytes) -> None:
        """Replaces game `index` by the game of a state string. Refuses what
        `PyKrodan.from_bytes` refuses (the same ValueError; the game is unchanged). Passes for
        done movers are applied at once; a finished game is started anew under `auto_reset`
        and refused without it."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data must be bytes, not {type(data).__name__}")
        with self._exclusive() as batch:
            batch.set_state(self._game_index(index), bytes(data))
            self._refresh_legal()

    def game(self, index: int) -> PyKrodan:
        """A copy of game `index` as a `PyKrodan`."""
        return PyKrodan.from_bytes(self.get_state(index))

    @classmethod
    def from_games(cls, games: Sequence[PyKrodan], **options: Any) -> VecKrodan:
        """A batch holding copies of `games`, in order; `options` as for the constructor."""
        games = list(games)
        for i, game in enumerate(games):
            if not isinstance(game, PyKrodan):
                raise TypeError(f"games[{i}] is a {type(game).__name__}, not a PyKrodan")
        vec = cls(len(games), **options)
        with vec._exclusive() as batch:
            # One pass for all: each game set alone would lay out every game's lists again.
            batch.set_states([(i, game.to_bytes()) for i, game in enumerate(games)])
            vec._refresh_legal()
        return vec

    def close(self) -> None:
        """Stops the worker threads. The arrays stay readable; further calls raise."""
        if self._native is None:
            return
        with self._exclusive():
            self._native = None

    def __reduce__(self) -> Any:
        raise TypeError(
            "a VecKrodan does not pickle (its games live in native memory, stepped by threads): "
            "send its games' states (get_state) and rebuild with VecKrodan.from_games"
        )

    def __repr__(self) -> str:
        state = "closed" if self._native is None else f"num_threads={self._native.num_threads}"
        return f"VecKrodan(num_games={self.num_envs}, {state}, reward_mode={self.reward_mode!r})"

    # Internals.

    def _batch(self) -> _native.GameBatch:
        if self._native is None:
            raise RuntimeError("the VecKrodan is closed")
        return self._native

    def _exclusive(self) -> _Exclusive:
        return _Exclusive(self)

    def _out(self, array: Array) -> Array:
        return array.copy() if self.copy else array

    def _refresh_legal(self) -> None:
        source = self._batch().legal_actions()
        if source is not self._legal_source:
            self._legal_source = source
            self._legal_block = np.asarray(source)
        self.legal_actions = self._legal_block[: int(self.legal_offsets[-1])]

    def _observation(self) -> Observation:
        obs: Observation = {}
        if self.observations:
            obs["observation"] = self._out(self.observation)  # type: ignore[arg-type]
            obs["pieces"] = self._out(self.pieces)  # type: ignore[arg-type]
            obs["done"] = self._out(self.done)  # type: ignore[arg-type]
        if self.action_mask is not None:
            obs["action_mask"] = self._out(self.action_mask)
        obs["legal_actions"] = self._out(self.legal_actions)
        obs["legal_offsets"] = self._out(self.legal_offsets)
        return obs

    def _actions(self, actions: npt.ArrayLike) -> Array:
        chosen = arguments.integer_array(actions, "actions")
        if chosen.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), not {chosen.shape}")
        if chosen.dtype not in (np.int32, np.int64):
            # Other integer types: values that int64 cannot hold are refused, not wrapped.
            if chosen.dtype == np.uint64 and chosen.size and chosen.max() > np.iinfo(np.int64).max:
                raise ValueError("actions holds values beyond int64")
            chosen = chosen.astype(np.int64)
        return np.ascontiguousarray(chosen)

    def _bool_mask(self, mask: npt.ArrayLike, name: str = "mask") -> Array:
        restart = np.asarray(mask)
        if restart.dtype != np.bool_:
            raise TypeError(f"{name} must be a boolean array, not {restart.dtype}")
        if restart.shape != (self.num_envs,):
            raise ValueError(f"{name} must have shape ({self.num_envs},), not {restart.shape}")
        return np.ascontiguousarray(restart)

    @staticmethod
    def _native_agent(agent: object, name: str = "opponents") -> _native.Agent:
        if not isinstance(agent, BuiltInAgent):
            raise TypeError(
                f"{name} must be built-in agents of krodan_rl.agents, not {type(agent).__name__}"
            )
        return agent._native

    def _game_index(self, index: int) -> int:
        i = arguments.integer(index, "index")
        if not -self.num_envs <= i < self.num_envs:
            raise IndexError(f"game index {i} out of range for {self.num_envs} games")
        return i % self.num_envs


class _Exclusive:
    """Holds the VecKrodan for one call: a second call from another thread while one runs is
    refused at once, so that no call reads arrays that another is writing."""

    def __init__(self, vec: VecKrodan) -> None:
        self._vec = vec

    def __enter__(self) -> _native.GameBatch:
        if not self._vec._lock.acquire(blocking=False):
            raise RuntimeError(
                "this VecKrodan is running a call from another thread; calls must not overlap"
            )
        try:
            return self._vec._batch()
        except BaseException:
            self._vec._lock.release()
            raise

    def __exit__(self, *exc: object) -> None:
        self._vec._lock.release()
