// Games that measure a network instead of producing training data. The network sits in seat 0
// and plays greedily from the priors of one evaluation per move, without search.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "search/greedy_player.h"

namespace tralix {

// The network against three uniformly random players on a board of side dim: the finished
// game, or the greedy player's error text. rng draws the random seats' tiles and orders the
// network's candidates.
std::variant<Game, std::string> play_against_random(Evaluator& network, std::uint32_t dim,
                                                    Rng& rng);

// model in seat 0 against baseline in seats 1 to 3 on a board of side dim: the finished game,
// or the greedy player's error text.
std::variant<Game, std::string> play_against_baseline(Evaluator& model, Evaluator& baseline,
                                                      std::uint32_t dim, Rng& rng);

}  // namespace tralix
