// A tralix game as a sequence of one-tile decisions: the player to move lays a piece tile by
// tile, the candidate placements narrow after each tile, and the turn passes when no candidate
// extends the tiles laid. Blocked players retire; the game ends when all four have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/types.h"

namespace tralix {

// One legal way for the player to move to lay a piece, found at the start of the turn.
struct Placement {
    std::uint32_t piece = 0;        // index in the player's hand at the start of the turn
    std::uint32_t orientation = 0;  // index in that piece's orientation list
    Tile anchor = 0;                // tile under byte 0 of the orientation's mask
    friend bool operator==(const Placement&, const Placement&) = default;
    friend auto operator<=>(const Placement&, const Placement&) = default;
};

struct Move {
    Player player = 0;
    Tile tile = 0;
    friend bool operator==(const Move&, const Move&) = default;
};

class Game {
public:
    // new_game: an empty board of side dim with player 0 to move. A side outside 4 to 256 is
    // a fatal stop.
    explicit Game(std::uint32_t dim);

    // All four players retired.
    bool is_over() const { return finished_[0] && finished_[1] && finished_[2] && finished_[3]; }

    // The tiles the player to move may choose next, ascending (the order carries no meaning).
    const std::vector<Tile>& valid_tiles() const { return valid_tiles_; }

    // Lays one tile for the player to move; when that completes a piece, the turn passes.
    // A tile that is not valid leaves the game unchanged and returns
    // "Invalid move - Player {}, Tile {}".
    std::optional<std::string> apply_move(Tile tile);

    // 1/k at each of the k players with the best score, 0 elsewhere, by absolute seat.
    std::array<float, 4> outcome() const;

    Player current_player() const { return current_player_; }
    const Board& board() const { return board_; }
    std::uint32_t dim() const { return board_.dim(); }
    const std::vector<Move>& history() const { return history_; }
    const std::array<std::uint32_t, 4>& last_size() const { return last_size_; }
    const std::array<bool, 4>& finished() const { return finished_; }

    // The candidate placements still consistent with the tiles laid this turn: the union of
    // the placements behind every valid tile. Sorted.
    std::vector<Placement> placements() const;
    // The candidates that cover a tile (empty unless the tile is valid). Sorted.
    std::vector<Placement> placements_covering(Tile tile) const;

    // Compares everything the game keeps up to date move by move with a recomputation from
    // the moves and the owners of the tiles: the board (see Board::check_consistency), the
    // owners against the history, the hands and the last piece sizes against the pieces the
    // tiles on the board form, the retired players, and the candidate placements and valid
    // tiles of the player to move against a brute-force enumeration (game/reference.h).
    // Returns a description of the first mismatch, nothing when all agree. Builds with
    // TRALIX_CHECK_CONSISTENCY defined (the sanitizer builds) run it at every turn start (on
    // construction and after each tile that completes a piece) and make a mismatch a fatal
    // stop; after every tile it would make searches there many times slower. Callers may run
    // it after any tile.
    std::optional<std::string> check_consistency() const;

    // Rebuilds the candidate placements of the player to move from its corner tiles, as at the
    // start of its turn (which the game does by itself; calling it mid-turn forgets the tiles
    // laid this turn). Public for benchmarks.
    void find_valid_moves();

private:
    friend struct TestAccess;

    // Builds with TRALIX_CHECK_CONSISTENCY defined: a fatal stop when check_consistency finds
    // a mismatch. Called at every turn start. Does nothing in other builds.
    void stop_if_inconsistent() const;
    // Recomputes valid_tiles_ from the candidates: every free tile a candidate covers.
    void collect_valid_tiles();
    // Passes the turn to the next player who can move, retiring those who cannot.
    void next_turn();
    Window blocked_window(Tile corner) const;
    bool covers(PlacementCode code, Tile tile) const;
    Placement decode(PlacementCode code) const;

    Board board_;
    // Candidate placements of the player to move (the union of the valid-moves sets): legal
    // at the start of the turn and covering every tile laid since. Each appears once.
    std::vector<PlacementCode> candidates_;
    std::vector<Tile> valid_tiles_;
    std::array<std::uint32_t, 4> last_size_{};
    std::vector<Move> history_;
    std::array<bool, 4> finished_{};
    Player current_player_ = 0;
};

}  // namespace tralix
