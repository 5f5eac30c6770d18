// Basic value types shared by the rules engine and the search: tiles, players, board limits.
#pragma once

#include <cstdint>

namespace tralix {

// A board square, row-major: row * dim + column, row 0 at the top.
using Tile = std::uint32_t;
// A seat, 0 to 3; turn order 0, 1, 2, 3.
using Player = std::uint32_t;

inline constexpr std::uint32_t player_count = 4;

// Supported board sides. Below 4 some orientations have rows longer than the row stride; above
// 256 a tile no longer fits the 16 bits that placement codes reserve for it.
inline constexpr std::uint32_t min_side = 4;
inline constexpr std::uint32_t max_side = 256;

}  // namespace tralix
