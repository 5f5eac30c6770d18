// The sound and Gumbel search modes and the match loop, against stub evaluators: whose value
// each node is credited with, the root's own visits, sequential halving's visit counts, the
// improved policy, matches between every kind of seat, and the pinned signatures of fixed-seed
// games in each mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <string>

#include "search/gumbel_root.h"
#include "search/match.h"
#include "search/playout_mix.h"
#include "search/training_game.h"
#include "search_test_support.h"

namespace tralix {
namespace {

using testing::StubEvaluator;

const float minus_infinity = -std::numeric_limits<float>::infinity();

Config mode_config(std::uint32_t side, std::uint32_t sims, SearchMode mode) {
    Config config{side, 1, sims, 4, 19652.0f, 1.25f, 0.3f, 0.25f};
    config.search_mode = mode;
    return config;
}

// Answers with scores computed from the position: policy(game) and absolute values(game), the
// values turned relative to the player to move as a network gives them.
class PositionEvaluator : public Evaluator {
public:
    std::function<std::vector<float>(const Game&)> policy;
    std::function<std::array<float, 4>(const Game&)> values;
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        scores.policy = policy(game);
        const std::array<float, 4> absolute = values(game);
        scores.value.resize(4);
        for (Player i = 0; i < 4; ++i) {
            scores.value[i] = std::log(absolute[(game.current_player() + i) % 4]);
        }
        return nullptr;
    }
};

bool completes_piece(const Game& game, Tile tile) {
    Game after = game;
    after.apply_move(tile);
    return after.is_over() || after.current_player() != game.current_player();
}

// A position of a seeded random game where some valid tiles complete the mover's piece and
// others do not; first and second are one of each.
struct MixedPosition {
    Game game{8};
    Tile completing = 0, continuing = 0;
};

MixedPosition mixed_position() {
    for (std::uint64_t seed = 1;; ++seed) {
        Rng rng(seed);
        MixedPosition found;
        while (!found.game.is_over()) {
            const std::vector<Tile>& tiles = found.game.valid_tiles();
            const auto completing = std::find_if(
                tiles.begin(), tiles.end(), [&](Tile t) { return completes_piece(found.game, t); });
            const auto continuing = std::find_if(tiles.begin(), tiles.end(), [&](Tile t) {
                return !completes_piece(found.game, t);
            });
            if (completing != tiles.end() && continuing != tiles.end()) {
                found.completing = *completing;
                found.continuing = *continuing;
                return found;
            }
            found.game.apply_move(tiles[uniform_index(rng, tiles.size())]);
        }
    }
}

// The mover's best tile against the tile that completes its piece for the next player's good:
// after the completing tile the next player is to move and the values favour it (0.7) over the
// mover (0.1); while the mover keeps the turn it holds 0.4. Crediting each node with its own
// player's value prefers the completing tile; crediting the player who laid the tile prefers
// the other.
TEST(SearchModes, TheTileThatHelpsTheNextPlayerIsPreferredOnlyByTheVisitsSearch) {
    const MixedPosition position = mixed_position();
    const Player mover = position.game.current_player();
    const std::size_t root_moves = position.game.history().size();
    PositionEvaluator network;
    network.policy = [&](const Game& game) {
        std::vector<float> policy(game.board().tile_count(), 0.0f);
        if (game.history().size() == root_moves) {  // the root: these two children only
            std::fill(policy.begin(), policy.end(), minus_infinity);
            policy[position.completing] = policy[position.continuing] = 0.0f;
        }
        return policy;
    };
    network.values = [&](const Game& game) {
        std::array<float, 4> values{0.2f, 0.2f, 0.2f, 0.2f};
        if (game.current_player() == mover) {
            values[mover] = 0.4f;
        } else {
            values.fill(0.1f);
            values[game.current_player()] = 0.7f;
        }
        return values;
    };
    for (SearchMode mode : {SearchMode::visits, SearchMode::sound, SearchMode::gumbel}) {
        SearchTree tree;
        Rng rng(3);
        evaluate_and_expand(network, tree.root(), position.game, rng);
        ASSERT_EQ(tree.root().children.size(), 2u);
        tree.root().visit_count = 10;  // a reused root, so that the visits search explores
        std::vector<TrainingRecord> records;
        auto chosen = search_move(network, tree, position.game, mode_config(8, 40, mode), records,
                                  rng, /*explore=*/false);
        ASSERT_TRUE(std::holds_alternative<Tile>(chosen));
        EXPECT_EQ(std::get<Tile>(chosen),
                  mode == SearchMode::visits ? position.completing : position.continuing)
            << "mode " << static_cast<int>(mode);
    }
}

// A finished game whose last tile seat 2 laid: the leaf is never expanded, and the sound modes
// credit it with seat 2's result where the visits search credits seat 0's.
TEST(SearchModes, AFinishedGamesLeafIsCreditedToThePlayerWhoLaidTheLastTile) {
    for (std::uint64_t seed = 1;; ++seed) {
        Rng rng(seed);
        Game game(6);
        std::vector<Tile> tiles;
        while (!game.is_over()) {
            const std::vector<Tile>& valid = game.valid_tiles();
            tiles.push_back(valid[uniform_index(rng, valid.size())]);
            game.apply_move(tiles.back());
        }
        const std::array<float, 4> outcome = game.outcome();
        if (game.history().back().player != 2 || outcome[2] == outcome[0]) continue;
        Game before(6);
        for (std::size_t i = 0; i + 1 < tiles.size(); ++i) before.apply_move(tiles[i]);
        for (SearchMode mode : {SearchMode::visits, SearchMode::sound}) {
            SearchTree tree;
            StubEvaluator network;
            evaluate_and_expand(network, tree.root(), before, rng);
            std::size_t last = 0;
            while (tree.root().children[last].tile != tiles.back()) ++last;
            ASSERT_FALSE(run_simulation(network, tree, before, mode_config(6, 1, mode), rng, last));
            const Node& leaf = tree.root().children[last];
            EXPECT_EQ(leaf.value_sum, mode == SearchMode::sound ? outcome[2] : outcome[0]);
            EXPECT_EQ(tree.root().visit_count, mode == SearchMode::sound ? 1u : 0u);
        }
        return;
    }
}

std::size_t children_visited(const Node& root) {
    return static_cast<std::size_t>(std::count_if(root.children.begin(), root.children.end(),
                                                  [](const Node& c) { return c.visit_count > 0; }));
}

TEST(SearchModes, AFreshRootSpreadsItsVisitsInTheSoundSearchOnly) {
    Game game(10);
    StubEvaluator network({0.5f, 0.0f, -0.5f, 0.0f});
    for (SearchMode mode : {SearchMode::visits, SearchMode::sound}) {
        SearchTree tree;
        Rng rng(9);
        std::vector<TrainingRecord> records;
        search_move(network, tree, game, mode_config(10, 32, mode), records, rng, false);
        if (mode == SearchMode::visits) {
            EXPECT_EQ(children_visited(tree.root()), 1u) << "root count 0: the last child only";
            EXPECT_EQ(tree.root().children.back().visit_count, 32u);
        } else {
            EXPECT_GE(children_visited(tree.root()), 5u);
            EXPECT_EQ(tree.root().visit_count, 33u) << "its own evaluation and 32 simulations";
        }
    }
}

// Visits of each root child after one Gumbel search from a fresh root, most first.
std::vector<std::uint32_t> gumbel_visits(std::uint32_t sims, std::uint32_t considered) {
    Game game(10);
    StubEvaluator network;
    SearchTree tree;
    Rng rng(21);
    Config config = mode_config(10, sims, SearchMode::gumbel);
    config.gumbel_considered = considered;
    evaluate_and_expand(network, tree.root(), game, rng);
    EXPECT_TRUE(std::holds_alternative<GumbelMove>(
        gumbel_search(network, tree, game, config, rng, /*noise=*/true)));
    std::vector<std::uint32_t> visits;
    for (const Node& child : tree.root().children) visits.push_back(child.visit_count);
    std::sort(visits.rbegin(), visits.rend());
    return visits;
}

TEST(GumbelRoot, VisitsFollowSequentialHalving) {
    // 16 simulations, 4 considered: two phases; 2 visits each to 4, then 4 more each to 2.
    std::vector<std::uint32_t> visits = gumbel_visits(16, 4);
    EXPECT_EQ(std::vector<std::uint32_t>(visits.begin(), visits.begin() + 5),
              (std::vector<std::uint32_t>{6, 6, 2, 2, 0}));
    // 32 among 8: three phases; 1 each to 8, 2 more each to 4, then the last 16 split by 2.
    visits = gumbel_visits(32, 8);
    EXPECT_EQ(std::vector<std::uint32_t>(visits.begin(), visits.begin() + 9),
              (std::vector<std::uint32_t>{11, 11, 3, 3, 1, 1, 1, 1, 0}));
    // A budget below the considered count visits as many children once.
    visits = gumbel_visits(8, 16);
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1u), 8);
    EXPECT_EQ(std::accumulate(visits.begin(), visits.end(), 0u), 8u);
}

