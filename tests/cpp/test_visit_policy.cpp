// Visit counts into a policy: at temperature 1 exactly the stored targets' formula, one-hot at
// 0 with ties to the first, counts^(1/T) otherwise, uniform rows that nothing visited; and the
// draws' weights, scaled by the most visited.

#include <gtest/gtest.h>

#include <vector>

#include "search/visit_policy.hpp"

namespace krodan {
namespace {

std::vector<float> policy(const std::vector<std::int32_t>& counts,
                          const std::vector<std::int32_t>& offsets, double temperature) {
    std::vector<float> probs(counts.size(), -1);
    visit_policy(counts, offsets, temperature, probs);
    return probs;
}

TEST(VisitPolicy, AtTemperatureOneIsCountOverSumInDouble) {
    // 21285731 / 2^25 lies half-way between two floats; the weights scaled by the most visited,
    // as the draws have them, sum to a double a little off and round it the other way.
    const std::vector<std::int32_t> counts{0, 21285731, 9549657, 2719044};
    const std::vector<float> probs = policy(counts, {0, 4}, 1);
    const double sum = 1 << 25;
    for (std::size_t k = 0; k < counts.size(); ++k)
        EXPECT_EQ(probs[k], static_cast<float>(counts[k] / sum)) << k;
    const double scaled_sum = 1 + 9549657.0 / 21285731 + 2719044.0 / 21285731;
    EXPECT_NE(probs[1], static_cast<float>(1 / scaled_sum));
}

TEST(VisitPolicy, AtZeroOneHotOnTheFirstMostVisitedAndUniformWhereNothingWasVisited) {
    EXPECT_EQ(policy({3, 7, 7, 1, 0, 0}, {0, 4, 4, 6}, 0),
              (std::vector<float>{0, 1, 0, 0, 0.5f, 0.5f}));
    EXPECT_EQ(policy({0, 0, 0, 0}, {0, 4}, 2.5), (std::vector<float>(4, 0.25f)));
}

TEST(VisitPolicy, OtherTemperaturesFollowCountsToTheInversePower) {
    const std::vector<float> half = policy({1, 2, 4, 0}, {0, 4}, 0.5);
    const std::vector<float> expected{1 / 21.0f, 4 / 21.0f, 16 / 21.0f, 0};
    for (std::size_t k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(half[k], expected[k]);
    EXPECT_FLOAT_EQ(policy({1, 4, 9}, {0, 3}, 2)[1], 2 / 6.0f);
}

TEST(VisitWeights, ScaleByTheMostVisitedAndPutAllOnItAtZero) {
    const std::vector<std::int32_t> counts{2, 8, 4, 8};
    std::vector<double> w(4);
    visit_weights(counts, 1, w);
    EXPECT_EQ(w, (std::vector<double>{0.25, 1, 0.5, 1}));
    visit_weights(counts, 0.5, w);
    EXPECT_EQ(w, (std::vector<double>{0.0625, 1, 0.25, 1}));
    visit_weights(counts, 0, w);
    EXPECT_EQ(w, (std::vector<double>{0, 1, 0, 0}));
}

}  // namespace
}  // namespace krodan
