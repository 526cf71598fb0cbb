#include "game/isa/instruction_set.hpp"

#include <cstdlib>

namespace krodan {
namespace {

std::optional<InstructionSet> named_set(std::string_view name) {
    if (name == "v3") return InstructionSet::x86_64_v3;
    if (name == "v4") return InstructionSet::x86_64_v4;
    for (std::size_t k = 0; k < INSTRUCTION_SET_NAMES.size(); ++k)
        if (INSTRUCTION_SET_NAMES[k] == name) return static_cast<InstructionSet>(k);
    return std::nullopt;
}

std::string name_of(InstructionSet isa) {
    return std::string(INSTRUCTION_SET_NAMES[static_cast<std::size_t>(isa)]);
}

// The most capable set this processor runs, whatever was built.
InstructionSet processor_set() {
#if defined(KRODAN_ISA_VARIANTS)
    // The levels' checks include the operating system's support for the wider registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) return InstructionSet::x86_64_v4;
    if (__builtin_cpu_supports("x86-64-v3")) return InstructionSet::x86_64_v3;
#endif
    return InstructionSet::baseline;
}

}  // namespace

IsaChoice choose_instruction_set(const char* requested, InstructionSet best) {
    const std::string_view name = requested == nullptr ? std::string_view{} : requested;
    if (name.empty() || name == "auto") return {best, {}};
    const auto asked = named_set(name);
    if (!asked) {
        return {best, std::string(ISA_VARIABLE) + "=" + std::string(name) +
                          " names no instruction set (baseline, x86-64-v3 or v3, x86-64-v4 or "
                          "v4, auto); running " +
                          name_of(best)};
    }
    if (*asked > best) {
        return {best, std::string(ISA_VARIABLE) + "=" + std::string(name) + ": this build " +
                          "and processor run at most " + name_of(best) + "; running " +
                          name_of(best)};
    }
    return {*asked, {}};
}

InstructionSet best_instruction_set() {
    return processor_set();
}

const IsaChoice& running_choice() {
    static const IsaChoice choice = choose_instruction_set(
        std::getenv(std::string(ISA_VARIABLE).c_str()), best_instruction_set());
    return choice;
}

}  // namespace krodan
