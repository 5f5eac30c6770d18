// The driver of tralix_engine.play_match: the search library's match with the harness's
// networks in their seats, and its result as Python objects.
#pragma once

#include "module/game_context.h"

namespace tralix::drivers {

// Plays one match on a board of side config.dim (seats and opening as read_match_arguments
// takes them) and returns (outcome, history): the four scores by seat as floats and the
// (player, tile) pairs laid, the opening's included. A failing network or player raises
// RuntimeError "seat {s}: {text}" chained to its exception (a player's tile that is not valid:
// no exception to chain); an exception that is not an Exception
// (KeyboardInterrupt, SystemExit) is raised again as it is. seed: null or None (the thread's
// generator) or an int from 0 to 2^64 - 1 seeding a generator of the call's own.
PyObject* play_match(const GameContext& context, PyObject* seats, PyObject* opening,
                     PyObject* seed);

}  // namespace tralix::drivers
