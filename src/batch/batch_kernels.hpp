#pragma once
// A batch's per-game work, built once per instruction set: GameBatch::run goes through
// batch_kernels() for the games of each chunk.

#include <cstddef>
#include <cstdint>
#include <span>

#include "batch/game_batch.hpp"

namespace krodan {

struct BatchKernels {
    // Steps (or restarts, or reloads, as the batch's work says) the games of chunk `chunk` on
    // worker `thread`, `actions` holding one action per game (empty: no step); with `next`,
    // each game started or stepped goes on with its moves (GameBatch::play_on).
    void (*run_chunk)(GameBatch& batch, std::size_t chunk, std::span<const std::int64_t> actions,
                      unsigned thread, const GameBatch::NextMove* next);
};

extern "C" const BatchKernels krodan_batch_kernels_baseline;
extern "C" const BatchKernels krodan_batch_kernels_x86_64_v3;
extern "C" const BatchKernels krodan_batch_kernels_x86_64_v4;

// The table of the running instruction set.
const BatchKernels& batch_kernels();

}  // namespace krodan
