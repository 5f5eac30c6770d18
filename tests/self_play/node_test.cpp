// Child maps: lookup by tile, replacement in place, and an iteration order that is fixed while
// unchanged, unrelated to the tiles and different from map to map.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "search/node.h"

namespace tralix {
namespace {

std::vector<std::pair<Tile, float>> entries(Tile count) {
    std::vector<std::pair<Tile, float>> out;
    for (Tile t = 0; t < count; ++t) out.emplace_back(t * 3 + 1, 1.0f / static_cast<float>(count));
    return out;
}

std::vector<Tile> order(const Node& node) {
    std::vector<Tile> tiles;
    for (const Node& child : node.children) tiles.push_back(child.tile);
    return tiles;
}

TEST(Node, FreshNodeAndMeanValue) {
    Node node(7, 0.25f);
    EXPECT_TRUE(node.children.empty());
    EXPECT_EQ(node.player, 0u);
    EXPECT_EQ(node.visit_count, 0u);
    EXPECT_EQ(node.value_sum, 0.0f);
    EXPECT_EQ(node.prior, 0.25f);
    node.value_sum = 5.0f;  // unvisited: the mean is 0 whatever the sum holds
    EXPECT_EQ(node.mean_value(), 0.0f);
    node.visit_count = 3;
    EXPECT_EQ(node.mean_value(), 5.0f / 3.0f);
}

TEST(Node, ChildrenHoldEveryEntryInAShuffledOrderThatDiffersBetweenMaps) {
    Rng rng(11);
    const auto list = entries(30);
    std::set<std::vector<Tile>> orders;
    for (int i = 0; i < 20; ++i) {
        Node node;
        node.add_children(list, rng);
        std::vector<Tile> tiles = order(node);
        EXPECT_EQ(order(node), tiles) << "order must not change while the map is unchanged";
        for (const auto& [t, p] : list) {
            ASSERT_NE(node.find_child(t), nullptr);
            EXPECT_EQ(node.find_child(t)->prior, p);
        }
        std::vector<Tile> sorted = tiles;
        std::sort(sorted.begin(), sorted.end());
        std::vector<Tile> expected;
        for (const auto& e : list) expected.push_back(e.first);
        EXPECT_EQ(sorted, expected);
        orders.insert(tiles);
    }
    EXPECT_EQ(orders.size(), 20u) << "30 children: twenty maps should not share an order";
    EXPECT_FALSE(orders.contains([&] {
        std::vector<Tile> ascending;
        for (const auto& e : list) ascending.push_back(e.first);
        return ascending;
    }()));
}

TEST(Node, EveryPositionIsReachedForEachChild) {
    // Over many maps each tile appears at each position: the shuffle is not biased to the
    // insertion order.
    Rng rng(5);
    const auto list = entries(4);
    int counts[4][4] = {};
    for (int i = 0; i < 4000; ++i) {
        Node node;
        node.add_children(list, rng);
        for (std::size_t pos = 0; pos < 4; ++pos) counts[(node.children[pos].tile - 1) / 3][pos]++;
    }
    for (auto& row : counts) {
        for (int c : row) EXPECT_NEAR(c, 1000, 150);
    }
}

TEST(Node, InsertReplacesInPlaceAndAddsAtSomePosition) {
    Rng rng(3);
    Node node;
    node.add_children(entries(5), rng);
    node.children[2].visit_count = 9;
    node.children[2].children.emplace_back(99, 1.0f);
    const Tile replaced = node.children[2].tile;
    const std::vector<Tile> before = order(node);
    node.insert_child(replaced, 0.75f, rng);
    EXPECT_EQ(order(node), before);
    EXPECT_EQ(node.children[2].visit_count, 0u) << "the old child and its subtree are gone";
    EXPECT_TRUE(node.children[2].children.empty());
    EXPECT_EQ(node.children[2].prior, 0.75f);
    node.insert_child(1000, 0.5f, rng);
    EXPECT_EQ(node.children.size(), 6u);
    ASSERT_NE(node.find_child(1000), nullptr);
    EXPECT_EQ(node.find_child(2000), nullptr);
}

}  // namespace
}  // namespace tralix
