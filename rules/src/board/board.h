// The tralix board: cells with owners and per-player forbidden bits, the four hands, and each
// player's corner set (the free tiles where it could next touch its own tiles corner to corner).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/types.h"
#include "pieces/catalogue.h"

namespace tralix {

// Cell byte: bits 0-3 the owner (0 free, player + 1 otherwise); bit 4 + p set when the tile is
// forbidden for player p (occupied, or edge-adjacent to a tile of p).
inline constexpr std::uint8_t owner_mask = 0x0F;
inline constexpr std::uint8_t forbidden_bit(Player p) {
    return static_cast<std::uint8_t>(0x10u << p);
}

// The pieces a player still holds, as catalogue ids in catalogue order; played entries are
// removed and later ones move down. Refers to the shared catalogue instead of copying records.
class Hand {
public:
    Hand();
    std::uint32_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    PieceId operator[](std::uint32_t index) const { return ids_[index]; }
    std::span<const PieceId> ids() const { return {ids_.data(), count_}; }
    // Removes the entry at index; a fatal stop when index is beyond the hand.
    void remove(std::uint32_t index);

private:
    friend struct TestAccess;

    std::array<PieceId, piece_count> ids_;
    std::uint8_t count_;
};

class Board {
public:
    // new_board: empty cells, every hand full, each corner set holding its start corner.
    // A side outside 4 to 256 is a fatal stop.
    explicit Board(std::uint32_t dim);

    std::uint32_t dim() const { return dim_; }
    std::uint32_t tile_count() const { return dim_ * dim_; }
    const Catalogue& catalogue() const { return *catalogue_; }

    // 0 -> 0, 1 -> dim - 1, 2 -> dim * dim - 1, 3 -> dim * (dim - 1); "Invalid player number"
    // is a fatal stop for any other player.
    Tile start_corner(Player player) const;

    // True when the player may lay the orientation with its mask's byte 0 on anchor: on the
    // board, no overlap or edge contact with the player's tiles, and a corner contact (or the
    // start corner). Never fails for anchors off the board.
    bool can_place(Player player, const Orientation& orientation, Tile anchor) const;

    // Marks one tile as the player's and updates forbidden bits and corner sets. Player above 3
    // or a tile off the board is a fatal stop.
    void place_tile(Tile tile, Player player);
    // Removes entry index of the player's hand (fatal stop when out of range).
    void remove_piece(Player player, std::uint32_t index);

    // Tiles owned minus 89, with +15 for an empty hand and +20 when the last piece completed
    // (last_size[p]) was the one-cell piece.
    std::array<std::int32_t, 4> scores(const std::array<std::uint32_t, 4>& last_size) const;

    // One line of glyphs per row, each row followed by a line feed.
    std::string text() const;
    // Writes text() and one more line feed to standard output.
    void print_board() const;

    // Compares the kept state with a recomputation from the owners of the tiles alone: the
    // forbidden bits of every cell, the four corner sets, the hands' form and the fixed
    // geometry. Returns a description of the first mismatch, nothing when all agree. The
    // owners themselves are checked by the game, which knows the moves that placed them.
    std::optional<std::string> check_consistency() const;

    // Read access.
    const Hand& hand(Player player) const { return hands_[player]; }
    const Piece& piece_in_hand(Player player, std::uint32_t index) const {
        return catalogue_->piece(hands_[player][index]);
    }
    std::uint8_t cell(Tile tile) const { return cells_[tile]; }
    std::span<const std::uint8_t> cells() const { return cells_; }
    bool in_corners(Player player, Tile tile) const {
        return (corner_words(player)[tile >> 6] >> (tile & 63)) & 1u;
    }
    // The members of a corner set, ascending.
    std::vector<Tile> corner_tiles(Player player) const;
    // Calls visit(tile) for every member of the player's corner set, ascending.
    template <class Visit>
    void for_each_corner(Player player, Visit&& visit) const {
        std::span<const std::uint64_t> words = corner_words(player);
        for (std::size_t w = 0; w < words.size(); ++w) {
            for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
                visit(static_cast<Tile>(w * 64 + std::countr_zero(bits)));
            }
        }
    }
    // Diagonal steps: down-right, up-left, up-right, down-left.
    const std::array<std::int32_t, 4>& diagonals() const { return diagonals_; }

    // The player's corner set as words of 64 tiles: bit t % 64 of word t / 64 for tile t.
    std::span<const std::uint64_t> corner_words(Player p) const {
        return {corners_.data() + p * words_per_set_, words_per_set_};
    }

private:
    friend struct TestAccess;

    void add_corner(Player p, Tile t) {
        corners_[p * words_per_set_ + (t >> 6)] |= 1ull << (t & 63);
    }
    void remove_corner(Player p, Tile t) {
        corners_[p * words_per_set_ + (t >> 6)] &= ~(1ull << (t & 63));
    }

    const Catalogue* catalogue_;
    std::uint32_t dim_;
    std::uint32_t words_per_set_;
    std::array<Hand, 4> hands_;
    std::vector<std::uint8_t> cells_;
    // Four bit sets over the tiles, one after the other; bit t of set p: t is in corners[p].
    std::vector<std::uint64_t> corners_;
    std::array<std::int32_t, 4> diagonals_;
};

}  // namespace tralix
