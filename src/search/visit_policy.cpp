#include "search/visit_policy.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "game/internal_error.hpp"

namespace krodan {

void visit_weights(std::span<const std::int32_t> counts, double temperature,
                   std::span<double> out) {
    const auto most = std::max_element(counts.begin(), counts.end());
    for (std::size_t k = 0; k < counts.size(); ++k) {
        if (*most == 0)
            out[k] = 1;
        else if (temperature == 0)
            out[k] = counts.begin() + static_cast<std::ptrdiff_t>(k) == most ? 1 : 0;
        else
            out[k] = std::pow(static_cast<double>(counts[k]) / *most, 1 / temperature);
    }
}

void visit_policy(std::span<const std::int32_t> counts, std::span<const std::int32_t> offsets,
                  double temperature, std::span<float> probs) {
    if (probs.size() != counts.size() || offsets.empty() || offsets.front() != 0 ||
        static_cast<std::size_t>(offsets.back()) != counts.size())
        throw InternalError("a policy takes one entry per count, in rows that cover them");
    std::vector<double> weights(counts.size());
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        if (offsets[i + 1] < offsets[i]) throw InternalError("a policy's rows out of order");
        const auto first = static_cast<std::size_t>(offsets[i]);
        const auto length = static_cast<std::size_t>(offsets[i + 1]) - first;
        const std::span<const std::int32_t> row = counts.subspan(first, length);
        const std::span<double> w(weights.data() + first, length);
        const bool visited = std::any_of(row.begin(), row.end(), [](std::int32_t c) { return c; });
        // The counts themselves at T = 1: scaling them by the largest, as the draws do, would
        // move the last bit of some probabilities.
        if (temperature == 1 && visited)
            std::copy(row.begin(), row.end(), w.begin());
        else
            visit_weights(row, temperature, w);
        double total = 0;
        for (double x : w) total += x;
        for (std::size_t k = 0; k < length; ++k)
            probs[first + k] = static_cast<float>(w[k] / total);
    }
}

}  // namespace krodan
