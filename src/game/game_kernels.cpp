#include "game/game_kernels.hpp"

#include "game/apply_action.hpp"
#include "game/isa/instruction_set.hpp"
#include "game/isa/kernel_variant.hpp"

namespace krodan {

extern "C" const GameKernels KRODAN_VARIANT_KERNELS(krodan_game_kernels) = {
    .apply_action = &apply_action,
    .observation_bytes = &observation_bytes,
};

#if defined(KRODAN_ISA_BASELINE_COMPILATION)
const GameKernels& game_kernels() {
    static const GameKernels& chosen = KRODAN_RUNNING_KERNELS(krodan_game_kernels);
    return chosen;
}
#endif

}  // namespace krodan
