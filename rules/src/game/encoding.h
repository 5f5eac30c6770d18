// The network input of a position, from the point of view of the player to move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "game/game.h"
#include "pieces/piece.h"

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

// The full position, for networks that see more than the five planes: the five planes above,
// planes first, then a sixth plane of the tiles laid in the turn in progress (the piece being
// laid), then global features. For k = 0 to 3, the player p + k (mod 4) from the player p to
// move: 21 features, one per catalogue piece, 1 while the piece is in that player's hand, then
// one that is 1 once that player is retired. Every value is 0 or 1.
inline constexpr std::uint32_t full_plane_count = feature_count + 1;
inline constexpr std::uint32_t global_features_per_player = piece_count + 1;
inline constexpr std::uint32_t global_count = 4 * global_features_per_player;

// Bytes of a full position on a board of side dim: the planes, then the global features.
constexpr std::size_t full_input_size(std::uint32_t dim) {
    return std::size_t{full_plane_count} * dim * dim + global_count;
}

// The number of tiles the player to move has laid in the turn in progress: its last moves,
// that no completed piece holds.
std::uint32_t tiles_in_turn(const Game& game);

// Writes the full position's planes (full_plane_count * dim * dim bytes, planes first) and its
// global features (global_count bytes). Buffers of other sizes are a fatal stop.
void encode_full(const Game& game, std::span<std::uint8_t> planes, std::span<std::uint8_t> globals);
// The same into one buffer of full_input_size(dim) bytes: the planes, then the global features.
void encode_full(const Game& game, std::span<std::uint8_t> out);

}  // namespace tralix
