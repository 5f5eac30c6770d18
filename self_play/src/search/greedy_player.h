// The network's move in evaluation games: one evaluation of the position, then the tile with
// the highest prior. No search.
#pragma once

#include <string>
#include <variant>

#include "search/expansion.h"
#include "search/search_failure.h"

namespace tralix {

// The tile whose child has the highest prior (the first met among equal ones, in the root's
// iteration order, which rng shuffles), or an error text: "Error evaluating root node: {}" when the
// evaluation fails, and "Error evaluating root node: the network gave no valid tile a positive
// prior" when no child could be made (playing on would ask about the same position forever).
std::variant<Tile, std::string> greedy_move(Evaluator& evaluator, const Game& game, Rng& rng);
// The same, the failure keeping the network's error as its cause.
std::variant<Tile, SearchFailure> greedy_choice(Evaluator& evaluator, const Game& game, Rng& rng);

}  // namespace tralix
