// Visit counts into a policy: at temperature 1 exactly the stored targets' formula, one-hot at
// 0 with ties to the first, counts^(1/T) otherwise, uniform rows that nothing visited.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "game/internal_error.hpp"
#include "random/generator.hpp"
#include "search/visit_policy.hpp"

namespace krodan {
namespace {

struct Rows {
    std::vector<std::int32_t> counts;
    std::vector<std::int32_t> offsets{0};
};

// Rows of uneven counts, like a search's roots: a few visited much, many once or never.
Rows random_rows(std::uint64_t seed, int rows) {
    Generator rng(seed);
    Rows out;
    for (int r = 0; r < rows; ++r) {
        const auto length = 1 + rng.below(300);
        for (std::uint64_t k = 0; k < length; ++k) {
            const auto c = rng.below(4) == 0 ? rng.below(2000) : rng.below(3);
            out.counts.push_back(static_cast<std::int32_t>(c));
        }
        out.offsets.push_back(static_cast<std::int32_t>(out.counts.size()));
    }
    return out;
}

std::vector<float> policy(const Rows& rows, double temperature) {
    std::vector<float> probs(rows.counts.size(), -1);
    visit_policy(rows.counts, rows.offsets, temperature, probs);
    return probs;
}

TEST(VisitPolicy, AtTemperatureOneIsCountOverSumInDouble) {
    Rows rows = random_rows(3, 400);
    // 21285731 / 2^25 lies half-way between two floats; the weights scaled by the most visited,
    // as the draws have them, sum to a double a little off and round the other way.
    for (std::int32_t c : {21285731, 9549657, 2719044}) rows.counts.push_back(c);
    rows.offsets.push_back(static_cast<std::int32_t>(rows.counts.size()));
    const std::vector<float> probs = policy(rows, 1);
    int off_by_scaling = 0;
    for (std::size_t r = 0; r + 1 < rows.offsets.size(); ++r) {
        double sum = 0, most = 0;
        for (auto k = rows.offsets[r]; k < rows.offsets[r + 1]; ++k) {
            sum += rows.counts[k];
            most = std::max(most, double(rows.counts[k]));
        }
        double scaled_sum = 0;
        for (auto k = rows.offsets[r]; k < rows.offsets[r + 1]; ++k)
            scaled_sum += rows.counts[k] / most;
        for (auto k = rows.offsets[r]; k < rows.offsets[r + 1]; ++k) {
            const float expected = static_cast<float>(rows.counts[k] / sum);
            ASSERT_EQ(probs[k], expected) << "row " << r << ", entry " << k;
            off_by_scaling += static_cast<float>(rows.counts[k] / most / scaled_sum) != expected;
        }
    }
    EXPECT_GT(off_by_scaling, 0) << "the rows do not tell the formula from the scaled one";
}

TEST(VisitPolicy, AtTemperatureZeroIsOneHotOnTheFirstMostVisited) {
    const Rows rows{{3, 7, 7, 1, 0, 5, 5}, {0, 4, 7}};
    EXPECT_EQ(policy(rows, 0), (std::vector<float>{0, 1, 0, 0, 0, 1, 0}));
}

TEST(VisitPolicy, OtherTemperaturesFollowCountsToTheInversePower) {
    const Rows rows = random_rows(5, 50);
    for (double temperature : {0.25, 0.5, 2.0, 10.0}) {
        const std::vector<float> probs = policy(rows, temperature);
        for (std::size_t r = 0; r + 1 < rows.offsets.size(); ++r) {
            long double sum = 0;
            for (auto k = rows.offsets[r]; k < rows.offsets[r + 1]; ++k)
                sum += std::pow(static_cast<long double>(rows.counts[k]), 1 / temperature);
            for (auto k = rows.offsets[r]; k < rows.offsets[r + 1]; ++k) {
                const long double expected =
                    std::pow(static_cast<long double>(rows.counts[k]), 1 / temperature) / sum;
                EXPECT_NEAR(probs[k], static_cast<double>(expected), 1e-6 * expected + 1e-30)
                    << "T " << temperature << ", row " << r;
            }
        }
    }
}

TEST(VisitPolicy, RowsNeverVisitedAreUniformAndEmptyRowsTakeNothing) {
    const Rows rows{{0, 0, 0, 0, 1, 3}, {0, 0, 4, 4, 6}};
    for (double temperature : {0.0, 0.5, 1.0, 3.0}) {
        const std::vector<float> probs = policy(rows, temperature);
        EXPECT_EQ(std::vector<float>(probs.begin(), probs.begin() + 4),
                  (std::vector<float>{0.25f, 0.25f, 0.25f, 0.25f}))
            << "T " << temperature;
        EXPECT_FLOAT_EQ(probs[4] + probs[5], 1);
    }
}

TEST(VisitPolicy, RefusesRowsThatDoNotCoverTheCounts) {
    const std::vector<std::int32_t> counts{1, 2, 3};
    std::vector<float> probs(3);
    for (const std::vector<std::int32_t>& offsets :
         {std::vector<std::int32_t>{0, 2}, {1, 3}, {}, {0, 2, 1, 3}})
        EXPECT_THROW(visit_policy(counts, offsets, 1, probs), InternalError);
    std::vector<float> short_probs(2);
    EXPECT_THROW(visit_policy(counts, std::vector<std::int32_t>{0, 3}, 1, short_probs),
                 InternalError);
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
