// Test support for the search: an evaluator that needs no network, and the message of a fatal
// stop. The stub gives every position zero policy scores (equal priors over the valid tiles) and
// the same value scores, as a harness answering with constant scores would; it counts its
// requests and can fail one of them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "search/evaluator.h"
#include "search/training_game.h"

namespace tralix::testing {

class StubEvaluator : public Evaluator {
public:
    // value_scores are relative to the player to move, as the network gives them.
    explicit StubEvaluator(std::vector<float> value_scores = {0, 0, 0, 0})
        : value_scores_(std::move(value_scores)) {}

    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        ++requests;
        if (game.is_over()) ++finished_positions;
        players_asked.push_back(game.current_player());
        if (fail_at_request != 0 && requests == fail_at_request) {
            return std::make_unique<Failure>();
        }
        scores.policy.assign(game.board().tile_count(), 0.0f);
        scores.value = value_scores_;
        return nullptr;
    }

    struct Failure : EvaluationError {
        std::string text() const override { return "RuntimeError: stub failure"; }
    };

    int requests = 0;                   // evaluations asked for (never for a finished position)
    int fail_at_request = 0;            // when non-zero, that request fails
    int finished_positions = 0;         // requests about a finished game: must stay 0
    std::vector<Player> players_asked;  // the player to move of each request

private:
    std::vector<float> value_scores_;
};

// The sum of the chosen tiles and of the root children's visit counts at every move of a
// training game from a seeded generator, the stub answering with the same value scores: a
// signature that any change to the search, the rules or the use of random draws moves.
inline std::uint64_t training_signature(const Config& config, std::uint64_t seed) {
    StubEvaluator evaluator({0.5f, 0.0f, -0.5f, 0.0f});
    Rng rng(seed);
    std::uint64_t signature = 0;
    auto played = play_training_game(evaluator, config, rng, [&](const Node& root, Tile tile) {
        signature += tile;
        for (const Node& c : root.children) signature += c.visit_count;
    });
    if (!std::holds_alternative<TrainingGame>(played)) return 0;
    return signature;
}

// The message of the fatal stop that f ends in, or "no fatal stop".
inline std::string fatal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& stop) {
        return stop.message();
    }
    return "no fatal stop";
}

}  // namespace tralix::testing
