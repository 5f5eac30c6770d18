#include "board/board.h"

#include <string>

#include "core/fatal_error.h"

namespace tralix {
namespace {

[[noreturn]] void index_error(std::size_t length, std::size_t index,
                              std::source_location where = std::source_location::current()) {
    fatal_stop("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                   std::to_string(index),
               where);
}

}  // namespace

Hand::Hand() : count_(piece_count) {
    for (PieceId id = 0; id < piece_count; ++id) ids_[id] = id;
}

void Hand::remove(std::uint32_t index) {
    if (index >= count_) index_error(count_, index);
    for (std::uint32_t i = index; i + 1 < count_; ++i) ids_[i] = ids_[i + 1];
    --count_;
}

Board::Board(std::uint32_t dim)
    : catalogue_(&Catalogue::for_side(dim)),
      dim_(dim),
      words_per_set_((dim * dim + 63) / 64),
      cells_(dim * dim, 0),
      corners_(4 * words_per_set_, 0),
      diagonals_{static_cast<std::int32_t>(dim + 1), -static_cast<std::int32_t>(dim + 1),
                 1 - static_cast<std::int32_t>(dim), static_cast<std::int32_t>(dim) - 1} {
    for (Player p = 0; p < player_count; ++p) add_corner(p, start_corner(p));
}

Tile Board::start_corner(Player player) const {
    switch (player) {
        case 0:
            return 0;
        case 1:
            return dim_ - 1;
        case 2:
            return dim_ * dim_ - 1;
        case 3:
            return dim_ * (dim_ - 1);
        default:
            fatal_stop("Invalid player number");
    }
}

bool Board::can_place(Player player, const Orientation& orientation, Tile anchor) const {
    if (player >= player_count) index_error(player_count, player);
    const std::uint64_t tiles = tile_count();
    if (anchor + static_cast<std::uint64_t>(orientation.mask.size()) > tiles) return false;
    if (anchor % dim_ + orientation.width > dim_) return false;
    const std::uint8_t forbidden = forbidden_bit(player);
    for (std::size_t k = 0; k < orientation.mask.size(); ++k) {
        if (orientation.mask[k] == 1 && (cells_[anchor + k] & forbidden) != 0) return false;
    }
    if (orientation.offsets.empty()) return false;
    for (std::uint32_t o : orientation.offsets) {
        if (in_corners(player, anchor + o)) return true;
    }
    return false;
}

void Board::place_tile(Tile tile, Player player) {
    if (player >= player_count) index_error(player_count, player);
    if (tile >= tile_count()) index_error(tile_count(), tile);
    cells_[tile] = static_cast<std::uint8_t>(0xF0 + player + 1);
    for (Player p = 0; p < player_count; ++p) remove_corner(p, tile);

    const std::uint8_t forbidden = forbidden_bit(player);
    const std::uint32_t col = tile % dim_;
    auto forbid = [&](Tile n) {
        cells_[n] |= forbidden;
        remove_corner(player, n);
    };
    if (col != 0) forbid(tile - 1);
    if (col < dim_ - 1) forbid(tile + 1);
    if (tile >= dim_) forbid(tile - dim_);
    if (tile < dim_ * (dim_ - 1)) forbid(tile + dim_);

    const std::int64_t tiles = tile_count();
    for (std::int32_t d : diagonals_) {
        const std::int64_t n = static_cast<std::int64_t>(tile) + d;
        if (n < 0 || n >= tiles) continue;
        const auto t = static_cast<Tile>(n);
        if ((cells_[t] & forbidden) != 0) continue;
        const std::uint32_t n_col = t % dim_;
        if ((col == 0 && n_col == dim_ - 1) || (col == dim_ - 1 && n_col == 0)) continue;
        add_corner(player, t);
    }
}

void Board::remove_piece(Player player, std::uint32_t index) {
    if (player >= player_count) index_error(player_count, player);
    hands_[player].remove(index);
}

std::array<std::int32_t, 4> Board::scores(const std::array<std::uint32_t, 4>& last_size) const {
    std::array<std::int32_t, 5> count{};
    for (std::uint8_t c : cells_) ++count[c & owner_mask];
    std::array<std::int32_t, 4> score{};
    for (Player p = 0; p < player_count; ++p) {
        const std::int32_t owned = count[p + 1];
        score[p] = owned - static_cast<std::int32_t>(total_piece_cells);
        if (hands_[p].empty()) score[p] = last_size[p] == 1 ? owned - 69 : owned - 74;
    }
    return score;
}

std::vector<Tile> Board::corner_tiles(Player player) const {
    std::vector<Tile> tiles;
    for_each_corner(player, [&](Tile t) { tiles.push_back(t); });
    return tiles;
}

}  // namespace tralix
