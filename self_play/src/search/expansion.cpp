#include "search/expansion.h"

#include <utility>

#include "search/softmax.h"

namespace tralix {

Evaluation evaluate_and_expand(Evaluator& evaluator, Node& node, const Game& game, Rng& rng) {
    // Local, not per-thread: the evaluator may call into Python, which could start another
    // game on this very thread.
    NetworkScores scores;
    return evaluate_and_expand(evaluator, node, game, rng, scores);
}

Evaluation evaluate_and_expand(Evaluator& evaluator, Node& node, const Game& game, Rng& rng,
                               NetworkScores& scores) {
    if (game.is_over()) {
        const std::array<float, 4> outcome = game.outcome();
        return {{outcome.begin(), outcome.end()}, nullptr};
    }
    if (auto error = evaluator.evaluate(game, scores)) return {{}, std::move(error)};

    const std::vector<Tile>& valid = game.valid_tiles();
    check_policy_covers(scores.policy, valid);
    std::vector<float> values = value_softmax(scores.value, game.current_player());

    node.player = game.current_player();
    // A short value list is the backup's to report; here it only leaves the estimate at 0.
    node.own_value = node.player < values.size() ? values[node.player] : 0.0f;
    if (!node.children.empty()) {
        // Not reached by the search, which expands leaves only; kept for the contract.
        std::vector<float> priors;
        masked_policy(scores.policy, valid, priors);
        std::vector<std::pair<Tile, float>> children;
        for (Tile t : valid) {
            if (priors[t] > 0.0f) children.emplace_back(t, priors[t]);
        }
        node.add_children(children, rng);
        return {std::move(values), nullptr};
    }
    // The priors are worked out in the node's own block: one child per valid tile, in the
    // tiles' ascending order, the softmax of their scores, then those whose prior is not above
    // 0 dropped. The same children and the same draws as add_children with masked_policy.
    std::vector<Node>& children = node.children;
    children.reserve(valid.size());
    for (Tile t : valid) children.emplace_back(t, scores.policy[t]);
    softmax_in_place(children, [](Node& child) -> float& { return child.prior; });
    std::erase_if(children, [](const Node& child) { return !(child.prior > 0.0f); });
    node.shuffle_children(rng);
    return {std::move(values), nullptr};
}

}  // namespace tralix
