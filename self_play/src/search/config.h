// The per-call configuration, read once from the harness's config object.
#pragma once

#include <cstdint>

namespace tralix {

// How the search credits values and picks the move. tralix_self_play always plays `visits`;
// tralix_engine reads the mode from the config's search_mode attribute.
enum class SearchMode : std::uint8_t {
    // Each node credited with its own player's value, the root never counted, unvisited
    // children worth 0: the self-play module's search.
    visits = 0,
    // Each child credited with the value of the player who laid its tile, the root counted,
    // unvisited children worth their parent's value less first_play_reduction.
    sound = 1,
    // The sound rules below the root; at the root Gumbel top-k sampling and sequential halving,
    // and the improved policy as the move's record.
    gumbel = 2,
};

struct Config {
    std::uint32_t dim = 0;            // board side of training games and games against random
    std::uint32_t rep = 0;            // 1: planes first, 2: values of each tile last
    std::uint32_t sims_per_move = 0;  // simulations per move of a training game
    std::uint32_t sample_moves = 0;   // moves before this count are sampled by visits
    float c_base = 0;                 // exploration weight: log growth base
    float c_init = 0;                 // exploration weight: added constant
    float dirichlet_alpha = 0;        // root noise concentration
    float exploration_fraction = 0;   // root noise weight
    SearchMode search_mode = SearchMode::visits;
    // Sound and Gumbel modes: an unvisited child's value is its parent's less this.
    float first_play_reduction = 0.1f;
    // Gumbel mode: the most root children considered by sequential halving.
    std::uint32_t gumbel_considered = 16;
    // Gumbel mode: the least spread of the root's completed values that the value transform
    // stretches to its full scale; a smaller spread counts as this (0: any spread).
    float gumbel_min_spread = 0.0f;
    // Gumbel mode: below the root, the improved policy's deterministic rule instead of the
    // sound PUCT rule.
    bool gumbel_improved_interior = false;
    // Playout cap (training games of tralix_engine): each move is searched in full, with
    // sims_per_move simulations, with this probability, and otherwise cheaply with cheap_sims;
    // a cheap search's record is left empty, as it is no policy target. At 1 no draw is made.
    float full_search_share = 1.0f;
    std::uint32_t cheap_sims = 0;
    // tralix_engine's training games and searching match seats: the weight of one random
    // playout's outcome blended into each network value (0: the network's value alone).
    float playout_mix = 0.0f;
    // tralix_engine: rep 3 is accepted, the full position sent as bytes (Game encode_full).
    bool full_input_allowed = false;
    // Training games of tralix_engine in the Gumbel mode: Gumbel draws choose the considered
    // children at every move, not only while moves are sampled; after sample_moves the move
    // played is the survivor of the same search without its draws.
    bool gumbel_every_move = false;
    // Training games of tralix_engine: a position with one valid tile is played without a
    // search; its record is that tile with share 1 (no policy target).
    bool skip_forced_moves = false;
    // Training games of tralix_engine: the result also holds, for each move, the mean of the
    // value vectors the search met (the root's evaluation and every simulation's leaf).
    bool record_root_values = false;
};

}  // namespace tralix
