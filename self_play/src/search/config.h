// The per-call configuration, read once from the harness's config object.
#pragma once

#include <cstdint>

namespace tralix {

struct Config {
    std::uint32_t dim = 0;            // board side of training games and games against random
    std::uint32_t rep = 0;            // 1: planes first, 2: values of each tile last
    std::uint32_t sims_per_move = 0;  // simulations per move of a training game
    std::uint32_t sample_moves = 0;   // moves before this count are sampled by visits
    float c_base = 0;                 // exploration weight: log growth base
    float c_init = 0;                 // exploration weight: added constant
    float dirichlet_alpha = 0;        // root noise concentration
    float exploration_fraction = 0;   // root noise weight
};

}  // namespace tralix