TEST(GumbelRoot, TheImprovedPolicySumsToOneAndFavoursTheBestCompletedValue) {
    Game game(10);
    game.apply_move(game.valid_tiles().front());
    PositionEvaluator network;
    network.policy = [](const Game& g) { return std::vector<float>(g.board().tile_count(), 0.0f); };
    // Values that depend on the tiles laid, so the root's children differ in value.
    network.values = [](const Game& g) {
        const float own = 0.1f + 0.8f * static_cast<float>(g.history().back().tile % 7) / 6.0f;
        std::array<float, 4> values{};
        values.fill((1.0f - own) / 3.0f);
        values[0] = own;
        return values;
    };
    SearchTree tree;
    Rng rng(5);
    std::vector<TrainingRecord> records;
    search_move(network, tree, game, mode_config(10, 24, SearchMode::gumbel), records, rng);
    ASSERT_EQ(records.size(), 1u);
    const TrainingRecord& policy = records.front();
    const Node& root = tree.root();
    ASSERT_EQ(policy.size(), root.children.size());
    float sum = 0.0f;
    for (const auto& entry : policy) sum += entry.second;
    EXPECT_NEAR(sum, 1.0f, 1e-5f);
    std::vector<float> sigma;
    transformed_values(root, sigma);
    const auto best =
        static_cast<std::size_t>(std::max_element(sigma.begin(), sigma.end()) - sigma.begin());
    EXPECT_EQ(policy[best].first, root.children[best].tile);
    EXPECT_GT(policy[best].second, root.children[best].prior);
    // A floor on the spread below the values' own spread changes nothing; one above it (values
    // are shares, so their spread is at most 1) shrinks every transformed value by the same
    // factor, spread / floor, and the improved policy follows.
    std::vector<float> floored;
    transformed_values(root, floored, 1e-9);
    EXPECT_EQ(floored, sigma);
    transformed_values(root, floored, 2.0);
    const float factor = floored[best] / sigma[best];
    EXPECT_GT(factor, 0.0f);
    EXPECT_LE(factor, 0.5f);
    for (std::size_t j = 0; j < sigma.size(); ++j) {
        EXPECT_NEAR(floored[j], sigma[j] * factor, 1e-5f);
    }
    const TrainingRecord flatter = improved_policy(root, 2.0);
    EXPECT_LT(flatter[best].second, policy[best].second);
    EXPECT_GT(flatter[best].second, root.children[best].prior);
}

