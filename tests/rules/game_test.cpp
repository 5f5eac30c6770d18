// The game: a new game, the first turns laid tile by tile, retirement, refused tiles, the
// outcome and independent copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "game/game.h"
#include "game_helpers.h"

namespace tralix {
namespace {

using testing::play;
using testing::sorted_valid;

// One uniformly drawn valid tile.
Tile random_tile(const Game& g, std::mt19937& rng) {
    const std::vector<Tile> v = sorted_valid(g);
    return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)];
}

// Everything a game exposes, compared field by field.
void expect_same(const Game& a, const Game& b) {
    EXPECT_EQ(a.current_player(), b.current_player());
    EXPECT_EQ(a.is_over(), b.is_over());
    EXPECT_EQ(sorted_valid(a), sorted_valid(b));
    EXPECT_EQ(a.placements(), b.placements());
    EXPECT_EQ(a.history(), b.history());
    EXPECT_EQ(a.last_size(), b.last_size());
    EXPECT_EQ(a.finished(), b.finished());
    EXPECT_EQ(a.outcome(), b.outcome());
    ASSERT_EQ(a.board().cells().size(), b.board().cells().size());
    EXPECT_TRUE(
        std::equal(a.board().cells().begin(), a.board().cells().end(), b.board().cells().begin()));
    for (Player p = 0; p < 4; ++p) {
        EXPECT_EQ(a.board().corner_tiles(p), b.board().corner_tiles(p));
        ASSERT_EQ(a.board().hand(p).size(), b.board().hand(p).size());
        for (std::uint32_t i = 0; i < a.board().hand(p).size(); ++i) {
            EXPECT_EQ(a.board().hand(p)[i], b.board().hand(p)[i]);
        }
    }
}

std::string invalid(Player p, Tile t) {
    return "Invalid move - Player " + std::to_string(p) + ", Tile " + std::to_string(t);
}

const std::vector<Tile> player1_first_tiles = {15, 16, 17, 18, 19, 36, 37, 38,
                                               39, 57, 58, 59, 78, 79, 99};

