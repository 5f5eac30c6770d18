// The turn starts that search nodes keep, against a fresh game replayed move by move: after
// every move of whole training games on several sides, each visited node of the tree has a
// turn start exactly when its tile completes a piece, and that turn start gives the same game as
// apply_move from the parent's position. The children built in a node's own block are the ones
// masked_policy and add_children give.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "search/expansion.h"
#include "search/root_search.h"
#include "search/softmax.h"
#include "search_test_support.h"

namespace tralix {
namespace {

// Policy scores drawn afresh for every request, so that the trees are uneven.
class RandomScores : public Evaluator {
public:
    explicit RandomScores(std::uint32_t seed) : rng_(seed) {}
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        std::normal_distribution<float> draw(0.0f, 1.5f);
        scores.policy.resize(game.board().tile_count());
        for (float& s : scores.policy) s = draw(rng_);
        scores.value = {draw(rng_), draw(rng_), draw(rng_), draw(rng_)};
        return nullptr;
    }

private:
    std::mt19937 rng_;
};

// Checks every visited node below node, whose position is game. Returns the turn starts seen.
int check_turn_starts(const Node& node, const Game& game, const std::string& where) {
    int seen = 0;
    for (const Node& child : node.children) {
        if (child.visit_count == 0) continue;  // never laid by a simulation
        Game next = game;
        const Player mover = next.current_player();
        const std::uint32_t held = next.board().hand(mover).size();
        EXPECT_EQ(next.apply_move(child.tile), std::nullopt) << where;
        const bool turn_passed = next.board().hand(mover).size() != held;
        EXPECT_EQ(child.turn_start != nullptr, turn_passed) << where << ", tile " << child.tile;
        if (child.turn_start) {
            ++seen;
            Game taken = game;
            taken.complete_turn(std::vector<Tile>{child.tile}, *child.turn_start);
            EXPECT_EQ(taken.current_player(), next.current_player()) << where;
            EXPECT_EQ(taken.finished(), next.finished()) << where;
            EXPECT_EQ(taken.last_size(), next.last_size()) << where;
            EXPECT_EQ(taken.valid_tiles(), next.valid_tiles()) << where;
            EXPECT_EQ(taken.placements(), next.placements()) << where;
            EXPECT_EQ(taken.board().hand(mover).size(), next.board().hand(mover).size());
        }
        if (::testing::Test::HasFailure()) return seen;
        seen += check_turn_starts(child, next, where);
    }
    return seen;
}

TEST(TurnStarts, KeptTurnStartsMatchAFreshReplay) {
    for (std::uint32_t side : {6u, 11u, 20u}) {
        const Config config{side, 1, 24, 4, 19652.0f, 1.25f, 0.3f, 0.25f};
        RandomScores network(side);
        Rng rng(side);
        Game game(side);
        SearchTree tree;
        std::vector<TrainingRecord> records;
        int turn_starts = 0;
        while (!game.is_over()) {
            auto choice = search_move(network, tree, game, config, records, rng);
            ASSERT_TRUE(std::holds_alternative<Tile>(choice));
            const std::string where =
                "side " + std::to_string(side) + ", move " + std::to_string(game.history().size());
            turn_starts += check_turn_starts(tree.root(), game, where);
            if (HasFailure()) return;
            const Tile tile = std::get<Tile>(choice);
            ASSERT_EQ(game.apply_move(tile), std::nullopt);
            tree.advance_root(tile);
        }
        EXPECT_GT(turn_starts, 100) << "side " << side;
    }
}

// Children expanded into an empty node against masked_policy and add_children on the same
// scores: the same tiles in the same order, bit-equal priors, and the generator left in the
// same state. Scores include NaN and infinities, which give priors of 0 or NaN (no child).
TEST(TurnStarts, ChildrenBuiltInPlaceMatchMaskedPolicy) {
    std::mt19937 draw(5);
    Game game(9);
    for (int position = 0; position < 60 && !game.is_over(); ++position) {
        std::vector<float> policy(81);
        for (float& s : policy) {
            const auto kind = draw() % 20;
            s = kind == 0   ? std::numeric_limits<float>::quiet_NaN()
                : kind == 1 ? -std::numeric_limits<float>::infinity()
                : kind == 2 ? std::numeric_limits<float>::infinity()
                            : std::normal_distribution<float>(0.0f, 30.0f)(draw);
        }
        struct Fixed : Evaluator {
            std::vector<float> policy;
            std::unique_ptr<EvaluationError> evaluate(const Game&, NetworkScores& s) override {
                s.policy = policy;
                s.value = {0, 0, 0, 0};
                return nullptr;
            }
        } network;
        network.policy = policy;
        Rng in_place_rng(position), reference_rng(position);
        Node in_place;
        ASSERT_FALSE(evaluate_and_expand(network, in_place, game, in_place_rng).error);

        std::vector<float> priors;
        masked_policy(policy, game.valid_tiles(), priors);
        std::vector<std::pair<Tile, float>> entries;
        for (Tile t : game.valid_tiles()) {
            if (priors[t] > 0.0f) entries.emplace_back(t, priors[t]);
        }
        Node reference;
        reference.add_children(entries, reference_rng);

        ASSERT_EQ(in_place.children.size(), reference.children.size()) << "position " << position;
        for (std::size_t i = 0; i < in_place.children.size(); ++i) {
            EXPECT_EQ(in_place.children[i].tile, reference.children[i].tile);
            EXPECT_EQ(std::bit_cast<std::uint32_t>(in_place.children[i].prior),
                      std::bit_cast<std::uint32_t>(reference.children[i].prior));
        }
        EXPECT_EQ(in_place_rng(), reference_rng());
        const std::vector<Tile>& valid = game.valid_tiles();
        game.apply_move(valid[draw() % valid.size()]);
    }
}

}  // namespace
}  // namespace tralix
