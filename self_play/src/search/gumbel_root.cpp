#include "search/gumbel_root.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "core/fatal_error.h"
#include "search/softmax.h"

namespace tralix {
namespace {

// A standard Gumbel draw: -log(-log u), u uniform in (0, 1).
float gumbel_draw(Rng& rng) {
    const double u = (static_cast<double>(rng() >> 11) + 0.5) * 0x1.0p-53;
    return static_cast<float>(-std::log(-std::log(u)));
}

std::uint32_t ceil_log2(std::size_t k) {
    std::uint32_t phases = 0;
    while ((std::size_t{1} << phases) < k) ++phases;
    return phases;
}

}  // namespace

TrainingRecord improved_policy(const Node& root, double min_spread) {
    std::vector<float> sigma;
    transformed_values(root, sigma, min_spread);
    TrainingRecord record;
    record.reserve(root.children.size());
    for (std::size_t j = 0; j < sigma.size(); ++j) {
        const Node& child = root.children[j];
        record.emplace_back(child.tile, std::log(child.prior) + sigma[j]);
    }
    softmax_in_place(record, [](std::pair<Tile, float>& entry) -> float& { return entry.second; });
    return record;
}

std::variant<GumbelMove, SearchFailure> gumbel_search(Evaluator& evaluator, SearchTree& tree,
                                                      const Game& game, const Config& config,
                                                      Rng& rng, bool noise) {
    Node& root = tree.root();
    const std::size_t n = root.children.size();
    if (n == 0) fatal_stop("assertion failed: visit_dist.len() > 0");

    // Step 1. Gumbel top-k: the children with the highest log prior plus draw.
    std::vector<float> base(n);
    for (std::size_t j = 0; j < n; ++j) {
        base[j] = std::log(root.children[j].prior) + (noise ? gumbel_draw(rng) : 0.0f);
    }
    std::vector<std::size_t> remaining(n);
    std::iota(remaining.begin(), remaining.end(), std::size_t{0});
    std::stable_sort(remaining.begin(), remaining.end(),
                     [&](std::size_t a, std::size_t b) { return base[a] > base[b]; });
    const std::size_t considered = std::clamp<std::size_t>(config.gumbel_considered, 1, n);
    remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(considered), remaining.end());

    // Step 2. Sequential halving of the budget between the considered children.
    const double min_spread = std::max(1e-8, static_cast<double>(config.gumbel_min_spread));
    std::vector<float> sigma;
    const auto by_score = [&](std::size_t a, std::size_t b) {
        return base[a] + sigma[a] > base[b] + sigma[b];
    };
    std::vector<std::uint32_t> searched(n, 0);
    const std::uint32_t budget = config.sims_per_move;
    const std::uint32_t phases = std::max<std::uint32_t>(1, ceil_log2(remaining.size()));
    std::uint32_t used = 0;
    while (used < budget) {
        const auto share = static_cast<std::uint32_t>(budget / (phases * remaining.size()));
        const std::uint32_t rounds = std::max<std::uint32_t>(1, share);
        for (std::uint32_t r = 0; r < rounds && used < budget; ++r) {
            for (std::size_t j = 0; j < remaining.size() && used < budget; ++j) {
                if (auto failure =
                        run_simulation(evaluator, tree, game, config, rng, remaining[j])) {
                    return std::move(*failure);
                }
                ++searched[remaining[j]];
                ++used;
            }
        }
        if (used >= budget) break;
        transformed_values(root, sigma, min_spread);
        std::stable_sort(remaining.begin(), remaining.end(), by_score);
        if (remaining.size() > 2) {
            const std::size_t kept = std::max<std::size_t>(2, remaining.size() / 2);
            remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(kept), remaining.end());
        }
    }

    // Step 3. The survivor: the best of the most searched, and the improved policy.
    transformed_values(root, sigma, min_spread);
    std::uint32_t most = 0;
    for (std::size_t j : remaining) most = std::max(most, searched[j]);
    std::size_t survivor = n, best = n;
    const auto without_draw = [&](std::size_t j) {
        return std::log(root.children[j].prior) + sigma[j];
    };
    for (std::size_t j : remaining) {
        if (searched[j] != most) continue;
        if (survivor == n || by_score(j, survivor)) survivor = j;
        if (best == n || without_draw(j) > without_draw(best)) best = j;
    }
    return GumbelMove{root.children[survivor].tile, root.children[best].tile,
                      improved_policy(root, min_spread)};
}

}  // namespace tralix
