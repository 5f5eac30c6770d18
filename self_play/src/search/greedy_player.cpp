#include "search/greedy_player.h"

namespace tralix {

std::variant<Tile, SearchFailure> greedy_choice(Evaluator& evaluator, const Game& game, Rng& rng) {
    Node root;
    Evaluation evaluation = evaluate_and_expand(evaluator, root, game, rng);
    if (evaluation.error) {
        return SearchFailure("Error evaluating root node: ", std::move(evaluation.error));
    }
    const Node* best = nullptr;
    float best_prior = 0.0f;
    for (const Node& child : root.children) {
        if (child.prior > best_prior) {
            best = &child;
            best_prior = child.prior;
        }
    }
    // Without a candidate the same position would be asked again and again: treat it as a
    // failed evaluation instead.
    if (best == nullptr) {
        return SearchFailure(
            "Error evaluating root node: the network gave no valid tile a positive prior");
    }
    return best->tile;
}

std::variant<Tile, std::string> greedy_move(Evaluator& evaluator, const Game& game, Rng& rng) {
    auto choice = greedy_choice(evaluator, game, rng);
    if (auto* failure = std::get_if<SearchFailure>(&choice)) return failure->text();
    return std::get<Tile>(choice);
}

}  // namespace tralix
