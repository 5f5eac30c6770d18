// The board's kept state against a recomputation from the owners of the tiles. The
// recomputation walks every tile and looks at its neighbours by row and column; it shares
// nothing with place_tile's incremental updates.
#include <cstdio>
#include <string>

#include "board/board.h"

namespace tralix {
namespace {

std::string hex(std::uint32_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// Owner of (r, c) as stored in the cell's low bits, or 0 off the board.
std::uint32_t owner_at(std::span<const std::uint8_t> cells, std::int64_t dim, std::int64_t r,
                       std::int64_t c) {
    if (r < 0 || c < 0 || r >= dim || c >= dim) return 0;
    return cells[static_cast<std::size_t>(r * dim + c)] & owner_mask;
}

bool edge_touches(std::span<const std::uint8_t> cells, std::int64_t dim, Tile t, Player p) {
    const std::int64_t r = t / dim, c = t % dim;
    const std::uint32_t own = p + 1;
    return owner_at(cells, dim, r - 1, c) == own || owner_at(cells, dim, r + 1, c) == own ||
           owner_at(cells, dim, r, c - 1) == own || owner_at(cells, dim, r, c + 1) == own;
}

bool corner_touches(std::span<const std::uint8_t> cells, std::int64_t dim, Tile t, Player p) {
    const std::int64_t r = t / dim, c = t % dim;
    const std::uint32_t own = p + 1;
    return owner_at(cells, dim, r - 1, c - 1) == own || owner_at(cells, dim, r - 1, c + 1) == own ||
           owner_at(cells, dim, r + 1, c - 1) == own || owner_at(cells, dim, r + 1, c + 1) == own;
}

}  // namespace

std::optional<std::string> Board::check_consistency() const {
    const std::uint32_t n = dim_ * dim_;
    const auto dim = static_cast<std::int64_t>(dim_);
    if (catalogue_->dim() != dim_) {
        return "catalogue of side " + std::to_string(catalogue_->dim()) + " on a board of side " +
               std::to_string(dim_);
    }
    if (cells_.size() != n) {
        return "cells: " + std::to_string(cells_.size()) + " kept for " + std::to_string(n) +
               " tiles";
    }
    const std::uint32_t words = (n + 63) / 64;
    if (words_per_set_ != words || corners_.size() != 4ull * words) {
        return "corner sets: " + std::to_string(corners_.size()) + " words kept, " +
               std::to_string(4 * words) + " needed";
    }
    const std::array<std::int32_t, 4> steps = {
        static_cast<std::int32_t>(dim_ + 1), -static_cast<std::int32_t>(dim_ + 1),
        1 - static_cast<std::int32_t>(dim_), static_cast<std::int32_t>(dim_) - 1};
    if (diagonals_ != steps) return std::string("diagonal steps do not match the side");

    // Owners are taken as given; an occupied tile is forbidden for everyone, a free one for
    // each player with a tile beside it.
    for (Tile t = 0; t < n; ++t) {
        const std::uint32_t owner = cells_[t] & owner_mask;
        if (owner > player_count) {
            return "tile " + std::to_string(t) + ": owner " + hex(owner) + " is no player";
        }
        std::uint32_t expected = owner;
        for (Player p = 0; p < player_count; ++p) {
            if (owner != 0 || edge_touches(cells_, dim, t, p)) expected |= forbidden_bit(p);
        }
        if (cells_[t] != expected) {
            return "tile " + std::to_string(t) + ": cell " + hex(cells_[t]) + " kept, " +
                   hex(expected) + " recomputed from the owners";
        }
    }

    // A corner tile is free, has no edge contact with the player's tiles, and touches one of
    // them corner to corner or is the player's start corner.
    for (Player p = 0; p < player_count; ++p) {
        for (std::uint32_t bit = 0; bit < 64 * words; ++bit) {
            const bool kept = (corners_[p * words + bit / 64] >> (bit % 64)) & 1u;
            bool expected = false;
            if (bit < n) {
                const Tile t = bit;
                expected = (cells_[t] & owner_mask) == 0 && !edge_touches(cells_, dim, t, p) &&
                           (corner_touches(cells_, dim, t, p) || t == start_corner(p));
            }
            if (kept != expected) {
                return "corner set of player " + std::to_string(p) + ": tile " +
                       std::to_string(bit) +
                       (kept ? " kept but not recomputed" : " recomputed but not kept");
            }
        }
    }

    // A hand lists catalogue ids in catalogue order, each at most once.
    for (Player p = 0; p < player_count; ++p) {
        const Hand& hand = hands_[p];
        if (hand.size() > piece_count) {
            return "hand of player " + std::to_string(p) + ": " + std::to_string(hand.size()) +
                   " pieces";
        }
        for (std::uint32_t i = 0; i < hand.size(); ++i) {
            const bool ordered = hand[i] < piece_count && (i == 0 || hand[i - 1] < hand[i]);
            if (!ordered) {
                return "hand of player " + std::to_string(p) + ": entry " + std::to_string(i) +
                       " is piece " + std::to_string(hand[i]) +
                       ", not a new catalogue id in catalogue order";
            }
        }
    }
    return std::nullopt;
}

}  // namespace tralix
