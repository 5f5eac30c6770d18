// A plain model of the placement rule, worked out from the owners of the tiles alone. It uses
// none of the kept state that makes the engine fast (forbidden bits, corner sets, placement
// windows, candidate lists), only the owners, a hand and the orientation grids, and tries every
// orientation at every anchor. The consistency checks compare the engine against it, and the
// tests use it as their reference.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.h"
#include "game/game.h"
#include "pieces/piece.h"

namespace tralix::reference {

// One legal placement: its identity and the tiles it covers.
struct Candidate {
    Placement placement;
    std::array<Tile, 5> tiles{};  // the first size entries, ascending
    std::uint32_t size = 0;

    std::span<const Tile> covered() const { return {tiles.data(), size}; }
    bool covers(Tile tile) const;
};

// The owner of every tile of a board, 0 free and player + 1 otherwise.
std::vector<std::uint8_t> owners_of(const Board& board);

// The start corner of a player on a board of side dim: top left, top right, bottom right,
// bottom left.
Tile start_corner(std::uint32_t dim, Player player);

// Every (hand index, orientation, anchor) the player may lay on a board of side dim with these
// owners: the piece inside the board, on free tiles only, without edge contact with the player's
// own tiles, and touching one of them corner to corner, or covering the start corner while the
// player has no tile at all. Ordered by hand index, orientation, then anchor. An unsupported
// side, owners not holding dim * dim entries or a player above 3 is a fatal stop.
std::vector<Candidate> legal_placements(std::span<const std::uint8_t> owners, std::uint32_t dim,
                                        std::span<const PieceId> hand, Player player);

// The placements among candidates that cover every one of the tiles.
std::vector<Candidate> covering_all(const std::vector<Candidate>& candidates,
                                    std::span<const Tile> tiles);

// The identities of candidates, sorted.
std::vector<Placement> identities(const std::vector<Candidate>& candidates);

// The tiles the candidates cover that are still free, ascending and each once.
std::vector<Tile> free_tiles(const std::vector<Candidate>& candidates,
                             std::span<const std::uint8_t> owners);

}  // namespace tralix::reference
