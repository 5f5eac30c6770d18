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

// The sound rule: the same score, but the node counts its own visits and an unvisited child's
// q is the node's value for its own player to move less first_play_reduction. That value is
// the node's own evaluation and its visited children's value sums, over one plus their visits.
std::optional<std::size_t> select_child_sound(const Node& node, float c_base, float c_init,
                                              float first_play_reduction);

// Credits each node of the path (root excluded, leaf included) with one visit and the entry
// of values for the node's own player. A player beyond values is a fatal stop
// "index out of bounds: the len is {} but the index is {}".
void backup(std::span<Node* const> path, std::span<const float> values);

// The sound backup: the root gains a visit, and each node of the path a visit and the entry of
// values for the player who laid its tile (its parent's player to move), a finished game's
// leaf included. A player beyond values is the same fatal stop as in backup.
void backup_sound(Node& root, std::span<Node* const> path, std::span<const float> values);

// One simulation below the tree's root on a copy of game; the real game is not touched. rng
// orders the new leaf's children. Selection and backup follow config.search_mode (the sound
// rules in the Gumbel mode); first_child, when given, is the root child the descent takes.
// Fails with "All UCB scores NaN" or the evaluation's error.
std::optional<SearchFailure> run_simulation(Evaluator& evaluator, SearchTree& tree,
                                            const Game& game, const Config& config, Rng& rng,
                                            std::optional<std::size_t> first_child = {});

}  // namespace tralix
