// Speed of the search's inner steps on side 20: selecting among 400 children, and one whole
// simulation (copy, descent, expansion, backup) below a warm tree with an in-process evaluator.
#include <benchmark/benchmark.h>

#include <random>

#include "search/root_search.h"

namespace {

using namespace tralix;

// Zero policy scores and equal value scores: what a constant network answers.
class ConstantEvaluator : public Evaluator {
public:
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        scores.policy.assign(game.board().tile_count(), 0.0f);
        scores.value.assign(4, 0.0f);
        return nullptr;
    }
};

const Config config{20, 1, 800, 30, 19652.0f, 1.25f, 0.3f, 0.25f};

void select_child_400(benchmark::State& state) {
    Rng rng(1);
    Node node;
    std::vector<std::pair<Tile, float>> entries;
    for (Tile t = 0; t < 400; ++t) entries.emplace_back(t, 1.0f / 400.0f);
    node.add_children(entries, rng);
    node.visit_count = 5000;
    for (Node& child : node.children) {
        child.visit_count = static_cast<std::uint32_t>(rng() % 30);
        child.value_sum = static_cast<float>(child.visit_count) * 0.3f;
    }
    for (auto _ : state) benchmark::DoNotOptimize(select_child(node, config.c_base, config.c_init));
}
BENCHMARK(select_child_400);

// A game 40 tiles in, with a tree already grown by 2,000 simulations below its root.
void simulation_warm_tree(benchmark::State& state) {
    std::mt19937_64 rng(3);
    Game game(20);
    while (game.history().size() < 40) {
        const auto& tiles = game.valid_tiles();
        game.apply_move(tiles[rng() % tiles.size()]);
    }
    ConstantEvaluator evaluator;
    SearchTree tree;
    for (int i = 0; i < 2000; ++i) run_simulation(evaluator, tree, game, config, rng);
    for (auto _ : state) {
        benchmark::DoNotOptimize(run_simulation(evaluator, tree, game, config, rng));
    }
}
BENCHMARK(simulation_warm_tree)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
