#include "search/softmax.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/fatal_error.h"

namespace tralix {
namespace {

float& itself(float& v) { return v; }

}  // namespace

void check_policy_covers(std::span<const float> logits, std::span<const Tile> valid_tiles) {
    for (Tile t : valid_tiles) {
        if (t >= logits.size()) {
            fatal_stop("index out of bounds: the len is " + std::to_string(logits.size()) +
                       " but the index is " + std::to_string(t));
        }
    }
}

void masked_policy(std::span<const float> logits, std::span<const Tile> valid_tiles,
                   std::vector<float>& priors) {
    check_policy_covers(logits, valid_tiles);
    priors.assign(logits.size(), 0.0f);
    std::vector<float> gathered;
    gathered.reserve(valid_tiles.size());
    for (Tile t : valid_tiles) gathered.push_back(logits[t]);
    softmax_in_place(gathered, itself);
    for (std::size_t i = 0; i < valid_tiles.size(); ++i) priors[valid_tiles[i]] = gathered[i];
}

std::vector<float> value_softmax(std::span<const float> logits, Player player_to_move) {
    std::vector<float> probabilities(logits.begin(), logits.end());
    softmax_in_place(probabilities, itself);
    const std::size_t n = probabilities.size();
    if (player_to_move > n) fatal_stop("assertion failed: k <= self.len()");
    if (n > 0)
        std::rotate(probabilities.rbegin(), probabilities.rbegin() + player_to_move,
                    probabilities.rend());
    return probabilities;
}

}  // namespace tralix
