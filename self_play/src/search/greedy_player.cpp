#include "search/greedy_player.h"

namespace tralix {

std::variant<Tile, std::string> greedy_move(Evaluator& evaluator, const Game& game, Rng& rng) {
    Node root;
    Evaluation evaluation = evaluate_and_expand(evaluator, root, game, rng);
    if (evaluation.error) return "Error evaluating root node: " + evaluation.error->text();
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
        return std::string(
            "Error evaluating root node: the network gave no valid tile a "
            "positive prior");
    }
    return best->tile;
}

}  // namespace tralix
