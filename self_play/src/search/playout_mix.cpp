#include "search/playout_mix.h"

#include <cmath>

#include "search/softmax.h"

namespace tralix {

std::array<float, 4> random_playout(const Game& game, Rng& rng, std::optional<Game>& scratch) {
    if (scratch) {
        *scratch = game;
    } else {
        scratch.emplace(game);
    }
    Game& playout = *scratch;
    while (!playout.is_over()) {
        const std::vector<Tile>& tiles = playout.valid_tiles();
        playout.apply_move(tiles[uniform_index(rng, tiles.size())]);
    }
    return playout.outcome();
}

std::unique_ptr<EvaluationError> UniformEvaluator::evaluate(const Game& game,
                                                            NetworkScores& scores) {
    scores.policy.assign(game.board().tile_count(), 0.0f);
    scores.value.assign(4, 0.0f);
    return nullptr;
}

std::unique_ptr<EvaluationError> PlayoutMixEvaluator::evaluate(const Game& game,
                                                               NetworkScores& scores) {
    if (auto error = network_.evaluate(game, scores)) return error;
    if (scores.value.size() != 4) return nullptr;  // the search reports a short value list
    const std::array<float, 4> outcome = random_playout(game, rng_, playout_);
    softmax_in_place(scores.value, [](float& v) -> float& { return v; });
    const Player mover = game.current_player();
    for (Player i = 0; i < 4; ++i) {
        const float blended = (1.0f - mix_) * scores.value[i] + mix_ * outcome[(mover + i) % 4];
        scores.value[i] = std::log(blended);  // log 0 is -inf: a share of 0 after the softmax
    }
    return nullptr;
}

}  // namespace tralix
