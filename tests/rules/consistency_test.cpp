// The consistency checks find faults: positions from play pass them, and the same positions with
// one piece of kept state broken (a cell bit, a corner bit, a hand, a candidate, a valid tile,
// a last size, a retirement flag, a move, the player to move) are reported, naming what
// disagrees. Checking builds stop at the first turn start of a broken game.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/fatal_error.h"
#include "game/game.h"
#include "game/reference.h"
#include "game_helpers.h"
#include "test_access.h"

namespace tralix {
namespace {

using testing::play;
using testing::sorted_valid;

// The check found a fault and its description contains part.
void expect_reported(const std::optional<std::string>& mismatch, std::string_view part,
                     const std::string& what) {
    ASSERT_TRUE(mismatch.has_value()) << what << " not reported";
    EXPECT_NE(mismatch->find(part), std::string::npos)
        << what << " reported as \"" << *mismatch << "\", without \"" << part << "\"";
}

// Positions of one random game: the new game, a copy after every tile (turn starts and
// mid-turn alike) and the finished game. Each passes the check.
std::vector<Game> positions(std::uint32_t dim, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Game g(dim);
    std::vector<Game> out{g};
    while (!g.is_over()) {
        const std::vector<Tile> v = sorted_valid(g);
        EXPECT_EQ(g.apply_move(v[rng() % v.size()]), std::nullopt);
        out.push_back(g);
    }
    for (const Game& position : out) {
        EXPECT_EQ(position.check_consistency(), std::nullopt)
            << "after " << position.history().size() << " tiles";
    }
    return out;
}

// Every fourth position of a few games on small sides.
std::vector<Game> sample_positions() {
    std::vector<Game> out;
    for (std::uint32_t dim : {5u, 7u}) {
        const std::vector<Game> all = positions(dim, 3 * dim);
        for (std::size_t i = 0; i < all.size(); i += 4) out.push_back(all[i]);
        out.push_back(all.back());
    }
    return out;
}

TEST(Consistency, EveryForbiddenBitFlipIsReported) {
    for (const Game& position : sample_positions()) {
        const Board& board = position.board();
        for (Tile t = 0; t < board.tile_count(); ++t) {
            for (Player p = 0; p < 4; ++p) {
                Board broken = board;
                TestAccess::cells(broken)[t] ^= forbidden_bit(p);
                const std::string what = "forbidden bit of player " + std::to_string(p) +
                                         " flipped on tile " + std::to_string(t);
                expect_reported(broken.check_consistency(), "tile " + std::to_string(t) + ": cell",
                                what);
                Game game = position;
                TestAccess::cells(TestAccess::board(game))[t] ^= forbidden_bit(p);
                expect_reported(game.check_consistency(), "board: tile", what);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

TEST(Consistency, EveryCornerBitFlipIsReported) {
    for (const Game& position : sample_positions()) {
        const Board& board = position.board();
        const std::size_t words = (board.tile_count() + 63) / 64;
        for (Player p = 0; p < 4; ++p) {
            // Bits past the last tile (side 5: 25 to 63, side 7: 49 to 63) count too.
            for (std::size_t bit = 0; bit < 64 * words; ++bit) {
                Board broken = board;
                TestAccess::corners(broken)[p * words + bit / 64] ^= 1ull << (bit % 64);
                expect_reported(broken.check_consistency(),
                                "corner set of player " + std::to_string(p) + ": tile " +
                                    std::to_string(bit) + " ",
                                "corner bit " + std::to_string(bit) + " of player " +
                                    std::to_string(p) + " flipped");
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// Changing the owner bits of a cell may leave the board consistent with itself (one player's
// tile becomes another's, every forbidden bit already set); the moves played tell.
TEST(Consistency, EveryOwnerChangeIsReportedByTheGame) {
    for (const Game& position : sample_positions()) {
        for (Tile t = 0; t < position.board().tile_count(); ++t) {
            for (int bit = 1; bit <= 8; bit <<= 1) {
                Game game = position;
                TestAccess::cells(TestAccess::board(game))[t] ^= static_cast<std::uint8_t>(bit);
                const std::optional<std::string> mismatch = game.check_consistency();
                ASSERT_TRUE(mismatch.has_value())
                    << "owner bit " << bit << " flipped on tile " << t;
            }
        }
    }
}

TEST(Consistency, HandsAgreeWithTheTilesLaid) {
    Game g(20);
    play(g, {0, 1, 2, 3, 4});  // player 0 completes the five-cell line (piece 9)
    play(g, {19});             // player 1 mid-turn
    ASSERT_EQ(g.check_consistency(), std::nullopt);

    // Out of catalogue order.
    Game swapped = g;
    std::swap(TestAccess::hand_ids(TestAccess::board(swapped), 2)[3],
              TestAccess::hand_ids(TestAccess::board(swapped), 2)[4]);
    expect_reported(swapped.check_consistency(), "board: hand of player 2", "swapped hand");

    // A piece gone from a hand without its tiles on the board.
    Game lost = g;
    Board& lost_board = TestAccess::board(lost);
    lost_board.remove_piece(3, 0);
    TestAccess::last_size(lost)[3] = 1;
    expect_reported(lost.check_consistency(), "player 3: 0 tiles for the 1 cells",
                    "piece removed without tiles");

    // The completed piece back in the hand: its tiles are left over.
    Game back = g;
    std::array<PieceId, piece_count>& ids = TestAccess::hand_ids(TestAccess::board(back), 0);
    for (PieceId id = 0; id < piece_count; ++id) ids[id] = id;
    TestAccess::hand_count(TestAccess::board(back), 0) = piece_count;
    TestAccess::last_size(back)[0] = 0;
    expect_reported(back.check_consistency(), "player 0: 5 tiles beyond the pieces played",
                    "completed piece back in hand");

    // The other five-cell line gone from the hand instead, and the last size still 5: the
    // cells add up, the shapes do not.
    Game other_piece = g;
    std::array<PieceId, piece_count>& other_ids =
        TestAccess::hand_ids(TestAccess::board(other_piece), 0);
    for (PieceId id = 0; id < 20; ++id) other_ids[id] = id < 10 ? id : id + 1;  // 10 gone, not 9
    expect_reported(other_piece.check_consistency(),
                    "player 0: the tiles joined to tile 0 form I5, still in hand",
                    "another piece of the same size removed");

    // Mid-turn, the player to move holds tiles beyond its pieces; a whole piece's worth is
    // too many.
    Game whole = g;
    play(whole, {39, 59, 79});
    ASSERT_EQ(whole.current_player(), 1u);
    ASSERT_EQ(whole.check_consistency(), std::nullopt);
    TestAccess::board(whole).place_tile(99, 1);
    TestAccess::history(whole).push_back({1, 99});
    expect_reported(whole.check_consistency(), "player 1: 5 tiles beyond", "five tiles in a turn");
}

// Each edge-connected group of a player's tiles must be one piece gone from its hand.
TEST(Consistency, TheTilesFormThePiecesPlayed) {
    // Player 0: six tiles in a row for the five-cell line and the one-cell piece (six cells).
    Game six(20);
    for (Tile t = 0; t < 6; ++t) {
        TestAccess::board(six).place_tile(t, 0);
        TestAccess::history(six).push_back({0, t});
    }
    TestAccess::board(six).remove_piece(0, 9);
    TestAccess::board(six).remove_piece(0, 0);
    TestAccess::last_size(six)[0] = 1;
    expect_reported(six.check_consistency(), "player 0: the 6 tiles joined to tile 0 form no piece",
                    "six tiles in one group");

    // Player 0: three lone tiles for the one-cell and the two-cell pieces (three cells).
    Game lone(20);
    for (Tile t : {0u, 2u, 4u}) {
        TestAccess::board(lone).place_tile(t, 0);
        TestAccess::history(lone).push_back({0, t});
    }
    TestAccess::board(lone).remove_piece(0, 1);
    TestAccess::board(lone).remove_piece(0, 0);
    TestAccess::last_size(lone)[0] = 1;
    expect_reported(lone.check_consistency(), "player 0: I1 on the board twice", "lone tiles");

    // The last piece is the one holding the player's last move: the size of any other piece
    // the player has played is reported, in every position of a random game.
    std::size_t tried = 0;
    for (const Game& position : positions(7, 5)) {
        for (Player p = 0; p < 4; ++p) {
            std::array<bool, piece_count> held{};
            for (PieceId id : position.board().hand(p).ids()) held[id] = true;
            for (PieceId id = 0; id < piece_count; ++id) {
                const std::uint32_t size = position.board().catalogue().piece(id).size;
                if (held[id] || size == position.last_size()[p]) continue;
                Game broken = position;
                TestAccess::last_size(broken)[p] = size;
                expect_reported(broken.check_consistency(),
                                "player " + std::to_string(p) + ": last piece size " +
                                    std::to_string(size) + " kept, " +
                                    std::to_string(position.last_size()[p]) + " recomputed",
                                "size of an earlier piece kept");
                ++tried;
            }
        }
    }
    EXPECT_GT(tried, 50u);
}

TEST(Consistency, EveryMissingOrExtraCandidateIsReported) {
    for (const Game& position : sample_positions()) {
        if (position.is_over()) continue;
        Game copy = position;
        const std::vector<PlacementCode> codes = TestAccess::candidates(copy);
        for (std::size_t i = 0; i < codes.size(); ++i) {
            Game dropped = position;
            std::vector<PlacementCode>& c = TestAccess::candidates(dropped);
            c.erase(c.begin() + static_cast<std::ptrdiff_t>(i));
            expect_reported(dropped.check_consistency(), "recomputed but not kept",
                            "candidate " + std::to_string(i) + " dropped");

            Game doubled = position;
            TestAccess::candidates(doubled).push_back(codes[i]);
            expect_reported(doubled.check_consistency(), "kept twice",
                            "candidate " + std::to_string(i) + " doubled");
            if (::testing::Test::HasFailure()) return;
        }
        // A placement of a piece in hand that is not legal here: the first shape of the first
        // piece in hand at the first anchor not among the candidates.
        Game extra = position;
        const Board& b = position.board();
        const Catalogue& catalogue = b.catalogue();
        std::uint32_t shape = 0;
        while (catalogue.shape(shape).piece != b.hand(position.current_player())[0]) ++shape;
        Tile anchor = 0;
        while (std::find(codes.begin(), codes.end(), placement_code(shape, anchor)) !=
               codes.end()) {
            ++anchor;
        }
        TestAccess::candidates(extra).push_back(placement_code(shape, anchor));
        expect_reported(extra.check_consistency(), "kept but not recomputed", "extra candidate");

        Game nonsense = position;
        TestAccess::candidates(nonsense).push_back(placement_code(catalogue.shape_count(), 0));
        expect_reported(nonsense.check_consistency(), "names no shape", "unknown shape");
    }
}

TEST(Consistency, EveryMissingOrExtraValidTileIsReported) {
    for (const Game& position : sample_positions()) {
        const std::vector<Tile> valid = position.valid_tiles();
        for (std::size_t i = 0; i < valid.size(); ++i) {
            Game dropped = position;
            std::vector<Tile>& v = TestAccess::valid_tiles(dropped);
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
            expect_reported(dropped.check_consistency(),
                            "tile " + std::to_string(valid[i]) + " recomputed but not kept",
                            "valid tile dropped");
        }
        // Every other free tile, added in order.
        for (Tile t = 0; t < position.board().tile_count(); ++t) {
            if ((position.board().cell(t) & owner_mask) != 0 ||
                std::binary_search(valid.begin(), valid.end(), t)) {
                continue;
            }
            Game added = position;
            std::vector<Tile>& v = TestAccess::valid_tiles(added);
            v.insert(std::upper_bound(v.begin(), v.end(), t), t);
            expect_reported(added.check_consistency(),
                            "tile " + std::to_string(t) + " kept but not recomputed",
                            "valid tile added");
        }
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(Consistency, TurnBookkeepingIsChecked) {
    Game g(20);
    play(g, {0, 1, 2, 3, 4});  // player 0: the five-cell line
    play(g, {19, 39});         // player 1 mid-turn
    ASSERT_EQ(g.check_consistency(), std::nullopt);

    Game size = g;
    TestAccess::last_size(size)[0] = 4;  // player 0's only piece has 5 cells
    expect_reported(size.check_consistency(), "player 0: last piece size 4", "wrong last size");
    Game unplayed = g;
    TestAccess::last_size(unplayed)[2] = 1;  // player 2 has played nothing
    expect_reported(unplayed.check_consistency(), "player 2: last piece size 1",
                    "last size without a piece");

    Game mover = g;
    TestAccess::finished(mover)[1] = true;
    expect_reported(mover.check_consistency(), "player to move 1 is retired", "mover retired");
    Game early = g;
    TestAccess::finished(early)[3] = true;
    expect_reported(early.check_consistency(), "retired player 3 has", "retired with moves");

    Game other = g;
    TestAccess::current_player(other) = 2;
    expect_reported(other.check_consistency(), "tiles beyond the pieces played",
                    "another player to move");
    Game far = g;
    TestAccess::current_player(far) = 4;
    expect_reported(far.check_consistency(), "no player", "player to move out of range");

    // Side 5: player 0's five-cell line leaves player 1 nothing, so the turn passes to player 2.
    Game small(5);
    play(small, {0, 1, 2, 3, 4});
    ASSERT_EQ(small.current_player(), 2u);
    ASSERT_EQ(small.check_consistency(), std::nullopt);
    Game skipped = small;
    TestAccess::finished(skipped)[1] = false;
    expect_reported(skipped.check_consistency(), "player 1 passed over without retiring",
                    "skipped player not retired");
}

TEST(Consistency, TheMovesMustMatchTheOwners) {
    Game g(20);
    play(g, {0, 1, 2, 3, 4, 19, 39});
    ASSERT_EQ(g.check_consistency(), std::nullopt);

    Game moved = g;
    TestAccess::history(moved)[6].tile = 59;
    expect_reported(moved.check_consistency(), "tile 39: owner 2 on the board, 0 from the moves",
                    "move elsewhere");
    Game player = g;
    TestAccess::history(player)[6].player = 0;
    expect_reported(player.check_consistency(), "tile 39: owner 2 on the board, 1 from the moves",
                    "move by another player");
    Game forgotten = g;
    TestAccess::history(forgotten).pop_back();
    expect_reported(forgotten.check_consistency(), "tile 39", "move forgotten");
    Game twice = g;
    TestAccess::history(twice).push_back({1, 39});
    expect_reported(twice.check_consistency(), "move 7: tile 39 laid a second time",
                    "move repeated");
    Game off = g;
    TestAccess::history(off).push_back({1, 400});
    expect_reported(off.check_consistency(), "move 7: player 1, tile 400 is off the game",
                    "move off the board");
}

// Rebuilding the moves mid-turn forgets the tiles laid this turn (documented as such): the
// candidates then no longer narrow to those covering them.
TEST(Consistency, RebuildingMovesMidTurnIsReported) {
    Game g(20);
    play(g, {0, 1});
    g.find_valid_moves();
    expect_reported(g.check_consistency(), "candidate placements of player 0",
                    "moves rebuilt mid-turn");
    Game start(20);
    start.find_valid_moves();  // at a turn start nothing changes
    EXPECT_EQ(start.check_consistency(), std::nullopt);
}

// Sanitizer builds check at every turn start and stop; other builds leave the check to callers.
TEST(Consistency, CompletingAPieceInABrokenGame) {
    Game g(20);
    play(g, {0, 1, 2});
    TestAccess::last_size(g)[3] = 2;           // player 3 has played nothing
    ASSERT_EQ(g.apply_move(3), std::nullopt);  // mid-turn: not checked
#ifdef TRALIX_CHECK_CONSISTENCY
    try {
        (void)g.apply_move(4);  // completes the five-cell line
        ADD_FAILURE() << "no fatal stop";
    } catch (const FatalError& e) {
        EXPECT_EQ(e.message(),
                  "inconsistent game at the turn start after 5 moves: player 3: last piece size "
                  "2 kept, 0 recomputed from the moves");
    }
#else
    EXPECT_EQ(g.apply_move(4), std::nullopt);
    EXPECT_EQ(g.current_player(), 1u);
    expect_reported(g.check_consistency(), "player 3: last piece size 2", "broken game");
#endif
}

}  // namespace
}  // namespace tralix
