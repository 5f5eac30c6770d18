// Random games checked move by move against an independent brute-force enumeration of the
// legal placements. The reference below looks only at the owners of the tiles, the hands and
// the orientation grids; it does not use the board's placement test, corner sets or forbidden
// bits, nor the game's candidate lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "game/game.h"

namespace tralix {
namespace {

// One placement of the reference: its identity and the tiles it covers, ascending.
struct Candidate {
    Placement placement;
    std::vector<Tile> tiles;
};

// The tiles owned by each player, tracked from the moves played (0 free, player + 1 otherwise).
class Owners {
public:
    explicit Owners(std::uint32_t dim) : dim_(dim), owner_(dim * dim, 0) {}
    std::uint32_t dim() const { return dim_; }
    std::uint32_t tiles() const { return dim_ * dim_; }
    void set(Tile t, Player p) { owner_[t] = static_cast<std::uint8_t>(p + 1); }
    std::uint32_t operator[](Tile t) const { return owner_[t]; }
    // Whether (r, c) is on the board and owned by p.
    bool owns(std::int64_t r, std::int64_t c, Player p) const {
        return r >= 0 && c >= 0 && r < dim_ && c < dim_ && owner_[r * dim_ + c] == p + 1;
    }
    bool edge_touches(Tile t, Player p) const {
        const std::int64_t r = t / dim_, c = t % dim_;
        return owns(r - 1, c, p) || owns(r + 1, c, p) || owns(r, c - 1, p) || owns(r, c + 1, p);
    }
    bool corner_touches(Tile t, Player p) const {
        const std::int64_t r = t / dim_, c = t % dim_;
        return owns(r - 1, c - 1, p) || owns(r - 1, c + 1, p) || owns(r + 1, c - 1, p) ||
               owns(r + 1, c + 1, p);
    }
    std::uint32_t count(Player p) const {
        return static_cast<std::uint32_t>(std::count(owner_.begin(), owner_.end(), p + 1));
    }
    Tile start_corner(Player p) const {
        const Tile corners[4] = {0, dim_ - 1, dim_ * dim_ - 1, dim_ * (dim_ - 1)};
        return corners[p];
    }

private:
    std::uint32_t dim_;
    std::vector<std::uint8_t> owner_;
};

// Every (hand index, orientation index, anchor) the player may lay: on the board, only free
// tiles, no edge contact with its own tiles, and a corner contact with one of them, or the
// start corner covered while it has no tile yet.
std::vector<Candidate> legal_placements(const Owners& owners, const std::vector<PieceId>& hand,
                                        Player p) {
    const std::uint32_t dim = owners.dim();
    std::vector<bool> blocked(owners.tiles()), contact(owners.tiles());
    const bool first = owners.count(p) == 0;
    for (Tile t = 0; t < owners.tiles(); ++t) {
        blocked[t] = owners[t] != 0 || owners.edge_touches(t, p);
        contact[t] = first ? t == owners.start_corner(p) : owners.corner_touches(t, p);
    }
    std::vector<Candidate> out;
    for (std::uint32_t g = 0; g < hand.size(); ++g) {
        const Piece& piece = Catalogue::for_side(dim).piece(hand[g]);
        for (std::uint32_t j = 0; j < piece.orientations.size(); ++j) {
            const Grid& grid = piece.orientations[j].grid;
            const auto h = static_cast<std::uint32_t>(grid.size());
            const auto w = static_cast<std::uint32_t>(grid[0].size());
            if (h > dim || w > dim) continue;
            for (std::uint32_t r0 = 0; r0 + h <= dim; ++r0) {
                for (std::uint32_t c0 = 0; c0 + w <= dim; ++c0) {
                    Candidate cand{{g, j, r0 * dim + c0}, {}};
                    bool ok = true, touches = false;
                    for (std::uint32_t r = 0; r < h && ok; ++r) {
                        for (std::uint32_t c = 0; c < w && ok; ++c) {
                            if (grid[r][c] == 0) continue;
                            const Tile t = (r0 + r) * dim + c0 + c;
                            ok = !blocked[t];
                            touches = touches || contact[t];
                            cand.tiles.push_back(t);
                        }
                    }
                    if (ok && touches) out.push_back(std::move(cand));
                }
            }
        }
    }
    return out;
}

bool covers(const Candidate& c, Tile t) {
    return std::binary_search(c.tiles.begin(), c.tiles.end(), t);
}

std::vector<Placement> identities(const std::vector<Candidate>& cands) {
    std::vector<Placement> out;
    for (const Candidate& c : cands) out.push_back(c.placement);
    std::sort(out.begin(), out.end());
    return out;
}

// The tiles of the candidates not laid yet, ascending.
std::vector<Tile> free_tiles(const std::vector<Candidate>& cands, const Owners& owners) {
    std::vector<Tile> out;
    for (const Candidate& c : cands) {
        for (Tile t : c.tiles) {
            if (owners[t] == 0) out.push_back(t);
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<Tile> sorted_valid(const Game& g) {
    std::vector<Tile> v = g.valid_tiles();
    std::sort(v.begin(), v.end());
    return v;
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

// Owners, forbidden bits and corner sets of the board against a recomputation from the owners.
void check_board(const Board& b, const Owners& owners) {
    for (Tile t = 0; t < owners.tiles(); ++t) {
        std::uint8_t cell = static_cast<std::uint8_t>(owners[t]);
        for (Player p = 0; p < 4; ++p) {
            if (owners[t] != 0 || owners.edge_touches(t, p)) cell |= forbidden_bit(p);
        }
        ASSERT_EQ(b.cell(t), cell) << "cell of tile " << t;
    }
    for (Player p = 0; p < 4; ++p) {
        std::vector<Tile> corners;
        for (Tile t = 0; t < owners.tiles(); ++t) {
            if (owners[t] != 0 || owners.edge_touches(t, p)) continue;
            if (owners.corner_touches(t, p) || t == owners.start_corner(p)) corners.push_back(t);
        }
        ASSERT_EQ(b.corner_tiles(p), corners) << "corners of player " << p;
        for (Tile t = 0; t < owners.tiles(); ++t) {
            ASSERT_EQ(b.in_corners(p, t), std::binary_search(corners.begin(), corners.end(), t));
        }
    }
}

// Scores and outcome from the owners, the hands and the sizes of the last pieces completed.
void check_outcome(const Game& g, const Owners& owners,
                   const std::array<std::vector<PieceId>, 4>& hands,
                   const std::array<std::uint32_t, 4>& last_size) {
    std::array<std::int32_t, 4> scores{};
    for (Player p = 0; p < 4; ++p) {
        const auto count = static_cast<std::int32_t>(owners.count(p));
        scores[p] = hands[p].empty() ? count - (last_size[p] == 1 ? 69 : 74) : count - 89;
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
// game against the reference after every tile. Returns the number of legal placements summed
// over every turn start, as counted by the reference.
std::uint64_t play_checked_game(std::uint32_t dim, std::uint32_t seed,
                                const Options& options = {}) {
    SCOPED_TRACE("side " + std::to_string(dim) + ", seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::mt19937 sampler(seed ^ 0x9E3779B9u);
    Game g(dim);
    Owners owners(dim);
    std::array<std::vector<PieceId>, 4> hands;
    for (auto& hand : hands) {
        for (PieceId id = 0; id < piece_count; ++id) hand.push_back(id);
    }
    std::array<std::uint32_t, 4> last_size{};
    std::array<bool, 4> finished{};
    std::uint64_t total = 0;

    std::vector<Candidate> turn_start = legal_placements(owners, hands[0], 0);
    EXPECT_FALSE(turn_start.empty());
    total += turn_start.size();
    std::vector<Tile> laid;  // this turn
    std::size_t tiles_on_board = 0;
    while (!g.is_over()) {
        const Player p = g.current_player();
        EXPECT_FALSE(finished[p]) << "a retired player moves";
        if (::testing::Test::HasFailure()) return total;

        // The candidates still consistent with the tiles laid this turn.
        std::vector<Candidate> cands;
        for (const Candidate& c : turn_start) {
            if (std::all_of(laid.begin(), laid.end(), [&](Tile t) { return covers(c, t); })) {
                cands.push_back(c);
            }
        }
        const std::vector<Tile> valid = free_tiles(cands, owners);
        if (laid.empty()) {
            EXPECT_EQ(g.placements(), identities(turn_start)) << "placements at the turn start";
            check_can_place(g.board(), p, turn_start);
        } else {
            EXPECT_EQ(g.placements(), identities(cands)) << "placements mid-turn";
        }
        EXPECT_EQ(sorted_valid(g), valid);
        if (valid.empty()) {
            ADD_FAILURE() << "player " << p << " to move without a valid tile";
            return total;
        }

        std::map<Tile, std::vector<Candidate>> behind;
        for (const Candidate& c : cands) {
            for (Tile t : c.tiles) {
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
        owners.set(tile, p);
        laid.push_back(tile);
        ++tiles_on_board;
        EXPECT_EQ(g.history().size(), tiles_on_board);
        EXPECT_EQ(g.history().back(), (Move{p, tile}));
        check_board(g.board(), owners);
        if (::testing::Test::HasFatalFailure()) return total;

        std::vector<Candidate> rest;
        for (const Candidate& c : cands) {
            if (covers(c, tile)) rest.push_back(c);
        }
        if (!free_tiles(rest, owners).empty()) {
            EXPECT_EQ(g.current_player(), p) << "the turn ended early";
            EXPECT_FALSE(g.is_over());
            continue;
        }

        // The turn is over: the tiles laid form exactly one of the turn's placements.
        EXPECT_EQ(rest.size(), 1u) << "completed placements";
        std::sort(laid.begin(), laid.end());
        EXPECT_EQ(rest.front().tiles, laid);
        const std::uint32_t index = rest.front().placement.piece;
        last_size[p] = static_cast<std::uint32_t>(laid.size());
        EXPECT_EQ(Catalogue::for_side(dim).piece(hands[p][index]).size, last_size[p]);
        hands[p].erase(hands[p].begin() + index);
        EXPECT_EQ(g.last_size(), last_size);
        for (Player q = 0; q < 4; ++q) {
            const Hand& hand = g.board().hand(q);
            std::vector<PieceId> ids;
            for (std::uint32_t i = 0; i < hand.size(); ++i) ids.push_back(hand[i]);
            EXPECT_EQ(ids, hands[q]) << "hand of player " << q;
        }
        laid.clear();

        // The next player who can move, retiring on the way those who cannot.
        bool someone = false;
        for (Player k = 1; k <= 4 && !someone; ++k) {
            const Player q = (p + k) % 4;
            if (finished[q]) continue;
            std::vector<Candidate> next = legal_placements(owners, hands[q], q);
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
    for (Player p = 0; p < 4; ++p) EXPECT_TRUE(legal_placements(owners, hands[p], p).empty());
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
// game, as counted by the brute-force reference above (not by the game). The games are fixed by
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
