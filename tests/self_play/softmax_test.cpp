// Priors and values from raw network scores, with their exact single-precision results.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/fatal_error.h"
#include "search/softmax.h"

namespace tralix {
namespace {

TEST(MaskedPolicy, EqualScoresGiveEachValidTileOneOverN) {
    std::vector<float> logits(10, 3.5f), priors;
    const std::vector<Tile> valid{1, 4, 7};
    masked_policy(logits, valid, priors);
    ASSERT_EQ(priors.size(), 10u);
    for (std::size_t t = 0; t < priors.size(); ++t) {
        const bool is_valid = t == 1 || t == 4 || t == 7;
        // 1 / (1 + 1 + 1) in single precision.
        EXPECT_EQ(priors[t], is_valid ? 1.0f / 3.0f : 0.0f) << t;
    }
}

TEST(MaskedPolicy, MatchesTheRoundingStepsAndIgnoresOtherTiles) {
    std::vector<float> logits{100.0f, 0.25f, -1.5f, 2.0f, 7.0f}, priors;
    const std::vector<Tile> valid{3, 1, 2};  // list order decides the summation order
    masked_policy(logits, valid, priors);
    const float m = 2.0f;
    const float e3 = static_cast<float>(std::exp(static_cast<double>(2.0f - m)));
    const float e1 = static_cast<float>(std::exp(static_cast<double>(0.25f - m)));
    const float e2 = static_cast<float>(std::exp(static_cast<double>(-1.5f - m)));
    const float sum = (e3 + e1) + e2;
    EXPECT_EQ(priors[3], e3 / sum);
    EXPECT_EQ(priors[1], e1 / sum);
    EXPECT_EQ(priors[2], e2 / sum);
    EXPECT_EQ(priors[0], 0.0f);  // the largest score is not a valid tile
    EXPECT_EQ(priors[4], 0.0f);
}

TEST(MaskedPolicy, FarBelowTheBestRoundsToExactlyZero) {
    std::vector<float> logits{0.0f, -120.0f, -50.0f}, priors;
    masked_policy(logits, std::vector<Tile>{0, 1, 2}, priors);
    EXPECT_EQ(priors[1], 0.0f);
    EXPECT_GT(priors[2], 0.0f);
}

TEST(MaskedPolicy, NonFiniteScoresGiveNaNNotAFailure) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> priors;
    masked_policy(std::vector<float>{nan, nan}, std::vector<Tile>{0, 1}, priors);
    EXPECT_TRUE(std::isnan(priors[0]) && std::isnan(priors[1]));
    masked_policy(std::vector<float>{inf, 1.0f}, std::vector<Tile>{0, 1}, priors);
    EXPECT_TRUE(std::isnan(priors[0]));  // inf - inf
    // A NaN entry is ignored by the maximum but poisons the sum.
    masked_policy(std::vector<float>{nan, 1.0f}, std::vector<Tile>{0, 1}, priors);
    EXPECT_TRUE(std::isnan(priors[1]));
}

TEST(MaskedPolicy, NoValidTileGivesZerosAndATileBeyondTheScoresStops) {
    std::vector<float> priors;
    masked_policy(std::vector<float>{1, 2, 3}, std::vector<Tile>{}, priors);
    EXPECT_EQ(priors, (std::vector<float>{0, 0, 0}));
    try {
        masked_policy(std::vector<float>{1, 2, 3}, std::vector<Tile>{1, 5, 9}, priors);
        FAIL() << "expected a fatal stop";
    } catch (const FatalError& stop) {
        EXPECT_EQ(stop.message(), "index out of bounds: the len is 3 but the index is 5");
    }
}

TEST(ValueSoftmax, RotatesToAbsoluteSeats) {
    const std::vector<float> logits{0.5f, -1.0f, 2.0f, 0.0f};
    const std::vector<float> plain = value_softmax(logits, 0);
    const std::vector<float> rotated = value_softmax(logits, 2);
    ASSERT_EQ(rotated.size(), 4u);
    // The entry of the player to move (index 0) lands at that player's seat.
    EXPECT_EQ(rotated[2], plain[0]);
    EXPECT_EQ(rotated[3], plain[1]);
    EXPECT_EQ(rotated[0], plain[2]);
    EXPECT_EQ(rotated[1], plain[3]);
    float sum = 0;
    for (float v : plain) sum += v;
    EXPECT_NEAR(sum, 1.0f, 1e-6f);
}

TEST(ValueSoftmax, LengthsOtherThanFour) {
    EXPECT_TRUE(value_softmax(std::vector<float>{}, 0).empty());
    const std::vector<float> two = value_softmax(std::vector<float>{1.0f, 1.0f}, 2);  // k == len
    EXPECT_EQ(two, (std::vector<float>{0.5f, 0.5f}));
    const std::vector<float> six = value_softmax(std::vector<float>{9, 0, 0, 0, 0, 0}, 3);
    EXPECT_GT(six[3], 0.9f);
    try {
        value_softmax(std::vector<float>{1.0f, 2.0f}, 3);
        FAIL() << "expected a fatal stop";
    } catch (const FatalError& stop) {
        EXPECT_EQ(stop.message(), "assertion failed: k <= self.len()");
    }
}

}  // namespace
}  // namespace tralix
