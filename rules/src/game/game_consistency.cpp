// The game's kept state against a recomputation from its moves and the owners of the tiles.
// Placements are recomputed by the brute-force enumeration of game/reference.h, which shares
// nothing with move generation (no corner sets, forbidden bits, windows or candidate lists).
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "game/game.h"
#include "game/reference.h"
#include "pieces/catalogue.h"
#include "pieces/piece.h"

namespace tralix {
namespace {

std::string describe(const Placement& p) {
    return "(piece " + std::to_string(p.piece) + ", orientation " + std::to_string(p.orientation) +
           ", anchor " + std::to_string(p.anchor) + ")";
}

std::string describe(Tile t) { return "tile " + std::to_string(t); }

// The tiles reachable from start through edge neighbours with the same owner, leaving out the
// tiles of the turn in progress; marks them in seen.
std::vector<Tile> edge_group(std::span<const std::uint8_t> owners,
                             std::span<const std::uint8_t> in_progress, std::uint32_t dim,
                             Tile start, std::vector<std::uint8_t>& seen) {
    std::vector<Tile> group{start};
    seen[start] = 1;
    for (std::size_t i = 0; i < group.size(); ++i) {
        const Tile t = group[i];
        const std::uint32_t r = t / dim, c = t % dim;
        const Tile neighbours[4] = {r > 0 ? t - dim : t, r + 1 < dim ? t + dim : t,
                                    c > 0 ? t - 1 : t, c + 1 < dim ? t + 1 : t};
        for (Tile u : neighbours) {
            if (seen[u] == 0 && owners[u] == owners[start] && in_progress[u] == 0) {
                seen[u] = 1;
                group.push_back(u);
            }
        }
    }
    return group;
}

// The piece that has an orientation of exactly the shape of the tiles, if any.
std::optional<PieceId> piece_of(const std::vector<Tile>& tiles, std::uint32_t dim,
                                const Catalogue& catalogue) {
    if (tiles.size() > 5) return std::nullopt;
    std::uint32_t top = dim, left = dim, bottom = 0, right = 0;
    for (Tile t : tiles) {
        top = std::min(top, t / dim);
        bottom = std::max(bottom, t / dim);
        left = std::min(left, t % dim);
        right = std::max(right, t % dim);
    }
    Grid grid(bottom - top + 1, std::vector<std::uint8_t>(right - left + 1, 0));
    for (Tile t : tiles) grid[t / dim - top][t % dim - left] = 1;
    for (PieceId id = 0; id < piece_count; ++id) {
        for (const Orientation& o : catalogue.piece(id).orientations) {
            if (o.grid == grid) return id;
        }
    }
    return std::nullopt;
}

// Two sorted lists, the kept one against the recomputed one: nothing when equal, otherwise the
// sizes and the first entry found in one list and not the other (or found twice).
template <class T>
std::optional<std::string> compare_sorted(const std::string& what, const std::vector<T>& kept,
                                          const std::vector<T>& recomputed) {
    if (kept == recomputed) return std::nullopt;
    std::string message = what + ": " + std::to_string(kept.size()) + " kept, " +
                          std::to_string(recomputed.size()) + " recomputed; ";
    std::size_t i = 0;
    while (i < kept.size() && i < recomputed.size() && kept[i] == recomputed[i]) ++i;
    if (i < kept.size() && i > 0 && kept[i] == kept[i - 1]) {
        return message + describe(kept[i]) + " kept twice";
    }
    if (i < recomputed.size() && (i == kept.size() || recomputed[i] < kept[i])) {
        return message + describe(recomputed[i]) + " recomputed but not kept";
    }
    return message + describe(kept[i]) + " kept but not recomputed";
}

}  // namespace

std::optional<std::string> Game::check_consistency() const {
    if (std::optional<std::string> mismatch = board_.check_consistency()) {
        return "board: " + *mismatch;
    }
    const std::uint32_t dim = board_.dim();
    const std::uint32_t n = board_.tile_count();
    const std::vector<std::uint8_t> owners = reference::owners_of(board_);

    // The owners are exactly the tiles of the moves played.
    std::vector<std::uint8_t> replayed(n, 0);
    for (std::size_t i = 0; i < history_.size(); ++i) {
        const Move& move = history_[i];
        if (move.player >= player_count || move.tile >= n) {
            return "move " + std::to_string(i) + ": player " + std::to_string(move.player) +
                   ", tile " + std::to_string(move.tile) + " is off the game";
        }
        if (replayed[move.tile] != 0) {
            return "move " + std::to_string(i) + ": tile " + std::to_string(move.tile) +
                   " laid a second time";
        }
        replayed[move.tile] = static_cast<std::uint8_t>(move.player + 1);
    }
    for (Tile t = 0; t < n; ++t) {
        if (owners[t] != replayed[t]) {
            return "tile " + std::to_string(t) + ": owner " + std::to_string(owners[t]) +
                   " on the board, " + std::to_string(replayed[t]) + " from the moves";
        }
    }
    if (current_player_ >= player_count) {
        return "player to move " + std::to_string(current_player_) + " is no player";
    }

    // Every tile a player owns belongs to a piece gone from its hand, except the tiles the
    // player to move has laid in the turn in progress: fewer than a whole piece, at most four.
    // Counting cells tells how many tiles that turn has laid so far.
    const Catalogue& catalogue = board_.catalogue();
    std::array<std::uint32_t, player_count> owned{};
    for (std::uint8_t owner : owners) {
        if (owner != 0) ++owned[owner - 1];
    }
    std::uint32_t in_turn = 0;
    for (Player p = 0; p < player_count; ++p) {
        std::array<bool, piece_count> held{};
        for (PieceId id : board_.hand(p).ids()) held[id] = true;
        std::uint32_t played_cells = 0;
        for (PieceId id = 0; id < piece_count; ++id) {
            if (!held[id]) played_cells += catalogue.piece(id).size;
        }
        const std::string who = "player " + std::to_string(p);
        if (owned[p] < played_cells) {
            return who + ": " + std::to_string(owned[p]) + " tiles for the " +
                   std::to_string(played_cells) + " cells of the pieces played";
        }
        const std::uint32_t extra = owned[p] - played_cells;
        if (extra != 0 && (p != current_player_ || is_over() || extra > 4)) {
            return who + ": " + std::to_string(extra) + " tiles beyond the pieces played";
        }
        if (p == current_player_) in_turn = extra;
    }
    // The tiles of the turn in progress are the last moves, all by the player to move.
    const std::size_t turn_begin = history_.size() - in_turn;
    for (std::size_t i = turn_begin; i < history_.size(); ++i) {
        if (history_[i].player != current_player_) {
            return "move " + std::to_string(i) + " by player " +
                   std::to_string(history_[i].player) + " inside the turn of player " +
                   std::to_string(current_player_);
        }
    }

    // Which pieces were played, and the last of each player's. A player's pieces never share an
    // edge and each piece is edge-connected, so every edge-connected group of a player's tiles,
    // the turn in progress aside, is one piece played: the piece whose orientation grids hold
    // the group's shape. The last piece completed holds the player's last move before the turn
    // in progress.
    std::vector<std::uint8_t> in_progress(n, 0);
    for (std::size_t i = turn_begin; i < history_.size(); ++i) in_progress[history_[i].tile] = 1;
    for (Player p = 0; p < player_count; ++p) {
        const std::string who = "player " + std::to_string(p);
        std::array<bool, piece_count> held{}, on_board{};
        for (PieceId id : board_.hand(p).ids()) held[id] = true;
        std::vector<std::uint8_t> group_size(n, 0), seen(n, 0);
        for (Tile t = 0; t < n; ++t) {
            if (owners[t] != p + 1 || in_progress[t] != 0 || seen[t] != 0) continue;
            const std::vector<Tile> group = edge_group(owners, in_progress, dim, t, seen);
            const std::optional<PieceId> id = piece_of(group, dim, catalogue);
            if (!id) {
                return who + ": the " + std::to_string(group.size()) + " tiles joined to tile " +
                       std::to_string(t) + " form no piece";
            }
            const std::string piece = std::string(piece_name(*id));
            if (held[*id]) {
                return who + ": the tiles joined to tile " + std::to_string(t) + " form " + piece +
                       ", still in hand";
            }
            if (on_board[*id]) return who + ": " + piece + " on the board twice";
            on_board[*id] = true;
            for (Tile g : group) group_size[g] = static_cast<std::uint8_t>(group.size());
        }
        for (PieceId id = 0; id < piece_count; ++id) {
            if (!held[id] && !on_board[id]) {
                return who + ": " + std::string(piece_name(id)) +
                       " gone from the hand but not on the board";
            }
        }
        std::uint32_t last = 0;
        for (std::size_t i = turn_begin; i-- > 0;) {
            if (history_[i].player == p) {
                last = group_size[history_[i].tile];
                break;
            }
        }
        if (last_size_[p] != last) {
            return who + ": last piece size " + std::to_string(last_size_[p]) + " kept, " +
                   std::to_string(last) + " recomputed from the moves";
        }
    }

    // Players passed over since the last completed turn have retired; the player to move has
    // not; a retired player has no placement left.
    if (!is_over()) {
        if (finished_[current_player_]) {
            return "player to move " + std::to_string(current_player_) + " is retired";
        }
        const Player previous =
            turn_begin == 0 ? player_count - 1 : history_[turn_begin - 1].player;
        for (Player q = (previous + 1) % player_count; q != current_player_;
             q = (q + 1) % player_count) {
            if (!finished_[q]) {
                return "player " + std::to_string(q) + " passed over without retiring";
            }
        }
    }
    for (Player q = 0; q < player_count; ++q) {
        if (!finished_[q]) continue;
        const std::vector<reference::Candidate> left =
            reference::legal_placements(owners, dim, board_.hand(q).ids(), q);
        if (!left.empty()) {
            return "retired player " + std::to_string(q) + " has " + std::to_string(left.size()) +
                   " placements, such as " + describe(left.front().placement);
        }
    }

    // The candidates: the placements legal at the start of the turn that cover every tile laid
    // since; the valid tiles: the free tiles they cover.
    std::vector<reference::Candidate> expected;
    std::vector<std::uint8_t> at_turn_start = owners;
    std::vector<Tile> laid;
    if (!is_over()) {
        for (std::size_t i = turn_begin; i < history_.size(); ++i) {
            laid.push_back(history_[i].tile);
            at_turn_start[history_[i].tile] = 0;
        }
        expected = reference::covering_all(
            reference::legal_placements(at_turn_start, dim, board_.hand(current_player_).ids(),
                                        current_player_),
            laid);
    }
    const std::string whose = "player " + std::to_string(current_player_);
    for (PlacementCode code : candidates_) {
        if (placement_shape(code) >= catalogue.shape_count() || placement_anchor(code) >= n) {
            return "candidate placements of " + whose + ": code " + std::to_string(code) +
                   " names no shape or tile";
        }
    }
    if (std::optional<std::string> mismatch = compare_sorted(
            "candidate placements of " + whose, placements(), reference::identities(expected))) {
        return mismatch;
    }
    if (std::optional<std::string> mismatch = compare_sorted(
            "valid tiles of " + whose, valid_tiles_, reference::free_tiles(expected, owners))) {
        return mismatch;
    }
    if (!is_over() && valid_tiles_.empty()) return whose + " to move without a valid tile";
    return std::nullopt;
}

}  // namespace tralix
