#include "search/simulation.h"

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <tuple>

#include "core/fatal_error.h"
#include "search/completed_values.h"

namespace tralix {

namespace {

// The PUCT choice with unvisited_value as the q of a child that has no visit yet.
std::optional<std::size_t> puct_select(const Node& node, float c_base, float c_init,
                                       float unvisited_value) {
    const auto parent_visits = static_cast<float>(node.visit_count);
    const float growth =
        static_cast<float>(std::log(static_cast<double>((c_base + parent_visits + 1.0f) / c_base)));
    const float k = std::sqrt(parent_visits) * (growth + c_init);
    float best = -std::numeric_limits<float>::infinity();
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        const Node& child = node.children[i];
        const auto visits = static_cast<float>(child.visit_count);
        const float q = child.visit_count == 0 ? unvisited_value : child.value_sum / visits;
        const float score = child.prior * (k / (visits + 1.0f)) + q;
        if (score >= best) {
            best = score;
            chosen = i;
        }
    }
    return chosen;
}

}  // namespace

std::optional<std::size_t> select_child(const Node& node, float c_base, float c_init) {
    return puct_select(node, c_base, c_init, 0.0f);
}

std::optional<std::size_t> select_child_sound(const Node& node, float c_base, float c_init,
                                              float first_play_reduction) {
    float visited_sum = node.own_value;
    std::uint32_t visited_count = 1;
    for (const Node& child : node.children) {
        if (child.visit_count != 0) {
            visited_sum += child.value_sum;
            visited_count += child.visit_count;
        }
    }
    const float first_play = visited_sum / static_cast<float>(visited_count) - first_play_reduction;
    return puct_select(node, c_base, c_init, first_play);
}

namespace {

[[noreturn]] void value_index_out_of_bounds(std::size_t length, Player player) {
    fatal_stop("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
               std::to_string(player));
}

}  // namespace

void backup(std::span<Node* const> path, std::span<const float> values) {
    for (Node* node : path) {
        node->visit_count += 1;
        if (node->player >= values.size()) value_index_out_of_bounds(values.size(), node->player);
        node->value_sum += values[node->player];
    }
}

void backup_sound(Node& root, std::span<Node* const> path, std::span<const float> values) {
    root.visit_count += 1;
    Player mover = root.player;
    for (Node* node : path) {
        node->visit_count += 1;
        if (mover >= values.size()) value_index_out_of_bounds(values.size(), mover);
        node->value_sum += values[mover];
        mover = node->player;
    }
}

std::optional<SearchFailure> run_simulation(Evaluator& evaluator, SearchTree& tree,
                                            const Game& game, const Config& config, Rng& rng,
                                            std::optional<std::size_t> first_child) {
    const bool sound = config.search_mode != SearchMode::visits;
    // Step 1. Select: walk down by the PUCT rule, playing each tile on a private copy. The tiles
    // of a turn are laid together: when a node where a turn starts is crossed, from the turn
    // start kept with the node; at the leaf, narrowing the candidates once and keeping the turn
    // start there if the leaf's tile completes a piece.
    SearchTree::Scratch& scratch = tree.scratch();
    if (scratch.game) {
        *scratch.game = game;
    } else {
        scratch.game.emplace(game);
    }
    Game& copy = *scratch.game;
    std::vector<Node*>& path = scratch.path;
    path.clear();
    // The tiles of the turn in progress not yet laid on the copy: at most a piece's cells.
    std::array<Tile, std::tuple_size_v<decltype(Shape::offsets)>> pending{};
    std::size_t pending_count = 0;
    Node* node = &tree.root();
    while (!node->children.empty()) {
        std::optional<std::size_t> index;
        if (first_child && node == &tree.root()) {
            index = *first_child;
        } else if (config.search_mode == SearchMode::gumbel && config.gumbel_improved_interior) {
            index = select_child_improved(*node, scratch.values);
        } else if (sound) {
            index = select_child_sound(*node, config.c_base, config.c_init,
                                       config.first_play_reduction);
        } else {
            index = select_child(*node, config.c_base, config.c_init);
        }
        if (!index) return SearchFailure("All UCB scores NaN");
        node = &node->children[*index];
        path.push_back(node);
        if (pending_count == pending.size()) fatal_stop("more tiles in a turn than a piece has");
        pending[pending_count++] = node->tile;
        if (node->turn_start) {
            copy.complete_turn({pending.data(), pending_count}, *node->turn_start);
            pending_count = 0;
        }
    }
    if (pending_count != 0) {
        TurnStart turn_start;
        if (copy.lay_tiles({pending.data(), pending_count}, &turn_start)) {
            node->turn_start = std::make_unique<TurnStart>(std::move(turn_start));
        }
    }
    // Steps 2 and 3. Evaluate the leaf and expand it with the network's priors.
    Evaluation evaluation = evaluate_and_expand(evaluator, *node, copy, rng, scratch.scores);
    if (evaluation.error) return SearchFailure("", std::move(evaluation.error));
    // Step 4. Back the value vector up the path.
    if (sound) {
        backup_sound(tree.root(), path, evaluation.values);
    } else {
        backup(path, evaluation.values);
    }
    tree.move_values().add(evaluation.values);
    return std::nullopt;
}

}  // namespace tralix
