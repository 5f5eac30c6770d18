// A game between four players of any kind, each seat its own: uniformly random, a network that
// plays the highest prior, a network that searches with its own tree, reused from move to
// move, a search without a network (random playouts), or a player outside the search (a
// person, a script). Evaluation plays searching players through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "search/root_search.h"
#include "search/search_failure.h"

namespace tralix {

// A player that is neither random nor a network: a person at a board, or a scripted player.
class MovePlayer {
public:
    virtual ~MovePlayer() = default;
    // The tile to lay in game, which is not over, or the failure that ends the match.
    virtual std::variant<Tile, SearchFailure> choose(const Game& game) = 0;
};

struct MatchSeat {
    enum class Kind : std::uint8_t {
        random,    // uniformly random tiles
        greedy,    // the network's highest prior
        search,    // the network searching sims simulations per move
        player,    // a MovePlayer
        playouts,  // a search without a network: equal priors, each leaf valued by the outcome
                   // of one uniformly random playout
    };
    Kind kind = Kind::random;
    Evaluator* network = nullptr;  // greedy and search seats
    std::uint32_t sims = 0;        // search and playouts seats: simulations per move
    MovePlayer* player = nullptr;  // player seats
    // search and playouts seats: their own search settings (the board side and the
    // simulations per move stay the match's and the seat's); none: the match's config.
    std::optional<Config> settings{};
};

struct MatchFailure {
    Player seat = 0;  // whose network failed
    SearchFailure failure;
};

// The index of the first tile of opening that is not valid when its turn comes on an empty
// board of side dim, or nothing when every tile is (a game that ends on the way makes the
// rest invalid).
std::optional<std::size_t> first_invalid_opening_tile(std::uint32_t dim,
                                                      std::span<const Tile> opening);

// Plays one game on a board of side config.dim from the tiles of opening (which must all be
// valid) to its end. Searching seats use their own settings, or config's, with sims_per_move
// replaced by their own sims, without root noise, and with a playout_mix above 0 each network
// value blended with a random playout drawn from rng (a playouts seat: a uniform evaluator
// under a mix of 1); each keeps its tree across the game, following every tile laid. Random
// seats draw with rng, so the same seats and rng state give the same game. Ends
// at the first failing network or player; a player's tile that is not valid is a failure "the
// player chose tile T, which is not a valid tile there", the game left as it was.
std::variant<Game, MatchFailure> play_match(const std::array<MatchSeat, 4>& seats,
                                            const Config& config, std::span<const Tile> opening,
                                            Rng& rng);

}  // namespace tralix
