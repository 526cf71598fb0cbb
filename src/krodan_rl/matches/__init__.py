"""The match runner: how the arena, self-play and the training's evaluation play their games.

Each of them configures the same parts:

- a plan (``plans``): who plays each game and from which seeds, made in every process that
  plays, which makes, copies and shares the players there: ``ArenaPlan`` (four entries rotated
  in blocks of four games) and ``SelfPlayPlan`` (player k in seat k, a shard at a time);
- ``play(plan, games, record, policies=...)`` (``playing``): a chunk of games played side by
  side (``lockstep``), so that search players decide them together; self-play
  records every move with its policy on top;
- the workers (``pool``): how many (``processes``: one per core by default), the check that
  players reach them (``check_travels``), made before any starts, and the one loop that hands
  them tasks and hears their reports (``run``), ending them at once on an error or Ctrl-C.

Players come as specs (text or ``krodan_rl.players.Spec``, parsed once where they enter) or as
objects. An arena of built-in agents only does not come here: it plays in native code
(``krodan_rl.arena``).
"""

from __future__ import annotations

from krodan_rl.matches.plans import ArenaPlan, MatchPlan, SelfPlayPlan, arena_seats
from krodan_rl.matches.playing import Record, play
from krodan_rl.matches.pool import check_pickles, check_travels, processes, report, run

__all__ = [
    "ArenaPlan",
    "MatchPlan",
    "Record",
    "SelfPlayPlan",
    "arena_seats",
    "check_pickles",
    "check_travels",
    "play",
    "processes",
    "report",
    "run",
]
