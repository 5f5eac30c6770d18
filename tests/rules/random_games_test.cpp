// Random games checked tile by tile. After every tile the game's own consistency check
// recomputes the board's forbidden bits and corner sets, the candidate placements and the valid
// tiles from scratch (the brute-force enumeration of game/reference.h, which looks only at the
// owners, the hands and the orientation grids). Alongside, the test keeps its own account of
// the game from the moves it plays: the owners, which placement each turn completes, the
// hands, the last piece sizes, who retires and who moves next, and the scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "game/game.h"
#include "game/reference.h"
#include "game_helpers.h"

namespace tralix {
namespace {

using reference::Candidate;
using reference::covering_all;
using reference::free_tiles;
using reference::identities;
using reference::legal_placements;
using testing::sorted_valid;

using Owners = std::vector<std::uint8_t>;  // 0 free, player + 1 otherwise

std::uint32_t count(const Owners& owners, Player p) {
    return static_cast<std::uint32_t>(std::count(owners.begin(), owners.end(), p + 1));
}

// The board's own placement test agrees with the reference for every piece in hand, every
// orientation and every anchor, including anchors past the end of the board.
void check_can_place(const Board& b, Player p, const std::vector<Candidate>& legal) {
    const std::vector<Placement> expected = identities(legal);
    std::vector<Placement> accepted;
    for (std::uint32_t g = 0; g < b.hand(p).size(); ++g) {
        const Piece& piece = b.piece_in_hand(p, g);
        for (std::uint32_t j = 0; j < piece.orientations.size(); ++j) {
            for (Tile a = 0; a < b.tile_count() + b.dim(); ++a) {
                if (b.can_place(p, piece.orientations[j], a)) accepted.push_back({g, j, a});
            }
        }
    }
    EXPECT_EQ(accepted, expected) << "can_place of player " << p;
}

// Scores and outcome from the owners, the hands and the sizes of the last pieces completed.
void check_outcome(const Game& g, const Owners& owners,
                   const std::array<std::vector<PieceId>, 4>& hands,
                   const std::array<std::uint32_t, 4>& last_size) {
    std::array<std::int32_t, 4> scores{};
    for (Player p = 0; p < 4; ++p) {
        const auto owned = static_cast<std::int32_t>(count(owners, p));
        scores[p] = hands[p].empty() ? owned - (last_size[p] == 1 ? 69 : 74) : owned - 89;
    }
    ASSERT_EQ(g.board().scores(g.last_size()), scores);
    const std::int32_t best = *std::max_element(scores.begin(), scores.end());
    const auto winners = std::count(scores.begin(), scores.end(), best);
    const std::array<float, 4> outcome = g.outcome();
    float sum = 0.0f;
    for (Player p = 0; p < 4; ++p) {
        EXPECT_EQ(outcome[p], scores[p] == best ? 1.0f / static_cast<float>(winners) : 0.0f);
        sum += outcome[p];
    }
    EXPECT_NEAR(sum, 1.0f, 1e-6f);
}

struct Options {
    // Compare placements_covering for every valid tile (otherwise for a few drawn at random).
    bool every_covering = true;
};

// Plays one game, drawing each tile uniformly from the reference's valid tiles, and checks the
// game after every tile. Returns the number of legal placements summed over every turn start,
// as counted by the reference.
std::uint64_t play_checked_game(std::uint32_t dim, std::uint32_t seed,
                                const Options& options = {}) {
    SCOPED_TRACE("side " + std::to_string(dim) + ", seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::mt19937 sampler(seed ^ 0x9E3779B9u);
    Game g(dim);
    EXPECT_EQ(g.check_consistency(), std::nullopt) << "new game";
    Owners owners(dim * dim, 0);
    std::array<std::vector<PieceId>, 4> hands;
    for (auto& hand : hands) {
        for (PieceId id = 0; id < piece_count; ++id) hand.push_back(id);
    }
    std::array<std::uint32_t, 4> last_size{};
    std::array<bool, 4> finished{};
    std::uint64_t total = 0;

    std::vector<Candidate> turn_start = legal_placements(owners, dim, hands[0], 0);
    EXPECT_FALSE(turn_start.empty());
    total += turn_start.size();
    std::vector<Tile> laid;  // this turn
    std::size_t tiles_on_board = 0;
    while (!g.is_over()) {
        const Player p = g.current_player();
        EXPECT_FALSE(finished[p]) << "a retired player moves";
        if (::testing::Test::HasFailure()) return total;

        // The candidates still consistent with the tiles laid this turn, from this test's own
        // owners and hands (the consistency check works from the game's).
        const std::vector<Candidate> cands = covering_all(turn_start, laid);
        const std::vector<Tile> valid = free_tiles(cands, owners);
        if (laid.empty()) check_can_place(g.board(), p, turn_start);
        EXPECT_EQ(g.placements(), identities(cands));
        EXPECT_EQ(sorted_valid(g), valid);
        if (valid.empty()) {
            ADD_FAILURE() << "player " << p << " to move without a valid tile";
            return total;
        }

        std::map<Tile, std::vector<Candidate>> behind;
        for (const Candidate& c : cands) {
            for (Tile t : c.covered()) {
                if (owners[t] == 0) behind[t].push_back(c);
            }
        }
        if (options.every_covering) {
            for (Tile t : valid) {
                EXPECT_EQ(g.placements_covering(t), identities(behind[t])) << "tile " << t;
            }
        } else {
            for (int i = 0; i < 3; ++i) {
                const Tile t = valid[sampler() % valid.size()];
                EXPECT_EQ(g.placements_covering(t), identities(behind[t])) << "tile " << t;
            }
        }
        if (!laid.empty()) {
            EXPECT_TRUE(g.placements_covering(laid.front()).empty());
        }

        const Tile tile = valid[rng() % valid.size()];
        EXPECT_EQ(g.apply_move(tile), std::nullopt);
        owners[tile] = static_cast<std::uint8_t>(p + 1);
        laid.push_back(tile);
        ++tiles_on_board;
        EXPECT_EQ(g.history().size(), tiles_on_board);
        EXPECT_EQ(g.history().back(), (Move{p, tile}));
        EXPECT_EQ(reference::owners_of(g.board()), owners);
        EXPECT_EQ(g.check_consistency(), std::nullopt) << "after tile " << tile;
        if (::testing::Test::HasFailure()) return total;

        const std::vector<Candidate> rest = covering_all(cands, std::vector<Tile>{tile});
        if (!free_tiles(rest, owners).empty()) {
            EXPECT_EQ(g.current_player(), p) << "the turn ended early";
            EXPECT_FALSE(g.is_over());
            continue;
        }

        // The turn is over: the tiles laid form exactly one of the turn's placements.
        EXPECT_EQ(rest.size(), 1u) << "completed placements";
        std::sort(laid.begin(), laid.end());
        EXPECT_TRUE(std::equal(laid.begin(), laid.end(), rest.front().covered().begin(),
                               rest.front().covered().end()));
        const std::uint32_t index = rest.front().placement.piece;
        last_size[p] = static_cast<std::uint32_t>(laid.size());
        EXPECT_EQ(Catalogue::for_side(dim).piece(hands[p][index]).size, last_size[p]);
        hands[p].erase(hands[p].begin() + index);
        EXPECT_EQ(g.last_size(), last_size);
        for (Player q = 0; q < 4; ++q) {
            const std::span<const PieceId> ids = g.board().hand(q).ids();
            EXPECT_EQ(std::vector<PieceId>(ids.begin(), ids.end()), hands[q])
                << "hand of player " << q;
        }
        laid.clear();

        // The next player who can move, retiring on the way those who cannot.
        bool someone = false;
        for (Player k = 1; k <= 4 && !someone; ++k) {
            const Player q = (p + k) % 4;
            if (finished[q]) continue;
            std::vector<Candidate> next = legal_placements(owners, dim, hands[q], q);
            if (next.empty()) {
                finished[q] = true;
                continue;
            }
            someone = true;
            EXPECT_EQ(g.current_player(), q);
            turn_start = std::move(next);
            total += turn_start.size();
        }
        EXPECT_EQ(g.finished(), finished);
        EXPECT_EQ(g.is_over(), !someone);
        check_outcome(g, owners, hands, last_size);
        if (::testing::Test::HasFailure()) return total;
    }
    EXPECT_EQ(finished, (std::array<bool, 4>{true, true, true, true}));
    EXPECT_TRUE(g.valid_tiles().empty());
    EXPECT_TRUE(g.placements().empty());
    EXPECT_EQ(g.history().size(), tiles_on_board);
    for (Player p = 0; p < 4; ++p) {
        EXPECT_TRUE(legal_placements(owners, dim, hands[p], p).empty());
    }
    return total;
}

class RandomGames : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RandomGames, MatchTheBruteForceReference) {
    const std::uint32_t dim = GetParam();
    const std::uint32_t games = dim <= 8 ? 100 : dim <= 14 ? 30 : 20;
    Options options;
    options.every_covering = dim <= 14;
    for (std::uint32_t seed = 1; seed <= games; ++seed) {
        play_checked_game(dim, 1000 * dim + seed, options);
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Sides, RandomGames,
                         ::testing::Values(4u, 5u, 6u, 7u, 8u, 10u, 13u, 14u, 20u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& side) {
                             return "Side" + std::to_string(side.param);
                         });

// Regression numbers: the legal placements summed over every turn start of one fixed random
// game, as counted by the brute-force reference (not by the game). The games are fixed by
// the seed because each tile is drawn from the reference's own valid tiles with std::mt19937,
// whose output is the same everywhere.
TEST(RandomGames, PlacementCountsOfFixedGames) {
    struct Fixed {
        std::uint32_t dim, seed;
        std::uint64_t placements;
    };
    const Fixed fixed[] = {{5, 1, 147},   {7, 2, 411},   {10, 3, 1086},
                           {13, 4, 2514}, {20, 5, 9637}, {20, 6, 11186}};
    std::vector<std::uint64_t> totals;
    for (const Fixed& f : fixed) totals.push_back(play_checked_game(f.dim, f.seed));
    for (std::size_t i = 0; i < totals.size(); ++i) {
        EXPECT_EQ(totals[i], fixed[i].placements)
            << "side " << fixed[i].dim << ", seed " << fixed[i].seed;
    }
}

}  // namespace
}  // namespace tralix
