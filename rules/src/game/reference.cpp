#include "game/reference.h"

#include <algorithm>
#include <string>

#include "core/fatal_error.h"
#include "pieces/catalogue.h"

namespace tralix::reference {
namespace {

bool owned_by(std::span<const std::uint8_t> owners, std::int64_t dim, std::int64_t r,
              std::int64_t c, Player p) {
    return r >= 0 && c >= 0 && r < dim && c < dim &&
           owners[static_cast<std::size_t>(r * dim + c)] == p + 1;
}

}  // namespace

bool Candidate::covers(Tile tile) const {
    const std::span<const Tile> own = covered();
    return std::find(own.begin(), own.end(), tile) != own.end();
}

std::vector<std::uint8_t> owners_of(const Board& board) {
    std::vector<std::uint8_t> owners(board.tile_count());
    for (Tile t = 0; t < board.tile_count(); ++t) {
        owners[t] = static_cast<std::uint8_t>(board.cell(t) & owner_mask);
    }
    return owners;
}

Tile start_corner(std::uint32_t dim, Player player) {
    const Tile corners[player_count] = {0, dim - 1, dim * dim - 1, dim * (dim - 1)};
    return corners[player];
}

std::vector<Candidate> legal_placements(std::span<const std::uint8_t> owners, std::uint32_t dim,
                                        std::span<const PieceId> hand, Player player) {
    const Catalogue& catalogue = Catalogue::for_side(dim);
    const std::uint32_t n = dim * dim;
    if (owners.size() != n || player >= player_count) {
        fatal_stop("reference placements: " + std::to_string(owners.size()) + " owners for side " +
                   std::to_string(dim) + ", player " + std::to_string(player));
    }
    const auto side = static_cast<std::int64_t>(dim);
    const bool first = std::find(owners.begin(), owners.end(), player + 1) == owners.end();
    // Tiles the piece may not cover, and tiles that give it the contact it needs.
    std::vector<std::uint8_t> blocked(n), contact(n);
    for (Tile t = 0; t < n; ++t) {
        const std::int64_t r = t / dim, c = t % dim;
        blocked[t] = owners[t] != 0 || owned_by(owners, side, r - 1, c, player) ||
                     owned_by(owners, side, r + 1, c, player) ||
                     owned_by(owners, side, r, c - 1, player) ||
                     owned_by(owners, side, r, c + 1, player);
        contact[t] = first ? t == start_corner(dim, player)
                           : owned_by(owners, side, r - 1, c - 1, player) ||
                                 owned_by(owners, side, r - 1, c + 1, player) ||
                                 owned_by(owners, side, r + 1, c - 1, player) ||
                                 owned_by(owners, side, r + 1, c + 1, player);
    }

    std::vector<Candidate> out;
    for (std::uint32_t g = 0; g < hand.size(); ++g) {
        const Piece& piece = catalogue.piece(hand[g]);
        for (std::uint32_t j = 0; j < piece.orientations.size(); ++j) {
            const Grid& grid = piece.orientations[j].grid;
            const auto h = static_cast<std::uint32_t>(grid.size());
            const auto w = static_cast<std::uint32_t>(grid[0].size());
            if (h > dim || w > dim) continue;
            for (std::uint32_t r0 = 0; r0 + h <= dim; ++r0) {
                for (std::uint32_t c0 = 0; c0 + w <= dim; ++c0) {
                    Candidate candidate;
                    candidate.placement = {g, j, r0 * dim + c0};
                    bool ok = true, touches = false;
                    for (std::uint32_t r = 0; r < h && ok; ++r) {
                        for (std::uint32_t c = 0; c < w && ok; ++c) {
                            if (grid[r][c] == 0) continue;
                            const Tile t = (r0 + r) * dim + c0 + c;
                            ok = blocked[t] == 0 && candidate.size < candidate.tiles.size();
                            if (ok) {
                                touches = touches || contact[t] != 0;
                                candidate.tiles[candidate.size++] = t;
                            }
                        }
                    }
                    if (ok && touches) out.push_back(candidate);
                }
            }
        }
    }
    return out;
}

std::vector<Candidate> covering_all(const std::vector<Candidate>& candidates,
                                    std::span<const Tile> tiles) {
    std::vector<Candidate> out;
    for (const Candidate& c : candidates) {
        if (std::all_of(tiles.begin(), tiles.end(), [&](Tile t) { return c.covers(t); })) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<Placement> identities(const std::vector<Candidate>& candidates) {
    std::vector<Placement> out;
    out.reserve(candidates.size());
    for (const Candidate& c : candidates) out.push_back(c.placement);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Tile> free_tiles(const std::vector<Candidate>& candidates,
                             std::span<const std::uint8_t> owners) {
    std::vector<Tile> out;
    for (const Candidate& c : candidates) {
        for (Tile t : c.covered()) {
            if (owners[t] == 0) out.push_back(t);
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace tralix::reference
