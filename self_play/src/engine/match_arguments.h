// play_match's seats and opening read from Python, every check made before anything is put.
#pragma once

#include <array>
#include <vector>

#include "module/py_ref.h"
#include "search/match.h"

namespace tralix {

struct MatchArguments {
    std::array<MatchSeat, 4> seats;      // networks not yet attached
    std::array<PyObject*, 4> queues{};   // borrowed from seats; null but for network seats
    std::array<PyObject*, 4> players{};  // borrowed from seats; null but for player seats
    std::vector<Tile> opening;
};

// seats: a sequence of four items (not a str or bytes), each None (a uniformly random player),
// an object with a put method (a network playing greedily), a 2-tuple (queue, sims) with
// sims a non-negative int (a network searching sims simulations per move; 0 plays greedily),
// or any other callable (a player choosing its tiles: PythonPlayer).
// opening: null or an iterable of tiles, each valid when its turn comes on an empty board of
// side dim. pipe must have a recv method when a seat plays a network. False with TypeError or
// ValueError set, naming the seat or the opening's index.
bool read_match_arguments(PyObject* seats, PyObject* opening, PyObject* pipe, std::uint32_t dim,
                          MatchArguments& out);

}  // namespace tralix
