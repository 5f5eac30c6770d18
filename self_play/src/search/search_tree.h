// The search tree of one training game: the root stands for the present position and keeps
// the statistics of earlier searches below it. Only the subtree of the present position is
// kept: when the root advances, siblings and ancestors are freed, since nothing reads them.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "search/evaluator.h"
#include "search/node.h"

namespace tralix {

class SearchTree {
public:
    SearchTree() : root_(std::make_unique<Node>()) {}

    // The node of the present position.
    Node& root() { return *root_; }
    const Node& root() const { return *root_; }

    // After the tile has been applied to the real game, its child becomes the root with its
    // statistics and subtree; everything else is freed. A root without a child under the tile
    // is a fatal stop "Child should have corresponding action".
    void advance_root(Tile tile);
    // The same when the root has a child under the tile; otherwise the tree starts afresh from
    // an empty root (a match's searcher following another seat's move it never searched).
    void advance_or_reset(Tile tile);

    // Storage the simulations of this tree reuse from one to the next, so that a simulation
    // allocates only for what it adds to the tree: the game the descent plays on (assigned from
    // the real game each time, keeping its vectors' capacity), the path, the network's scores.
    // Per tree, not per thread: a game that Python starts on this thread during an evaluation
    // has a tree of its own.
    struct Scratch {
        std::optional<Game> game;
        std::vector<Node*> path;
        NetworkScores scores;
        std::vector<float> values;  // the Gumbel interior rule's working storage
    };
    Scratch& scratch() { return scratch_; }

    // The value vectors (by absolute seat) that the search of the present move has met: the
    // root's own evaluation when the move expanded it, and each simulation's leaf. Their mean
    // is the move's searched value, a value target steadier than the game's one outcome.
    struct MoveValues {
        std::array<double, 4> sum{};
        std::uint32_t count = 0;
        void add(std::span<const float> values);
        // The mean by seat; NaN everywhere when nothing was met.
        std::array<float, 4> mean() const;
    };
    MoveValues& move_values() { return move_values_; }

private:
    std::unique_ptr<Node> root_;
    Scratch scratch_;
    MoveValues move_values_;
};

}  // namespace tralix
