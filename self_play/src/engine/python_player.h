// A match seat played by a Python callable: a person at a board, or a scripted player.
#pragma once

#include <utility>
#include <vector>

#include "module/py_ref.h"
#include "search/match.h"

namespace tralix {

class PythonPlayer : public MovePlayer {
public:
    // Holds its own reference to callable for the match.
    explicit PythonPlayer(PyRef callable) : callable_(std::move(callable)) {}

    // Calls callable(history, valid): history the (player, tile) tuples laid so far, valid the
    // tiles the player to move may lay, ascending, both new lists. The result must be an int
    // (not a bool) that fits a tile; whether it is a valid one the match checks. An exception
    // raised by the callable, or a result that is not a tile, is the failure "the player
    // failed: {exception}", the exception kept as its cause.
    std::variant<Tile, SearchFailure> choose(const Game& game) override;

private:
    PyRef callable_;
};

// The (player, tile) tuples of moves as a new list; null with a Python error set on failure.
PyRef history_list(const std::vector<Move>& moves);

}  // namespace tralix
