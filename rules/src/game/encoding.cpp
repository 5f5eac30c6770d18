// The network input of a position, from the point of view of the player to move.
#include "game/game.h"

namespace tralix {

void Game::encode(bool channels_last, std::span<std::uint8_t> out) const {
    board_.encode_board(channels_last, current_player_, out);
    const std::uint32_t n = board_.tile_count();
    for (Tile t : valid_tiles_) out[channels_last ? t * 5 + 4 : 4 * n + t] = 1;
}

std::vector<std::uint8_t> Game::encode(bool channels_last) const {
    std::vector<std::uint8_t> out(5ull * board_.tile_count());
    encode(channels_last, out);
    return out;
}

}  // namespace tralix
