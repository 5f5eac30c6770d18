// An evaluator for tests that needs no network: every valid tile gets the same prior and every
// position the same value scores, as a harness answering with constant logits would.
#pragma once

#include <array>
#include <vector>

#include "simulation/evaluation.h"
#include "simulation/softmax.h"
#include "simulation/thread_random.h"

namespace tralix::testing {

class StubEvaluator : public Evaluator {
public:
    // value_logits are relative to the player to move, as the network gives them.
    explicit StubEvaluator(std::vector<float> value_logits = {0, 0, 0, 0})
        : value_logits_(std::move(value_logits)) {}

    Evaluation evaluate(Node& node, const Game& game) override {
        if (game.is_over()) {
            ++terminal_calls;
            const auto outcome = game.outcome();
            return {{outcome.begin(), outcome.end()}, nullptr};
        }
        ++requests;
        if (fail_at_request != 0 && requests == fail_at_request) {
            return {{}, std::make_unique<Failure>()};
        }
        std::vector<float> logits(game.board().tile_count(), 0.0f), priors;
        masked_policy(logits, game.valid_tiles(), priors);
        node.player = game.current_player();
        std::vector<std::pair<Tile, float>> children;
        for (std::size_t t = 0; t < priors.size(); ++t) {
            if (priors[t] > 0) children.emplace_back(static_cast<Tile>(t), priors[t]);
        }
        node.add_children(children, thread_rng());
        return {value_softmax(value_logits_, game.current_player()), nullptr};
    }

    struct Failure : EvaluationError {
        std::string text() const override { return "RuntimeError: stub failure"; }
    };

    int requests = 0;        // evaluations of positions that are not over
    int terminal_calls = 0;  // evaluations answered by the outcome
    int fail_at_request = 0; // when non-zero, that request fails

private:
    std::vector<float> value_logits_;
};

}  // namespace tralix::testing
