#pragma once
// The largest sizes the native classes take, in one place: the bindings check their arguments
// against them and the module exports them, so that the Python package checks the same bounds
// and names them in its own messages.

#include <cstdint>

namespace krodan::python {

// More games than this would not fit in memory anyway (about 80 KB a game), and their legal
// lists could outgrow the 32-bit offsets.
inline constexpr std::uint64_t MAX_GAMES = std::uint64_t{1} << 20;
inline constexpr std::uint64_t MAX_THREADS = 1024;
inline constexpr std::uint64_t MAX_SIMULATIONS = std::uint64_t{1} << 24;
inline constexpr std::uint64_t MAX_TREES = 256;
// A node's children are counted in 16 bits: a Gumbel root samples no more than it can hold.
inline constexpr std::uint64_t MAX_GUMBEL_ACTIONS = UINT16_MAX;

}  // namespace krodan::python
