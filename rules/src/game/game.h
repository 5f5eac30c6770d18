// A tralix game as a sequence of one-tile decisions: the player to move lays a piece tile by
// tile, the candidate placements narrow after each tile, and the turn passes when no candidate
// extends the tiles laid. Blocked players retire; the game ends when all four have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
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

// The start of a turn as the game works it out after a tile that completes a piece: the piece
// completed, the player to move next, the retired players, and the candidates and valid tiles
// of the player to move. The search keeps one with each tree node where a turn starts, so that
// later descents through the node take the next turn from it instead of generating moves again.
struct TurnStart {
    std::vector<PlacementCode> candidates;
    std::vector<Tile> valid_tiles;
    PieceId completed = 0;  // catalogue id of the piece the tiles completed
    Player player = 0;      // to move next
    std::array<bool, 4> finished{};
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

    // The same as apply_move on each tile in order, narrowing the candidates once for all of
    // them. Every tile must be valid when its turn comes and none but the last may complete the
    // piece; a tile that is not free, or tiles that no candidate covers together, are a fatal
    // stop. Returns true when the last tile completes the piece: the turn has then passed, and
    // the new turn start is written to *turn_start when it is not null.
    bool lay_tiles(std::span<const Tile> tiles, TurnStart* turn_start);
    // Lays tiles that complete the piece of the turn in progress and takes the next turn from
    // turn_start, which lay_tiles wrote from this same position and these same tiles: nothing
    // is narrowed and no moves are generated. A tile that is not free, or a completed piece that
    // is not in the hand, is a fatal stop.
    void complete_turn(std::span<const Tile> tiles, const TurnStart& turn_start);

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
    // Lays one free tile for the player to move and records the move; a tile that is not free
    // is a fatal stop. Leaves the candidates alone.
    void lay(Tile tile);
    // Keeps the candidates that cover every one of the tiles.
    void narrow(std::span<const Tile> tiles);
    // The tiles laid complete the first candidate left: the piece leaves the hand and the turn
    // passes. Returns the piece's catalogue id.
    PieceId finish_piece();
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
