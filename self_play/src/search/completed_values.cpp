#include "search/completed_values.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "search/softmax.h"

namespace tralix {
namespace {

// The value transform's constants: the visit count the scale starts from, and its weight.
constexpr double visit_scale_start = 50.0;
constexpr double value_scale = 0.1;

}  // namespace

void completed_values(const Node& node, std::vector<double>& out) {
    std::uint64_t visits = 0;
    double visited_prior = 0.0, weighted_value = 0.0;
    for (const Node& child : node.children) {
        if (child.visit_count == 0) continue;
        visits += child.visit_count;
        visited_prior += child.prior;
        weighted_value += child.prior * static_cast<double>(child.mean_value());
    }
    double mixed = node.own_value;
    if (visits > 0 && visited_prior > 0.0) {
        const auto n = static_cast<double>(visits);
        mixed = (node.own_value + n * weighted_value / visited_prior) / (n + 1.0);
    }
    out.resize(node.children.size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        const Node& child = node.children[j];
        out[j] = child.visit_count == 0 ? mixed : child.mean_value();
    }
}

void transformed_values(const Node& node, std::vector<float>& out, double min_spread) {
    thread_local std::vector<double> completed;
    completed_values(node, completed);
    std::uint32_t most_visits = 0;
    for (const Node& child : node.children) most_visits = std::max(most_visits, child.visit_count);
    out.resize(node.children.size());
    double low = INFINITY, high = -INFINITY;
    for (std::size_t j = 0; j < out.size(); ++j) {
        out[j] = static_cast<float>(completed[j]);
        low = std::min(low, completed[j]);
        high = std::max(high, completed[j]);
    }
    const double range = std::max(high - low, min_spread);
    const double scale = (visit_scale_start + most_visits) * value_scale;
    for (float& v : out) v = static_cast<float>(scale * (v - low) / range);
}

std::optional<std::size_t> select_child_improved(const Node& node, std::vector<float>& scratch) {
    transformed_values(node, scratch);
    std::uint64_t visits = 0;
    for (std::size_t j = 0; j < scratch.size(); ++j) {
        scratch[j] += std::log(node.children[j].prior);
        visits += node.children[j].visit_count;
    }
    softmax_in_place(scratch, [](float& v) -> float& { return v; });
    const auto share = 1.0f / static_cast<float>(visits + 1);
    float best = -std::numeric_limits<float>::infinity();
    std::optional<std::size_t> chosen;
    for (std::size_t j = 0; j < scratch.size(); ++j) {
        const float score = scratch[j] - static_cast<float>(node.children[j].visit_count) * share;
        if (score >= best) {
            best = score;
            chosen = j;
        }
    }
    return chosen;
}

}  // namespace tralix
