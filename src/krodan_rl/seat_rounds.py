"""The opponents of a learner seat played a round at a time: for opponents that the batch
cannot play by itself (search players, players written in Python), each round every game
waiting on an opponent gets that opponent's move, built-in opponents' in one native call per
learner seat in use, a search player's in one call for all the games waiting on it, other
players' game by game; then the batch steps every waiting game once."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from krodan_rl import facts, players
from krodan_rl import seeds as seeds_of
from krodan_rl._internal import arguments
from krodan_rl._krodan import PyKrodan
from krodan_rl.agents import BuiltInAgent, RandomAgent
from krodan_rl.vector import VecKrodan

__all__ = ["OpponentRounds"]

Array = npt.NDArray[Any]
HOLD = VecKrodan.HOLD


class OpponentRounds:
    """Plays ``opponents`` (opponent j seated j + 1 seats after the learner) in the games of
    ``vec``; ``seats`` (each game's learner seat) and ``episodes`` are the environment's own
    arrays, read as they stand at each call."""

    def __init__(
        self,
        vec: VecKrodan,
        opponents: Sequence[Any],
        specs: Sequence[Any],
        seats: Array,
        episodes: Array,
    ) -> None:
        self.vec, self.opponents, self.specs = vec, list(opponents), list(specs)
        self.num_envs = vec.num_envs
        self.seats, self.episodes = seats, episodes
        self.built_in = [isinstance(p, BuiltInAgent) for p in self.opponents]
        # A stand-in for the learner's seat in native calls: it is asked only for games whose
        # mover is an opponent's, so its draws never matter.
        self.stand_in = RandomAgent(0)

    def step(self, chosen: Array, restart: Array, rewards: Array) -> None:
        """A learner's step: the games of ``restart`` (their episodes already started) begin
        anew and their opponents play to the learner's first turn; the others in play take
        the learner's action in ``chosen``, then their opponents' moves to its next turn. The
        learner's reward of each game that ends goes into ``rewards``."""
        vec = self.vec
        if restart.any():
            vec.reset(mask=restart)
            self.play(rewards)
        playing = ~restart & ~vec.terminated.astype(np.bool_)
        step = np.where(playing, chosen, np.where(vec.terminated, -1, HOLD))
        vec.step(step)
        ended = vec.terminated.astype(np.bool_) & playing
        rewards[ended] = vec.rewards[ended, self.seats[ended]]
        self.play(rewards)

    def play(self, rewards: Array) -> None:
        """Plays every game's opponents until it is at the learner's turn or over; the learner's
        reward of each game that ends goes into ``rewards``."""
        vec = self.vec
        while True:
            movers = vec.current_agent.astype(np.int64)
            waiting = ~vec.terminated & (movers != self.seats)
            if not waiting.any():
                return
            actions = np.full(self.num_envs, HOLD, dtype=np.int64)
            actions[vec.terminated] = -1
            opponent = (movers - self.seats - 1) % 4  # which opponent moves in each game
            native_used = False
            for j, player in enumerate(self.opponents):
                games = np.flatnonzero(waiting & (opponent == j))
                if not games.size:
                    continue
                if self.built_in[j]:
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
                rewards[ended] = vec.rewards[ended, self.seats[ended]]

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
        return f"opponent {j} ({players.name(self.specs[j])})"

    def _native_actions(self, actions: Array, waiting: Array, opponent: Array) -> None:
        """The built-in opponents' actions, one native call per seat of the learner in use,
        each deciding only the games of that seat (the others draw nothing)."""
        native_games = waiting & np.isin(opponent, np.flatnonzero(self.built_in))
        for seat in np.unique(self.seats[native_games]):
            seats: list[BuiltInAgent] = [self.stand_in] * 4
            for j, player in enumerate(self.opponents):
                if self.built_in[j]:
                    seats[(seat + 1 + j) % 4] = player
            chosen = native_games & (self.seats == seat)
            found = self.vec.agent_actions(seats, chosen)
            actions[chosen] = found[chosen]

    def _rng_seeds(self, games: np.ndarray) -> np.ndarray:
        """Per-move seeds of search opponents: from the game, its episode and its ply."""
        plies = np.array([self.vec.game(int(i)).ply for i in games], dtype=np.uint64)
        words = np.stack([games.astype(np.uint64), self.episodes[games].astype(np.uint64), plies])
        return seeds_of.rows(words.T)
