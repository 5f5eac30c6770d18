#include "game/encoding.h"

#include <algorithm>
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

std::vector<std::uint8_t> encode(const Game& game, Layout layout) {
    std::vector<std::uint8_t> out(std::size_t{feature_count} * game.board().tile_count());
    encode(game, layout, out);
    return out;
}

}  // namespace tralix
