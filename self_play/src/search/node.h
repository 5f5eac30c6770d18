// A search-tree node: one position, reached from its parent by laying one tile, with the
// statistics the simulations gather. Children live by value in one contiguous block per node,
// in an order shuffled at insertion, so iteration order is fixed while the children do not
// change, unrelated to tile numbers and different from node to node.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/types.h"
#include "game/game.h"
#include "search/random.h"

namespace tralix {

struct Node {
    // The children in this node's iteration order; every order-dependent rule uses it.
    std::vector<Node> children;
    // Set when the tile that leads here completes a piece, once a simulation has laid it: the
    // turn that starts here, which later descents take instead of generating moves again.
    std::unique_ptr<TurnStart> turn_start;
    Tile tile = 0;        // the tile that leads from the parent to this node
    Player player = 0;    // player to move, written when expanded from a network evaluation
    float value_sum = 0;  // values credited by backups, each for this node's player
    std::uint32_t visit_count = 0;
    float prior = 0;
    // The network's value of this position for its own player to move, written when expanded
    // from a network evaluation; the sound search's estimate for a node with no visited child.
    float own_value = 0;

    Node() = default;
    Node(Tile tile_, float prior_) : tile(tile_), prior(prior_) {}

    // value_sum / visit_count in single precision; 0 while unvisited.
    float mean_value() const {
        return visit_count == 0 ? 0.0f : value_sum / static_cast<float>(visit_count);
    }

    // The child under a tile, or null.
    Node* find_child(Tile t);
    // Puts a new child with this prior under the tile. An existing child under the tile is
    // replaced (with its whole subtree) in place; a new one goes to a random position.
    void insert_child(Tile t, float prior, Rng& rng);
    // insert_child for each (tile, prior) pair; into an empty node with one allocation and one
    // shuffle.
    void add_children(std::span<const std::pair<Tile, float>> entries, Rng& rng);
    // Puts the children in a random order, as add_children does after filling an empty node.
    void shuffle_children(Rng& rng);
};

static_assert(sizeof(Node) == 56,
              "keep the node compact: children block, turn start, tile, stats, own value");

}  // namespace tralix
