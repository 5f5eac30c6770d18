// The search's view of the network: the raw scores of one position, or a failure held as a
// value. The module's evaluator asks the harness through the inference channel; tests and
// benchmarks use stubs. Turning scores into priors and children is the search's job
// (expansion.h), never the evaluator's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "game/game.h"

namespace tralix {

// A failure of the channel to the network; text() gives its text form, built only when asked.
class EvaluationError {
public:
    virtual ~EvaluationError() = default;
    virtual std::string text() const = 0;
};

// The network's raw answer for one position.
struct NetworkScores {
    std::vector<float> policy;  // by tile; at least one entry per valid tile is needed
    std::vector<float> value;   // by seat relative to the player to move (mover first)
};

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // Fills scores for a position that is not over; nothing on success, the failure otherwise
    // (scores are then unspecified). Called only for positions that are not over.
    virtual std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) = 0;
};

}  // namespace tralix
