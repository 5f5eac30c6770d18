// The search's two ways of laying a turn's tiles, against apply_move tile by tile: lay_tiles
// (narrowing once for several tiles) and complete_turn (the next turn taken from a turn start
// recorded earlier). Random games on several sides; every game laid in batches must stay equal
// to the one laid tile by tile, and a turn start recorded once must reproduce the turn passing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "game/game.h"

namespace tralix {
namespace {

// Everything a game shows, compared field by field.
void expect_same_game(const Game& batched, const Game& single, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(batched.history(), single.history());
    EXPECT_EQ(batched.current_player(), single.current_player());
    EXPECT_EQ(batched.finished(), single.finished());
    EXPECT_EQ(batched.last_size(), single.last_size());
    EXPECT_EQ(batched.valid_tiles(), single.valid_tiles());
    EXPECT_EQ(batched.placements(), single.placements());
    const std::span<const std::uint8_t> a = batched.board().cells(), b = single.board().cells();
    EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end()));
    for (Player p = 0; p < player_count; ++p) {
        const std::span<const PieceId> x = batched.board().hand(p).ids();
        const std::span<const PieceId> y = single.board().hand(p).ids();
        EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin(), y.end())) << "hand of " << p;
    }
}

// Plays random games tile by tile; every turn is also laid on a second game in random batches
// with lay_tiles, and on a third by complete_turn from the turn start that lay_tiles recorded
// on the batched game.
void play_batched_games(std::uint32_t dim, std::uint32_t games) {
    std::mt19937 rng(dim);
    for (std::uint32_t g = 0; g < games; ++g) {
        Game single(dim), batched(dim), completed(dim);
        while (!single.is_over()) {
            const Player player = single.current_player();
            const std::uint32_t held = single.board().hand(player).size();
            std::vector<Tile> turn;
            do {  // until the piece leaves the hand
                const std::vector<Tile>& valid = single.valid_tiles();
                turn.push_back(valid[rng() % valid.size()]);
                ASSERT_EQ(single.apply_move(turn.back()), std::nullopt);
            } while (single.board().hand(player).size() == held);
            const std::string where = "side " + std::to_string(dim) + ", game " +
                                      std::to_string(g) + ", move " +
                                      std::to_string(single.history().size());

            // In batches of random lengths: only the last batch completes the piece.
            std::size_t laid = 0;
            TurnStart recorded;
            while (laid < turn.size()) {
                const std::size_t n = 1 + rng() % (turn.size() - laid);
                const bool done = batched.lay_tiles({turn.data() + laid, n}, &recorded);
                laid += n;
                EXPECT_EQ(done, laid == turn.size()) << where;
            }
            expect_same_game(batched, single, where + ", in batches");
            EXPECT_EQ(recorded.player, single.current_player());
            EXPECT_EQ(recorded.finished, single.finished());
            EXPECT_EQ(recorded.valid_tiles, single.valid_tiles());

            completed.complete_turn(turn, recorded);
            expect_same_game(completed, single, where + ", from the recorded turn start");
            if (::testing::Test::HasFailure()) return;
        }
        EXPECT_EQ(batched.check_consistency(), std::nullopt);
        EXPECT_EQ(completed.check_consistency(), std::nullopt);
    }
}

TEST(TurnBatches, LayingAndCompletingMatchTileByTile) {
    for (std::uint32_t dim : {4u, 5u, 7u, 10u, 14u, 20u}) {
        play_batched_games(dim, dim <= 7 ? 20 : 6);
        if (HasFailure()) return;
    }
}

// A tile of the turn in progress leaves the candidates that cover it; two tiles no candidate
// covers together, or a tile already taken, are refused as fatal stops.
TEST(TurnBatches, TilesThatNoCandidateTakesTogetherAreFatal) {
    Game game(20);
    EXPECT_THROW(game.lay_tiles(std::vector<Tile>{0, 399}, nullptr), FatalError);
    Game again(20);
    ASSERT_FALSE(again.lay_tiles(std::vector<Tile>{0}, nullptr));
    EXPECT_THROW(again.lay_tiles(std::vector<Tile>{0}, nullptr), FatalError);
}

}  // namespace
}  // namespace tralix
