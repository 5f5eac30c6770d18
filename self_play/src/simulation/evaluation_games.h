// Games that measure a network instead of producing training data. The network sits in seat 0
// and plays greedily from its priors.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "simulation/game_context.h"

namespace tralix {

// The network against three uniformly random players on a board of side config.dim. Puts
// (id, score of seat 0) on result_queue (an exception of that put is dropped) and returns 0;
// after a failed evaluation prints "Error running MCTS: {}" and returns 1, putting nothing.
std::uint8_t play_vs_random(GameContext& context);

// The model (seat 0, requests on model_queue) against the baseline (seats 1 to 3, requests on
// baseline_queue) on a board of side 20, all replies on the one pipe. Prints "Finished Game"
// and the board at the end and returns seat 0's score; after a failed evaluation prints
// "Error running MCTS: {}" and returns the error text "Error running MCTS".
std::variant<float, std::string> play_vs_baseline(GameContext& context, PyObject* model_queue,
                                                  PyObject* baseline_queue);

}  // namespace tralix
