// The network input of a position, from the point of view of the player to move.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "game/game.h"

namespace tralix {

// Order of the features in memory. The values are those of the configuration's `rep`.
enum class Layout : std::uint8_t {
    planes_first = 1,   // [k][r][c]: feature k of tile t at k * dim * dim + t
    channels_last = 2,  // [r][c][k]: feature k of tile t at t * feature_count + k
};

// Features per tile, each 0 or 1: for the player p to move, features 0 to 3 are the tiles of
// players p, p + 1, p + 2, p + 3 (mod 4); feature 4 the valid tiles.
inline constexpr std::uint32_t feature_count = 5;

// Writes the features of the position into out, which must hold exactly
// feature_count * dim * dim bytes. A buffer of another size ("index out of bounds: the len is
// {} but the index is {}") or a layout other than the two above is a fatal stop.
void encode(const Game& game, Layout layout, std::span<std::uint8_t> out);
// The same into a new buffer of feature_count * dim * dim bytes.
std::vector<std::uint8_t> encode(const Game& game, Layout layout);

}  // namespace tralix
