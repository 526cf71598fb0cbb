#pragma once
// Built-in agents in their seats: the actions they choose for every game of a batch, and whole
// games played among them. Game i draws from stream i of each of its agents, so the results
// depend on neither the number of threads nor the order games are run in.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "agents/agent.hpp"
#include "batch/game_batch.hpp"
#include "batch/worker_pool.hpp"
#include "game/scoring.hpp"

namespace krodan {

// The agent in each absolute seat 0-3; one agent may sit in several.
using Seats = std::array<Agent*, NUM_AGENTS>;

// out[i]: the action of game i's mover chosen by seats[mover] from its stream i; -1 when the
// game is finished; HOLD, without a draw, for a game outside `games` when it is given (one
// entry per game, nonzero for the games to decide). `scratch` has one entry per thread of the
// batch.
void seated_actions(const GameBatch& batch, const Seats& seats, std::span<AgentScratch> scratch,
                    std::span<std::int32_t> out, std::span<const std::uint8_t> games = {});

// The most placements a game can hold: every agent places every piece.
inline constexpr std::size_t MAX_PLACEMENTS = NUM_AGENTS * NUM_PIECES;

// Plays games from the start to the end, game k among `games[k]`'s agents, each drawing from
// its stream streams[k], into out[k]: the final scores. No agent may have one stream in two
// games (see shared_stream). `scratch` has one entry per pool thread. When `placements` is
// given (MAX_PLACEMENTS entries per game), game k's placements are written in the order played
// (each in its mover's frame, passes left out: a game's passes follow from its placements) to
// entries k * MAX_PLACEMENTS onwards, the rest set to -1. When `stop` is given and becomes true
// (a caller interrupted), every game ends before its next move and the result is false: the
// scores and placements are then incomplete. True when every game was played to its end.
bool play_games(std::span<const Seats> games, std::span<const std::uint64_t> streams,
                WorkerPool& pool, std::span<AgentScratch> scratch, std::span<Scores> out,
                std::span<std::int32_t> placements = {}, const std::atomic<bool>* stop = nullptr);

// Two games, by position, in which one agent would draw from the same stream; nothing when
// there are none (one game may seat an agent several times: its turns come one at a time).
std::optional<std::pair<std::size_t, std::size_t>> shared_stream(
    std::span<const Seats> games, std::span<const std::uint64_t> streams);

}  // namespace krodan
