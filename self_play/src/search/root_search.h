// The search for one move of a training game: expand the root if needed, mix exploration noise
// into its children's priors, run the simulations, record the visit shares and choose the tile.
#pragma once

#include <utility>
#include <variant>
#include <vector>

#include "search/random.h"
#include "search/simulation.h"

namespace tralix {

// (tile, share of the root children's visits) for every child of the root, in its order.
using TrainingRecord = std::vector<std::pair<Tile, float>>;
// (tile, visits) for every child of the root, in its order.
using VisitDistribution = std::vector<std::pair<Tile, std::uint32_t>>;

// Appends one record to records and returns the tile to play, or the failure of the root
// evaluation ("Error evaluating root node: {}") or of a simulation. The search follows
// config.search_mode; in the sound and Gumbel modes a freshly expanded root counts its own
// evaluation as its first visit. The record is the visit shares, or the improved policy in the
// Gumbel mode. Without explore (a match, not a training game) there is no root noise and no
// sampling: the most visited tile, or the Gumbel survivor without draws.
std::variant<Tile, SearchFailure> search_move(Evaluator& evaluator, SearchTree& tree,
                                              const Game& game, const Config& config,
                                              std::vector<TrainingRecord>& records, Rng& rng,
                                              bool explore = true);

// Mixes a Dirichlet(alpha, ..., alpha) sample into the priors of the root's children:
// prior = noise * fraction + prior * (1 - fraction). The sample is drawn in log space and
// normalised in double precision, so it is a probability vector even when every Gamma draw
// would underflow. alpha not above 0 (or NaN) is a fatal stop
// "Noise should be generated ok: AlphaTooSmall".
void add_root_noise(Node& root, float alpha, float exploration_fraction, Rng& rng);

// While record_count < sample_moves, draws a tile in proportion to its visits; afterwards the
// most visited tile, ties going to the later entry. distribution must not be empty.
Tile choose_move(const VisitDistribution& distribution, std::size_t record_count,
                 std::uint32_t sample_moves, Rng& rng);

}  // namespace tralix
