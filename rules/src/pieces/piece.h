// The 21 tralix pieces and their distinct orientations, laid out for a board of a given side so
// that a placement is tested and laid by adding fixed offsets to an anchor tile.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tralix {

// A shape as rows of bytes, 1 filled and 0 empty; row 0 on top. Always a tight bounding box.
using Grid = std::vector<std::vector<std::uint8_t>>;

// Catalogue identifier 0 to 20, in the catalogue's order (I1, I2, V3, ..., T5).
using PieceId = std::uint8_t;
inline constexpr PieceId piece_count = 21;
// Cells of all 21 pieces together.
inline constexpr std::uint32_t total_piece_cells = 89;

// One distinct way to lay a piece down on a board of side dim.
struct Orientation {
    // Board offsets of the filled cells from the anchor (the top-left corner of the bounding
    // box), row-major and so ascending: r * dim + c for a filled cell at (r, c).
    std::vector<std::uint32_t> offsets;
    // The grid laid out row-major with row stride dim; every row but the last is padded with
    // zeros. Length (h - 1) * dim + w; mask[k] == 1 exactly when k is an offset.
    std::vector<std::uint8_t> mask;
    Grid grid;
    std::uint32_t width = 0;
};

struct Piece {
    PieceId id = 0;
    Grid grid;  // the base grid, not turned
    std::uint32_t size = 0;
    // The base grid turned 0, 90, 180, 270 degrees clockwise, then the mirrored base grid
    // turned the same way, each kept only at its first appearance (masks compared).
    std::vector<Orientation> orientations;
};

// The name (I1, ..., T5) and the base grid of a catalogue entry. Throws FatalError for an id
// outside 0 to 20.
std::string_view piece_name(PieceId id);
Grid base_grid(PieceId id);

// Quarter turn clockwise: result row i, byte j = input row (h - 1 - j), byte i.
Grid rotate_clockwise(Grid grid);
// Left-right reflection: each row reversed.
Grid mirror(Grid grid);
// Lays a grid out for row stride dim (dim must be at least the width of every non-final row).
Orientation orientation_from_grid(Grid grid, std::uint32_t dim);
// Builds a catalogue entry for a board of side dim (4 or more). Throws FatalError for an id
// outside 0 to 20.
Piece make_piece(PieceId id, std::uint32_t dim);

}  // namespace tralix
