// The search: PUCT selection, backup, simulations, root noise, the move choice and whole
// training games against a stub evaluator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "core/fatal_error.h"
#include "search/root_search.h"
#include "search_test_support.h"

namespace tralix {
namespace {

using testing::fatal_message;
using testing::StubEvaluator;

const float nan_value = std::numeric_limits<float>::quiet_NaN();

// A child's statistics; nodes own their turn starts, so they are built in place, not copied.
struct ChildStats {
    Tile tile;
    float prior;
    std::uint32_t visits;
    float value_sum;
};

ChildStats child(Tile tile, float prior, std::uint32_t visits, float value_sum) {
    return {tile, prior, visits, value_sum};
}

Node node_with(const std::vector<ChildStats>& children, std::uint32_t visits) {
    Node node;
    for (const ChildStats& stats : children) {
        Node& c = node.children.emplace_back(stats.tile, stats.prior);
        c.visit_count = stats.visits;
        c.value_sum = stats.value_sum;
    }
    node.visit_count = visits;
    return node;
}

// Parent visits 3, c_base 1, c_init 0: K = sqrt(3) * ln 5 = 2.78758.
//   A: 0.5 * K / 1 + 0          = 1.39379
//   B: 0.3 * K / 2 + 0.9 / 1    = 1.31814
//   C: 0.2 * K / 3 + 1.8 / 2    = 1.08584
TEST(SelectChild, ScoresWorkedByHand) {
    Node node = node_with(
        {child(10, 0.5f, 0, 0.0f), child(11, 0.3f, 1, 0.9f), child(12, 0.2f, 2, 1.8f)}, 3);
    EXPECT_EQ(select_child(node, 1.0f, 0.0f), 0u);
    node.children[0].prior = 0.45f;  // 1.25441 < 1.31814
    EXPECT_EQ(select_child(node, 1.0f, 0.0f), 1u);
    // c_init adds to the logarithm: K = sqrt(3) * (ln 5 + 1) = 4.51963 favours exploration.
    node.children[0].prior = 0.3f;  // A: 1.35589, B: 0.67794 + 0.9 = 1.57794
    EXPECT_EQ(select_child(node, 1.0f, 1.0f), 1u);
    node.children[0].prior = 0.36f;  // A: 1.62707 > 1.57794
    EXPECT_EQ(select_child(node, 1.0f, 1.0f), 0u);
}

TEST(SelectChild, TiesGoToTheLaterChildAndNaNIsNeverChosen) {
    // Parent count 0: the exploration term vanishes and every unvisited child scores 0.
    Node fresh = node_with({child(1, 0.2f, 0, 0), child(2, 0.5f, 0, 0), child(3, 0.3f, 0, 0)}, 0);
    EXPECT_EQ(select_child(fresh, 19652.0f, 1.25f), 2u);
    Node tied =
        node_with({child(1, 0.5f, 1, 0.5f), child(2, 0.5f, 1, 0.5f), child(3, 0.1f, 1, 0)}, 4);
    EXPECT_EQ(select_child(tied, 1.0f, 1.0f), 1u);
    Node with_nan = node_with({child(1, 0.5f, 0, 0), child(2, nan_value, 0, 0)}, 4);
    EXPECT_EQ(select_child(with_nan, 1.0f, 1.0f), 0u);
    Node all_nan = node_with({child(1, nan_value, 0, 0), child(2, 0.5f, 1, nan_value)}, 4);
    EXPECT_FALSE(select_child(all_nan, 1.0f, 1.0f).has_value());
    // A child with no visits has q = 0 whatever its value sum holds.
    Node stale = node_with({child(1, 0.0f, 0, 100.0f), child(2, 0.0f, 1, 0.5f)}, 1);
    EXPECT_EQ(select_child(stale, 1.0f, 1.0f), 1u);
}

TEST(Backup, CreditsEachNodeWithItsOwnPlayersValue) {
    Node a(1, 0.5f), b(2, 0.5f), c(3, 0.5f);
    a.player = 1;
    b.player = 3;
    c.player = 0;  // e.g. a finished position never expanded: credited as player 0
    c.visit_count = 2;
    c.value_sum = 0.25f;
    std::vector<Node*> path{&a, &b, &c};
    const std::vector<float> values{0.125f, 0.25f, 0.5f, 0.0625f};
    backup(path, values);
    EXPECT_EQ(a.visit_count, 1u);
    EXPECT_EQ(a.value_sum, 0.25f);
    EXPECT_EQ(b.value_sum, 0.0625f);
    EXPECT_EQ(c.visit_count, 3u);
    EXPECT_EQ(c.value_sum, 0.375f);
    b.player = 2;
    EXPECT_EQ(fatal_message([&] {
                  backup(path, std::vector<float>{1.0f, 0.0f});
              }),
              "index out of bounds: the len is 2 but the index is 2");
}

TEST(Simulation, FirstSimulationExpandsTheRootWithoutCreditingIt) {
    Game game(20);
    SearchTree tree;
    StubEvaluator evaluator({1.0f, 0.0f, 0.0f, 0.0f});
    const Config config{20, 1, 0, 0, 19652.0f, 1.25f, 0.3f, 0.25f};
    Rng rng(12);
    ASSERT_FALSE(run_simulation(evaluator, tree, game, config, rng).has_value());
    EXPECT_EQ(tree.root().children.size(), 15u);
    EXPECT_EQ(tree.root().visit_count, 0u);
    EXPECT_EQ(tree.root().value_sum, 0.0f);
    ASSERT_FALSE(run_simulation(evaluator, tree, game, config, rng).has_value());
    // Root count 0: selection by mean value alone picks the last child.
    const Node& last = tree.root().children.back();
    EXPECT_EQ(last.visit_count, 1u);
    EXPECT_EQ(last.player, 0u) << "still player 0's turn after one tile";
    EXPECT_EQ(game.history().size(), 0u) << "the real game is untouched";
    EXPECT_EQ(evaluator.requests, 2);
}

TEST(Simulation, FailuresReportTheirText) {
    Game game(8);
    SearchTree tree;
    StubEvaluator evaluator;
    evaluator.fail_at_request = 1;
    const Config config{8, 1, 4, 0, 19652.0f, 1.25f, 0.3f, 0.25f};
    Rng rng(13);
    auto failure = run_simulation(evaluator, tree, game, config, rng);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->text(), "RuntimeError: stub failure");
    EXPECT_TRUE(tree.root().children.empty());

