"""The game as a turn-based multi-agent environment (the PettingZoo AEC API).

Agents "player_0" … "player_3" move in turn; an agent with no legal placement left is skipped,
the environment submitting its passes itself. Observations are in the acting agent's frame
(its start cell top-left) and agent-relative order (the observer first). All four agents
terminate together when the game is over, each rewarded with its outcome in `reward_mode`.
"""

from __future__ import annotations

import sys
from typing import Any

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from pettingzoo import AECEnv
from pettingzoo.utils import wrappers

from krodan_rl._krodan import PyKrodan
from krodan_rl.render import board_image, board_text

AgentID = str
# Arrays by key; gymnasium's Dict space types its samples as dict[str, Any].
Observation = dict[str, Any]
# An action index, or None for an agent that has terminated.
Action = Any
NUM_AGENTS = 4
# The mask of an agent that is not to move; read-only, shared by every observation.
_NO_ACTIONS = np.zeros(PyKrodan.num_actions, dtype=np.int8)
_NO_ACTIONS.flags.writeable = False
_NO_LEGAL_ACTIONS = np.zeros(0, dtype=np.int32)
_NO_LEGAL_ACTIONS.flags.writeable = False


def env(
    render_mode: str | None = None, reward_mode: str = "win_share"
) -> AECEnv[AgentID, Observation, Action]:
    """The environment with PettingZoo's usual wrappers: an illegal action ends the game with
    reward -1 for its agent, out-of-range actions are refused, and the call order is enforced."""
    wrapped: AECEnv[AgentID, Observation, Action] = raw_env(render_mode, reward_mode)
    wrapped = wrappers.TerminateIllegalWrapper(wrapped, illegal_reward=-1)
    wrapped = wrappers.AssertOutOfBoundsWrapper(wrapped)
    return wrappers.OrderEnforcingWrapper(wrapped)


class raw_env(AECEnv[AgentID, Observation, Action]):
    """The environment without wrappers. It pickles whole, the game in progress included."""

    metadata = {  # noqa: RUF012 (the base class declares it as an instance attribute)
        "render_modes": ["human", "ansi", "rgb_array"],
        "name": "krodan_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, render_mode: str | None = None, reward_mode: str = "win_share") -> None:
        super().__init__()  # type: ignore[no-untyped-call]  # AECEnv.__init__ is unannotated
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"unknown render mode {render_mode!r}")
        if reward_mode not in PyKrodan.reward_modes:
            raise ValueError(f"unknown reward mode {reward_mode!r}")
        self.render_mode = render_mode
        self.reward_mode = reward_mode
        self.possible_agents = [f"player_{i}" for i in range(NUM_AGENTS)]
        self.agents = self.possible_agents[:]
        self.game = PyKrodan()
        self.action_spaces = {
            a: spaces.Discrete(PyKrodan.num_actions) for a in self.possible_agents
        }
        self.observation_spaces = {
            a: spaces.Dict(
                {
                    "observation": spaces.Box(0, 1, (3 * NUM_AGENTS, 20, 20), np.int8),
                    "pieces": spaces.Box(0, 1, (NUM_AGENTS, 21), np.int8),
                    "done": spaces.Box(0, 1, (NUM_AGENTS,), np.int8),
                    "action_mask": spaces.Box(0, 1, (PyKrodan.num_actions,), np.int8),
                }
            )
            for a in self.possible_agents
        }
        self._start_episode()

    def observation_space(self, agent: AgentID) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: AgentID) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def observe(self, agent: AgentID) -> Observation:
        """The agent's view: its cells, corner and blocked planes, then those of the agents after
        it, (12, 20, 20); pieces (4, 21); done flags (4,); and, for the agent to move, its legal
        actions (36400,), zeros for the others. The arrays are read-only views of the engine's
        bytes."""
        observer = self.possible_agents.index(agent)
        state, mover, view = self._mover_view
        if observer == mover and state == self.game.to_bytes():
            obs = view
        else:
            obs = self.game.observe(observer)
        # Bytes are immutable, so numpy views them read-only without a copy.
        planes = np.frombuffer(obs.observation + obs.corners + obs.blocked, dtype=np.int8)
        if agent == self.agent_selection and not self.terminations[agent]:
            mask = np.frombuffer(obs.action_mask, dtype=np.int8)
        else:
            mask = _NO_ACTIONS
        return {
            "observation": planes.reshape(3 * NUM_AGENTS, 20, 20),
            "pieces": np.frombuffer(obs.pieces, dtype=np.int8).reshape(NUM_AGENTS, 21),
            "done": np.frombuffer(obs.done, dtype=np.int8),
            "action_mask": mask,
        }

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        # The game has no randomness of its own; the seed is accepted for the API.
        self.game.reset()
        self._start_episode()
        if self.render_mode == "human":
            self.render()

    def step(self, action: int | None) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        if action is None:
            raise ValueError(f"{agent} is to place a piece: the action must be an index")
        self._cumulative_rewards[agent] = 0
        try:
            self.game.step(int(action))
        except AssertionError as refused:
            raise ValueError(f"illegal action {action} for {agent}") from refused
        self._skip_done_agents()
        if self.game.is_over:
            outcome = self.game.outcome(self.reward_mode) or [0.0] * NUM_AGENTS
            self.rewards = {a: float(v) for a, v in zip(self.possible_agents, outcome)}
            self.terminations = dict.fromkeys(self.agents, True)
        else:
            self.rewards = dict.fromkeys(self.agents, 0.0)
        self.agent_selection = self.possible_agents[self.game.agent_selection]
        self._observe_mover()
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def render(self) -> str | npt.NDArray[np.uint8] | None:
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render mode")
            return None
        if self.render_mode == "rgb_array":
            return board_image(self.game)
        text = board_text(self.game)
        if self.render_mode == "ansi":
            return text
        print(text, file=sys.stdout, flush=True)
        return None

    def close(self) -> None:
        pass

    def __getstate__(self) -> dict[str, Any]:
        # The cached view is not picklable; it is made again on loading.
        state = self.__dict__.copy()
        del state["_mover_view"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._observe_mover()

    def _start_episode(self) -> None:
        self.agents = self.possible_agents[:]
        self.rewards = dict.fromkeys(self.agents, 0.0)
        self._cumulative_rewards = dict.fromkeys(self.agents, 0.0)
        self.terminations = dict.fromkeys(self.agents, False)
        self.truncations = dict.fromkeys(self.agents, False)
        self.infos: dict[AgentID, dict[str, Any]] = {a: {} for a in self.agents}
        self.agent_selection = self.possible_agents[self.game.agent_selection]
        self._observe_mover()

    def _observe_mover(self) -> None:
        """Observes the agent to move once per turn: `observe` and `last` reuse the view, and
        its legal actions go into its `infos` entry (every other agent's list is empty)."""
        mover = self.game.agent_selection
        view = self.game.observe(mover)
        # Keyed by the state, in case the game is changed from outside.
        self._mover_view = (self.game.to_bytes(), mover, view)
        legal = np.flatnonzero(np.frombuffer(view.action_mask, dtype=np.bool_)).astype(np.int32)
        for agent in self.agents:
            self.infos[agent]["legal_actions"] = _NO_LEGAL_ACTIONS
        if not self.game.is_over:
            self.infos[self.possible_agents[mover]]["legal_actions"] = legal

    def _skip_done_agents(self) -> None:
        """Passes for every agent to move that has no legal placement, until one can move or
        the game is over."""
        game = self.game
        while not game.is_over and game.terminations[game.agent_selection]:
            game.step(None)
