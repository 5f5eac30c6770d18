#include "search/expansion.h"

#include <utility>

#include "search/softmax.h"

namespace tralix {

Evaluation evaluate_and_expand(Evaluator& evaluator, Node& node, const Game& game, Rng& rng) {
    if (game.is_over()) {
        const std::array<float, 4> outcome = game.outcome();
        return {{outcome.begin(), outcome.end()}, nullptr};
    }
    // Local, not per-thread: the evaluator may call into Python, which could start another
    // game on this very thread.
    NetworkScores scores;
    if (auto error = evaluator.evaluate(game, scores)) return {{}, std::move(error)};

    thread_local std::vector<float> priors;
    masked_policy(scores.policy, game.valid_tiles(), priors);
    std::vector<float> values = value_softmax(scores.value, game.current_player());

    node.player = game.current_player();
    thread_local std::vector<std::pair<Tile, float>> children;
    children.clear();
    for (std::size_t t = 0; t < priors.size(); ++t) {
        if (priors[t] > 0.0f) children.emplace_back(static_cast<Tile>(t), priors[t]);
    }
    node.add_children(children, rng);
    return {std::move(values), nullptr};
}

}  // namespace tralix
