// Turning the network's raw scores into priors and values, with fixed rounding: differences,
// sums and quotients in single precision, exponentials in double precision rounded to single.
#pragma once

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "core/types.h"

namespace tralix {

// Softmax in place over the floats that score(entry) refers to, for each entry of the range:
// e = exp(v - m) rounded to single, m the largest score ignoring NaN, then e / sum(e) with the
// sum taken in the range's order. Every softmax of the search goes through here.
template <class Range, class Score>
void softmax_in_place(Range&& entries, Score&& score) {
    float m = -std::numeric_limits<float>::infinity();
    for (auto& entry : entries) {
        if (score(entry) > m) m = score(entry);
    }
    float sum = 0.0f;
    for (auto& entry : entries) {
        float& v = score(entry);
        v = static_cast<float>(std::exp(static_cast<double>(v - m)));
        sum += v;
    }
    for (auto& entry : entries) score(entry) = score(entry) / sum;
}

// A fatal stop unless every valid tile has a score.
void check_policy_covers(std::span<const float> logits, std::span<const Tile> valid_tiles);

// Softmax of the scores at the valid tiles, taken in the list's order; priors gets one entry
// per score, 0 away from the valid tiles. A valid tile beyond the scores is a fatal stop.
void masked_policy(std::span<const float> logits, std::span<const Tile> valid_tiles,
                   std::vector<float>& priors);

// Softmax of all the scores, then rotated right by the player to move so that index p is
// player p's value. player_to_move above the length is a fatal stop.
std::vector<float> value_softmax(std::span<const float> logits, Player player_to_move);

}  // namespace tralix
