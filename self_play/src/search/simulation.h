// One simulation: descend from the root by the PUCT rule on a copy of the game, evaluate the
// leaf, expand it with the network's priors, back the value vector up the path.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "search/config.h"
#include "search/expansion.h"
#include "search/search_failure.h"
#include "search/search_tree.h"

namespace tralix {

// Index in node.children of the child with the highest score
//   prior * (K / (n + 1)) + q,  K = sqrt(N) * (ln((c_base + N + 1) / c_base) + c_init),
// N the node's visits, n and q the child's visits and mean value, all in single precision but
// the logarithm (double, rounded). Ties go to the later child; NaN scores are never chosen;
// nothing when every score is NaN. The node must have a child.
std::optional<std::size_t> select_child(const Node& node, float c_base, float c_init);

// Credits each node of the path (root excluded, leaf included) with one visit and the entry
// of values for the node's own player. A player beyond values is a fatal stop
// "index out of bounds: the len is {} but the index is {}".
void backup(std::span<Node* const> path, std::span<const float> values);

// One simulation below the tree's root on a copy of game; the real game is not touched. rng
// orders the new leaf's children. Fails with "All UCB scores NaN" or the evaluation's error.
std::optional<SearchFailure> run_simulation(Evaluator& evaluator, SearchTree& tree,
                                            const Game& game, const Config& config, Rng& rng);

}  // namespace tralix