    StubEvaluator healthy;
    ASSERT_FALSE(run_simulation(healthy, tree, game, config, rng).has_value());
    for (Node& c : tree.root().children) c.prior = nan_value;
    tree.root().visit_count = 1;
    failure = run_simulation(healthy, tree, game, config, rng);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->text(), "All UCB scores NaN");
}

TEST(RootNoise, FractionZeroKeepsPriorsAndOneReplacesThem) {
    Rng rng(1);
    Node root;
    std::vector<std::pair<Tile, float>> list{{0, 0.1f}, {1, 0.2f}, {2, 0.3f}, {3, 0.4f}};
    root.add_children(list, rng);
    std::vector<float> before;
    for (const Node& c : root.children) before.push_back(c.prior);
    add_root_noise(root, 0.3f, 0.0f, rng);
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(root.children[i].prior, before[i]);
    add_root_noise(root, 0.3f, 1.0f, rng);
    float sum = 0;
    for (const Node& c : root.children) {
        EXPECT_GE(c.prior, 0.0f);
        sum += c.prior;
    }
    EXPECT_NEAR(sum, 1.0f, 1e-5f);
}

TEST(RootNoise, TinyConcentrationsAlwaysGiveAProbabilityVector) {
    Rng rng(2);
    for (int i = 0; i < 20000; ++i) {
        Node root;
        root.add_children(std::vector<std::pair<Tile, float>>{{0, 0.5f}, {1, 0.5f}}, rng);
        add_root_noise(root, 0.01f, 1.0f, rng);
        const float a = root.children[0].prior, b = root.children[1].prior;
        ASSERT_TRUE(std::isfinite(a) && std::isfinite(b));
        ASSERT_GE(a, 0.0f);
        ASSERT_GE(b, 0.0f);
        ASSERT_NEAR(a + b, 1.0f, 1e-6f);
    }
}

TEST(RootNoise, MeanOfEachComponentIsOneOverN) {
    Rng rng(4);
    double sums[3] = {};
    const int draws = 20000;
    for (int i = 0; i < draws; ++i) {
        Node root;
        root.add_children(std::vector<std::pair<Tile, float>>{{0, 0}, {1, 0}, {2, 0}}, rng);
        add_root_noise(root, 0.3f, 1.0f, rng);
        for (std::size_t j = 0; j < 3; ++j) sums[root.children[j].tile] += root.children[j].prior;
    }
    for (double s : sums) EXPECT_NEAR(s / draws, 1.0 / 3.0, 0.01);
}

TEST(RootNoise, ConcentrationNotAboveZeroStops) {
    Rng rng(5);
    for (float alpha : {0.0f, -1.0f, nan_value}) {
        Node root;
        root.add_children(std::vector<std::pair<Tile, float>>{{0, 0.5f}, {1, 0.5f}}, rng);
        EXPECT_EQ(fatal_message([&] { add_root_noise(root, alpha, 0.25f, rng); }),
                  "Noise should be generated ok: AlphaTooSmall");
    }
}

