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

// The tiles around a corner tile that a placement found from it may not cover: off the board,
// forbidden for the player, or a corner tile smaller than the centre (a placement covering one
// is found from that smaller corner instead).
Window Game::blocked_window(Tile corner) const {
    const auto dim = static_cast<int>(board_.dim());
    const Player player = current_player_;
    const std::uint8_t forbidden = forbidden_bit(player);
    const int row = static_cast<int>(corner) / dim;
    const int column = static_cast<int>(corner) % dim;
    Window blocked;
    for (int dr = -Window::radius; dr <= Window::radius; ++dr) {
        const int r = row + dr;
        for (int dc = -Window::radius; dc <= Window::radius; ++dc) {
            const int c = column + dc;
            if (r < 0 || r >= dim || c < 0 || c >= dim) {
                blocked.set(dr, dc);
                continue;
            }
            const auto t = static_cast<Tile>(r * dim + c);
            if ((board_.cell(t) & forbidden) != 0 || (t < corner && board_.in_corners(player, t))) {
                blocked.set(dr, dc);
            }
        }
    }
    return blocked;
}

namespace {

// Marks tiles in the scratch bit set and remembers the range of words touched.
class TileMarks {
public:
    explicit TileMarks(std::uint32_t tile_count)
        : bits_(scratch.tile_bits), words_((tile_count + 63) / 64) {
        if (bits_.size() < words_) bits_.assign(words_, 0);
        low_ = words_;
    }
    void mark(Tile t) {
        bits_[t >> 6] |= 1ull << (t & 63);
        low_ = std::min(low_, t >> 6);
        high_ = std::max(high_, t >> 6);
    }
    // Writes the marked tiles, ascending, into out and clears the marks.
    void take(std::vector<Tile>& out) {
        out.clear();
        for (std::uint32_t w = low_; w <= high_ && w < words_; ++w) {
            for (std::uint64_t b = bits_[w]; b != 0; b &= b - 1) {
                out.push_back(static_cast<Tile>(w * 64 + std::countr_zero(b)));
            }
            bits_[w] = 0;
        }
    }

private:
    std::vector<std::uint64_t>& bits_;
    std::uint32_t words_;
    std::uint32_t low_;
    std::uint32_t high_ = 0;
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
    std::vector<PlacementCode>& found = scratch.placements;
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
    candidates_.assign(found.begin(), found.end());
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
