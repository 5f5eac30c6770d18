// Small helpers shared by the rules tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "game/game.h"

namespace tralix::testing {

inline std::vector<Tile> sorted_valid(const Game& g) {
    std::vector<Tile> v = g.valid_tiles();
    std::sort(v.begin(), v.end());
    return v;
}

// Lays the tiles in order; each must be accepted.
inline void play(Game& g, const std::vector<Tile>& tiles) {
    for (Tile t : tiles) ASSERT_EQ(g.apply_move(t), std::nullopt) << "tile " << t;
}

}  // namespace tralix::testing
