#include "search/random.h"

namespace tralix {

Rng& thread_rng() {
    thread_local Rng rng = [] {
        std::random_device entropy;
        std::seed_seq seed{entropy(), entropy(), entropy(), entropy(),
                           entropy(), entropy(), entropy(), entropy()};
        return Rng(seed);
    }();
    return rng;
}

}  // namespace tralix