TEST(Match, EverySeatKindPlaysItsTurnsFromTheOpening) {
    Rng rng(17);
    StubEvaluator greedy, searcher;
    std::array<MatchSeat, 4> seats{};
    seats[1] = {MatchSeat::Kind::greedy, &greedy, 0, nullptr};
    seats[3] = {MatchSeat::Kind::search, &searcher, 6, nullptr};
    Game opening_game(7);
    std::vector<Tile> opening;
    for (int i = 0; i < 3; ++i) {
        opening.push_back(opening_game.valid_tiles().back());
        opening_game.apply_move(opening.back());
    }
    EXPECT_FALSE(first_invalid_opening_tile(7, opening).has_value());
    EXPECT_EQ(first_invalid_opening_tile(7, std::vector<Tile>{opening[0], opening[0]}), 1u);
    for (SearchMode mode : {SearchMode::visits, SearchMode::sound, SearchMode::gumbel}) {
        greedy.players_asked.clear();
        auto played = play_match(seats, mode_config(7, 99, mode), opening, rng);
        ASSERT_TRUE(std::holds_alternative<Game>(played));
        const Game& game = std::get<Game>(played);
        ASSERT_TRUE(game.is_over());
        for (std::size_t i = 0; i < opening.size(); ++i) {
            EXPECT_EQ(game.history()[i].tile, opening[i]);
        }
        for (Player p : greedy.players_asked) EXPECT_EQ(p, 1u);
        const auto greedy_tiles = std::count_if(game.history().begin(), game.history().end(),
                                                [](const Move& m) { return m.player == 1; });
        EXPECT_EQ(static_cast<long>(greedy.players_asked.size()), greedy_tiles);
        Game replay(7);
        for (const Move& move : game.history()) {
            ASSERT_EQ(move.player, replay.current_player());
            ASSERT_FALSE(replay.apply_move(move.tile).has_value());
        }
    }
    EXPECT_EQ(searcher.finished_positions, 0);
    StubEvaluator failing;
    failing.fail_at_request = 3;
    seats[3] = {MatchSeat::Kind::search, &failing, 4, nullptr};
    auto failed = play_match(seats, mode_config(7, 0, SearchMode::sound), {}, rng);
    ASSERT_TRUE(std::holds_alternative<MatchFailure>(failed));
    EXPECT_EQ(std::get<MatchFailure>(failed).seat, 3u);
    EXPECT_EQ(std::get<MatchFailure>(failed).failure.text(), "RuntimeError: stub failure");
}

