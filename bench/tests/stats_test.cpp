#include "stats.h"

#include <gtest/gtest.h>

#include <vector>

namespace ryx::bench {
namespace {

TEST(StatsTest, QuantileTakesTheNearestRankOfTheSortedSamples) {
    const struct {
        std::vector<double> samples;
        double q;
        double expected;
    } cases[] = {
        {{}, 0.5, 0.0},         {{7}, 0.99, 7},
        {{4, 1, 3, 2}, 0.5, 2},  // unsorted input; the lower middle of an even count
        {{5, 1, 3}, 0.5, 3},    {{1, 2, 3, 4}, 0.0, 1},
        {{1, 2, 3, 4}, 1.0, 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Quantile(c.samples, c.q), c.expected) << "q " << c.q << " of " << c.samples.size() << " samples";
    }
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    EXPECT_EQ(Quantile(hundred, 0.99), 99);
    EXPECT_EQ(Median(hundred), 50);
}

TEST(StatsTest, MedianOfRatiosPairsRoundsAndSkipsEmptyDenominators) {
    // Rounds: 2/1, 3/0 (skipped), 9/3, 10/2 -> ratios 2, 3, 5 -> 3. One slow round does not move the result.
    const std::vector<double> numerator = {2, 3, 9, 10};
    const std::vector<double> denominator = {1, 0, 3, 2};
    EXPECT_EQ(MedianOfRatios(numerator, denominator), 3);
    EXPECT_EQ(MedianOfRatios(std::vector<double>{1}, std::vector<double>{0}), 0);
    // Spans of different lengths: only the rounds both have.
    EXPECT_EQ(MedianOfRatios(std::vector<double>{4, 100}, std::vector<double>{2}), 2);
}

}  // namespace
}  // namespace ryx::bench
