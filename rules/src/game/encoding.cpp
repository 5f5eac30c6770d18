#include "game/encoding.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/fatal_error.h"

namespace tralix {
namespace {

[[noreturn]] void wrong_size(std::size_t length, std::size_t needed) {
    fatal_stop("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
               std::to_string(needed));
}

[[noreturn]] void unknown_layout(Layout layout) {
    fatal_stop("Unknown layout " + std::to_string(static_cast<int>(layout)));
}

}  // namespace

void encode(const Game& game, Layout layout, std::span<std::uint8_t> out) {
    const std::uint64_t size = std::uint64_t{feature_count} * game.board().tile_count();
    if (out.size() != size) wrong_size(out.size(), size);
    if (layout != Layout::planes_first && layout != Layout::channels_last) unknown_layout(layout);
    const bool channels_last = layout == Layout::channels_last;
    // Feature k of tile t among n tiles. The cells and the valid tiles are read through local
    // spans: the byte stores into out could otherwise alias the containers' own pointers and
    // force a reload on every tile.
    const std::span<const std::uint8_t> cells = game.board().cells();
    const std::span<const Tile> valid = game.valid_tiles();
    const auto n = static_cast<std::uint32_t>(cells.size());
    const Player player = game.current_player();
    std::uint8_t* const features = out.data();
    std::fill(out.begin(), out.end(), 0);
    for (Tile t = 0; t < n; ++t) {
        const std::uint32_t owner = cells[t] & owner_mask;
        if (owner == 0) continue;
        const std::uint32_t k = (owner - 1 - player) & 3u;
        features[channels_last ? t * feature_count + k : k * n + t] = 1;
    }
    constexpr std::uint32_t valid_feature = feature_count - 1;
    for (Tile t : valid) {
        features[channels_last ? t * feature_count + valid_feature : valid_feature * n + t] = 1;
    }
}

std::uint32_t tiles_in_turn(const Game& game) {
    if (game.is_over()) return 0;
    const Player player = game.current_player();
    const Board& board = game.board();
    std::array<bool, piece_count> held{};
    for (PieceId id : board.hand(player).ids()) held[id] = true;
    std::uint32_t played_cells = 0;
    for (PieceId id = 0; id < piece_count; ++id) {
        if (!held[id]) played_cells += board.catalogue().piece(id).size;
    }
    std::uint32_t laid = 0;
    for (const Move& move : game.history()) laid += move.player == player ? 1u : 0u;
    return laid - played_cells;
}

void encode_full(const Game& game, std::span<std::uint8_t> planes,
                 std::span<std::uint8_t> globals) {
    const std::size_t n = game.board().tile_count();
    if (planes.size() != full_plane_count * n) wrong_size(planes.size(), full_plane_count * n);
    if (globals.size() != global_count) wrong_size(globals.size(), global_count);
    encode(game, Layout::planes_first, planes.first(feature_count * n));

    // The piece being laid: the last moves, all by the player to move.
    const std::span<std::uint8_t> turn_plane = planes.subspan(feature_count * n);
    std::fill(turn_plane.begin(), turn_plane.end(), 0);
    const std::vector<Move>& history = game.history();
    for (std::size_t i = history.size() - tiles_in_turn(game); i < history.size(); ++i) {
        turn_plane[history[i].tile] = 1;
    }

    std::fill(globals.begin(), globals.end(), 0);
    const Player mover = game.current_player();
    for (Player k = 0; k < player_count; ++k) {
        const Player player = (mover + k) % player_count;
        const std::span<std::uint8_t> features =
            globals.subspan(k * global_features_per_player, global_features_per_player);
        for (PieceId id : game.board().hand(player).ids()) features[id] = 1;
        features[piece_count] = game.finished()[player] ? 1 : 0;
    }
}

void encode_full(const Game& game, std::span<std::uint8_t> out) {
    const std::size_t size = full_input_size(game.dim());
    if (out.size() != size) wrong_size(out.size(), size);
    const std::size_t plane_bytes = size - global_count;
    encode_full(game, out.first(plane_bytes), out.subspan(plane_bytes));
}

std::vector<std::uint8_t> encode(const Game& game, Layout layout) {
    std::vector<std::uint8_t> out(std::size_t{feature_count} * game.board().tile_count());
    encode(game, layout, out);
    return out;
}

}  // namespace tralix
