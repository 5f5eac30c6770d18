// search_probe: the search library's match loop without a network, for choosing the search's
// constants. Seat 0 searches with equal priors and one random playout per leaf as its value,
// against three uniformly random players; a uniformly random seat 0 plays the same number of
// games beside it. Prints seat 0's mean score with its 95 % interval for both.
//
//   search_probe [--side 10] [--sims 32] [--mode 1] [--fpu 0.1] [--considered 16]
//                [--interior puct|improved] [--games 400] [--seed 1]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "search/match.h"
#include "search/playout_mix.h"

namespace tralix {
namespace {

// Equal policy scores, and as value the outcome of one game played on at random from the
// position, relative to the player to move (log of each share: softmax gives it back).
class RandomPlayout : public Evaluator {
public:
    explicit RandomPlayout(Rng& rng) : rng_(rng) {}
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        scores.policy.assign(game.board().tile_count(), 0.0f);
        const std::array<float, 4> outcome = random_playout(game, rng_, playout_);
        scores.value.resize(4);
        for (Player i = 0; i < 4; ++i) {
            scores.value[i] = std::log(outcome[(game.current_player() + i) % 4]);
        }
        return nullptr;
    }

private:
    Rng& rng_;
    std::optional<Game> playout_;
};

struct Score {
    double sum = 0, squares = 0;
    int games = 0;
    void add(double x) {
        sum += x;
        squares += x * x;
        ++games;
    }
    std::string text() const {
        const double mean = sum / games;
        const double sd = std::sqrt(std::max(0.0, squares / games - mean * mean));
        char out[64];
        std::snprintf(out, sizeof out, "%.3f ± %.3f", mean, 1.96 * sd / std::sqrt(games - 1.0));
        return out;
    }
};

}  // namespace
}  // namespace tralix

int main(int argc, char** argv) {
    using namespace tralix;
    std::uint32_t side = 10, sims = 32, mode = 1, considered = 16, games = 400, seed = 1;
    bool improved_interior = false;
    float fpu = 0.1f;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--side")
            side = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--sims")
            sims = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--mode")
            mode = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--considered")
            considered = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--games")
            games = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--seed")
            seed = static_cast<std::uint32_t>(std::atoi(value));
        else if (name == "--fpu")
            fpu = std::strtof(value, nullptr);
        else if (name == "--interior")
            improved_interior = std::string(value) == "improved";
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    Config config{side, 1, sims, 0, 19652.0f, 1.25f, 0.3f, 0.25f};
    config.search_mode = static_cast<SearchMode>(mode);
    config.first_play_reduction = fpu;
    config.gumbel_considered = considered;
    config.gumbel_improved_interior = improved_interior;
    Score searching, random;
    for (std::uint32_t g = 0; g < games; ++g) {
        Rng rng(seed * 1000003ull + g);
        RandomPlayout playout(rng);
        std::array<MatchSeat, 4> seats{};
        seats[0] = {MatchSeat::Kind::search, &playout, sims, nullptr};
        searching.add(std::get<Game>(play_match(seats, config, {}, rng)).outcome()[0]);
        seats[0] = {};
        random.add(std::get<Game>(play_match(seats, config, {}, rng)).outcome()[0]);
    }
    std::printf(
        "side %u mode %u sims %u fpu %.2f considered %u interior %s games %u: search %s, "
        "random %s\n",
        side, mode, sims, static_cast<double>(fpu), considered,
        improved_interior ? "improved" : "puct", games, searching.text().c_str(),
        random.text().c_str());
}
