#pragma once
// What one agent, the observer, sees: every agent's cells, corner and blocked masks, remaining
// pieces and done flags, listed from the observer on (agent-relative order) and turned so that
// the observer's start cell is the top-left cell; and the observer's legal actions in that frame.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "game/game.hpp"

namespace krodan {

// AGENT_ORDER[o][k]: the agent at relative index k for observer o.
inline constexpr std::array<std::array<unsigned, NUM_AGENTS>, NUM_AGENTS> AGENT_ORDER = {{
    {0, 1, 2, 3},
    {1, 2, 3, 0},
    {2, 3, 0, 1},
    {3, 0, 1, 2},
}};

// Indexed by relative index; boards in the observer's frame.
struct Observation {
    std::array<Bitboard, NUM_AGENTS> cells;
    std::array<Bitboard, NUM_AGENTS> corners;
    std::array<Bitboard, NUM_AGENTS> blocked;
    std::array<std::uint32_t, NUM_AGENTS> remaining{};
    std::array<bool, NUM_AGENTS> done{};
};

inline constexpr std::size_t PLANE_BYTES = NUM_AGENTS * NUM_CELLS;    // (agent, row, column)
inline constexpr std::size_t PIECES_BYTES = NUM_AGENTS * NUM_PIECES;  // (agent, piece)
inline constexpr std::size_t DONE_BYTES = NUM_AGENTS;

// The host form: six buffers of 0/1 bytes.
struct ObservationBytes {
    std::vector<std::uint8_t> observation;  // 1600
    std::vector<std::uint8_t> corners;      // 1600
    std::vector<std::uint8_t> blocked;      // 1600
    std::vector<std::uint8_t> pieces;       // 84
    std::vector<std::uint8_t> done;         // 4
    std::vector<std::uint8_t> action_mask;  // 36400, by action index in the observer's frame
};

// Where an observation is written: caller-owned memory of the final sizes, so that writing
// allocates nothing. The three planes are separate spans; a batch lays them out one after
// another as the 12 planes of one game.
struct ObservationSpans {
    std::span<std::uint8_t, PLANE_BYTES> observation;
    std::span<std::uint8_t, PLANE_BYTES> corners;
    std::span<std::uint8_t, PLANE_BYTES> blocked;
    std::span<std::uint8_t, PIECES_BYTES> pieces;
    std::span<std::uint8_t, DONE_BYTES> done;
};

// The spans of one game's rows: its 12 planes (cells, corners, blocked) one after another.
ObservationSpans observation_spans(std::uint8_t* planes, std::uint8_t* pieces, std::uint8_t* done);

Observation build_observation(const Game& game, unsigned observer);

// Writes the planes, pieces and done flags of `obs` as 0/1 bytes; every byte is written.
void write_observation(const Observation& obs, const ObservationSpans& out);

ObservationBytes observation_bytes(const Game& game, unsigned observer);

// The action mask with a 1 at the action of every placement id.
std::vector<std::uint8_t> mask_from_ids(const ActionTable& table, std::span<const PlacementId> ids);

}  // namespace krodan
