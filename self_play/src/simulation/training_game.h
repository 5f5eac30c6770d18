// The self-play game of play_training_game: every tile of every player is chosen by the search,
// and at the end (id, (history, records, outcome)) goes to result_queue.
#pragma once

#include <cstdint>

#include "simulation/game_context.h"

namespace tralix {

// 0 when the game was played to its end and its result handed to result_queue.put (whose
// exception is dropped); 1 when a search failed, and then nothing is put. Throws
// PythonErrorSet when the result itself cannot be built (out of memory).
std::uint8_t play_training(GameContext& context);

}  // namespace tralix
