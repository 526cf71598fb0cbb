"""# Krodan

The four-player polyomino placement game as a turn-based multi-agent environment (PettingZoo's
AEC API). `krodan_rl.env()` applies PettingZoo's standard wrappers; `krodan_rl.raw_env()` is the
environment without them.

| | |
|---|---|
| Import | `from krodan_rl import env` |
| Actions | Discrete |
| Parallel API | No |
| Manual control | No |
| Agents | `agents = ["player_0", "player_1", "player_2", "player_3"]` |
| Number of agents | 4 |
| Action shape | (1,) |
| Action values | `Discrete(36400)`: `orientation * 400 + row * 20 + column`, own frame |
| Observation shape | `observation` (12, 20, 20), `pieces` (4, 21), `done` (4,), `action_mask` |
| Observation values | [0, 1], int8 |

Each agent owns the same 21 pieces of one to five cells and starts from its own corner of the
20 x 20 board: player_0 top-left, player_1 top-right, player_2 bottom-right, player_3
bottom-left, moving in that order. A first piece covers its start cell; every later piece
touches one of the agent's own pieces corner to corner and never along an edge; no two pieces
overlap. An agent with no legal placement left is done: the environment passes for it and skips
it. The game ends when all four are done.

## Observation space

A dict of read-only int8 arrays, seen by the observing agent: the board is turned so that its
start cell is the top-left cell, and agents are listed from the observer on, in turn order
(the observer, then the agent after it, ...).

- `observation`, (12, 20, 20): planes 0-3 are the cells each agent covers, planes 4-7 the cells
  each agent's next piece may attach to (its corners), planes 8-11 the cells each agent may
  never cover (blocked: covered cells and those beside its own pieces), each group in the
  agent order above.
- `pieces`, (4, 21): 1 where the agent still holds the piece.
- `done`, (4,): 1 where the agent can no longer move.

### Legal actions mask

`action_mask`, (36400,): for the agent to move, 1 at every legal action index (its frame);
all zeros for every other agent. Read it as `np.bool_` when scanning it with numpy: booleans
scan many times faster than integers.

### Legal action list

`infos[agent]["legal_actions"]`: the legal actions of the agent to move, int32, ascending (the
nonzero indices of its mask); an empty array for every other agent.

## Action space

`Discrete(36400)`: 91 piece orientations anchored at the top-left cell of their bounding box on
one of 400 cells, in the acting agent's frame; 30,433 of them fit on the board. Actions are
Python or numpy integers; anything else is refused with TypeError and an index outside the
space with ValueError. An agent that is done passes with `None` (the environment does that for
agents it skips).

## Rewards

Zero until the game ends; then every agent receives its outcome in `reward_mode`, from the
final scores (minus the cells still in hand, or 15 once all 21 pieces are placed, 20 when the
last one was the one-cell piece):

| `reward_mode` | reward |
|---|---|
| `"win_share"` (default) | an equal share of one win among the top scores, 0 for the others |
| `"rank"` | the mean place value (1, 2/3, 1/3, 0) of the places a tie group occupies |
| `"score"` | the score itself |

With `env()`, an illegal action ends the game with reward -1 for the agent that played it.

## Seeding

The game has no randomness of its own. `reset(seed=s)` seeds each agent's action space,
`action_space("player_i")` with `s + i`, so that `sample` plays the same games again;
`reset()` without a seed lets the spaces' streams go on.

## Version history

- v1: `infos[agent]["legal_actions"]`; observations are read-only views, not copies; actions
  must be integers (a float or a string was silently truncated); `reset(seed=...)` seeds the
  action spaces.
- v0: initial release.
"""

from __future__ import annotations

import operator
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import gymnasium
    from gymnasium import spaces
    from pettingzoo import AECEnv
    from pettingzoo.utils import wrappers
except ImportError as error:  # pragma: no cover (the env extra is missing)
    raise ImportError(
        "krodan_rl.env needs PettingZoo and Gymnasium: pip install 'krodan_rl[env]'"
    ) from error

from krodan_rl import facts
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.facts import NUM_ACTIONS, NUM_AGENTS
from krodan_rl.render import board_image, board_text, wants_colour

