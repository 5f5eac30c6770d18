// The piece catalogue: the 21 pieces, their orientation lists in order, the board layout of each
// orientation (offsets, mask, width) and the shared per-side catalogue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "core/fatal_error.h"
#include "pieces/catalogue.h"
#include "pieces/piece.h"

namespace tralix {
namespace {

struct Expected {
    const char* name;
    std::uint32_t size;
    const char* base;
    std::vector<std::string> orientations;
};

// Every piece with its base grid and its distinct orientations in list order, written top row
// first, rows separated by '/', '#' filled and '.' empty.
const std::vector<Expected>& table() {
    // clang-format off
    static const std::vector<Expected> t = {
        {"I1", 1, "#", {"#"}},
        {"I2", 2, "##", {"##", "#/#"}},
        {"V3", 3, "##/.#", {"##/.#", ".#/##", "#./##", "##/#."}},
        {"I3", 3, "###", {"###", "#/#/#"}},
        {"I4", 4, "####", {"####", "#/#/#/#"}},
        {"L4", 4, "##/#./#.",
         {"##/#./#.", "###/..#", ".#/.#/##", "#../###", "##/.#/.#", "..#/###", "#./#./##",
          "###/#.."}},
        {"T4", 4, "###/.#.", {"###/.#.", ".#/##/.#", ".#./###", "#./##/#."}},
        {"O4", 4, "##/##", {"##/##"}},
        {"Z4", 4, "##./.##", {"##./.##", ".#/##/#.", ".##/##.", "#./##/.#"}},
        {"I5", 5, "#####", {"#####", "#/#/#/#/#"}},
        {"L5", 5, "####/#...",
         {"####/#...", "##/.#/.#/.#", "...#/####", "#./#./#./##", "####/...#", ".#/.#/.#/##",
          "#.../####", "##/#./#./#."}},
        {"N5", 5, "###./..##",
         {"###./..##", ".#/.#/##/#.", "##../.###", ".#/##/#./#.", ".###/##..", "#./##/.#/.#",
          "..##/###.", "#./#./##/.#"}},
        {"P5", 5, "###/##.",
         {"###/##.", "##/##/.#", ".##/###", "#./##/##", "###/.##", ".#/##/##", "##./###",
          "##/##/#."}},
        {"V5", 5, "###/#../#..", {"###/#../#..", "###/..#/..#", "..#/..#/###", "#../#../###"}},
        {"W5", 5, "##./.##/..#", {"##./.##/..#", "..#/.##/##.", "#../##./.##", ".##/##./#.."}},
        {"Z5", 5, "##./.#./.##", {"##./.#./.##", "..#/###/#..", ".##/.#./##.", "#../###/..#"}},
        {"U5", 5, "###/#.#", {"###/#.#", "##/.#/##", "#.#/###", "##/#./##"}},
        {"Y5", 5, "####/.#..",
         {"####/.#..", ".#/##/.#/.#", "..#./####", "#./#./##/#.", "####/..#.", ".#/.#/##/.#",
          ".#../####", "#./##/#./#."}},
        {"X5", 5, ".#./###/.#.", {".#./###/.#."}},
        {"F5", 5, ".#./###/#..",
         {".#./###/#..", "##./.##/.#.", "..#/###/.#.", ".#./##./.##", ".#./###/..#", ".#./.##/##.",
          "#../###/.#.", ".##/##./.#."}},
        {"T5", 5, "###/.#./.#.", {"###/.#./.#.", "..#/###/..#", ".#./.#./###", "#../###/#.."}},
    };
    // clang-format on
    return t;
}

std::string to_text(const Grid& grid) {
    std::string s;
    for (std::size_t r = 0; r < grid.size(); ++r) {
        if (r != 0) s += '/';
        for (std::uint8_t b : grid[r]) s += b == 1 ? '#' : b == 0 ? '.' : '?';
    }
    return s;
}

Grid from_text(const std::string& text) {
    Grid g(1);
    for (char c : text) {
        if (c == '/') {
            g.emplace_back();
        } else {
            g.back().push_back(c == '#' ? 1 : 0);
        }
    }
    return g;
}

// Side 4 is the smallest supported side: there rows of four cells leave no padding, yet masks of
// one piece still differ exactly when the grids differ, so the lists are the same as elsewhere.
const std::uint32_t table_sides[] = {4, 5, 6, 7, 20, 256};

TEST(PieceCatalogue, MakePieceReproducesTheOrientationTableOnEverySide) {
    for (std::uint32_t dim : table_sides) {
        for (PieceId id = 0; id < piece_count; ++id) {
            SCOPED_TRACE("side " + std::to_string(dim) + ", piece " + std::to_string(id));
            const Expected& e = table()[id];
            const Piece piece = make_piece(id, dim);
            EXPECT_EQ(piece.id, id);
            EXPECT_EQ(piece_name(id), e.name);
            EXPECT_EQ(to_text(piece.grid), e.base);
            EXPECT_EQ(to_text(base_grid(id)), e.base);
            EXPECT_EQ(piece.size, e.size);
            std::vector<std::string> got;
            for (const Orientation& o : piece.orientations) got.push_back(to_text(o.grid));
            EXPECT_EQ(got, e.orientations);
        }
    }
}

TEST(PieceCatalogue, SharedCatalogueHoldsTheSamePiecesInIdOrder) {
    for (std::uint32_t dim : table_sides) {
        const Catalogue& cat = Catalogue::for_side(dim);
        EXPECT_EQ(cat.dim(), dim);
        ASSERT_EQ(cat.pieces().size(), piece_count);
        for (PieceId id = 0; id < piece_count; ++id) {
            const Piece made = make_piece(id, dim);
            const Piece& shared = cat.piece(id);
            EXPECT_EQ(shared.id, id);
            EXPECT_EQ(&shared, &cat.pieces()[id]);
            ASSERT_EQ(shared.orientations.size(), made.orientations.size());
            for (std::size_t j = 0; j < made.orientations.size(); ++j) {
                EXPECT_EQ(shared.orientations[j].mask, made.orientations[j].mask);
                EXPECT_EQ(shared.orientations[j].offsets, made.orientations[j].offsets);
                EXPECT_EQ(shared.orientations[j].grid, made.orientations[j].grid);
            }
        }
    }
}

TEST(PieceCatalogue, OrientationCountsAndSizes) {
    const std::vector<std::size_t> counts = {1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8,
                                             8, 8, 4, 4, 4, 4, 8, 1, 8, 4};
    std::vector<std::size_t> got;
    std::uint32_t cells = 0;
    for (PieceId id = 0; id < piece_count; ++id) {
        const Piece piece = make_piece(id, 20);
        got.push_back(piece.orientations.size());
        cells += piece.size;
        std::uint32_t filled = 0;
        for (const auto& row : piece.grid) filled += std::accumulate(row.begin(), row.end(), 0u);
        EXPECT_EQ(piece.size, filled) << "piece " << int(id);
    }
    EXPECT_EQ(got, counts);
    EXPECT_EQ(std::accumulate(got.begin(), got.end(), std::size_t{0}), 91u);
    EXPECT_EQ(cells, 89u);
    EXPECT_EQ(total_piece_cells, 89u);
    EXPECT_EQ(Catalogue::for_side(20).shape_count(), 91u);
}

// Every orientation on every side: tight grid, width, mask laid out with row stride dim and
// an unpadded last row, offsets exactly the filled mask bytes.
TEST(PieceCatalogue, OrientationLayoutFollowsTheGridAndTheRowStride) {
    for (std::uint32_t dim : table_sides) {
        for (PieceId id = 0; id < piece_count; ++id) {
            const Piece piece = make_piece(id, dim);
            for (std::size_t j = 0; j < piece.orientations.size(); ++j) {
                SCOPED_TRACE("side " + std::to_string(dim) + ", piece " + std::to_string(id) +
                             ", orientation " + std::to_string(j));
                const Orientation& o = piece.orientations[j];
                const auto h = static_cast<std::uint32_t>(o.grid.size());
                ASSERT_GT(h, 0u);
                const auto w = static_cast<std::uint32_t>(o.grid[0].size());
                EXPECT_EQ(o.width, w);
                std::vector<std::uint32_t> offsets;
                std::vector<std::uint8_t> mask((h - 1) * dim + w, 0);
                bool first_row = false, last_row = false, first_col = false, last_col = false;
                for (std::uint32_t r = 0; r < h; ++r) {
                    ASSERT_EQ(o.grid[r].size(), w);
                    for (std::uint32_t c = 0; c < w; ++c) {
                        if (o.grid[r][c] == 0) continue;
                        offsets.push_back(r * dim + c);
                        mask[r * dim + c] = 1;
                        first_row |= r == 0;
                        last_row |= r == h - 1;
                        first_col |= c == 0;
                        last_col |= c == w - 1;
                    }
                }
                EXPECT_TRUE(first_row && last_row && first_col && last_col) << "not tight";
                EXPECT_EQ(o.offsets, offsets);
                EXPECT_EQ(o.mask, mask);
                EXPECT_EQ(o.offsets.size(), piece.size);
            }
        }
    }
}

TEST(PieceCatalogue, OffsetExamples) {
    const Piece f5 = make_piece(19, 20);
    EXPECT_EQ(f5.orientations[0].offsets, (std::vector<std::uint32_t>{1, 20, 21, 22, 40}));

    const Piece v3 = make_piece(2, 20);
    EXPECT_EQ(v3.orientations[1].offsets, (std::vector<std::uint32_t>{1, 20, 21}));
    EXPECT_EQ(make_piece(2, 7).orientations[1].offsets, (std::vector<std::uint32_t>{1, 7, 8}));

    const Piece l4_piece = make_piece(5, 20);
    const Orientation& l4 = l4_piece.orientations[1];
    EXPECT_EQ(l4.offsets, (std::vector<std::uint32_t>{0, 1, 2, 22}));
    EXPECT_EQ(l4.width, 3u);
    std::vector<std::uint8_t> mask(23, 0);
    mask[0] = mask[1] = mask[2] = mask[22] = 1;
    EXPECT_EQ(l4.mask, mask);

    // The same orientation on another side keeps its grid, only the row stride changes.
    const Piece l4_small_piece = make_piece(5, 5);
    const Orientation& l4_small = l4_small_piece.orientations[1];
    EXPECT_EQ(l4_small.grid, l4.grid);
    EXPECT_EQ(l4_small.offsets, (std::vector<std::uint32_t>{0, 1, 2, 7}));
    EXPECT_EQ(l4_small.mask.size(), 8u);
}

TEST(PieceCatalogue, LastRowIsNeverPadded) {
    for (std::uint32_t dim : {4u, 5u, 9u, 20u, 256u}) {
        const Piece i5 = make_piece(9, dim);
        const Orientation& lying = i5.orientations[0];
        EXPECT_EQ(lying.mask, std::vector<std::uint8_t>(5, 1)) << "side " << dim;
        EXPECT_EQ(lying.width, 5u);
        const Orientation& standing = i5.orientations[1];
        EXPECT_EQ(standing.mask.size(), 4 * dim + 1) << "side " << dim;
        EXPECT_EQ(standing.width, 1u);
    }
}

TEST(PieceCatalogue, OrientationFromGridKeepsTheGrid) {
    const Grid grid = from_text("#./##");
    const Orientation o = orientation_from_grid(grid, 6);
    EXPECT_EQ(o.grid, grid);
    EXPECT_EQ(o.width, 2u);
    EXPECT_EQ(o.mask, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(o.offsets, (std::vector<std::uint32_t>{0, 6, 7}));
}

TEST(PieceCatalogue, RotateClockwise) {
    // Result row i, byte j = input row (h - 1 - j), byte i: distinct values show each move.
    const Grid g = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_EQ(rotate_clockwise(g), (Grid{{4, 1}, {5, 2}, {6, 3}}));
    EXPECT_EQ(rotate_clockwise(rotate_clockwise(g)), (Grid{{6, 5, 4}, {3, 2, 1}}));
    EXPECT_EQ(rotate_clockwise(rotate_clockwise(rotate_clockwise(rotate_clockwise(g)))), g);
    EXPECT_EQ(to_text(rotate_clockwise(from_text("##/.#"))), ".#/##");
    EXPECT_EQ(to_text(rotate_clockwise(from_text("###/#.."))), "##/.#/.#");
    EXPECT_EQ(to_text(rotate_clockwise(from_text("#####"))), "#/#/#/#/#");
    EXPECT_EQ(rotate_clockwise(Grid{{7}}), Grid{{7}});
}

TEST(PieceCatalogue, Mirror) {
    const Grid g = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_EQ(mirror(g), (Grid{{3, 2, 1}, {6, 5, 4}}));
    EXPECT_EQ(mirror(mirror(g)), g);
    EXPECT_EQ(to_text(mirror(from_text("##./.##"))), ".##/##.");
    EXPECT_EQ(to_text(mirror(from_text("#/#"))), "#/#");
}

TEST(PieceCatalogue, InvalidPieceIdIsAFatalStop) {
    EXPECT_THROW(make_piece(21, 20), FatalError);
    EXPECT_THROW(base_grid(21), FatalError);
    EXPECT_THROW(piece_name(255), FatalError);
}

TEST(PieceCatalogue, ForSideReturnsOneSharedCatalogue) {
    const Catalogue& a = Catalogue::for_side(20);
    const Catalogue& b = Catalogue::for_side(20);
    EXPECT_EQ(&a, &b);
    EXPECT_NE(&a, &Catalogue::for_side(21));
    EXPECT_EQ(Catalogue::for_side(4).dim(), 4u);
    EXPECT_EQ(Catalogue::for_side(256).dim(), 256u);
}

TEST(PieceCatalogue, UnsupportedSidesAreFatalStopsNamingTheSide) {
    for (std::uint32_t dim : {0u, 1u, 3u, 257u, 1u << 20, 0xFFFFFFFFu}) {
        SCOPED_TRACE(dim);
        try {
            (void)Catalogue::for_side(dim);
            ADD_FAILURE() << "side " << dim << " accepted";
        } catch (const FatalError& e) {
            EXPECT_NE(e.message().find(std::to_string(dim)), std::string::npos) << e.message();
        }
    }
}

// The compact shapes used for move generation mirror the orientation records, numbered piece by
// piece in orientation order, and each piece lists every (shape, cell) pair once.
TEST(PieceCatalogue, ShapesMatchTheOrientations) {
    for (std::uint32_t dim : {4u, 9u, 20u}) {
        const Catalogue& cat = Catalogue::for_side(dim);
        std::uint32_t index = 0;
        for (PieceId id = 0; id < piece_count; ++id) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> expected_pairs;
            for (std::size_t j = 0; j < cat.piece(id).orientations.size(); ++j, ++index) {
                const Orientation& o = cat.piece(id).orientations[j];
                const Shape& s = cat.shape(index);
                EXPECT_EQ(s.piece, id);
                EXPECT_EQ(s.orientation, j);
                ASSERT_EQ(s.size, o.offsets.size());
                for (std::uint32_t k = 0; k < s.size; ++k) {
                    EXPECT_EQ(s.offsets[k], o.offsets[k]);
                    expected_pairs.emplace_back(index, k);
                }
            }
            std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
            for (const ShapeCell& sc : cat.shape_cells(id)) {
                pairs.emplace_back(sc.shape, sc.cell);
                ASSERT_LT(sc.shape, index);
                EXPECT_EQ(sc.offset, cat.shape(sc.shape).offsets[sc.cell]);
            }
            std::sort(pairs.begin(), pairs.end());
            EXPECT_EQ(pairs, expected_pairs) << "piece " << int(id);
        }
        EXPECT_EQ(index, cat.shape_count());
    }
}

}  // namespace
}  // namespace tralix
