// What evaluating a position yields, and the interface the search and the greedy player use to
// get it. The module's evaluator asks the harness through the inference channel; tests use
// stubs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "game/game.h"
#include "simulation/node.h"

namespace tralix {

// A failure of the channel to the network, held as a value; text() gives its text form.
class EvaluationError {
public:
    virtual ~EvaluationError() = default;
    virtual std::string text() const = 0;
};

struct Evaluation {
    // Value of the position for each player, by absolute seat (index p is player p).
    std::vector<float> values;
    // Set when the evaluation failed; values is then empty.
    std::unique_ptr<EvaluationError> error;
};

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // A finished game is answered by its outcome and leaves the node alone. Otherwise the
    // node's player becomes the player to move and it gains one child per valid tile with a
    // positive prior; on failure the node is left unchanged.
    virtual Evaluation evaluate(Node& node, const Game& game) = 0;
};

}  // namespace tralix
