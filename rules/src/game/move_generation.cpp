// Finding the legal placements of the player to move, and the tiles they cover.
#include <algorithm>

#include "game/game.h"

namespace tralix {
namespace {

// Per-thread scratch space, sized once for the largest board seen, so that generating moves in
// a game copy allocates nothing but the copy's own candidate list.
struct Scratch {
    std::vector<PlacementCode> placements;
    std::vector<std::uint64_t> tile_bits;
};
thread_local Scratch scratch;

}  // namespace

void Game::find_valid_moves() {
    // Every legal placement covers a tile of the player's corner set. Trying each (shape, cell)
    // of each piece in hand against each corner tile reaches all of them; a placement covering
    // several corner tiles is kept only from the smallest, so each is found once.
    const Player player = current_player_;
    const std::uint32_t dim = board_.dim();
    const std::uint8_t forbidden = forbidden_bit(player);
    const std::uint8_t* cells = board_.cells().data();
    const Catalogue& catalogue = board_.catalogue();
    const Hand& hand = board_.hand(player);
    std::vector<PlacementCode>& found = scratch.placements;
    found.clear();

    board_.for_each_corner(player, [&](Tile corner) {
        const std::uint32_t row = corner / dim;
        const std::uint32_t column = corner % dim;
        for (std::uint32_t g = 0; g < hand.size(); ++g) {
            for (const ShapeCell& sc : catalogue.shape_cells(hand[g])) {
                if (sc.row > row || sc.column > column) continue;
                if (row - sc.row + sc.height > dim || column - sc.column + sc.width > dim) continue;
                const Tile anchor = corner - sc.offset;
                const Shape& shape = catalogue.shape(sc.shape);
                bool legal = true;
                for (std::uint32_t i = 0; i < shape.size && legal; ++i) {
                    const Tile t = anchor + shape.offsets[i];
                    legal = (cells[t] & forbidden) == 0 && !(t < corner && board_.in_corners(player, t));
                }
                if (legal) found.push_back(placement_code(sc.shape, anchor));
            }
        }
    });
    candidates_.assign(found.begin(), found.end());
    collect_valid_tiles();
}

void Game::collect_valid_tiles() {
    std::vector<std::uint64_t>& bits = scratch.tile_bits;
    const std::uint32_t words = (board_.tile_count() + 63) / 64;
    if (bits.size() < words) bits.assign(words, 0);
    const Catalogue& catalogue = board_.catalogue();
    const std::uint8_t* cells = board_.cells().data();
    std::uint32_t low = words, high = 0;
    for (PlacementCode code : candidates_) {
        const Shape& shape = catalogue.shape(placement_shape(code));
        const Tile anchor = placement_anchor(code);
        for (std::uint32_t i = 0; i < shape.size; ++i) {
            const Tile t = anchor + shape.offsets[i];
            if ((cells[t] & owner_mask) != 0) continue;  // laid earlier in this turn
            bits[t >> 6] |= 1ull << (t & 63);
            low = std::min(low, t >> 6);
            high = std::max(high, t >> 6);
        }
    }
    valid_tiles_.clear();
    for (std::uint32_t w = low; w <= high && w < words; ++w) {
        for (std::uint64_t b = bits[w]; b != 0; b &= b - 1) {
            valid_tiles_.push_back(static_cast<Tile>(w * 64 + std::countr_zero(b)));
        }
        bits[w] = 0;
    }
}

}  // namespace tralix
