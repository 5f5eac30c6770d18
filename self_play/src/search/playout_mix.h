// An evaluator that blends the network's value with the outcome of one game played on at
// random from the position. A playout costs a fraction of a network evaluation and its outcome
// knows the end of the game, which the value head has to learn; the self-play search's records
// are made of the blended values.
#pragma once

#include <optional>

#include "search/evaluator.h"
#include "search/random.h"

namespace tralix {

class PlayoutMixEvaluator : public Evaluator {
public:
    // mix in (0, 1]: the playout's weight in the blended value.
    PlayoutMixEvaluator(Evaluator& network, float mix, Rng& rng)
        : network_(network), mix_(mix), rng_(rng) {}

    // The network's scores, their value replaced by the log of
    // (1 - mix) * softmax(network value) + mix * playout outcome, relative to the player to move
    // (the search's softmax gives the blend back).
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override;

private:
    Evaluator& network_;
    float mix_;
    Rng& rng_;
    std::optional<Game> playout_;  // reused from call to call: no allocation per leaf
};

// A network with no opinion: equal policy scores for every tile and equal value scores. Under a
// playout mix of 1 it is a search without a network: equal priors for the valid tiles, each
// leaf valued by one random playout's outcome.
class UniformEvaluator : public Evaluator {
public:
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override;
};

// The outcome of a game played on from game by uniformly random tiles drawn from rng, in
// absolute seat order. scratch holds the playout (its storage is reused).
std::array<float, 4> random_playout(const Game& game, Rng& rng, std::optional<Game>& scratch);

}  // namespace tralix