TEST(Match, APlayoutsSeatIsAUniformNetworkUnderAFullPlayoutMixInItsOwnSettings) {
    // Seat 1 searches without a network in its own settings; the same match with those settings
    // as the match's and seat 1 a search seat whose network has no opinion, each of its values
    // a playout, is the same game draw for draw. Another mode in the seat's settings is another
    // game.
    UniformEvaluator uniform;
    for (SearchMode mode : {SearchMode::visits, SearchMode::sound, SearchMode::gumbel}) {
        Config own = mode_config(99, 0, mode);
        own.c_init = 2.0f;
        std::array<MatchSeat, 4> seats{};
        seats[1] = {MatchSeat::Kind::playouts, nullptr, 6, nullptr, own};
        Rng first(23);
        auto played = play_match(seats, mode_config(7, 0, SearchMode::sound), {}, first);
        ASSERT_TRUE(std::holds_alternative<Game>(played));

        Config as_match = own;
        as_match.dim = 7;
        as_match.playout_mix = 1.0f;
        seats[1] = {MatchSeat::Kind::search, &uniform, 6, nullptr, {}};
        Rng second(23);
        auto networked = play_match(seats, as_match, {}, second);
        ASSERT_TRUE(std::holds_alternative<Game>(networked));
        EXPECT_EQ(std::get<Game>(played).history(), std::get<Game>(networked).history());

        own.search_mode = mode == SearchMode::gumbel ? SearchMode::visits : SearchMode::gumbel;
        seats[1] = {MatchSeat::Kind::playouts, nullptr, 6, nullptr, own};
        Rng third(23);
        auto other = play_match(seats, mode_config(7, 0, SearchMode::sound), {}, third);
        ASSERT_TRUE(std::holds_alternative<Game>(other));
        EXPECT_NE(std::get<Game>(played).history(), std::get<Game>(other).history());
    }
}