TEST(ChooseMove, GreedyTakesTheMostVisitedLaterOnTies) {
    Rng rng(6);
    const VisitDistribution visits{{7, 5}, {3, 9}, {12, 9}};
    EXPECT_EQ(choose_move(visits, 5, 3, rng), 12u);
    EXPECT_EQ(choose_move(visits, 1, 0, rng), 12u) << "sample_moves 0: always greedy";
    EXPECT_EQ(choose_move(visits, 1, 1, rng), 12u) << "sample_moves 1: always greedy";
    const VisitDistribution none{{4, 0}, {9, 0}, {2, 0}};
    EXPECT_EQ(choose_move(none, 9, 3, rng), 2u);
    EXPECT_EQ(choose_move(none, 1, 3, rng), 2u) << "0 / 0 shares: the last entry";
}

TEST(ChooseMove, SamplingFollowsTheVisitShares) {
    Rng rng(7);
    const VisitDistribution visits{{5, 1}, {6, 3}, {7, 0}, {8, 6}};
    std::map<Tile, int> counts;
    const int draws = 40000;
    for (int i = 0; i < draws; ++i) counts[choose_move(visits, 2, 3, rng)]++;
    EXPECT_NEAR(counts[5], draws * 0.1, 400);
    EXPECT_NEAR(counts[6], draws * 0.3, 600);
    EXPECT_EQ(counts[7], 0);
    EXPECT_NEAR(counts[8], draws * 0.6, 600);
    const VisitDistribution single{{1, 0}, {2, 10}, {3, 0}};
    for (int i = 0; i < 100; ++i) EXPECT_EQ(choose_move(single, 1, 3, rng), 2u);
}

TEST(SearchMove, FirstMovePutsEveryVisitOnTheLastChild) {
    Game game(20);
    SearchTree tree;
    StubEvaluator evaluator({1.0f, 0.0f, 0.0f, 0.0f});  // the mover always looks good
    const Config config{20, 1, 16, 0, 19652.0f, 1.25f, 0.3f, 0.25f};
    std::vector<TrainingRecord> records;
    Rng rng(8);
    auto choice = search_move(evaluator, tree, game, config, records, rng);
    ASSERT_TRUE(std::holds_alternative<Tile>(choice));
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].size(), 15u);
    EXPECT_EQ(records[0].back().second, 1.0f);
    EXPECT_EQ(std::get<Tile>(choice), tree.root().children.back().tile);
    for (std::size_t i = 0; i < records[0].size(); ++i) {
        EXPECT_EQ(records[0][i].first, tree.root().children[i].tile) << "record in root order";
    }
    EXPECT_EQ(evaluator.requests, 1 + 16);
}

TEST(SearchMove, WithoutSimulationsSharesAreNaNAndTheLastChildIsPlayed) {
    Game game(20);
    SearchTree tree;
    StubEvaluator evaluator;
    const Config config{20, 1, 0, 5, 19652.0f, 1.25f, 0.3f, 0.25f};
    std::vector<TrainingRecord> records;
    Rng rng(9);
    auto choice = search_move(evaluator, tree, game, config, records, rng);
    ASSERT_TRUE(std::holds_alternative<Tile>(choice));
    for (const auto& entry : records[0]) EXPECT_TRUE(std::isnan(entry.second));
    EXPECT_EQ(std::get<Tile>(choice), tree.root().children.back().tile);
}

TEST(SearchMove, RootFailureIsReportedWithItsPrefix) {
    Game game(6);
    SearchTree tree;
    StubEvaluator evaluator;
    evaluator.fail_at_request = 1;
    const Config config{6, 1, 3, 0, 19652.0f, 1.25f, 0.3f, 0.25f};
    std::vector<TrainingRecord> records;
    Rng rng(10);
    auto choice = search_move(evaluator, tree, game, config, records, rng);
    ASSERT_TRUE(std::holds_alternative<SearchFailure>(choice));
    EXPECT_EQ(std::get<SearchFailure>(choice).text(),
              "Error evaluating root node: RuntimeError: stub failure");
    EXPECT_TRUE(records.empty());
}

TEST(SearchTree, AdvanceKeepsTheChildsStatisticsAndStopsOnAMissingChild) {
    Rng rng(11);
    SearchTree tree;
    EXPECT_EQ(fatal_message([&] { tree.advance_root(0); }),
              "Child should have corresponding action");
    tree.root().add_children(std::vector<std::pair<Tile, float>>{{4, 0.5f}, {9, 0.5f}}, rng);
    Node& next = *tree.root().find_child(9);
    next.visit_count = 6;
    next.value_sum = 2.5f;
    next.player = 3;
    next.add_children(std::vector<std::pair<Tile, float>>{{1, 1.0f}}, rng);
    tree.advance_root(9);
    EXPECT_EQ(tree.root().tile, 9u);
    EXPECT_EQ(tree.root().visit_count, 6u);
    EXPECT_EQ(tree.root().value_sum, 2.5f);
    EXPECT_EQ(tree.root().player, 3u);
    ASSERT_EQ(tree.root().children.size(), 1u);
    EXPECT_EQ(fatal_message([&] { tree.advance_root(4); }),
              "Child should have corresponding action");
}

}  // namespace
}  // namespace tralix
