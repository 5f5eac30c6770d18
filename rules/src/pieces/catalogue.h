// The piece catalogue of one board side, built once per process and shared read-only by every
// board, game copy and thread. Hands refer to it by piece id instead of copying piece records.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "pieces/piece.h"

namespace tralix {

// Compact copy of one orientation for the hot paths. Shapes are numbered globally, 0 to 90,
// piece by piece in catalogue order and, within a piece, in orientation order.
struct Shape {
    PieceId piece = 0;
    std::uint8_t orientation = 0;            // index in the piece's orientation list
    std::uint8_t size = 0;                   // filled cells, 1 to 5
    std::array<std::uint32_t, 5> offsets{};  // board offsets from the anchor, ascending
};

// A 9 x 9 window of tiles centred on one tile, one bit per tile: bit (dr + 4) * 9 + (dc + 4)
// stands for the tile dr rows below and dc columns right of the centre. Any piece laid over the
// centre lies inside it.
struct Window {
    std::uint64_t low = 0;   // bits 0 to 63
    std::uint64_t high = 0;  // bits 64 to 80
    static constexpr int radius = 4;
    static constexpr int side = 2 * radius + 1;
    void set(int dr, int dc) {
        const int bit = (dr + radius) * side + dc + radius;
        if (bit < 64) {
            low |= 1ull << bit;
        } else {
            high |= 1ull << (bit - 64);
        }
    }
    // Calls visit(dr, dc) for every set bit.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::uint64_t b = low; b != 0; b &= b - 1) {
            const int bit = std::countr_zero(b);
            visit(bit / side - radius, bit % side - radius);
        }
        for (std::uint64_t b = high; b != 0; b &= b - 1) {
            const int bit = 64 + std::countr_zero(b);
            visit(bit / side - radius, bit % side - radius);
        }
    }
    bool intersects(const Window& other) const {
        return ((low & other.low) | (high & other.high)) != 0;
    }
};

// One (shape, filled cell) pair: the shape laid so that this cell covers a given tile.
struct ShapeCell {
    Window cells;              // the shape's tiles, relative to that tile
    std::uint32_t offset = 0;  // board offset of the cell from the anchor
    std::uint16_t shape = 0;
    std::uint8_t cell = 0;
};

// A placement packed in 32 bits: the global shape index above the anchor tile.
using PlacementCode = std::uint32_t;
inline constexpr PlacementCode placement_code(std::uint32_t shape, std::uint32_t anchor) {
    return shape << 16 | anchor;
}
inline constexpr std::uint32_t placement_shape(PlacementCode code) { return code >> 16; }
inline constexpr std::uint32_t placement_anchor(PlacementCode code) { return code & 0xFFFF; }

class Catalogue {
public:
    // The shared catalogue for a side; built on first use. A side outside 4 to 256 is a fatal
    // stop naming the side.
    static const Catalogue& for_side(std::uint32_t dim);

    std::uint32_t dim() const { return dim_; }
    // The 21 pieces, in id order.
    const std::vector<Piece>& pieces() const { return pieces_; }
    const Piece& piece(PieceId id) const { return pieces_[id]; }
    const Shape& shape(std::uint32_t index) const { return shapes_[index]; }
    std::uint32_t shape_count() const { return static_cast<std::uint32_t>(shapes_.size()); }
    // Every (shape, cell) pair of one piece.
    std::span<const ShapeCell> shape_cells(PieceId id) const {
        return {shape_cells_.data() + cell_begin_[id], cell_begin_[id + 1] - cell_begin_[id]};
    }

private:
    explicit Catalogue(std::uint32_t dim);

    std::uint32_t dim_;
    std::vector<Piece> pieces_;
    std::vector<Shape> shapes_;
    std::vector<ShapeCell> shape_cells_;
    std::array<std::uint32_t, piece_count + 1> cell_begin_{};
};

// Fatal stop unless 4 <= dim <= 256.
void check_side(std::uint32_t dim);

}  // namespace tralix
