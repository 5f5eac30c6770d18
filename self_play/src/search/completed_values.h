// The Gumbel search's view of a node's children: values completed where a child was never
// visited, transformed to the scale of log priors, and the deterministic selection that
// follows the improved policy they give.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "search/node.h"

namespace tralix {

// The node's children's mean values, each unvisited child's completed by the mixed value (the
// node's own evaluation and its visited children's mean values weighted by prior), in the
// node's order, for the node's player to move. The node must have children.
void completed_values(const Node& node, std::vector<double>& out);

// The node's children's mean values with each unvisited child's completed by the mixed value
// (the node's own evaluation and its visited children's mean values weighted by prior),
// rescaled to [0, 1] across the children (their spread divides, or min_spread where the spread
// is smaller) and scaled by (50 + the most visits of a child) * 0.1, in the node's order. The
// node must have children.
void transformed_values(const Node& node, std::vector<float>& out, double min_spread = 1e-8);

// The child whose share of the improved policy (softmax of log prior + transformed value)
// most exceeds its share of visits, visits / (1 + all the children's visits); ties go to the
// later child, nothing when every score is NaN. scratch is working storage.
std::optional<std::size_t> select_child_improved(const Node& node, std::vector<float>& scratch);

}  // namespace tralix
