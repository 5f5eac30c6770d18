#include "search/evaluation_games.h"

#include "core/fatal_error.h"

namespace tralix {
namespace {

Tile random_tile(const Game& game, Rng& rng) {
    const std::vector<Tile>& tiles = game.valid_tiles();
    if (tiles.empty()) fatal_stop("A random player was asked to move without a valid tile");
    return tiles[uniform_index(rng, tiles.size())];
}

}  // namespace

std::variant<Game, std::string> play_against_random(Evaluator& network, std::uint32_t dim,
                                                    Rng& rng) {
    Game game(dim);
    while (!game.is_over()) {
        Tile tile;
        if (game.current_player() != 0) {
            tile = random_tile(game, rng);
        } else {
            auto choice = greedy_move(network, game, rng);
            if (auto* error = std::get_if<std::string>(&choice)) return std::move(*error);
            tile = std::get<Tile>(choice);
        }
        game.apply_move(tile);
    }
    return game;
}

std::variant<Game, std::string> play_against_baseline(Evaluator& model, Evaluator& baseline,
                                                      std::uint32_t dim, Rng& rng) {
    Game game(dim);
    while (!game.is_over()) {
        Evaluator& mover = game.current_player() == 0 ? model : baseline;
        auto choice = greedy_move(mover, game, rng);
        if (auto* error = std::get_if<std::string>(&choice)) return std::move(*error);
        game.apply_move(std::get<Tile>(choice));
    }
    return game;
}

}  // namespace tralix
