#include "search/softmax.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/fatal_error.h"

namespace tralix {
namespace {

// The largest entry, ignoring NaN; minus infinity when there is none.
float max_ignoring_nan(std::span<const float> values) {
    float m = -std::numeric_limits<float>::infinity();
    for (float v : values) {
        if (v > m) m = v;
    }
    return m;
}

// In place: e = exp(v - m) rounded to single, then e / sum(e) with the sum in order.
void softmax_in_place(std::span<float> values) {
    const float m = max_ignoring_nan(values);
    float sum = 0.0f;
    for (float& v : values) {
        v = static_cast<float>(std::exp(static_cast<double>(v - m)));
        sum += v;
    }
    for (float& v : values) v = v / sum;
}

}  // namespace

void masked_policy(std::span<const float> logits, std::span<const Tile> valid_tiles,
                   std::vector<float>& priors) {
    priors.assign(logits.size(), 0.0f);
    if (valid_tiles.empty()) return;
    thread_local std::vector<float> gathered;
    gathered.clear();
    for (Tile t : valid_tiles) {
        if (t >= logits.size()) {
            fatal_stop("index out of bounds: the len is " + std::to_string(logits.size()) +
                       " but the index is " + std::to_string(t));
        }
        gathered.push_back(logits[t]);
    }
    softmax_in_place(gathered);
    for (std::size_t i = 0; i < valid_tiles.size(); ++i) priors[valid_tiles[i]] = gathered[i];
}

std::vector<float> value_softmax(std::span<const float> logits, Player player_to_move) {
    std::vector<float> probabilities(logits.begin(), logits.end());
    softmax_in_place(probabilities);
    const std::size_t n = probabilities.size();
    if (player_to_move > n) fatal_stop("assertion failed: k <= self.len()");
    if (n > 0)
        std::rotate(probabilities.rbegin(), probabilities.rbegin() + player_to_move,
                    probabilities.rend());
    return probabilities;
}

}  // namespace tralix
