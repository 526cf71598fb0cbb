"""Tree search guided by your network, for many games at once.

``BatchedSearch`` runs the PUCT search of N games in native code and leaves the evaluation of
positions to you, whatever your framework: each round it hands over the leaves that need an
evaluation as numpy arrays, one per game at most, and takes back priors and values::

    search = BatchedSearch(256, simulations=800)
    search.start(games)                     # 256 PyKrodan (or a VecKrodan)
    while not search.done():
        leaves = search.pending()           # observation (B, 12, 20, 20), legal actions, ...
        priors, values = net(leaves)        # probabilities over the legal actions, (B, 4)
        search.expand(priors, values)
    actions = search.select(temperature=1.0)
    search.advance(actions)                 # the chosen subtrees are kept for the next move

The rule: from a node whose mover is m, the search takes the child maximising
``Q_m(child) + c_puct · P(child) · √N(node) / (1 + N(child))``, where Q_m is the child's mean
value for agent m (the node's own mean for a child not yet visited), ties going to the lowest
action index, computed in double precision. N counts the evaluations backed up through a node,
its own included: a root's first evaluation gives it N = 1 and is not a simulation, and a
game's search is complete once its root's children hold ``simulations`` visits (those kept
from the last move included). No virtual loss. Dirichlet noise (``dirichlet_alpha``, mixed in
at ``dirichlet_fraction``) goes on each root's priors, from the game's own random stream.

With ``root="gumbel"`` the root follows the Gumbel rule instead (the engine's
search/gumbel.hpp states it exactly): it samples k = min(gumbel_actions, legal) actions by
Gumbel-top-k over the priors' logits (log P) with Gumbel noise from the game's stream, shares
the simulations among them by sequential halving on ``g + logit + sigma(completed Q)``, where
sigma(q) = (c_visit + max_b N(b)) · c_scale · q, and chooses below the root deterministically
(the child maximising improved(a) - N(a) / (1 + ΣN)). No Dirichlet noise. ``select`` plays the
action halving leaves, at every temperature (the noise was the draw: ``gumbel_scale`` 0 plays
deterministically); ``policy`` gives the improved policy softmax(logit + sigma(completed Q)),
the target to train on (at T = 0, one-hot on that action); ``visit_counts`` the visits as ever.
Each move's search starts from a fresh root.

Values are outcomes normalised to [0, 1] as the built-in agents use them (``reward_mode``;
scores s as (s + 89) / 109). The evaluator gives them in the leaf's relative order, the leaf's
mover first, like the observation. Passes of done agents are played by the engine and finished
games valued by their outcome: neither ever reaches the evaluator.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

from krodan_rl import _native, facts
from krodan_rl._internal import arguments, search_inputs
from krodan_rl._krodan import PyKrodan
from krodan_rl.native_options import SearchConfig
from krodan_rl.search_players import EXPLORATION, ActsBySearch, SearchMove, SearchPlayer

if TYPE_CHECKING:
    from krodan_rl.vector import VecKrodan

__all__ = [
    "EXPLORATION",
    "ActsBySearch",
    "BatchedSearch",
    "Evaluator",
    "GuidedPlayer",
    "SearchConfig",
    "SearchMove",
    "SearchPlayer",
]

Array: TypeAlias = npt.NDArray[Any]
#: What a network gives for a batch of leaves: priors (dense (B, 36400) or flat over the CSR
#: legal lists) and values (B, 4).
Evaluator: TypeAlias = Callable[[dict[str, Array]], tuple[npt.ArrayLike, npt.ArrayLike]]

_LEAF_ROWS = tuple(facts.LEAF_LAYOUT)


def _temperature(value: float) -> float:
    return arguments.real(value, "temperature", minimum=0)


class BatchedSearch:
    """PUCT for ``num_games`` games at once, driven by the caller's evaluations.

    Args:
        num_games: the number of slots, each searching one game.
        simulations: the visits each root's children reach before its search is complete.
        c_puct: the weight of the priors against the values.
        dirichlet_alpha, dirichlet_fraction: the root noise; a fraction of 0 turns it off.
        reward_mode: what a finished game is worth: "win_share", "score" or "rank".
        seed: slot i draws noise and ``select`` from stream (seed, i); None draws a seed.
        num_threads: threads walking the trees, the calling one included (0: one per core).
            Results never depend on it.
        dense_mask: ``pending`` also gives each leaf's bool action mask (B, 36400).
        root: "puct", or "gumbel" for the Gumbel root (the module documents both).
        gumbel_actions, gumbel_scale: the Gumbel root's sample size (m) and noise scale.
        c_visit, c_scale: its sigma(q) = (c_visit + max_b N(b)) · c_scale · q.

    The defaults are the engine's, those of ``SearchConfig``; ``config`` holds the options.
    """

    def __init__(
        self,
        num_games: int,
        simulations: int = SearchConfig.simulations,
        c_puct: float = SearchConfig.c_puct,
        dirichlet_alpha: float = SearchConfig.dirichlet_alpha,
        dirichlet_fraction: float = SearchConfig.dirichlet_fraction,
        reward_mode: str = SearchConfig.reward_mode,
        seed: int | None = None,
        num_threads: int = SearchConfig.num_threads,
        dense_mask: bool = SearchConfig.dense_mask,
        root: str = SearchConfig.root,
        gumbel_actions: int = SearchConfig.gumbel_actions,
        gumbel_scale: float = SearchConfig.gumbel_scale,
        c_visit: float = SearchConfig.c_visit,
        c_scale: float = SearchConfig.c_scale,
    ) -> None:
        #: The options, checked; ``seed`` drawn where None was given.
        self.config = SearchConfig(
            num_games=num_games,
            simulations=simulations,
            c_puct=c_puct,
            dirichlet_alpha=dirichlet_alpha,
            dirichlet_fraction=dirichlet_fraction,
            reward_mode=reward_mode,
            seed=arguments.optional_seed(seed),
            num_threads=num_threads,
            dense_mask=dense_mask,
            root=root,
            gumbel_actions=gumbel_actions,
            gumbel_scale=gumbel_scale,
            c_visit=c_visit,
            c_scale=c_scale,
        )
        self._native = self.config.native()
        views = self._native.leaves()
        self._rows = {
            name: np.asarray(views[name]) for name in _LEAF_ROWS if views[name] is not None
        }
        self._offsets = np.asarray(views["legal_offsets"])
        self._count = 0

    @property
    def num_games(self) -> int:
        return self.config.num_games

    @property
    def simulations(self) -> int:
        return self.config.simulations

    @property
    def seed(self) -> int:
        return self.config.seed

    @property
    def dense_mask(self) -> bool:
        return self.config.dense_mask

    @property
    def num_threads(self) -> int:
        return self._native.num_threads

    def start(
        self, games: Sequence[PyKrodan | None] | VecKrodan, seeds: npt.ArrayLike | None = None
    ) -> None:
        """New roots, one per slot: a ``PyKrodan`` (None leaves the slot idle) or the games of
        a ``VecKrodan``. A finished game is refused. ``seeds`` (one integer per slot) restart
        the slots' streams as streams (seeds[i], 0), so that a game's search depends on its
        own seed only. Trees and pending leaves of earlier searches are dropped."""
        from krodan_rl.vector import VecKrodan

        roots: list[PyKrodan | bytes | None]
        if isinstance(games, VecKrodan):
            states = [games.get_state(i) for i in range(games.num_envs)]
            finished = [i for i, state in enumerate(states) if PyKrodan.from_bytes(state).is_over]
            if finished:
                raise ValueError(f"game {finished[0]}: the game is over")
            roots = list(states)
        else:
            roots = list(games)
        if len(roots) != self.num_games:
            raise ValueError(
                f"start() takes {self.num_games} games, one per slot, not {len(roots)}"
            )
        seed_array = None if seeds is None else search_inputs.seed_array(seeds, self.num_games)
        self._native.start(roots, seed_array)
        self._count = 0

    def pending(self) -> dict[str, Array]:
        """The leaves to evaluate this round, at most one per game: ``observation`` uint8
        (B, 12, 20, 20), ``pieces`` uint8 (B, 4, 21) and ``done`` uint8 (B, 4) in the leaf
        mover's frame and relative order; ``mover`` int8 (B,), absolute; ``game_index`` int32
        (B,); the mover's legal actions, ascending, ``legal_actions[legal_offsets[b]:
        legal_offsets[b + 1]]`` (int32); and ``action_mask`` bool (B, 36400) with
        ``dense_mask``. The arrays are read-only views, overwritten by the next round. Called
        again before ``expand``, it gives the same leaves."""
        self._count = b = self._native.pending()
        leaves = {name: rows[:b] for name, rows in self._rows.items()}
        offsets = self._offsets[: b + 1]
        leaves["legal_offsets"] = offsets
        leaves["legal_actions"] = np.asarray(self._native.leaves()["legal_actions"])[
            : int(offsets[-1])
        ]
        return leaves

    def expand(self, priors: npt.ArrayLike, values: npt.ArrayLike) -> None:
        """The evaluations of the pending leaves, row b for leaf b.

        ``priors``: non-negative probabilities (not logits) in the leaf mover's frame, dense
        (B, 36400), or flat over the legal lists as ``pending`` laid them out; renormalised
        over the legal actions (uniform when they sum to 0); illegal entries are ignored.
        ``values``: (B, 4) in [0, 1], the leaf's mover first. Bad input raises ValueError and
        leaves the search as it was."""
        b = self._count
        if b == 0:
            raise RuntimeError("no leaf awaits an evaluation: call pending() first")
        offsets = self._offsets[: b + 1]
        listed = int(offsets[-1])
        p = arguments.float_array(priors, "priors")
        rows: Array | None = None  # each legal entry's row, for dense priors
        if p.shape == (b, facts.NUM_ACTIONS):
            dense = True
            legal = np.asarray(self._native.leaves()["legal_actions"])[:listed]
            rows = np.repeat(np.arange(b), np.diff(offsets))
            checked = p[rows, legal]
        elif p.shape == (listed,):
            dense = False
            checked = p
        else:
            raise ValueError(
                f"priors must be dense ({b}, {facts.NUM_ACTIONS}) or flat ({listed},) over "
                f"the legal lists, not {p.shape}"
            )
        if not np.isfinite(checked).all():
            raise ValueError("priors must be finite numbers (a NaN or infinity was given)")
        if (checked < 0).any():
            raise ValueError("priors must be probabilities, not negative (logits?)")
        p = search_inputs.in_float32_range(p, checked, offsets, rows)
        v = arguments.float_array(values, "values")
        if v.shape != (b, facts.NUM_AGENTS):
            raise ValueError(f"values must have shape ({b}, {facts.NUM_AGENTS}), not {v.shape}")
        if not np.isfinite(v).all() or (v < 0).any() or (v > 1).any():
            raise ValueError("values must be in [0, 1] (outcomes normalised to [0, 1])")
        self._native.expand(
            np.ascontiguousarray(p, dtype=np.float32).reshape(-1),
            dense,
            np.ascontiguousarray(v, dtype=np.float32).reshape(-1),
        )
        self._count = 0

    def done(self) -> bool:
        """True once every game's search is complete and no leaf is pending."""
        return self._native.done()

    def run(self, evaluator: Evaluator) -> None:
        """Rounds of ``pending`` and ``expand`` with ``evaluator(leaves) -> (priors, values)``
        until the searches are complete."""
        while not self.done():
            leaves = self.pending()
            if self._count == 0:
                # The walks ended in finished games only, which completed the searches.
                if not self.done():
                    raise RuntimeError("the searches are incomplete but no leaf is pending")
                break
            priors, values = evaluator(leaves)
            self.expand(priors, values)

    def visit_counts(self) -> dict[str, Array]:
        """Each root's legal actions (ascending) and their visits: ``actions`` int32,
        ``counts`` int32, game i's at ``offsets[i]:offsets[i + 1]`` (int32, N + 1); ``mover``
        int8 (N,), the root's mover, or -1 (no actions) for an idle or finished game."""
        return self._visits(self._native.visit_counts())

    def policy(self, temperature: float = 1.0) -> dict[str, Array]:
        """``visit_counts`` with ``probs`` float32 ∝ counts^(1/T) per game; T = 0 is one-hot on
        the most visited action (ties to the lowest). Under the Gumbel root, ``probs`` is the
        improved policy whatever T > 0, and T = 0 one-hot on the action ``select`` plays."""
        found = self._native.policy(_temperature(temperature))
        out = self._visits(found)
        out["probs"] = np.frombuffer(found.probs, dtype=np.float32)
        return out

    @staticmethod
    def _visits(found: _native.VisitCounts | _native.VisitPolicy) -> dict[str, Array]:
        return {
            "actions": np.frombuffer(found.actions, dtype=np.int32),
            "counts": np.frombuffer(found.counts, dtype=np.int32),
            "offsets": np.frombuffer(found.offsets, dtype=np.int32),
            "mover": np.frombuffer(found.movers, dtype=np.int8),
        }

    def root_noise(self) -> Array:
        """Each root's Gumbel noise (float64, in the layout of ``visit_counts``); zeros under
        the PUCT root."""
        return np.frombuffer(self._native.root_noise(), dtype=np.float64)

    def select(self, temperature: float = 1.0) -> npt.NDArray[np.int32]:
        """One action per game (int32 (N,)) drawn from ``policy(temperature)`` with the game's
        stream; -1 for an idle or finished game. Under the Gumbel root, the action sequential
        halving leaves, whatever the temperature."""
        out = np.empty(self.num_games, dtype=np.int32)
        self._native.select(_temperature(temperature), out)
        return out

    def advance(self, actions: npt.ArrayLike) -> None:
        """Plays one action per game (the root mover's, in its frame; -1 for an idle or
        finished game) and keeps the chosen child's subtree as the new root. Every action is
        checked first: an illegal one raises ValueError and nothing changes."""
        a = arguments.integer_array(actions, "actions")
        if a.shape != (self.num_games,):
            raise ValueError(f"actions must have shape ({self.num_games},), not {a.shape}")
        if (a < -1).any() or (a >= facts.NUM_ACTIONS).any():
            raise ValueError(f"actions must be from -1 to {facts.NUM_ACTIONS - 1}")
        self._native.advance(np.ascontiguousarray(a, dtype=np.int32))
        self._count = 0

    def memory(self) -> tuple[int, int]:
        """(nodes, bytes): the trees' nodes now, and the bytes reserved for nodes and child
        lists."""
        return self._native.memory()


