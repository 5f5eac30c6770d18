// The search library's whole-game loops against stub evaluators: expansion, training games
// checked by replaying their history, the evaluation games' routing between networks, seeded
// determinism, and the pinned signature of fixed-seed games.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/fatal_error.h"
#include "search/evaluation_games.h"
#include "search/training_game.h"
#include "search_test_support.h"

namespace tralix {
namespace {

using testing::fatal_message;
using testing::StubEvaluator;

Config training_config(std::uint32_t side, std::uint32_t sims) {
    return Config{side, 1, sims, 4, 19652.0f, 1.25f, 0.3f, 0.25f};
}

// Answers every request with the same scores.
class FixedScores : public Evaluator {
public:
    FixedScores(std::vector<float> policy, std::vector<float> value)
        : policy_(std::move(policy)), value_(std::move(value)) {}
    std::unique_ptr<EvaluationError> evaluate(const Game&, NetworkScores& scores) override {
        ++requests;
        scores.policy = policy_;
        scores.value = value_;
        return nullptr;
    }
    int requests = 0;

private:
    std::vector<float> policy_, value_;
};

Game finished_random_game(std::uint32_t side, Rng& rng) {
    Game game(side);
    while (!game.is_over()) {
        const auto& tiles = game.valid_tiles();
        game.apply_move(tiles[uniform_index(rng, tiles.size())]);
    }
    return game;
}

TEST(Expansion, ScoresBecomeChildrenAndSeatValues) {
    Rng rng(1);
    Game game(6);
    game.apply_move(game.valid_tiles().front());  // still player 0, fewer valid tiles
    std::vector<float> policy(36, 0.0f);
    const std::vector<Tile> valid = game.valid_tiles();
    ASSERT_GE(valid.size(), 2u);
    policy[valid[0]] = -std::numeric_limits<float>::infinity();  // prior 0: no child
    policy[valid[1]] = std::log(3.0f);
    FixedScores network(policy, {0.0f, 0.0f, 0.0f, std::log(5.0f)});
    Node node;
    Evaluation evaluation = evaluate_and_expand(network, node, game, rng);
    ASSERT_EQ(evaluation.error, nullptr);
    EXPECT_EQ(node.player, 0u);
    ASSERT_EQ(node.children.size(), valid.size() - 1);
    const float total = 3.0f + static_cast<float>(valid.size() - 2);
    for (const Node& child : node.children) {
        EXPECT_NE(child.tile, valid[0]);
        EXPECT_NEAR(child.prior, (child.tile == valid[1] ? 3.0f : 1.0f) / total, 1e-6f);
    }
    // Value scores are relative to the mover (player 0 here): seat 3 gets the large one.
    ASSERT_EQ(evaluation.values.size(), 4u);
    EXPECT_NEAR(evaluation.values[3], 5.0f / 8.0f, 1e-6f);

    // A finished game answers with its outcome and never asks the network.
    const Game over = finished_random_game(5, rng);
    Node leaf;
    evaluation = evaluate_and_expand(network, leaf, over, rng);
    const auto outcome = over.outcome();
    EXPECT_EQ(evaluation.values, std::vector<float>(outcome.begin(), outcome.end()));
    EXPECT_TRUE(leaf.children.empty());
    EXPECT_EQ(network.requests, 1);

    // Too few policy scores for the valid tiles is a fatal stop.
    FixedScores no_policy({}, {0, 0, 0, 0});
    Node untouched;
    const Game fresh(6);
    EXPECT_EQ(fatal_message([&] { evaluate_and_expand(no_policy, untouched, fresh, rng); }),
              "index out of bounds: the len is 0 but the index is " +
                  std::to_string(fresh.valid_tiles().front()));
}

TEST(Expansion, FailureLeavesTheNodeUnchanged) {
    Rng rng(2);
    StubEvaluator failing;
    failing.fail_at_request = 1;
    Node node;
    node.player = 2;
    Evaluation evaluation = evaluate_and_expand(failing, node, Game(7), rng);
    ASSERT_NE(evaluation.error, nullptr);
    EXPECT_EQ(evaluation.error->text(), "RuntimeError: stub failure");
    EXPECT_TRUE(evaluation.values.empty());
    EXPECT_TRUE(node.children.empty());
    EXPECT_EQ(node.player, 2u);
}

// Whole games through the real loop, replayed move by move: each record lists exactly the
// valid tiles of its position (equal priors give every valid tile a child), shares sum to 1
// when simulations ran, and the history is a legal game with the loop's outcome.
TEST(TrainingGame, ReplayedHistoryMatchesRecordsAndMoves) {
    for (std::uint32_t side : {5u, 7u, 10u}) {
        StubEvaluator evaluator({0.5f, 0.0f, -0.5f, 0.0f});
        Rng rng(side);
        std::vector<Tile> chosen;
        auto played = play_training_game(evaluator, training_config(side, 6), rng,
                                         [&](const Node&, Tile tile) { chosen.push_back(tile); });
        ASSERT_TRUE(std::holds_alternative<TrainingGame>(played));
        const TrainingGame& result = std::get<TrainingGame>(played);
        ASSERT_TRUE(result.game.is_over());
        ASSERT_EQ(result.records.size(), result.game.history().size());
        EXPECT_EQ(evaluator.finished_positions, 0);

        Game replay(side);
        for (std::size_t i = 0; i < result.records.size(); ++i) {
            const Move& move = result.game.history()[i];
            ASSERT_EQ(move.player, replay.current_player()) << "move " << i;
            ASSERT_EQ(move.tile, chosen[i]);
            std::vector<Tile> recorded;
            float total = 0;
            for (const auto& [tile, share] : result.records[i]) {
                recorded.push_back(tile);
                total += share;
            }
            std::sort(recorded.begin(), recorded.end());
            EXPECT_EQ(recorded, replay.valid_tiles()) << "move " << i;
            EXPECT_NEAR(total, 1.0f, 1e-5f);
            ASSERT_FALSE(replay.apply_move(move.tile).has_value());
        }
        EXPECT_TRUE(replay.is_over());
        EXPECT_EQ(replay.outcome(), result.game.outcome());
    }
}

TEST(TrainingGame, FailuresEndTheGameWithTheirText) {
    StubEvaluator root_fails;
    root_fails.fail_at_request = 1;
    Rng rng(3);
    auto played = play_training_game(root_fails, training_config(6, 4), rng);
    ASSERT_TRUE(std::holds_alternative<SearchFailure>(played));
    EXPECT_EQ(std::get<SearchFailure>(played).text(),
              "Error evaluating root node: RuntimeError: stub failure");

    StubEvaluator later_fails;
    later_fails.fail_at_request = 30;
    played = play_training_game(later_fails, training_config(6, 4), rng);
    ASSERT_TRUE(std::holds_alternative<SearchFailure>(played));
    EXPECT_EQ(std::get<SearchFailure>(played).text(), "RuntimeError: stub failure");
    EXPECT_EQ(later_fails.requests, 30) << "nothing is asked after the failure";
}

std::uint64_t training_signature(std::uint32_t side, std::uint32_t sims, std::uint64_t seed) {
    return testing::training_signature(training_config(side, sims), seed);
}

TEST(TrainingGame, SameSeedSameGameAndAPinnedSignature) {
    EXPECT_EQ(training_signature(10, 24, 7), training_signature(10, 24, 7));
    EXPECT_NE(training_signature(10, 24, 7), training_signature(10, 24, 8));
    // Pinned: any change to the search, the rules or the use of random draws moves it.
    EXPECT_EQ(training_signature(10, 24, 2026) + training_signature(20, 24, 2026), 83129u);
}

TEST(EvaluationGames, AgainstRandomThePlayerIsAskedOnlyOnItsTurns) {
    for (std::uint32_t side : {5u, 9u}) {
        StubEvaluator network;
        Rng rng(side);
        auto played = play_against_random(network, side, rng);
        ASSERT_TRUE(std::holds_alternative<Game>(played));
        const Game& game = std::get<Game>(played);
        ASSERT_TRUE(game.is_over());
        EXPECT_EQ(network.finished_positions, 0);
        const auto seat0_tiles = std::count_if(game.history().begin(), game.history().end(),
                                               [](const Move& m) { return m.player == 0; });
        EXPECT_EQ(network.requests, seat0_tiles) << "one greedy evaluation per tile of seat 0";
        EXPECT_TRUE(std::all_of(network.players_asked.begin(), network.players_asked.end(),
                                [](Player p) { return p == 0; }));
        Game replay(side);
        for (const Move& move : game.history()) {
            ASSERT_EQ(move.player, replay.current_player());
            ASSERT_FALSE(replay.apply_move(move.tile).has_value());
        }
        EXPECT_TRUE(replay.is_over());
    }
    StubEvaluator failing;
    failing.fail_at_request = 2;
    Rng rng(4);
    auto played = play_against_random(failing, 8, rng);
    ASSERT_TRUE(std::holds_alternative<std::string>(played));
    EXPECT_EQ(std::get<std::string>(played),
              "Error evaluating root node: RuntimeError: stub failure");
}

TEST(EvaluationGames, AgainstABaselineEachSeatAsksItsOwnNetwork) {
    StubEvaluator model, baseline;
    Rng rng(5);
    auto played = play_against_baseline(model, baseline, 8, rng);
    ASSERT_TRUE(std::holds_alternative<Game>(played));
    const Game& game = std::get<Game>(played);
    ASSERT_TRUE(game.is_over());
    EXPECT_EQ(static_cast<std::size_t>(model.requests + baseline.requests), game.history().size());
    EXPECT_GT(model.requests, 0);
    for (Player p : model.players_asked) EXPECT_EQ(p, 0u);
    for (Player p : baseline.players_asked) EXPECT_NE(p, 0u);
    // With equal priors and a seeded generator the game is the same every time.
    StubEvaluator model2, baseline2;
    Rng rng2(5);
    auto again = play_against_baseline(model2, baseline2, 8, rng2);
    EXPECT_EQ(std::get<Game>(again).history(), game.history());

    StubEvaluator failing_baseline;
    failing_baseline.fail_at_request = 1;
    StubEvaluator healthy;
    played = play_against_baseline(healthy, failing_baseline, 8, rng);
    ASSERT_TRUE(std::holds_alternative<std::string>(played));
    EXPECT_GE(healthy.requests, 1) << "seat 0 lays its first piece before seat 1 is asked";
    EXPECT_EQ(failing_baseline.requests, 1);
}

}  // namespace
}  // namespace tralix
