#include "replay.h"

#include <algorithm>
#include <limits>

#include "core/fatal_error.h"

namespace tralix::binding {

std::string invalid_move_text(const Game& game, std::string_view tile) {
    std::string text = "Invalid move - Player " + std::to_string(game.current_player()) + ", Tile ";
    text += tile;
    return text;
}

std::optional<std::string> lay_tile(Game& game, std::int64_t tile) {
    if (tile < 0 || tile > std::int64_t{std::numeric_limits<Tile>::max()}) {
        return invalid_move_text(game, std::to_string(tile));
    }
    const Tile t = static_cast<Tile>(tile);
    const std::vector<Tile>& valid = game.valid_tiles();
    const bool was_valid = std::binary_search(valid.begin(), valid.end(), t);
    std::optional<std::string> refused = game.apply_move(t);
    if (refused && was_valid) {
        fatal_stop("the engine refused the valid tile " + std::to_string(t) + ": " + *refused);
    }
    return refused;
}

std::optional<ReplayFailure> replay_positions(Game& game, std::span<const std::int64_t> tiles,
                                              const ReplayOutput& out) {
    const std::size_t tile_count = game.board().tile_count();
    const bool full = out.globals != nullptr;
    const std::size_t planes_size =
        std::size_t{full ? full_plane_count : feature_count} * tile_count;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        if (i < out.capacity) {
            const std::span<std::uint8_t> planes{out.planes + i * planes_size, planes_size};
            if (full) {
                encode_full(game, planes, {out.globals + i * global_count, global_count});
            } else {
                encode(game, out.layout, planes);
            }
            out.players[i] = static_cast<std::int8_t>(game.current_player());
            bool* valid = out.valid + i * tile_count;
            std::fill_n(valid, tile_count, false);
            for (Tile t : game.valid_tiles()) valid[t] = true;
        } else if (!game.valid_tiles().empty()) {
            // Cannot happen with room for dim * dim positions or all of them: see ReplayOutput.
            fatal_stop("the replay has no room for position " + std::to_string(i));
        }
        if (std::optional<std::string> refused = lay_tile(game, tiles[i])) {
            return ReplayFailure{i, std::move(*refused)};
        }
    }
    return std::nullopt;
}

std::optional<ReplayFailure> replay_piece_ends(Game& game, std::span<const std::int64_t> tiles,
                                               std::vector<std::uint32_t>& ends) {
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const Player mover = game.current_player();
        const std::size_t hand = game.board().hand(mover).size();
        if (std::optional<std::string> refused = lay_tile(game, tiles[i])) {
            return ReplayFailure{i, std::move(*refused)};
        }
        if (game.board().hand(mover).size() < hand)
            ends.push_back(static_cast<std::uint32_t>(i + 1));
    }
    return std::nullopt;
}

}  // namespace tralix::binding
