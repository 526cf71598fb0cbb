#pragma once
// The instruction sets the hot loops are built for, and the one this process runs. The loops of
// the batch, the single game and the tree search are compiled once per instruction set (see
// kernel_variant.hpp); the most capable one the processor has is chosen once, at the first
// call, unless the environment variable KRODAN_RL_ISA names another.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace krodan {

// In order of capability: each runs only where the ones before it do.
enum class InstructionSet : std::uint8_t { baseline = 0, x86_64_v3 = 1, x86_64_v4 = 2 };

inline constexpr std::array<std::string_view, 3> INSTRUCTION_SET_NAMES = {"baseline", "x86-64-v3",
                                                                          "x86-64-v4"};

inline constexpr std::string_view ISA_VARIABLE = "KRODAN_RL_ISA";

// What the process runs, and why not what was asked for when it was refused (empty otherwise).
struct IsaChoice {
    InstructionSet isa = InstructionSet::baseline;
    std::string warning;
};

// The choice for the value of KRODAN_RL_ISA (null or empty: none) when `best` is the most
// capable set both built and supported by the processor. Accepted values: the names above, "v3"
// and "v4", and "auto". An unknown value, or a set beyond `best`, gives `best` and a warning.
IsaChoice choose_instruction_set(const char* requested, InstructionSet best);

// The most capable set that was built and that this processor (and its operating system) runs.
InstructionSet best_instruction_set();

// The choice made for this process: read from the environment once, at the first call.
const IsaChoice& running_choice();

inline std::string_view running_instruction_set_name() {
    return INSTRUCTION_SET_NAMES[static_cast<std::size_t>(running_choice().isa)];
}

// The table of kernels built for the running set, among one per set. A set that was not built
// has no table; the choice never names one.
template <class Table>
const Table& kernels_for_running_set(const Table& baseline,
                                     const std::type_identity_t<Table>* x86_64_v3,
                                     const std::type_identity_t<Table>* x86_64_v4) {
    switch (running_choice().isa) {
        case InstructionSet::x86_64_v4:
            if (x86_64_v4 != nullptr) return *x86_64_v4;
            [[fallthrough]];
        case InstructionSet::x86_64_v3:
            if (x86_64_v3 != nullptr) return *x86_64_v3;
            [[fallthrough]];
        case InstructionSet::baseline:
            break;
    }
    return baseline;
}

}  // namespace krodan

// The table called NAME_<set> for the running set, every variant's table being declared
// `extern "C"` beside its type. Used where the variants are linked: the engine library.
#if defined(KRODAN_ISA_VARIANTS)
#define KRODAN_RUNNING_KERNELS(NAME) \
    ::krodan::kernels_for_running_set(NAME##_baseline, &NAME##_x86_64_v3, &NAME##_x86_64_v4)
#else
#define KRODAN_RUNNING_KERNELS(NAME) \
    ::krodan::kernels_for_running_set(NAME##_baseline, nullptr, nullptr)
#endif
