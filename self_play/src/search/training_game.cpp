#include "search/training_game.h"

namespace tralix {

std::variant<TrainingGame, SearchFailure> play_training_game(Evaluator& evaluator,
                                                             const Config& config, Rng& rng,
                                                             const MoveObserver& observe) {
    TrainingGame result{Game(config.dim), {}};
    SearchTree tree;
    while (!result.game.is_over()) {
        auto choice = search_move(evaluator, tree, result.game, config, result.records, rng);
        if (auto* failure = std::get_if<SearchFailure>(&choice)) return std::move(*failure);
        const Tile tile = std::get<Tile>(choice);
        if (observe) observe(tree.root(), tile);
        result.game.apply_move(tile);
        tree.advance_root(tile);
    }
    return result;
}

}  // namespace tralix
