// The game drivers behind the module's three entry functions, each named after the function it
// serves. A driver wraps a game loop of the search library in the Python around it: the
// inference channels, the result handed to the harness, the printed lines. Each returns the
// call's result as a new reference, or null with a Python error set.
#pragma once

#include "module/game_context.h"

namespace tralix::drivers {

// A self-play game. 0 when the game was played to its end and (id, (history, records,
// outcome)) handed to result_queue.put, whose exception is dropped; 1 when a search failed,
// and then nothing is put. Raises when the result itself cannot be built (out of memory).
PyObject* play_training_game(const GameContext& context, PyObject* inference_queue);

// The network against three random players on a board of side config.dim. 0 after putting
// (id, score of seat 0) on result_queue (an exception of that put is dropped); after a failed
// evaluation prints "Error running MCTS: {}" and returns 1, putting nothing. Raises when the
// result cannot be built (out of memory).
PyObject* play_test_against_random(const GameContext& context, PyObject* inference_queue);

// The model (seat 0, requests on model_queue) against the baseline (seats 1 to 3, requests on
// baseline_queue) on a board of side 20, all replies on the one pipe. Prints "Finished Game"
// and the board at the end and returns seat 0's score as a float; after a failed evaluation
// prints "Error running MCTS: {}" and raises Exception("Error running MCTS").
PyObject* play_test_game(const GameContext& context, PyObject* model_queue,
                         PyObject* baseline_queue);

}  // namespace tralix::drivers
