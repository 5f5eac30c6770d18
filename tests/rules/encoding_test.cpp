// The network input: five 0/1 features per tile from the point of view of the player to move,
// planes first ([k][r][c]) or channels last ([r][c][k]).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "game/encoding.h"
#include "game/game.h"
#include "game_helpers.h"

namespace tralix {
namespace {

// Feature k of tile t in either layout.
std::uint8_t at(const std::vector<std::uint8_t>& e, Layout layout, std::uint32_t dim,
                std::uint32_t k, Tile t) {
    return layout == Layout::channels_last ? e[t * 5 + k] : e[k * dim * dim + t];
}

// The tiles where feature k is set.
std::vector<Tile> plane(const Game& g, Layout layout, std::uint32_t k) {
    const std::vector<std::uint8_t> e = encode(g, layout);
    std::vector<Tile> tiles;
    for (Tile t = 0; t < g.dim() * g.dim(); ++t) {
        if (at(e, layout, g.dim(), k, t) != 0) tiles.push_back(t);
    }
    return tiles;
}

using testing::play;
using testing::sorted_valid;

const Layout layouts[] = {Layout::planes_first, Layout::channels_last};

TEST(Encoding, NewGameOfSide20) {
    const Game g(20);
    for (Layout layout : layouts) {
        const std::vector<std::uint8_t> e = encode(g, layout);
        ASSERT_EQ(e.size(), 5u * 20 * 20);
        EXPECT_TRUE(std::all_of(e.begin(), e.end(), [](std::uint8_t b) { return b <= 1; }));
        for (std::uint32_t k = 0; k < 4; ++k) EXPECT_TRUE(plane(g, layout, k).empty());
        std::vector<Tile> near_corner;
        for (Tile t = 0; t < 400; ++t) {
            if (t / 20 + t % 20 <= 4) near_corner.push_back(t);
        }
        EXPECT_EQ(plane(g, layout, 4), near_corner);
    }
}

TEST(Encoding, AfterTheFirstTile) {
    Game g(20);
    play(g, {0});
    for (Layout layout : layouts) {
        EXPECT_EQ(plane(g, layout, 0), std::vector<Tile>{0});
        for (std::uint32_t k = 1; k < 4; ++k) EXPECT_TRUE(plane(g, layout, k).empty());
        EXPECT_EQ(plane(g, layout, 4),
                  (std::vector<Tile>{1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}));
    }
}

TEST(Encoding, AfterTheFirstTurnThePreviousPlayerIsPlaneThree) {
    Game g(20);
    play(g, {0, 1, 2, 3, 4});
    ASSERT_EQ(g.current_player(), 1u);
    for (Layout layout : layouts) {
        for (std::uint32_t k = 0; k < 3; ++k) EXPECT_TRUE(plane(g, layout, k).empty());
        EXPECT_EQ(plane(g, layout, 3), (std::vector<Tile>{0, 1, 2, 3, 4}));
        EXPECT_EQ(plane(g, layout, 4),
                  (std::vector<Tile>{15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99}));
    }
}

TEST(Encoding, PlanesAreRelativeToThePlayerToMove) {
    Game g(20);
    play(g, {0, 1, 2, 3, 4});       // player 0
    play(g, {19, 39, 59, 79, 99});  // player 1
    ASSERT_EQ(g.current_player(), 2u);
    play(g, {399, 398, 397, 396, 395});  // player 2
    ASSERT_EQ(g.current_player(), 3u);
    play(g, {380});  // player 3, mid-turn
    for (Layout layout : layouts) {
        EXPECT_EQ(plane(g, layout, 0), std::vector<Tile>{380});
        EXPECT_EQ(plane(g, layout, 1), (std::vector<Tile>{0, 1, 2, 3, 4}));
        EXPECT_EQ(plane(g, layout, 2), (std::vector<Tile>{19, 39, 59, 79, 99}));
        EXPECT_EQ(plane(g, layout, 3), (std::vector<Tile>{395, 396, 397, 398, 399}));
        EXPECT_EQ(plane(g, layout, 4), sorted_valid(g));
    }
    play(g, {360, 340, 320, 300});
    ASSERT_EQ(g.current_player(), 0u);
    play(g, {25});  // player 0's second turn starts
    while (g.current_player() == 0) play(g, {sorted_valid(g).front()});
    ASSERT_EQ(g.current_player(), 1u);
    play(g, {sorted_valid(g).front()});
    while (g.current_player() == 1) play(g, {sorted_valid(g).front()});
    ASSERT_EQ(g.current_player(), 2u);
    // With player 2 to move, player 0's tiles are plane 2 and player 3's plane 1.
    for (Layout layout : layouts) {
        const std::vector<Tile> p2 = plane(g, layout, 2), p1 = plane(g, layout, 1);
        EXPECT_TRUE(std::binary_search(p2.begin(), p2.end(), Tile{0}));
        EXPECT_TRUE(std::binary_search(p2.begin(), p2.end(), Tile{25}));
        EXPECT_EQ(p1, (std::vector<Tile>{300, 320, 340, 360, 380}));
        EXPECT_EQ(plane(g, layout, 0), (std::vector<Tile>{395, 396, 397, 398, 399}));
    }
}

// On random positions of several sides: each feature follows the owners and the valid tiles,
// and the two layouts hold the same numbers.
TEST(Encoding, LayoutsAgreeOnRandomPositions) {
    for (std::uint32_t dim : {4u, 7u, 12u, 20u}) {
        Game g(dim);
        std::mt19937 rng(dim);
        const std::uint32_t n = dim * dim;
        while (!g.is_over()) {
            ASSERT_LT(g.history().size(), g.dim() * g.dim()) << "the game does not end";
            const std::vector<std::uint8_t> first = encode(g, Layout::planes_first);
            const std::vector<std::uint8_t> last = encode(g, Layout::channels_last);
            ASSERT_EQ(first.size(), 5u * n);
            ASSERT_EQ(last.size(), 5u * n);
            // The buffer form overwrites every byte.
            std::vector<std::uint8_t> buffer(5u * n, 7);
            encode(g, Layout::channels_last, buffer);
            EXPECT_EQ(buffer, last);
            std::fill(buffer.begin(), buffer.end(), 7);
            encode(g, Layout::planes_first, buffer);
            EXPECT_EQ(buffer, first);
            const std::vector<Tile> valid = sorted_valid(g);
            const Player p = g.current_player();
            for (Tile t = 0; t < n; ++t) {
                const std::uint32_t owner = g.board().cell(t) & owner_mask;
                for (std::uint32_t k = 0; k < 5; ++k) {
                    const bool expected = k == 4 ? std::binary_search(valid.begin(), valid.end(), t)
                                                 : owner == (p + k) % 4 + 1;
                    ASSERT_EQ(first[k * n + t], expected ? 1 : 0)
                        << "tile " << t << " feature " << k;
                    ASSERT_EQ(last[t * 5 + k], first[k * n + t]);
                }
            }
            ASSERT_EQ(g.apply_move(valid[rng() % valid.size()]), std::nullopt);
        }
        // A finished position still has the full size, with an empty plane 4.
        EXPECT_EQ(encode(g, Layout::planes_first).size(), 5u * n);
        EXPECT_TRUE(plane(g, Layout::planes_first, 4).empty());
    }
}

TEST(Encoding, BadBuffersAndLayoutsAreFatalStops) {
    Game g(7);
    play(g, {0, 1});
    for (std::size_t size : {0u, 1u, 5u * 49 - 1, 5u * 49 + 1}) {
        std::vector<std::uint8_t> buffer(size, 7);
        try {
            encode(g, Layout::channels_last, buffer);
            ADD_FAILURE() << "a buffer of " << size << " bytes accepted";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.message(), "index out of bounds: the len is " + std::to_string(size) +
                                       " but the index is 245");
        }
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) {
            return b == 7;
        })) << "a refused buffer is left alone";
    }
    for (int value : {0, 3, 255}) {
        const auto layout = static_cast<Layout>(static_cast<std::uint8_t>(value));
        std::vector<std::uint8_t> buffer(5u * 49, 7);
        try {
            encode(g, layout, buffer);
            ADD_FAILURE() << "layout " << value << " accepted";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.message(), "Unknown layout " + std::to_string(value));
        }
        EXPECT_THROW((void)encode(g, layout), FatalError);
    }
}

}  // namespace
}  // namespace tralix
