// Turning the network's raw scores into priors and values, with fixed rounding: differences,
// sums and quotients in single precision, exponentials in double precision rounded to single.
#pragma once

#include <span>
#include <vector>

#include "core/types.h"

namespace tralix {

// Softmax of the scores at the valid tiles, taken in the list's order; priors gets one entry
// per score, 0 away from the valid tiles. A valid tile beyond the scores is a fatal stop.
void masked_policy(std::span<const float> logits, std::span<const Tile> valid_tiles,
                   std::vector<float>& priors);

// Softmax of all the scores, then rotated right by the player to move so that index p is
// player p's value. player_to_move above the length is a fatal stop.
std::vector<float> value_softmax(std::span<const float> logits, Player player_to_move);

}  // namespace tralix