__all__ = ["env", "raw_env"]

AgentID = str
# Arrays by key; gymnasium's Dict space types its samples as dict[str, Any].
Observation = dict[str, Any]
# An action index, or None for an agent that has terminated.
Action = Any
# The mask of an agent that is not to move; read-only, shared by every observation.
_NO_ACTIONS = np.zeros(NUM_ACTIONS, dtype=np.int8)
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
        "name": "krodan_v1",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(self, render_mode: str | None = None, reward_mode: str = "win_share") -> None:
        super().__init__()  # type: ignore[no-untyped-call]  # AECEnv.__init__ is unannotated
        if render_mode is not None:
            arguments.choice(
                render_mode, "render_mode", self.metadata["render_modes"], what="render mode"
            )
        arguments.reward_mode(reward_mode)
        self.render_mode = render_mode
        self.reward_mode = reward_mode
        self.possible_agents = [f"player_{i}" for i in range(NUM_AGENTS)]
        self.agents = self.possible_agents[:]
        self.game = PyKrodan()
        self.action_spaces = {a: spaces.Discrete(NUM_ACTIONS) for a in self.possible_agents}
        self.observation_spaces = {
            a: spaces.Dict(
                {
                    "observation": spaces.Box(0, 1, facts.OBSERVATION_SHAPE, np.int8),
                    "pieces": spaces.Box(0, 1, (facts.NUM_AGENTS, facts.NUM_PIECES), np.int8),
                    "done": spaces.Box(0, 1, (facts.NUM_AGENTS,), np.int8),
                    "action_mask": spaces.Box(0, 1, (NUM_ACTIONS,), np.int8),
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
        """The agent's view, in its frame (see the module's documentation): the cells of the four
        agents, then their corner planes, then their blocked planes, (12, 20, 20); pieces
        (4, 21); done flags (4,); and, for the agent to move, its legal actions (36400,), zeros
        for the others. The arrays are read-only views of the engine's bytes."""
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
            "observation": planes.reshape(facts.OBSERVATION_SHAPE),
            "pieces": np.frombuffer(obs.pieces, dtype=np.int8).reshape(
                facts.NUM_AGENTS, facts.NUM_PIECES
            ),
            "done": np.frombuffer(obs.done, dtype=np.int8),
            "action_mask": mask,
        }

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Starts a new game. The game has no randomness of its own: a seed seeds the action
        spaces, player_i's with seed + i, so that their `sample` draws the same again."""
        if seed is not None:
            for i, agent in enumerate(self.possible_agents):
                self.action_spaces[agent].seed(seed + i)
        self.game.reset()
        self._start_episode()
        if self.render_mode == "human":
            self.render()

    def step(self, action: int | None) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        index = self._action_index(agent, action)
        self._cumulative_rewards[agent] = 0
        try:
            self.game.step(index)
        except AssertionError as refused:
            raise ValueError(f"illegal action {action} for {agent}") from refused
        self._skip_done_agents()
        if self.game.is_over:
            outcome = self.game.outcome(self.reward_mode) or [0.0] * NUM_AGENTS
            self.rewards = {a: float(v) for a, v in zip(self.possible_agents, outcome, strict=True)}
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
        if self.render_mode == "ansi":
            return board_text(self.game, colour=True)
        # Coloured on a terminal; plain, a digit per agent, in a log or a pipe.
        print(board_text(self.game, colour=wants_colour(sys.stdout)), file=sys.stdout, flush=True)
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

    @staticmethod
    def _action_index(agent: AgentID, action: Any) -> int:
        """An action index: a Python or numpy integer within the action space."""
        if action is None:
            raise ValueError(f"{agent} is to place a piece: the action must be an index")
        if isinstance(action, (bool, np.bool_)):
            raise TypeError(f"an action is an integer index, not {type(action).__name__}")
        try:
            index = operator.index(action)
        except TypeError:
            raise TypeError(f"an action is an integer index, not {type(action).__name__}") from None
        if not 0 <= index < NUM_ACTIONS:
            raise ValueError(f"illegal action {index} for {agent}: not in [0, {NUM_ACTIONS})")
        return index

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
