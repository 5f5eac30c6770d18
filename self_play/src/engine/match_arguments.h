// play_match's seats and opening read from Python, every check made before anything is put.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "module/py_ref.h"
#include "search/match.h"

namespace tralix {

// The seats as the match plays them. The Python objects are owned for the whole match: a
// player may drop the caller's last reference to a seat's object (seats[1] = None) while the
// match still plays it.
struct MatchArguments {
    std::array<MatchSeat, 4> seats;  // networks and players not yet attached
    std::array<PyRef, 4> items;      // each seat's object as given
    std::array<PyRef, 4> queues;     // null but for network seats
    std::array<PyRef, 4> players;    // null but for player seats
    std::vector<Tile> opening;
};

// seats: a sequence of four items (not a str or bytes), read from a copy taken first, each
// - None: a uniformly random player;
// - an object with a put method: a network playing greedily;
// - a tuple (queue, sims) or (queue, sims, config), sims a non-negative int: a network
//   searching sims simulations per move (0 plays greedily), with its own search settings read
//   from config as the call's config is read (the eight fields, then search_mode, the Gumbel
//   settings and playout_mix; the board side stays config.dim); without one the call's;
// - a tuple (None, sims) or (None, sims, config), sims at least 1: a search without a network
//   (equal priors, each leaf valued by one random playout), in its own or the call's settings;
// - any other callable: a player choosing its tiles (PythonPlayer).
// opening: null or an iterable of tiles, each valid when its turn comes on an empty board of
// side config.dim. pipe must have a recv method when a seat plays a network. False with
// TypeError or ValueError set, naming the seat or the opening's index (a seat's config that
// cannot be read: "seats[S]: config: {its error}", chained to it).
bool read_match_arguments(PyObject* seats, PyObject* opening, PyObject* pipe, const Config& config,
                          MatchArguments& out);

// tiles: null, None or an iterable of int tiles, each valid when its turn comes on an empty
// board of side dim. False with TypeError or ValueError set naming "{name}[index]".
bool read_tile_sequence(PyObject* tiles, const char* name, std::uint32_t dim,
                        std::vector<Tile>& out);

// seed: null or None (nothing), or an int from 0 to 2**64 - 1. False with TypeError or
// ValueError set naming it.
bool read_seed(PyObject* seed, std::optional<std::uint64_t>& out);

}  // namespace tralix
