// Write access to the kept state of boards and games, so that tests can break one piece of it
// and see the consistency checks report the fault.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "board/board.h"
#include "game/game.h"

namespace tralix {

struct TestAccess {
    static std::vector<std::uint8_t>& cells(Board& b) { return b.cells_; }
    static std::vector<std::uint64_t>& corners(Board& b) { return b.corners_; }
    static std::array<PieceId, piece_count>& hand_ids(Board& b, Player p) {
        return b.hands_[p].ids_;
    }
    static std::uint8_t& hand_count(Board& b, Player p) { return b.hands_[p].count_; }

    static Board& board(Game& g) { return g.board_; }
    static std::vector<PlacementCode>& candidates(Game& g) { return g.candidates_; }
    static std::vector<Tile>& valid_tiles(Game& g) { return g.valid_tiles_; }
    static std::array<std::uint32_t, 4>& last_size(Game& g) { return g.last_size_; }
    static std::vector<Move>& history(Game& g) { return g.history_; }
    static std::array<bool, 4>& finished(Game& g) { return g.finished_; }
    static Player& current_player(Game& g) { return g.current_player_; }
};

}  // namespace tralix
