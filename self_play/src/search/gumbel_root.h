// The Gumbel search of one move: at the root, Gumbel top-k sampling of the children to consider
// and sequential halving of the simulation budget between them; below the root, the sound
// rules. The move is the survivor and the record is the improved policy.
#pragma once

#include <variant>
#include <vector>

#include "search/completed_values.h"
#include "search/root_search.h"

namespace tralix {

struct GumbelMove {
    Tile tile = 0;  // the survivor
    // The survivor had the draws been left out of the final comparison: among the children
    // searched most, the best by log prior plus transformed value.
    Tile best_without_draws = 0;
    // softmax(log prior + sigma(completed value)) over every root child, in the root's order.
    TrainingRecord improved_policy;
};

// The improved policy of the root as it stands, its values transformed with min_spread.
TrainingRecord improved_policy(const Node& root, double min_spread = 1e-8);

// Searches config.sims_per_move simulations from the expanded root (it must have children).
// The min(config.gumbel_considered, children) children with the highest log prior plus a
// Gumbel draw (no draw when noise is false) are considered; the budget goes round them in
// phases, each giving every remaining child max(1, budget / (ceil(log2 k) * remaining))
// visits, after which the better half by log prior + draw + transformed value stays (never
// fewer than two). The survivor is the best such child among those the search visited most.
std::variant<GumbelMove, SearchFailure> gumbel_search(Evaluator& evaluator, SearchTree& tree,
                                                      const Game& game, const Config& config,
                                                      Rng& rng, bool noise);

}  // namespace tralix
