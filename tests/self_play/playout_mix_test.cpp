// The evaluator that blends a random playout's outcome into the network's value: over positions
// of random games, the blend is the network's shares and a finished game's outcome in the
// stated weights; the network's policy, its failures and the position pass through untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "search/playout_mix.h"
#include "search/softmax.h"
#include "search_test_support.h"

namespace tralix {
namespace {

using testing::StubEvaluator;

// Positions along one seeded random game on side 7, every fifth tile.
std::vector<Game> positions(std::uint64_t seed) {
    Rng rng(seed);
    std::vector<Game> out;
    Game game(7);
    while (!game.is_over()) {
        if (game.history().size() % 5 == 0) out.push_back(game);
        game.apply_move(game.valid_tiles()[uniform_index(rng, game.valid_tiles().size())]);
    }
    return out;
}

// Whether shares are an outcome: each 0 or an equal share of the win, adding up to 1.
bool is_outcome(const std::array<float, 4>& shares) {
    float total = 0, winner = 0;
    for (float s : shares) {
        if (s < -1e-6f) return false;
        if (s > 1e-6f) {
            if (winner != 0 && std::abs(s - winner) > 1e-6f) return false;
            winner = s;
        }
        total += s;
    }
    return std::abs(total - 1.0f) < 1e-6f;
}

TEST(PlayoutMix, BlendsTheNetworksSharesWithAFinishedGamesOutcome) {
    // The network's value logits, mover first: shares softmax(0, 1, 2, 3).
    const std::vector<float> logits = {0.0f, 1.0f, 2.0f, 3.0f};
    const std::vector<float> network_shares = value_softmax(logits, 0);
    for (float mix : {0.25f, 1.0f}) {
        StubEvaluator network(logits);
        Rng rng(11), twin(11);
        PlayoutMixEvaluator blended(network, mix, rng);
        std::optional<Game> scratch;
        std::set<std::array<float, 4>> outcomes;
        for (const Game& game : positions(3)) {
            const Game before = game;
            NetworkScores scores;
            ASSERT_EQ(blended.evaluate(game, scores), nullptr);
            EXPECT_EQ(scores.policy, std::vector<float>(game.board().tile_count(), 0.0f));
            EXPECT_EQ(game.history(), before.history());
            // Absolute seat order, as the search reads it.
            const std::vector<float> values = value_softmax(scores.value, game.current_player());
            const std::array<float, 4> expected = random_playout(game, twin, scratch);
            EXPECT_TRUE(scratch->is_over());
            EXPECT_TRUE(std::equal(game.history().begin(), game.history().end(),
                                   scratch->history().begin()));
            std::array<float, 4> playout{};
            for (Player p = 0; p < 4; ++p) {
                const float network_share = network_shares[(p + 4 - game.current_player()) % 4];
                playout[p] = (values[p] - (1.0f - mix) * network_share) / mix;
                EXPECT_NEAR(playout[p], expected[p], 2e-6f);
            }
            EXPECT_TRUE(is_outcome(playout));
            outcomes.insert(expected);
        }
        EXPECT_GT(network.requests, 5);
        EXPECT_GE(outcomes.size(), 2u);  // the playouts are games, not a constant
    }
}

TEST(PlayoutMix, PassesTheNetworksFailuresAndShortValuesOnWithoutAPlayout) {
    const Game game = positions(4)[2];
    StubEvaluator failing;
    failing.fail_at_request = 1;
    Rng rng(5);
    const Rng untouched = rng;
    PlayoutMixEvaluator blended(failing, 0.5f, rng);
    NetworkScores scores;
    auto error = blended.evaluate(game, scores);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text(), "RuntimeError: stub failure");
    StubEvaluator short_values({0.0f, 0.0f});
    PlayoutMixEvaluator short_blend(short_values, 0.5f, rng);
    ASSERT_EQ(short_blend.evaluate(game, scores), nullptr);
    EXPECT_EQ(scores.value, (std::vector<float>{0.0f, 0.0f}));
    EXPECT_TRUE(rng == untouched);
}

}  // namespace
}  // namespace tralix
