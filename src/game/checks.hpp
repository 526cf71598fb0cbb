#pragma once
// Checks of invariants inside the innermost loops (per bit of a quarter turn, per entry of a
// list being written) that no input reaches, decoded states included: compiled into the test,
// sanitizer and fuzzing builds (KRODAN_CHECKS=1) and left out of release builds, where they
// would cost instructions on every step. Checks at the trust boundaries (decoding a state
// string, resolving an action index) and the named internal errors (a current agent above 3, a
// placement id outside the table) are not of this kind: they stay in every build.

#ifndef KRODAN_CHECKS
#define KRODAN_CHECKS 0
#endif

namespace krodan {

inline constexpr bool INNER_CHECKS = KRODAN_CHECKS != 0;

}  // namespace krodan
