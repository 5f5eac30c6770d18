// A whole self-play game: every tile of every player is chosen by the search, the tree reused
// from move to move.
#pragma once

#include <functional>
#include <variant>
#include <vector>

#include "search/root_search.h"

namespace tralix {

struct TrainingGame {
    Game game;                            // the finished game: its history and outcome
    std::vector<TrainingRecord> records;  // one per tile laid, in order
};

// Called after each search with the root (its children's visit counts) and the chosen tile,
// before the tile is laid; for benchmarks and tests.
using MoveObserver = std::function<void(const Node& root, Tile chosen)>;

// Plays a game on a board of side config.dim to its end, or stops at the first failed search.
std::variant<TrainingGame, SearchFailure> play_training_game(Evaluator& evaluator,
                                                             const Config& config, Rng& rng,
                                                             const MoveObserver& observe = {});

}  // namespace tralix
