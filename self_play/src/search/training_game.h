// A whole self-play game: every tile of every player is chosen by the search, the tree reused
// from move to move.
#pragma once

#include <array>
#include <functional>
#include <variant>
#include <vector>

#include "search/root_search.h"

namespace tralix {

struct TrainingGame {
    Game game;                            // the finished game: its history and outcome
    std::vector<TrainingRecord> records;  // one per tile laid, in order
    // With config.record_root_values, one per tile laid: the mean value vector the move's
    // search met (SearchTree::MoveValues), NaN for a move played without a search.
    std::vector<std::array<float, 4>> root_values;
};

// Called after each search with the root (its children's visit counts) and the chosen tile,
// before the tile is laid; for benchmarks and tests.
using MoveObserver = std::function<void(const Node& root, Tile chosen)>;

// Plays a game on a board of side config.dim to its end, or stops at the first failed search.
// With config.skip_forced_moves, a position with one valid tile is played without a search (the
// observer is not called) and recorded as that tile with share 1.
std::variant<TrainingGame, SearchFailure> play_training_game(Evaluator& evaluator,
                                                             const Config& config, Rng& rng,
                                                             const MoveObserver& observe = {});

}  // namespace tralix