// A scripted player: the largest valid tile, or a fixed tile or a failure at its n-th turn.
struct ScriptedPlayer : MovePlayer {
    std::size_t calls = 0;
    std::size_t odd_call = SIZE_MAX;  // the call that returns odd_tile or fails
    std::optional<Tile> odd_tile;     // none: a failure
    std::vector<std::vector<Tile>> offered;
    std::variant<Tile, SearchFailure> choose(const Game& game) override {
        EXPECT_FALSE(game.is_over());
        offered.push_back(game.valid_tiles());
        if (calls++ == odd_call) {
            if (odd_tile) return *odd_tile;
            return SearchFailure("scripted failure");
        }
        return game.valid_tiles().back();
    }
};

TEST(Match, PlayerSeatsLayTheirOwnTilesAndFailOnAnInvalidOne) {
    Rng rng(5);
    StubEvaluator searcher;
    ScriptedPlayer scripted;
    std::array<MatchSeat, 4> seats{};
    seats[0] = {MatchSeat::Kind::player, nullptr, 0, &scripted};
    seats[2] = {MatchSeat::Kind::search, &searcher, 4, nullptr};
    auto played = play_match(seats, mode_config(7, 99, SearchMode::sound), {}, rng);
    ASSERT_TRUE(std::holds_alternative<Game>(played));
    const Game& game = std::get<Game>(played);
    ASSERT_TRUE(game.is_over());
    Game replay(7);
    std::size_t turn = 0;
    for (const Move& move : game.history()) {
        if (move.player == 0) {
            ASSERT_LT(turn, scripted.offered.size());
            EXPECT_EQ(scripted.offered[turn++], replay.valid_tiles());
            EXPECT_EQ(move.tile, replay.valid_tiles().back());
        }
        ASSERT_FALSE(replay.apply_move(move.tile).has_value());
    }
    EXPECT_EQ(turn, scripted.calls);

    // An occupied tile, a tile off the board, a failure: each ends the match in seat 0.
    for (std::optional<Tile> odd : {std::optional<Tile>(game.history()[0].tile),
                                    std::optional<Tile>(49), std::optional<Tile>()}) {
        ScriptedPlayer failing;
        failing.odd_call = 1;
        failing.odd_tile = odd;
        seats[0].player = &failing;
        auto failed = play_match(seats, mode_config(7, 99, SearchMode::sound), {}, rng);
        ASSERT_TRUE(std::holds_alternative<MatchFailure>(failed));
        EXPECT_EQ(std::get<MatchFailure>(failed).seat, 0u);
        EXPECT_EQ(failing.calls, 2u);
        EXPECT_EQ(std::get<MatchFailure>(failed).failure.text(),
                  odd ? "the player chose tile " + std::to_string(*odd) +
                            ", which is not a valid tile there"
                      : std::string("scripted failure"));
    }
}

