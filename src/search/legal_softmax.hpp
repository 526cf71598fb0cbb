#pragma once
// A network's logits at each leaf's legal actions turned into the priors a search takes.

#include <cstdint>
#include <span>

namespace krodan {

// For every row [offsets[i], offsets[i + 1]) of `logits`, its softmax at the same places of
// `priors`: computed in double, shifted by the row's largest logit so that nothing overflows,
// then rounded to float. An empty row (a mover with no move) writes nothing.
void legal_softmax(std::span<const float> logits, std::span<const std::int32_t> offsets,
                   std::span<float> priors);

}  // namespace krodan
