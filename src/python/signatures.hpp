#pragma once
// The parameter lists of every PyKrodan member that takes parameters, as named in messages.

#include <array>

#include "python/arguments.hpp"

namespace krodan::python::signatures {

inline constexpr std::array<const char*, 1> MODE = {"mode"};
inline constexpr std::array<const char*, 1> AGENT_IDX = {"agent_idx"};
inline constexpr std::array<const char*, 1> ACTION_IDX = {"action_idx"};
inline constexpr std::array<const char*, 1> MEMO = {"_memo"};
inline constexpr std::array<const char*, 1> DATA = {"data"};
inline constexpr std::array<const char*, 1> STATE = {"state"};

inline constexpr Signature NEW{"PyKrodan.__new__()", {}};
inline constexpr Signature OUTCOME{"PyKrodan.outcome()", MODE};
inline constexpr Signature OBSERVE{"PyKrodan.observe()", AGENT_IDX};
inline constexpr Signature STEP{"PyKrodan.step()", ACTION_IDX};
inline constexpr Signature DEEPCOPY{"PyKrodan.__deepcopy__()", MEMO};
inline constexpr Signature FROM_BYTES{"PyKrodan.from_bytes()", DATA};
inline constexpr Signature SETSTATE{"PyKrodan.__setstate__()", STATE};

}  // namespace krodan::python::signatures