TEST(PlayoutCap, CheapMovesRunTheirFewSimulationsAndLeaveEmptyRecords) {
    for (SearchMode mode : {SearchMode::sound, SearchMode::gumbel}) {
        Config config = mode_config(8, 24, mode);
        config.full_search_share = 0.5f;
        config.cheap_sims = 2;
        StubEvaluator network({0.5f, 0.0f, -0.5f, 0.0f});
        Rng rng(11);
        std::vector<int> requests_per_move;
        int before = 0;
        auto played = play_training_game(network, config, rng, [&](const Node&, Tile) {
            requests_per_move.push_back(network.requests - before);
            before = network.requests;
        });
        ASSERT_TRUE(std::holds_alternative<TrainingGame>(played));
        const auto& records = std::get<TrainingGame>(played).records;
        ASSERT_EQ(records.size(), requests_per_move.size());
        int cheap = 0, full_requests = 0, cheap_requests = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i].empty()) {
                ++cheap;
                // A cheap move evaluates at most its root and one leaf per simulation.
                EXPECT_LE(requests_per_move[i], 3) << "move " << i;
                cheap_requests += requests_per_move[i];
            } else {
                float sum = 0;
                for (const auto& entry : records[i]) sum += entry.second;
                EXPECT_NEAR(sum, 1.0f, 1e-5f);
                full_requests += requests_per_move[i];
            }
        }
        const int full = static_cast<int>(records.size()) - cheap;
        ASSERT_GT(cheap, 0);
        ASSERT_GT(full, 0);
        EXPECT_GT(full_requests * cheap, 4 * cheap_requests * full);
    }
}

// Value scores that differ from position to position, each request's value vector (softmax,
// turned to absolute seats) kept in double precision for the test's own mean.
class VaryingValues : public Evaluator {
public:
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override {
        scores.policy.assign(game.board().tile_count(), 0.0f);
        const auto laid = static_cast<float>(game.history().size());
        scores.value = {std::sin(laid), 0.3f * laid / 7.0f, -0.5f, std::cos(2.0f * laid)};
        double exps[4], sum = 0;
        for (int k = 0; k < 4; ++k) sum += exps[k] = std::exp(static_cast<double>(scores.value[k]));
        std::array<double, 4> absolute{};
        for (Player k = 0; k < 4; ++k) absolute[(game.current_player() + k) % 4] = exps[k] / sum;
        vectors.push_back(absolute);
        return nullptr;
    }
    std::vector<std::array<double, 4>> vectors;
};

TEST(RootValues, AMovesSearchedValueIsTheMeanOfEveryValueItsSearchMet) {
    for (SearchMode mode : {SearchMode::visits, SearchMode::sound, SearchMode::gumbel}) {
        Config config = mode_config(10, 12, mode);
        config.record_root_values = true;
        config.skip_forced_moves = true;
        VaryingValues network;
        Rng rng(5);
        SearchTree tree;
        Game game(config.dim);
        std::vector<TrainingRecord> records;
        // Early moves reach no finished position, so every value met was a request.
        for (int move = 0; move < 6; ++move) {
            network.vectors.clear();
            auto tile = search_move(network, tree, game, config, records, rng);
            ASSERT_TRUE(std::holds_alternative<Tile>(tile));
            ASSERT_FALSE(network.vectors.empty());
            const std::array<float, 4> mean = tree.move_values().mean();
            for (int k = 0; k < 4; ++k) {
                double expected = 0;
                for (const auto& v : network.vectors) expected += v[k];
                expected /= static_cast<double>(network.vectors.size());
                EXPECT_NEAR(mean[k], expected, 1e-5) << "move " << move << ", seat " << k;
            }
            game.apply_move(std::get<Tile>(tile));
            tree.advance_root(std::get<Tile>(tile));
        }
    }
}

std::uint64_t mode_signature(SearchMode mode, std::uint32_t side, std::uint64_t seed) {
    return testing::training_signature(mode_config(side, 24, mode), seed);
}

TEST(SearchModes, PinnedSignatures) {
    // Pinned: any change to the sound or Gumbel search, the rules or the use of random draws
    // moves them. The visits search's own signature is pinned beside the training games.
    EXPECT_EQ(
        mode_signature(SearchMode::sound, 10, 2026) + mode_signature(SearchMode::sound, 20, 2026),
        71542u);
    EXPECT_EQ(
        mode_signature(SearchMode::gumbel, 10, 2026) + mode_signature(SearchMode::gumbel, 20, 2026),
        77315u);
}

}  // namespace
}  // namespace tralix
