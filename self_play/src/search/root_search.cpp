#include "search/root_search.h"

#include <cmath>
#include <limits>

#include "core/fatal_error.h"
#include "search/gumbel_root.h"

namespace tralix {
namespace {

// Uniform in (0, 1]: 53 random bits, never 0.
double uniform_open_zero(Rng& rng) { return static_cast<double>((rng() >> 11) + 1) * 0x1.0p-53; }

// The logarithm of a Gamma(alpha, 1) draw. For alpha < 1 the draw is Y * U^(1/alpha) with
// Y ~ Gamma(alpha + 1), taken as log Y + log U / alpha, which stays finite where the draw
// itself would underflow to 0.
double log_gamma_draw(double alpha, Rng& rng) {
    if (alpha >= 1.0) return std::log(std::gamma_distribution<double>(alpha, 1.0)(rng));
    const double y = std::gamma_distribution<double>(alpha + 1.0, 1.0)(rng);
    return std::log(y) + std::log(uniform_open_zero(rng)) / alpha;
}

}  // namespace

void add_root_noise(Node& root, float alpha, float exploration_fraction, Rng& rng) {
    if (!(alpha > 0.0f)) fatal_stop("Noise should be generated ok: AlphaTooSmall");
    const std::size_t n = root.children.size();
    thread_local std::vector<double> logs;
    logs.resize(n);
    double largest = -std::numeric_limits<double>::infinity();
    for (double& l : logs) {
        // An infinite concentration is the uniform vector.
        l = std::isinf(alpha) ? 0.0 : log_gamma_draw(alpha, rng);
        if (l > largest) largest = l;
    }
    double sum = 0.0;
    for (double& l : logs) {
        l = std::exp(l - largest);  // the largest becomes 1, so sum >= 1
        sum += l;
    }
    const float keep = 1.0f - exploration_fraction;
    for (std::size_t j = 0; j < n; ++j) {
        const auto noise = static_cast<float>(logs[j] / sum);
        Node& child = root.children[j];
        child.prior = noise * exploration_fraction + child.prior * keep;
    }
}

Tile choose_move(const VisitDistribution& distribution, std::size_t record_count,
                 std::uint32_t sample_moves, Rng& rng) {
    if (record_count < sample_moves) {
        std::uint32_t total = 0;
        for (const auto& entry : distribution) total += entry.second;
        const auto sum = static_cast<float>(total);
        const float u = uniform_float(rng);
        float cumulative = 0.0f;
        for (const auto& [tile, visits] : distribution) {
            cumulative += static_cast<float>(visits) / sum;
            if (cumulative > u) return tile;
        }
        return distribution.back().first;
    }
    const std::pair<Tile, std::uint32_t>* best = &distribution.front();
    for (const auto& entry : distribution) {
        if (entry.second >= best->second) best = &entry;
    }
    return best->first;
}

std::variant<Tile, SearchFailure> search_move(Evaluator& evaluator, SearchTree& tree,
                                              const Game& game, const Config& config,
                                              std::vector<TrainingRecord>& records, Rng& rng,
                                              bool explore) {
    Node& root = tree.root();
    tree.move_values() = {};
    // Step 1. Expand a root that has no children yet (a reused subtree is not evaluated again).
    if (root.children.empty()) {
        Evaluation evaluation = evaluate_and_expand(evaluator, root, game, rng);
        if (evaluation.error) {
            return SearchFailure("Error evaluating root node: ", std::move(evaluation.error));
        }
        tree.move_values().add(evaluation.values);
    }
    if (config.search_mode != SearchMode::visits && root.visit_count == 0) root.visit_count = 1;
    if (config.search_mode == SearchMode::gumbel) {
        // Gumbel draws while moves are sampled, as the visits modes sample by visits, or at
        // every move; the move is the survivor with its draws while moves are sampled.
        const bool sampled = explore && records.size() + 1 < config.sample_moves;
        const bool noise = sampled || (explore && config.gumbel_every_move);
        auto searched = gumbel_search(evaluator, tree, game, config, rng, noise);
        if (auto* failure = std::get_if<SearchFailure>(&searched)) return std::move(*failure);
        GumbelMove& move = std::get<GumbelMove>(searched);
        records.push_back(std::move(move.improved_policy));
        return sampled ? move.tile : move.best_without_draws;
    }
    // Step 2. Exploration noise on the root's children.
    if (explore && root.children.size() > 1) {
        add_root_noise(root, config.dirichlet_alpha, config.exploration_fraction, rng);
    }
    // Step 3. The simulations.
    for (std::uint32_t i = 0; i < config.sims_per_move; ++i) {
        if (auto failure = run_simulation(evaluator, tree, game, config, rng)) {
            return std::move(*failure);
        }
    }
    // Step 4. The record of visit shares, in the root's order.
    std::uint32_t total = 0;
    for (const Node& child : root.children) total += child.visit_count;
    TrainingRecord record;
    VisitDistribution distribution;
    record.reserve(root.children.size());
    distribution.reserve(root.children.size());
    for (const Node& child : root.children) {
        record.emplace_back(child.tile,
                            static_cast<float>(child.visit_count) / static_cast<float>(total));
        distribution.emplace_back(child.tile, child.visit_count);
    }
    records.push_back(std::move(record));
    if (distribution.empty()) fatal_stop("assertion failed: visit_dist.len() > 0");
    // Step 5. The move.
    return choose_move(distribution, records.size(), explore ? config.sample_moves : 0, rng);
}

}  // namespace tralix