class GuidedPlayer(ActsBySearch):
    """A player whose moves come from ``BatchedSearch`` guided by ``evaluator``: usable
    wherever agents are (``act(game)``), and searching many games in one batch with
    ``search_moves``. ``temperature`` 0 plays the most visited action; above, a draw, in the
    first ``temperature_plies`` placements of a game only where that is given (the most
    visited action after them), as self-play schedules it.

    The evaluator: ``evaluator(leaves) -> (priors, values)``, called with the arrays of
    ``BatchedSearch.pending`` (the leaves' observations, pieces and done flags in each leaf
    mover's frame and relative order, their movers and CSR legal lists); it returns
    probabilities (not logits) over each leaf's legal actions, flat in the legal lists' layout
    or dense (B, 36400), and values (B, 4) in [0, 1], the leaf's mover first, on the scale of
    ``krodan_rl.outcomes.normalise``. It must value each leaf on its own: the batches it sees
    depend on how many games are searched together.

    By default a GuidedPlayer plays without root noise, as an evaluation opponent should;
    self-play asks for ``EXPLORATION``: a default search's noise (``dirichlet_fraction`` 0.25)
    and draws at temperature 1.

    With ``root="gumbel"`` (and ``gumbel_actions``, ``gumbel_scale``, ``c_visit``, ``c_scale``,
    as ``BatchedSearch`` takes them) the temperature and Dirichlet noise change nothing: the
    move is the action sequential halving leaves, drawn by the root's Gumbel noise (its
    ``gumbel_scale``, 0 for deterministic play), and the policy given is the improved policy.

    Each search draws from a stream of its own: ``act`` from (seed, number of earlier calls),
    ``search_moves`` from the seeds it is given, so a copy of the player plays like it.
    """

    def __init__(
        self,
        evaluator: Evaluator,
        simulations: int = SearchConfig.simulations,
        temperature: float = 0.0,
        c_puct: float = SearchConfig.c_puct,
        dirichlet_alpha: float = SearchConfig.dirichlet_alpha,
        dirichlet_fraction: float = 0.0,
        reward_mode: str = SearchConfig.reward_mode,
        seed: int | None = None,
        num_threads: int = 1,
        name: str | None = None,
        temperature_plies: int | None = None,
        root: str = SearchConfig.root,
        gumbel_actions: int = SearchConfig.gumbel_actions,
        gumbel_scale: float = SearchConfig.gumbel_scale,
        c_visit: float = SearchConfig.c_visit,
        c_scale: float = SearchConfig.c_scale,
    ) -> None:
        if not callable(evaluator):
            raise TypeError(f"evaluator must be callable, not {type(evaluator).__name__}")
        self.evaluator = evaluator
        self.temperature = _temperature(temperature)
        self.temperature_plies = (
            None
            if temperature_plies is None
            else arguments.integer(temperature_plies, "temperature_plies", minimum=0)
        )
        self.seed = arguments.optional_seed(seed)
        #: The searches' options: each search is made for the number of games it is given,
        #: with seed 0, since every game's stream restarts from a seed of its own.
        self.config = SearchConfig(
            simulations=simulations,
            c_puct=c_puct,
            dirichlet_alpha=dirichlet_alpha,
            dirichlet_fraction=dirichlet_fraction,
            reward_mode=reward_mode,
            num_threads=num_threads,
            seed=0,
            root=root,
            gumbel_actions=gumbel_actions,
            gumbel_scale=gumbel_scale,
            c_visit=c_visit,
            c_scale=c_scale,
        )
        kind = "guided" if self.config.root == "puct" else "gumbel"
        self.name = name if name is not None else f"{kind}:{self.config.simulations}"
        self._calls = 0
        # The one-game search made now, so that native code checks the options together.
        self._searches: dict[int, BatchedSearch] = {1: BatchedSearch(**self.config.keywords())}

    def search_moves(
        self, games: Sequence[PyKrodan | None], seeds: npt.ArrayLike
    ) -> list[SearchMove | None]:
        """One search per game (None: none), all in one batch, game i's drawing from stream
        (seeds[i], 0): for each, the action played at ``temperature`` and the root's visit
        distribution."""
        n = len(games)
        search = self._searches.get(n)
        if search is None:
            config = dataclasses.replace(self.config, num_games=n)
            search = self._searches[n] = BatchedSearch(**config.keywords())
        search.start(games, seeds)
        search.run(self.evaluator)
        actions = search.select(self.temperature)
        if self.temperature_plies is not None:
            # After the first plies, the most visited action (select draws nothing at T = 0).
            late = [g is not None and g.ply >= self.temperature_plies for g in games]
            if any(late):
                actions = np.where(late, search.select(0.0), actions).astype(np.int32)
        policy = search.policy(1.0)
        offsets = policy["offsets"]
        moves: list[SearchMove | None] = []
        for i, game in enumerate(games):
            if game is None:
                moves.append(None)
                continue
            lo, hi = offsets[i], offsets[i + 1]
            moves.append(
                SearchMove(int(actions[i]), policy["actions"][lo:hi], policy["probs"][lo:hi])
            )
        return moves

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_searches"] = {}  # native memory; remade on first use
        return state

    def __repr__(self) -> str:
        return f"GuidedPlayer({self.evaluator!r}, name={self.name!r})"
