// The driver of tralix_engine.search_position: one move's search from a given position, as a
// training game would search it, with everything the search found. For measuring what the
// search teaches (its records against a deeper search's) without playing whole games.
#pragma once

#include "module/game_context.h"

namespace tralix::drivers {

// Lays the tiles of position (read as play_match reads an opening, errors naming
// "position[i]") on a new game of side config.dim and searches the next move with
// config's settings as a training game's move number len(position) is searched (noise, Gumbel
// draws, the playout blend; never the playout cap's cheap search). Returns (tile, record,
// root_value, children): the tile the search plays, the move's record as a training game keeps
// it, the mean value vector its search met (four floats by seat), and for every root child
// (tile, prior, visits, completed value for the player to move), in the root's order. A
// position that is over is a ValueError; a failing network raises RuntimeError chained to its
// exception. seed as play_match's.
PyObject* search_position(const GameContext& context, PyObject* position, PyObject* inference_queue,
                          PyObject* seed);

}  // namespace tralix::drivers
