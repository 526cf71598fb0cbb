#include "search/legal_softmax.hpp"

#include <algorithm>
#include <cmath>

#include "game/internal_error.hpp"

namespace krodan {

void legal_softmax(std::span<const float> logits, std::span<const std::int32_t> offsets,
                   std::span<float> priors) {
    if (priors.size() != logits.size() || offsets.empty() || offsets.front() != 0 ||
        static_cast<std::size_t>(offsets.back()) != logits.size())
        throw InternalError("priors take one entry per logit, in rows that cover them");
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        const auto row = logits.subspan(static_cast<std::size_t>(offsets[i]),
                                        static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
        if (row.empty()) continue;
        const double top = *std::max_element(row.begin(), row.end());
        double total = 0;
        for (float logit : row) total += std::exp(static_cast<double>(logit) - top);
        float* out = priors.data() + offsets[i];
        for (std::size_t k = 0; k < row.size(); ++k)
            out[k] = static_cast<float>(std::exp(static_cast<double>(row[k]) - top) / total);
    }
}

}  // namespace krodan
