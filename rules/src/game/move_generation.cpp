// Finding the legal placements of the player to move, and the tiles they cover.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "game/game.h"

namespace tralix {

namespace {

// Bits i = 0 to 8: tile t + i is forbidden. Reads the nine bytes from t, which must all be on
// the board; eight of them at once, the flags of those gathered by one multiplication.
std::uint64_t forbidden_nine(std::span<const std::uint8_t> cells, Tile t, std::uint8_t forbidden) {
    std::uint64_t bits = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t eight;
        std::memcpy(&eight, cells.data() + t, sizeof eight);
        // One bit per byte at the byte's bit 0, then byte i's bit moved to bit 56 + i.
        eight = (eight >> std::countr_zero(forbidden)) & 0x0101010101010101ull;
        bits = (eight * 0x0102040810204080ull) >> 56;
    } else {
        for (std::uint32_t i = 0; i < 8; ++i) {
            bits |= static_cast<std::uint64_t>((cells[t + i] & forbidden) != 0) << i;
        }
    }
    return bits | static_cast<std::uint64_t>((cells[t + 8] & forbidden) != 0) << 8;
}

// Bits i = 0 to 8: tile t + i is in the set (tiles past the end are not).
std::uint64_t nine_of(std::span<const std::uint64_t> words, Tile t) {
    const std::uint32_t w = t >> 6, o = t & 63;
    std::uint64_t bits = words[w] >> o;
    if (o > 64 - Window::side && w + 1 < words.size()) bits |= words[w + 1] << (64 - o);
    return bits & ((1ull << Window::side) - 1);
}

}  // namespace

// The tiles around a corner tile that a placement found from it may not cover: off the board,
// forbidden for the player, or a corner tile smaller than the centre (a placement covering one
// is found from that smaller corner instead).
Window Game::blocked_window(Tile corner) const {
    const auto dim = static_cast<int>(board_.dim());
    const Player player = current_player_;
    const std::uint8_t forbidden = forbidden_bit(player);
    const std::span<const std::uint8_t> cells = board_.cells();
    const std::span<const std::uint64_t> corners = board_.corner_words(player);
    const int row = static_cast<int>(corner) / dim;
    const int column = static_cast<int>(corner) % dim;
    constexpr std::uint64_t whole_row = (1ull << Window::side) - 1;
    // Row by row, nine bits each (bit dc + radius). Where the nine columns are all on the board
    // a row is read in a few word operations; otherwise tile by tile, the columns off the board
    // blocked.
    const bool inside = column >= Window::radius && column + Window::radius < dim;
    std::uint64_t off_columns = 0;
    for (int dc = -Window::radius; dc <= Window::radius; ++dc) {
        if (column + dc < 0 || column + dc >= dim) off_columns |= 1ull << (dc + Window::radius);
    }
    const int first = std::max(column - Window::radius, 0);
    const int last = std::min(column + Window::radius, dim - 1);
    Window blocked;
    for (int dr = -Window::radius; dr <= Window::radius; ++dr) {
        const int r = row + dr;
        std::uint64_t bits = whole_row;  // a row off the board
        if (r >= 0 && r < dim) {
            // The smaller corner tiles: whole rows above the centre, the left half of its row.
            const std::uint64_t smaller = dr < 0    ? whole_row
                                          : dr == 0 ? (1ull << Window::radius) - 1
                                                    : 0;
            if (inside) {
                const auto t = static_cast<Tile>(r * dim + column - Window::radius);
                bits = forbidden_nine(cells, t, forbidden);
                if (smaller != 0) bits |= nine_of(corners, t) & smaller;
            } else {
                bits = off_columns;
                for (int c = first; c <= last; ++c) {
                    const auto t = static_cast<Tile>(r * dim + c);
                    const int bit = c - column + Window::radius;
                    const bool out = (cells[t] & forbidden) != 0 ||
                                     ((smaller >> bit) & 1u && board_.in_corners(player, t));
                    bits |= static_cast<std::uint64_t>(out) << bit;
                }
            }
        }
        const int shift = (dr + Window::radius) * Window::side;
        if (shift < 64) {
            blocked.low |= bits << shift;
            if (shift + Window::side > 64) blocked.high |= bits >> (64 - shift);
        } else {
            blocked.high |= bits << (shift - 64);
        }
    }
    return blocked;
}

namespace {

// A bit set over the tiles of the largest board, on the stack: marks tiles and writes them out
// in ascending order. Only the words of the present board are cleared, once, on construction.
class TileMarks {
public:
    explicit TileMarks(std::uint32_t tile_count) : words_((tile_count + 63) / 64) {
        std::fill_n(bits_.begin(), words_, 0);
    }
    void mark(Tile t) { bits_[t >> 6] |= 1ull << (t & 63); }
    // Writes the marked tiles, ascending, into out.
    void take(std::vector<Tile>& out) const {
        out.clear();
        for (std::uint32_t w = 0; w < words_; ++w) {
            for (std::uint64_t b = bits_[w]; b != 0; b &= b - 1) {
                out.push_back(static_cast<Tile>(w * 64 + std::countr_zero(b)));
            }
        }
    }

private:
    std::array<std::uint64_t, (max_side * max_side + 63) / 64> bits_;
    std::uint32_t words_;
};

}  // namespace

void Game::find_valid_moves() {
    // Every legal placement covers a tile of the player's corner set, so trying each
    // (shape, cell) of each piece in hand over each corner tile reaches all of them. A trial is
    // two ANDs against the tiles blocked around the corner. The union of the accepted shapes'
    // windows gives the valid tiles (no tile has been laid yet this turn).
    const Catalogue& catalogue = board_.catalogue();
    const Hand& hand = board_.hand(current_player_);
    const auto dim = static_cast<int>(board_.dim());
    std::vector<PlacementCode>& found = candidates_;
    found.clear();
    TileMarks marks(board_.tile_count());
    board_.for_each_corner(current_player_, [&](Tile corner) {
        const Window blocked = blocked_window(corner);
        Window covered;
        for (std::uint32_t g = 0; g < hand.size(); ++g) {
            for (const ShapeCell& sc : catalogue.shape_cells(hand[g])) {
                if (!sc.cells.intersects(blocked)) {
                    found.push_back(placement_code(sc.shape, corner - sc.offset));
                    covered.low |= sc.cells.low;
                    covered.high |= sc.cells.high;
                }
            }
        }
        covered.for_each([&](int dr, int dc) {
            marks.mark(static_cast<Tile>(static_cast<int>(corner) + dr * dim + dc));
        });
    });
    marks.take(valid_tiles_);
}

void Game::collect_valid_tiles() {
    const Catalogue& catalogue = board_.catalogue();
    TileMarks marks(board_.tile_count());
    for (PlacementCode code : candidates_) {
        const Shape& shape = catalogue.shape(placement_shape(code));
        const Tile anchor = placement_anchor(code);
        for (std::uint32_t i = 0; i < shape.size; ++i) {
            const Tile t = anchor + shape.offsets[i];
            if ((board_.cell(t) & owner_mask) == 0) marks.mark(t);  // else laid this turn
        }
    }
    marks.take(valid_tiles_);
}
}  // namespace tralix
