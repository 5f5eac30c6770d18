#include "search/training_game.h"

namespace tralix {

std::variant<TrainingGame, SearchFailure> play_training_game(Evaluator& evaluator,
                                                             const Config& config, Rng& rng,
                                                             const MoveObserver& observe) {
    TrainingGame result{Game(config.dim), {}, {}};
    SearchTree tree;
    Config cheap = config;
    cheap.sims_per_move = config.cheap_sims;
    const bool capped = config.full_search_share < 1.0f;
    while (!result.game.is_over()) {
        const std::vector<Tile>& valid = result.game.valid_tiles();
        if (config.skip_forced_moves && valid.size() == 1) {
            const Tile tile = valid.front();
            result.records.push_back({{tile, 1.0f}});
            if (config.record_root_values) {
                result.root_values.push_back(SearchTree::MoveValues{}.mean());
            }
            result.game.apply_move(tile);
            tree.advance_or_reset(tile);
            continue;
        }
        const bool full = !capped || uniform_float(rng) < config.full_search_share;
        auto choice =
            search_move(evaluator, tree, result.game, full ? config : cheap, result.records, rng);
        if (auto* failure = std::get_if<SearchFailure>(&choice)) return std::move(*failure);
        if (!full) result.records.back().clear();
        if (config.record_root_values) result.root_values.push_back(tree.move_values().mean());
        const Tile tile = std::get<Tile>(choice);
        if (observe) observe(tree.root(), tile);
        result.game.apply_move(tile);
        tree.advance_root(tile);
    }
    return result;
}

}  // namespace tralix
