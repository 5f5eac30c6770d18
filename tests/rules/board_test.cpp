// The board: a new board's state, start corners, the placement test, laying tiles with their
// forbidden bits and corner sets, hands, scores, the printout and the fatal stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/fatal_error.h"
#include "pieces/piece.h"

namespace tralix {
namespace {

// Forbidden bits, corner sets and hands agree with a recomputation from the owners, and the
// two ways of reading a corner set agree with each other.
void expect_consistent(const Board& b) {
    EXPECT_EQ(b.check_consistency(), std::nullopt);
    for (Player p = 0; p < 4; ++p) {
        const std::vector<Tile> corners = b.corner_tiles(p);
        for (Tile t = 0; t < b.tile_count(); ++t) {
            EXPECT_EQ(b.in_corners(p, t), std::binary_search(corners.begin(), corners.end(), t))
                << "player " << p << ", tile " << t;
        }
    }
}

const Orientation& orientation(const Board& b, PieceId id, std::size_t j) {
    return b.catalogue().piece(id).orientations[j];
}

std::vector<Tile> covered(const Orientation& o, Tile anchor) {
    std::vector<Tile> tiles;
    for (std::uint32_t off : o.offsets) tiles.push_back(anchor + off);
    return tiles;
}

void lay(Board& b, const std::vector<Tile>& tiles, Player p) {
    for (Tile t : tiles) b.place_tile(t, p);
}

TEST(Board, NewBoardOfSide20) {
    const Board b(20);
    EXPECT_EQ(b.dim(), 20u);
    EXPECT_EQ(b.tile_count(), 400u);
    ASSERT_EQ(b.cells().size(), 400u);
    EXPECT_TRUE(
        std::all_of(b.cells().begin(), b.cells().end(), [](std::uint8_t c) { return c == 0; }));
    EXPECT_EQ(b.corner_tiles(0), std::vector<Tile>{0});
    EXPECT_EQ(b.corner_tiles(1), std::vector<Tile>{19});
    EXPECT_EQ(b.corner_tiles(2), std::vector<Tile>{399});
    EXPECT_EQ(b.corner_tiles(3), std::vector<Tile>{380});
    EXPECT_EQ(b.diagonals(), (std::array<std::int32_t, 4>{21, -21, -19, 19}));
    for (Player p = 0; p < 4; ++p) {
        ASSERT_EQ(b.hand(p).size(), 21u);
        EXPECT_FALSE(b.hand(p).empty());
        for (std::uint32_t i = 0; i < 21; ++i) {
            EXPECT_EQ(b.hand(p)[i], i);
            EXPECT_EQ(b.piece_in_hand(p, i).id, i);
        }
    }
    expect_consistent(b);
}

TEST(Board, StartCorners) {
    for (std::uint32_t dim : {4u, 7u, 20u, 256u}) {
        const Board b(dim);
        EXPECT_EQ(b.start_corner(0), 0u);
        EXPECT_EQ(b.start_corner(1), dim - 1);
        EXPECT_EQ(b.start_corner(2), dim * dim - 1);
        EXPECT_EQ(b.start_corner(3), dim * (dim - 1));
        const auto d = static_cast<std::int32_t>(dim);
        EXPECT_EQ(b.diagonals(), (std::array<std::int32_t, 4>{d + 1, -(d + 1), 1 - d, d - 1}));
        for (Player p = 0; p < 4; ++p) {
            EXPECT_EQ(b.corner_tiles(p), std::vector<Tile>{b.start_corner(p)});
        }
    }
    const Board b(20);
    for (Player p : {4u, 5u, 0xFFFFFFFFu}) {
        try {
            (void)b.start_corner(p);
            ADD_FAILURE() << "player " << p << " accepted";
        } catch (const FatalError& e) {
            EXPECT_EQ(e.message(), "Invalid player number");
        }
    }
}

TEST(Board, UnsupportedSidesAreFatalStops) {
    EXPECT_THROW(Board(3), FatalError);
    EXPECT_THROW(Board(0), FatalError);
    EXPECT_THROW(Board(257), FatalError);
}

TEST(Board, FirstMoveOfTheOneCellPieceOnlyOnTheStartCorner) {
    for (std::uint32_t dim : {4u, 7u, 20u}) {
        const Board b(dim);
        const Orientation& single = orientation(b, 0, 0);
        for (Player p = 0; p < 4; ++p) {
            std::vector<Tile> anchors;
            for (Tile a = 0; a < b.tile_count() + 3 * dim; ++a) {
                if (b.can_place(p, single, a)) anchors.push_back(a);
            }
            EXPECT_EQ(anchors, std::vector<Tile>{b.start_corner(p)})
                << "side " << dim << " player " << p;
            EXPECT_FALSE(b.can_place(p, single, 0xFFFFFFFFu));
        }
    }
}

// Player 1's start corner is the last tile of row 0 and player 2's the last tile of the board:
// every anchor below covers it, so only the width and length tests can refuse.
TEST(Board, FiveCellLineMustStayOnTheBoard) {
    const Board b(20);
    const Orientation& lying = orientation(b, 9, 0);
    const Orientation& standing = orientation(b, 9, 1);
    EXPECT_TRUE(b.can_place(1, lying, 15));
    for (Tile a : {16u, 17u, 18u, 19u}) EXPECT_FALSE(b.can_place(1, lying, a)) << a;
    EXPECT_TRUE(b.can_place(2, lying, 395));
    for (Tile a : {396u, 397u, 398u, 399u}) EXPECT_FALSE(b.can_place(2, lying, a)) << a;
    EXPECT_TRUE(b.can_place(2, standing, 319));
    for (Tile a : {339u, 359u, 379u, 399u}) EXPECT_FALSE(b.can_place(2, standing, a)) << a;
    EXPECT_TRUE(b.can_place(3, standing, 300));
    for (Tile a : {320u, 340u, 360u, 380u}) EXPECT_FALSE(b.can_place(3, standing, a)) << a;
    EXPECT_TRUE(b.can_place(3, lying, 380));

    // Away from the start corners: with player 0 on tile 21, the lying line at anchor 36 would
    // run from row 1 (columns 16 to 19) into tile 40, a corner tile of player 0, all of them
    // free and allowed for player 0. Only the width test can refuse it.
    Board c(20);
    c.place_tile(21, 0);
    ASSERT_TRUE(c.in_corners(0, 40));
    for (Tile t = 36; t <= 40; ++t) ASSERT_EQ(c.cell(t) & forbidden_bit(0), 0) << t;
    EXPECT_FALSE(c.can_place(0, lying, 36));
    EXPECT_TRUE(c.can_place(0, standing, 40));
}

TEST(Board, LayingTheFirstTile) {
    Board b(20);
    b.place_tile(0, 0);
    EXPECT_EQ(b.cell(0), 0xF1);
    EXPECT_EQ(b.cell(1), 0x10);
    EXPECT_EQ(b.cell(20), 0x10);
    EXPECT_EQ(b.cell(21), 0x00);
    EXPECT_EQ(b.corner_tiles(0), std::vector<Tile>{21});
    for (Player p = 0; p < 4; ++p) EXPECT_FALSE(b.in_corners(p, 0));
    EXPECT_EQ(b.corner_tiles(1), std::vector<Tile>{19});
    EXPECT_EQ(b.corner_tiles(2), std::vector<Tile>{399});
    EXPECT_EQ(b.corner_tiles(3), std::vector<Tile>{380});
    expect_consistent(b);

    // The owner is stored as player + 1 with all four forbidden bits.
    b.place_tile(19, 1);
    b.place_tile(399, 2);
    b.place_tile(380, 3);
    EXPECT_EQ(b.cell(19), 0xF2);
    EXPECT_EQ(b.cell(399), 0xF3);
    EXPECT_EQ(b.cell(380), 0xF4);
    EXPECT_EQ(b.cell(18), 0x20);
    EXPECT_EQ(b.cell(379), 0x40);
    EXPECT_EQ(b.cell(381), 0x80);
    expect_consistent(b);
}

TEST(Board, EdgeContactWithOwnTilesIsRefusedEvenWithACornerContact) {
    Board b(20);
    b.place_tile(0, 0);
    const Orientation& domino_lying = orientation(b, 1, 0);
    const Orientation& domino_standing = orientation(b, 1, 1);
    const Orientation& square = orientation(b, 7, 0);
    EXPECT_TRUE(b.can_place(0, domino_lying, 21));
    EXPECT_TRUE(b.can_place(0, domino_standing, 21));
    EXPECT_TRUE(b.can_place(0, square, 21));
    EXPECT_FALSE(b.can_place(0, domino_standing, 1));  // covers 21 and 1, beside tile 0
    EXPECT_FALSE(b.can_place(0, domino_lying, 20));    // covers 20, beside tile 0, and 21
    EXPECT_FALSE(b.can_place(0, square, 1));
    EXPECT_FALSE(b.can_place(0, square, 0));  // overlaps
    // Without any corner contact nothing is accepted even on free tiles.
    EXPECT_FALSE(b.can_place(0, domino_lying, 44));
}

TEST(Board, EdgeContactWithOtherPlayersIsAllowed) {
    Board b(20);
    b.place_tile(0, 0);
    b.place_tile(1, 1);  // beside player 0's tile: allowed for another player
    b.place_tile(2, 1);
    b.place_tile(40, 3);
    EXPECT_EQ(b.cell(21), 0x20);
    EXPECT_EQ(b.cell(22), 0x20);
    EXPECT_EQ(b.cell(41), 0x80);
    EXPECT_EQ(b.cell(20), 0x10 | 0x80);
    // The square over 21, 22, 41, 42 touches players 1 and 3 along edges and player 0 only at
    // the corner: legal for player 0, not for player 1 (edge contact with its own tiles).
    const Orientation& square = orientation(b, 7, 0);
    EXPECT_TRUE(b.can_place(0, square, 21));
    EXPECT_FALSE(b.can_place(1, square, 21));
    EXPECT_EQ(b.corner_tiles(1), (std::vector<Tile>{19, 20, 23}));
    expect_consistent(b);
}

TEST(Board, DiagonalsNeverWrapAroundTheEdges) {
    Board b(20);
    b.place_tile(19, 1);  // row 0, last column: 40 (down-right) and 0 (up-right) would wrap
    EXPECT_EQ(b.corner_tiles(1), std::vector<Tile>{38});
    b.place_tile(380, 3);  // row 19, column 0: 399 and 359 would wrap
    EXPECT_EQ(b.corner_tiles(3), std::vector<Tile>{361});
    b.place_tile(40, 0);  // row 2, column 0: 19 and 59 would wrap; the start corner stays
    EXPECT_EQ(b.corner_tiles(0), (std::vector<Tile>{0, 21, 61}));
    b.place_tile(339, 2);  // row 16, last column: 360 and 320 would wrap
    EXPECT_EQ(b.corner_tiles(2), (std::vector<Tile>{318, 358, 399}));
    expect_consistent(b);

    Board small(4);
    small.place_tile(3, 1);
    EXPECT_EQ(small.corner_tiles(1), std::vector<Tile>{6});
    small.place_tile(12, 3);
    EXPECT_EQ(small.corner_tiles(3), std::vector<Tile>{9});
    expect_consistent(small);
}

// A few tiles already on the board, so that the piece touches other players and its own.
Board crowded_board() {
    Board b(10);
    lay(b, {0, 1, 10}, 0);
    lay(b, {9, 19, 18, 28}, 1);
    lay(b, {13, 14}, 2);
    lay(b, {90, 80, 81}, 3);
    return b;
}

TEST(Board, TileOrderWithinAPieceDoesNotMatter) {
    const Board start = crowded_board();
    expect_consistent(start);
    for (PieceId id = 1; id < piece_count; ++id) {
        const std::size_t last = start.catalogue().piece(id).orientations.size() - 1;
        const Orientation& o = orientation(start, id, last);
        Tile anchor = 0;
        while (anchor < start.tile_count() && !start.can_place(0, o, anchor)) ++anchor;
        ASSERT_LT(anchor, start.tile_count()) << "no room for piece " << int(id);
        std::vector<Tile> tiles = covered(o, anchor);
        Board first = start;
        lay(first, tiles, 0);
        expect_consistent(first);
        while (std::next_permutation(tiles.begin(), tiles.end())) {
            Board other = start;
            lay(other, tiles, 0);
            ASSERT_TRUE(
                std::equal(first.cells().begin(), first.cells().end(), other.cells().begin()))
                << "piece " << int(id);
            for (Player p = 0; p < 4; ++p) ASSERT_EQ(first.corner_tiles(p), other.corner_tiles(p));
        }
    }
}

TEST(Board, RemovingPiecesFromAHand) {
    Board b(20);
    b.remove_piece(0, 5);
    ASSERT_EQ(b.hand(0).size(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i) EXPECT_EQ(b.hand(0)[i], i < 5 ? i : i + 1);
    b.remove_piece(0, 19);
    b.remove_piece(0, 0);
    ASSERT_EQ(b.hand(0).size(), 18u);
    EXPECT_EQ(b.hand(0)[0], 1u);
    EXPECT_EQ(b.hand(0)[17], 19u);
    EXPECT_EQ(b.piece_in_hand(0, 4).id, 6u);
    for (Player p = 1; p < 4; ++p) EXPECT_EQ(b.hand(p).size(), 21u);
    for (int i = 0; i < 18; ++i) b.remove_piece(0, 0);
    EXPECT_TRUE(b.hand(0).empty());
}

TEST(Board, Scores) {
    const std::array<std::uint32_t, 4> none{};
    Board b(20);
    EXPECT_EQ(b.scores(none), (std::array<std::int32_t, 4>{-89, -89, -89, -89}));

    for (Tile t = 0; t < 60; ++t) b.place_tile(t, 0);
    b.remove_piece(0, 3);
    EXPECT_EQ(b.scores({5, 0, 0, 0}), (std::array<std::int32_t, 4>{-29, -89, -89, -89}));

    // Player 1 and player 2 play all 21 pieces (89 tiles each).
    for (Tile t = 100; t < 189; ++t) b.place_tile(t, 1);
    for (Tile t = 200; t < 289; ++t) b.place_tile(t, 2);
    b.place_tile(300, 3);
    for (int i = 0; i < 21; ++i) {
        b.remove_piece(1, 0);
        b.remove_piece(2, 0);
    }
    EXPECT_EQ(b.scores({5, 5, 1, 1}), (std::array<std::int32_t, 4>{-29, 15, 20, -88}));
    EXPECT_EQ(b.scores({5, 1, 2, 1}), (std::array<std::int32_t, 4>{-29, 20, 15, -88}));
    // One piece left in hand is no bonus, whatever the last piece was.
    for (int i = 0; i < 20; ++i) b.remove_piece(3, 0);
    EXPECT_EQ(b.scores({5, 5, 1, 1}), (std::array<std::int32_t, 4>{-29, 15, 20, -88}));
    // The bonus counts the tiles on the board, not a fixed 15 or 20.
    b.place_tile(189, 1);
    EXPECT_EQ(b.scores({1, 1, 4, 0}), (std::array<std::int32_t, 4>{-29, 21, 15, -88}));
}

std::string repeat(const std::string& s, std::uint32_t n) {
    std::string out;
    for (std::uint32_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::string free_glyph = "\xE2\xAC\x9C";  // U+2B1C
const std::string red = "\xF0\x9F\x9F\xA5";     // U+1F7E5, player 0
const std::string blue = "\xF0\x9F\x9F\xA6";    // U+1F7E6, player 1
const std::string yellow = "\xF0\x9F\x9F\xA8";  // U+1F7E8, player 2
const std::string green = "\xF0\x9F\x9F\xA9";   // U+1F7E9, player 3

TEST(Board, TextOfAnEmptyBoard) {
    const Board b(4);
    const std::string row = repeat(free_glyph, 4) + "\n";
    EXPECT_EQ(b.text(), repeat(row, 4));
    EXPECT_EQ(b.text().size(), 4u * (4 * 3 + 1));

    testing::internal::CaptureStdout();
    b.print_board();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), repeat(row, 4) + "\n");
}

TEST(Board, TextShowsOwnersButNotForbiddenBits) {
    Board b(5);
    b.place_tile(0, 0);
    b.place_tile(4, 1);
    b.place_tile(24, 2);
    b.place_tile(20, 3);
    b.place_tile(12, 1);
    // clang-format off
    const std::string expected = red + repeat(free_glyph, 3) + blue + "\n" +
                                 repeat(free_glyph, 5) + "\n" +
                                 repeat(free_glyph, 2) + blue + repeat(free_glyph, 2) + "\n" +
                                 repeat(free_glyph, 5) + "\n" +
                                 green + repeat(free_glyph, 3) + yellow + "\n";
    // clang-format on
    EXPECT_EQ(b.text(), expected);
    testing::internal::CaptureStdout();
    b.print_board();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + "\n");
}

TEST(Board, OutOfRangeArgumentsAreFatalStops) {
    Board b(20);
    const Board before = b;
    EXPECT_THROW(b.place_tile(400, 0), FatalError);
    EXPECT_THROW(b.place_tile(0xFFFFFFFFu, 0), FatalError);
    EXPECT_THROW(b.place_tile(0, 4), FatalError);
    EXPECT_THROW(b.place_tile(0, 0xFFFFFFFFu), FatalError);
    EXPECT_THROW(b.remove_piece(4, 0), FatalError);
    EXPECT_THROW(b.remove_piece(0, 21), FatalError);
    EXPECT_TRUE(std::equal(b.cells().begin(), b.cells().end(), before.cells().begin()));
    EXPECT_EQ(b.hand(0).size(), 21u);
    b.remove_piece(0, 0);
    EXPECT_THROW(b.remove_piece(0, 20), FatalError);
    EXPECT_NO_THROW(b.remove_piece(0, 19));
}

TEST(Board, CopiesAreIndependent) {
    Board original(20);
    original.place_tile(0, 0);
    Board copy = original;
    copy.place_tile(21, 0);
    copy.remove_piece(0, 0);
    copy.remove_piece(2, 20);
    EXPECT_EQ(original.cell(21), 0u);
    EXPECT_EQ(original.corner_tiles(0), std::vector<Tile>{21});
    EXPECT_EQ(original.hand(0).size(), 21u);
    EXPECT_EQ(original.hand(2).size(), 21u);
    EXPECT_EQ(copy.cell(21), 0xF1);
    EXPECT_EQ(copy.corner_tiles(0), (std::vector<Tile>{2, 40, 42}));
}

}  // namespace
}  // namespace tralix
