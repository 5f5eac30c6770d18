#include "search/match.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/fatal_error.h"
#include "search/greedy_player.h"
#include "search/playout_mix.h"

namespace tralix {

std::optional<std::size_t> first_invalid_opening_tile(std::uint32_t dim,
                                                      std::span<const Tile> opening) {
    Game game(dim);
    for (std::size_t i = 0; i < opening.size(); ++i) {
        if (game.is_over() || game.apply_move(opening[i])) return i;
    }
    return std::nullopt;
}

std::variant<Game, MatchFailure> play_match(const std::array<MatchSeat, 4>& seats,
                                            const Config& config, std::span<const Tile> opening,
                                            Rng& rng) {
    Game game(config.dim);
    for (Tile tile : opening) {
        if (game.apply_move(tile)) fatal_stop("a match's opening tile is not valid");
    }
    std::array<std::unique_ptr<SearchTree>, 4> trees;
    std::array<Config, 4> settings;
    UniformEvaluator uniform;  // the playouts seats' network
    std::array<std::optional<PlayoutMixEvaluator>, 4> mixed;
    std::array<Evaluator*, 4> searched{};  // what each searching seat evaluates its leaves with
    for (std::size_t s = 0; s < seats.size(); ++s) {
        const MatchSeat::Kind kind = seats[s].kind;
        if ((kind == MatchSeat::Kind::greedy || kind == MatchSeat::Kind::search) &&
            seats[s].network == nullptr) {
            fatal_stop("a match seat that plays a network has none");
        }
        if (kind == MatchSeat::Kind::player && seats[s].player == nullptr) {
            fatal_stop("a match seat of a player has none");
        }
        if (kind == MatchSeat::Kind::search || kind == MatchSeat::Kind::playouts) {
            trees[s] = std::make_unique<SearchTree>();
            settings[s] = seats[s].settings.value_or(config);
            settings[s].dim = config.dim;
            settings[s].sims_per_move = seats[s].sims;
            if (kind == MatchSeat::Kind::playouts) {
                searched[s] = &mixed[s].emplace(uniform, 1.0f, rng);
            } else if (settings[s].playout_mix > 0.0f) {
                searched[s] = &mixed[s].emplace(*seats[s].network, settings[s].playout_mix, rng);
            } else {
                searched[s] = seats[s].network;
            }
        }
    }
    std::vector<TrainingRecord> records;  // the search's record of each move, not kept
    while (!game.is_over()) {
        const Player mover = game.current_player();
        const MatchSeat& seat = seats[mover];
        Tile tile = 0;
        if (seat.kind == MatchSeat::Kind::random) {
            const std::vector<Tile>& tiles = game.valid_tiles();
            tile = tiles[uniform_index(rng, tiles.size())];
        } else if (seat.kind == MatchSeat::Kind::player) {
            auto choice = seat.player->choose(game);
            if (auto* failure = std::get_if<SearchFailure>(&choice)) {
                return MatchFailure{mover, std::move(*failure)};
            }
            tile = std::get<Tile>(choice);
            const std::vector<Tile>& tiles = game.valid_tiles();
            if (!std::binary_search(tiles.begin(), tiles.end(), tile)) {
                return MatchFailure{mover,
                                    SearchFailure("the player chose tile " + std::to_string(tile) +
                                                  ", which is not a valid tile there")};
            }
        } else {
            auto choice = seat.kind == MatchSeat::Kind::greedy
                              ? greedy_choice(*seat.network, game, rng)
                              : search_move(*searched[mover], *trees[mover], game, settings[mover],
                                            records, rng, /*explore=*/false);
            if (auto* failure = std::get_if<SearchFailure>(&choice)) {
                return MatchFailure{mover, std::move(*failure)};
            }
            tile = std::get<Tile>(choice);
            records.clear();
        }
        game.apply_move(tile);
        for (auto& tree : trees) {
            if (tree) tree->advance_or_reset(tile);
        }
    }
    return game;
}

}  // namespace tralix
