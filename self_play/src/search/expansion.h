// Evaluating a leaf and expanding it: the one place where the network's scores become priors,
// children and a value vector.
#pragma once

#include <memory>
#include <vector>

#include "search/evaluator.h"
#include "search/node.h"
#include "search/random.h"

namespace tralix {

struct Evaluation {
    // Value of the position for each player, by absolute seat (index p is player p).
    std::vector<float> values;
    // Set when the evaluation failed; values is then empty.
    std::unique_ptr<EvaluationError> error;
};

// A finished game is answered by its outcome and leaves the node alone, without asking the
// evaluator. Otherwise the evaluator is asked once; the node's player becomes the player to
// move and it gains one child per valid tile with a positive prior (softmax of the policy
// scores over the valid tiles), inserted in an order shuffled with rng; the values are the
// softmax of the value scores, turned to absolute seats. On failure the node is left unchanged.
// A valid tile beyond the policy scores or a player to move beyond the value scores is a
// fatal stop.
Evaluation evaluate_and_expand(Evaluator& evaluator, Node& node, const Game& game, Rng& rng);
// The same, with the network's scores written into storage the caller keeps.
Evaluation evaluate_and_expand(Evaluator& evaluator, Node& node, const Game& game, Rng& rng,
                               NetworkScores& scores);

}  // namespace tralix
