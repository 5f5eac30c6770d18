// Speed of the search's inner steps on side 20: selecting among 400 children, and one whole
// simulation (copy, descent, expansion, backup) below a warm tree with an in-process evaluator.
#include <benchmark/benchmark.h>

#include <random>

#include "simulation/root_search.h"
#include "simulation/softmax.h"

namespace {

using namespace tralix;

// Equal priors over the valid tiles and equal values: what a zero-logit network answers.
class ConstantEvaluator : public Evaluator {
public:
    Evaluation evaluate(Node& node, const Game& game) override {
        if (game.is_over()) {
            const auto outcome = game.outcome();
            return {{outcome.begin(), outcome.end()}, nullptr};
        }
        masked_policy(logits_, game.valid_tiles(), priors_);
        node.player = game.current_player();
        children_.clear();
        for (std::size_t t = 0; t < priors_.size(); ++t) {
            if (priors_[t] > 0) children_.emplace_back(static_cast<Tile>(t), priors_[t]);
        }
        node.add_children(children_, thread_rng());
        return {value_softmax(values_, game.current_player()), nullptr};
    }

private:
    std::vector<float> logits_ = std::vector<float>(400, 0.0f);
    std::vector<float> values_ = {0, 0, 0, 0};
    std::vector<float> priors_;
    std::vector<std::pair<Tile, float>> children_;
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
    for (int i = 0; i < 2000; ++i) run_simulation(evaluator, tree, game, config);
    for (auto _ : state) benchmark::DoNotOptimize(run_simulation(evaluator, tree, game, config));
}
BENCHMARK(simulation_warm_tree)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
