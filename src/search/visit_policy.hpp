#pragma once
// A root's visit counts turned into a policy: probabilities ∝ counts^(1/T) for training targets
// and reports, and the weights that a search's draw of its move uses.

#include <cstdint>
#include <span>

namespace krodan {

// Weights ∝ counts^(1/T), as (count / most)^(1/T) so that a small T cannot overflow; T = 0
// puts all on the first most visited. Uniform when nothing was visited.
void visit_weights(std::span<const std::int32_t> counts, double temperature, std::span<double> out);

// For every row [offsets[i], offsets[i + 1]) of `counts`, its probabilities ∝ counts^(1/T) at
// the same places of `probs`. T = 0: one-hot on the most visited, ties to the first (the lowest
// action of a root's ascending list). T = 1: float(c / Σc) computed in double, the formula of
// the stored policy targets, bit for bit. A row never visited is uniform.
void visit_policy(std::span<const std::int32_t> counts, std::span<const std::int32_t> offsets,
                  double temperature, std::span<float> probs);

}  // namespace krodan