TEST(Game, NewGameOfSide20) {
    const Game g(20);
    EXPECT_EQ(g.dim(), 20u);
    EXPECT_EQ(g.current_player(), 0u);
    EXPECT_FALSE(g.is_over());
    EXPECT_TRUE(g.history().empty());
    EXPECT_EQ(g.last_size(), (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(g.finished(), (std::array<bool, 4>{false, false, false, false}));

    std::vector<Tile> near_corner;
    for (Tile t = 0; t < 400; ++t) {
        if (t / 20 + t % 20 <= 4) near_corner.push_back(t);
    }
    ASSERT_EQ(near_corner.size(), 15u);
    EXPECT_EQ(sorted_valid(g), near_corner);

    const std::vector<Placement> all = g.placements();
    EXPECT_EQ(all.size(), 58u);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    // The hand is full, so hand index and catalogue id coincide; the cross cannot cover tile 0.
    EXPECT_TRUE(
        std::none_of(all.begin(), all.end(), [](const Placement& p) { return p.piece == 18; }));
    // Every first placement covers the start corner.
    EXPECT_EQ(g.placements_covering(0), all);
    EXPECT_TRUE(g.placements_covering(5).empty());
    EXPECT_TRUE(g.placements_covering(399).empty());
}

TEST(Game, UnsupportedSidesAreFatalStops) {
    EXPECT_THROW(Game(3), FatalError);
    EXPECT_THROW(Game(257), FatalError);
}

TEST(Game, FirstTurnFourCellsInAnyOrderKeepTheTurnGoing) {
    std::vector<Tile> order = {0, 1, 2, 3};
    do {
        Game g(20);
        for (std::size_t i = 0; i < order.size(); ++i) {
            ASSERT_EQ(g.apply_move(order[i]), std::nullopt);
            EXPECT_EQ(g.current_player(), 0u);
        }
        EXPECT_EQ(sorted_valid(g), (std::vector<Tile>{4, 20, 21, 22, 23}));
        // The four-cell line (id 4) has no tile left; the five-cell line (9), L5 ####/#... (10, 0)
        // and ####/...# (10, 4), Y5 ####/.#.. (17, 0) and ####/..#. (17, 4) each add one tile.
        EXPECT_EQ(g.placements(),
                  (std::vector<Placement>{
                      {4, 0, 0}, {9, 0, 0}, {10, 0, 0}, {10, 4, 0}, {17, 0, 0}, {17, 4, 0}}));
        EXPECT_EQ(g.placements_covering(4), (std::vector<Placement>{{9, 0, 0}}));
        EXPECT_EQ(g.placements_covering(20), (std::vector<Placement>{{10, 0, 0}}));
        EXPECT_EQ(g.placements_covering(21), (std::vector<Placement>{{17, 0, 0}}));
        EXPECT_EQ(g.placements_covering(22), (std::vector<Placement>{{17, 4, 0}}));
        EXPECT_EQ(g.placements_covering(23), (std::vector<Placement>{{10, 4, 0}}));
        EXPECT_TRUE(g.placements_covering(0).empty());  // laid already
        EXPECT_EQ(g.last_size()[0], 0u);
        EXPECT_EQ(g.board().hand(0).size(), 21u);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(Game, FirstTurnCompletingTheFiveCellLine) {
    Game g(20);
    play(g, {3, 1, 0, 2});
    ASSERT_EQ(g.apply_move(4), std::nullopt);
    EXPECT_EQ(g.last_size(), (std::array<std::uint32_t, 4>{5, 0, 0, 0}));
    const Hand& hand = g.board().hand(0);
    ASSERT_EQ(hand.size(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i) EXPECT_EQ(hand[i], i < 9 ? i : i + 1);
    for (Player p = 1; p < 4; ++p) EXPECT_EQ(g.board().hand(p).size(), 21u);
    EXPECT_EQ(g.current_player(), 1u);
    EXPECT_EQ(sorted_valid(g), player1_first_tiles);
    EXPECT_EQ(g.history(), (std::vector<Move>{{0, 3}, {0, 1}, {0, 0}, {0, 2}, {0, 4}}));
    for (Tile t = 0; t < 5; ++t) EXPECT_EQ(g.board().cell(t) & owner_mask, 1u);
    // Player 1's first turn mirrors player 0's: 58 placements over its start corner.
    EXPECT_EQ(g.placements().size(), 58u);
    EXPECT_EQ(g.placements_covering(19), g.placements());
}

TEST(Game, SideFiveLineRetiresPlayerOneAtOnce) {
    Game g(5);
    play(g, {0, 1, 2, 3});
    EXPECT_EQ(g.current_player(), 0u);
    ASSERT_EQ(g.apply_move(4), std::nullopt);
    EXPECT_EQ(g.finished(), (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(g.current_player(), 2u);
    EXPECT_FALSE(g.is_over());
    const std::vector<Tile> v = sorted_valid(g);
    EXPECT_FALSE(v.empty());
    EXPECT_TRUE(std::binary_search(v.begin(), v.end(), Tile{24}));
    EXPECT_EQ(g.board().hand(1).size(), 21u);
    EXPECT_EQ(g.history().size(), 5u);
}

// Plays a whole game with uniformly drawn tiles; retired players never move again.
void play_out(Game& g, std::mt19937& rng) {
    while (!g.is_over()) {
        ASSERT_LT(g.history().size(), g.dim() * g.dim()) << "the game does not end";
        const Player p = g.current_player();
        ASSERT_FALSE(g.finished()[p]);
        ASSERT_EQ(g.apply_move(random_tile(g, rng)), std::nullopt);
    }
}

TEST(Game, RefusedTilesLeaveTheGameUnchanged) {
    Game g(20);
    const Game before = g;
    for (Tile t : {5u, 24u, 100u, 399u, 400u, 0xFFFFFFFFu}) {
        EXPECT_EQ(g.apply_move(t), invalid(0, t));
    }
    expect_same(g, before);

    play(g, {0});
    const Game mid_turn = g;
    for (Tile t : {0u, 24u, 5u}) EXPECT_EQ(g.apply_move(t), invalid(0, t));
    expect_same(g, mid_turn);

    play(g, {1, 2, 3, 4});
    const Game second_turn = g;
    for (Tile t : {0u, 5u, 14u, 20u}) EXPECT_EQ(g.apply_move(t), invalid(1, t));
    expect_same(g, second_turn);
}

TEST(Game, FinishedGameRefusesEveryTile) {
    for (std::uint32_t dim : {5u, 6u}) {
        Game g(dim);
        std::mt19937 rng(dim);
        play_out(g, rng);
        ASSERT_TRUE(g.is_over());
        EXPECT_TRUE(g.valid_tiles().empty());
        EXPECT_TRUE(g.placements().empty());
        const Game over = g;
        for (Tile t = 0; t <= dim * dim; ++t) {
            EXPECT_EQ(g.apply_move(t), invalid(g.current_player(), t));
        }
        expect_same(g, over);
    }
}

// Each player lays the five-cell line from its start corner along the edge clockwise: the
// position stays symmetric under a quarter turn, so the scores can be set up exactly.
TEST(Game, OutcomeSharesTheWinBetweenTiedLeaders) {
    Game g(20);
    const std::array<std::vector<Tile>, 4> lines = {
        std::vector<Tile>{0, 1, 2, 3, 4}, std::vector<Tile>{19, 39, 59, 79, 99},
        std::vector<Tile>{399, 398, 397, 396, 395}, std::vector<Tile>{380, 360, 340, 320, 300}};
    const float third = 1.0f / 3.0f;
    const std::array<std::array<float, 4>, 4> expected = {{{1.0f, 0.0f, 0.0f, 0.0f},
                                                           {0.5f, 0.5f, 0.0f, 0.0f},
                                                           {third, third, third, 0.0f},
                                                           {0.25f, 0.25f, 0.25f, 0.25f}}};
    EXPECT_EQ(g.outcome(), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.25f}));
    for (Player p = 0; p < 4; ++p) {
        ASSERT_EQ(g.current_player(), p);
        play(g, lines[p]);
        EXPECT_EQ(g.outcome(), expected[p]) << "after player " << p;
    }
    EXPECT_EQ(g.board().scores(g.last_size()), (std::array<std::int32_t, 4>{-84, -84, -84, -84}));
    // A tile laid mid-turn counts at once: player 0 leads alone, the others stay tied.
    ASSERT_EQ(g.current_player(), 0u);
    ASSERT_TRUE(std::binary_search(g.valid_tiles().begin(), g.valid_tiles().end(), Tile{25}));
    play(g, {25});
    EXPECT_EQ(g.outcome(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
}

// Positions from random games where players 1 and 2 share the best score and players 0 and 3
// trail with different scores (like -10, -3, -3, -40), and where player 0 leads alone ahead of
// three equal scores (like 20, 15, 15, 15).
TEST(Game, OutcomeOfTiesFoundInPlay) {
    bool shared = false, alone = false;
    for (std::uint32_t seed = 1; seed <= 400 && !(shared && alone); ++seed) {
        std::mt19937 rng(seed);
        Game g(5 + seed % 4);
        while (!g.is_over()) {
            ASSERT_LT(g.history().size(), g.dim() * g.dim()) << "the game does not end";
            ASSERT_EQ(g.apply_move(random_tile(g, rng)), std::nullopt);
            const auto s = g.board().scores(g.last_size());
            if (s[1] == s[2] && s[1] > s[0] && s[0] > s[3]) {
                shared = true;
                EXPECT_EQ(g.outcome(), (std::array<float, 4>{0.0f, 0.5f, 0.5f, 0.0f}));
            }
            if (s[0] > s[1] && s[1] == s[2] && s[2] == s[3]) {
                alone = true;
                EXPECT_EQ(g.outcome(), (std::array<float, 4>{1.0f, 0.0f, 0.0f, 0.0f}));
            }
        }
    }
    EXPECT_TRUE(shared);
    EXPECT_TRUE(alone);
}

TEST(Game, CopiesAreIndependent) {
    Game original(20);
    play(original, {0, 1});
    const Game snapshot = original;
    Game copy = original;
    play(copy, {2, 3, 4});
    play(copy, {19});
    EXPECT_EQ(copy.current_player(), 1u);
    expect_same(original, snapshot);
    EXPECT_EQ(original.board().cell(2), 0x10);
    EXPECT_EQ(original.board().hand(0).size(), 21u);

    // And the other way round: playing on the original leaves a copy alone.
    const Game copy_before = copy;
    play(original, {20, 40, 60});
    expect_same(copy, copy_before);
}

// Copies taken at every step of a game, mid-turn included, replay the rest of the game exactly
// as the original did.
TEST(Game, CopiesContinueLikeTheOriginal) {
    for (std::uint32_t dim : {6u, 9u}) {
        Game g(dim);
        std::mt19937 rng(7 * dim);
        std::vector<Game> copies;
        std::vector<std::size_t> taken_at;
        std::vector<Tile> tiles;
        while (!g.is_over()) {
            ASSERT_LT(g.history().size(), g.dim() * g.dim()) << "the game does not end";
            if (tiles.size() % 3 == 1) {
                copies.push_back(g);
                taken_at.push_back(tiles.size());
            }
            tiles.push_back(random_tile(g, rng));
            ASSERT_EQ(g.apply_move(tiles.back()), std::nullopt);
        }
        for (std::size_t i = 0; i < copies.size(); ++i) {
            for (std::size_t k = taken_at[i]; k < tiles.size(); ++k) {
                ASSERT_EQ(copies[i].apply_move(tiles[k]), std::nullopt);
            }
            expect_same(copies[i], g);
        }
    }
}

}  // namespace
}  // namespace tralix
