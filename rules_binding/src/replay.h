// Laying tiles from Python values, and replaying a whole sequence of tiles from a new game while
// recording every position before a tile. No Python here: the module converts the arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "game/encoding.h"
#include "game/game.h"

namespace tralix::binding {

// "Invalid move - Player {p}, Tile {tile}" for the player to move: the engine's refusal, also for
// values the engine's tile type cannot hold (negative or too large), which it never sees.
std::string invalid_move_text(const Game& game, std::string_view tile);

// Lays one tile for the player to move. A value that is not one of the valid tiles leaves the
// game unchanged and returns the engine's refusal. A valid tile the engine refuses anyway is a
// broken invariant of the engine: a fatal stop.
std::optional<std::string> lay_tile(Game& game, std::int64_t tile);

// Where replay_positions records position i (the position before tile i): its features at
// planes + i * feature_count * dim * dim in the given layout, the player to move at players[i],
// and at valid + i * dim * dim one flag per tile, true for the valid tiles. With globals set,
// the full position instead (encode_full): its planes at planes + i * full_plane_count * dim *
// dim, its global features at globals + i * global_count. Room for `capacity` positions: no
// sequence of more than dim * dim tiles can be valid (each tile laid takes a free tile), so
// dim * dim positions are always enough.
struct ReplayOutput {
    Layout layout = Layout::planes_first;
    std::size_t capacity = 0;
    std::uint8_t* planes = nullptr;
    std::int8_t* players = nullptr;
    bool* valid = nullptr;
    std::uint8_t* globals = nullptr;
};

struct ReplayFailure {
    std::size_t index = 0;  // position of the refused tile in the sequence
    std::string message;    // the engine's refusal
};

// Lays the tiles on game one after the other, recording the position before each. Stops at the
// first tile the game refuses, leaving the game before it; positions up to that tile's are
// recorded.
std::optional<ReplayFailure> replay_positions(Game& game, std::span<const std::int64_t> tiles,
                                              const ReplayOutput& out);

// Lays the tiles on game one after the other and appends to ends, for each tile that completes a
// piece (its player's hand loses the piece), the count of tiles laid with it. Stops at the first
// tile the game refuses, leaving the game before it.
std::optional<ReplayFailure> replay_piece_ends(Game& game, std::span<const std::int64_t> tiles,
                                               std::vector<std::uint32_t>& ends);

}  // namespace tralix::binding
