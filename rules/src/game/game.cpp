#include "game/game.h"

#include <algorithm>

#include "core/fatal_error.h"

namespace tralix {

Game::Game(std::uint32_t dim) : board_(dim) {
    find_valid_moves();
    stop_if_inconsistent();
}

void Game::stop_if_inconsistent() const {
#ifdef TRALIX_CHECK_CONSISTENCY
    if (std::optional<std::string> mismatch = check_consistency()) {
        fatal_stop("inconsistent game at the turn start after " + std::to_string(history_.size()) +
                   " moves: " + *mismatch);
    }
#endif
}

bool Game::covers(PlacementCode code, Tile tile) const {
    const Tile anchor = placement_anchor(code);
    if (tile < anchor) return false;
    const Shape& shape = board_.catalogue().shape(placement_shape(code));
    const std::uint32_t k = tile - anchor;
    for (std::uint32_t i = 0; i < shape.size; ++i) {
        if (shape.offsets[i] == k) return true;
    }
    return false;
}

std::optional<std::string> Game::apply_move(Tile tile) {
    if (!std::binary_search(valid_tiles_.begin(), valid_tiles_.end(), tile)) {
        return "Invalid move - Player " + std::to_string(current_player_) + ", Tile " +
               std::to_string(tile);
    }
    lay(tile);

    // Narrow: keep the candidates that also cover this tile (the set behind it).
    narrow({&tile, 1});
    collect_valid_tiles();
    if (!valid_tiles_.empty()) return std::nullopt;

    // No candidate extends the tiles laid: they form the one remaining placement.
    if (candidates_.empty()) return "valid_moves must be non-empty";
    finish_piece();
    return std::nullopt;
}

void Game::narrow(std::span<const Tile> tiles) {
    if (tiles.empty()) return;
    // A candidate covering every tile has its anchor between the highest tile less the reach
    // of a piece (no cell lies farther from its anchor than the window's radius in rows and
    // columns) and the lowest tile: one subtraction and one comparison put most candidates
    // out before their shape is looked at.
    const auto [lowest, highest] = std::minmax_element(tiles.begin(), tiles.end());
    const std::uint32_t reach = Window::radius * (board_.dim() + 1);
    const Tile from = *highest > reach ? *highest - reach : 0;
    if (*lowest < from) {
        candidates_.clear();
        return;
    }
    const std::uint32_t width = *lowest - from;
    const Shape* const shapes = &board_.catalogue().shape(0);
    PlacementCode* kept = candidates_.data();
    for (const PlacementCode code : candidates_) {
        const Tile anchor = placement_anchor(code);
        if (anchor - from > width) continue;  // wraps when the anchor is below from
        const Shape& shape = shapes[placement_shape(code)];
        bool covers_all = true;
        for (const Tile tile : tiles) {
            const std::uint32_t k = tile - anchor;
            std::uint32_t i = 0;
            while (i + 1 < shape.size && shape.offsets[i] < k) ++i;
            if (shape.offsets[i] != k) {
                covers_all = false;
                break;
            }
        }
        if (covers_all) *kept++ = code;
    }
    candidates_.resize(static_cast<std::size_t>(kept - candidates_.data()));
}

bool Game::lay_tiles(std::span<const Tile> tiles, TurnStart* turn_start) {
    for (Tile tile : tiles) lay(tile);
    narrow(tiles);
    if (candidates_.empty()) fatal_stop("no candidate placement covers the tiles laid together");
    collect_valid_tiles();
    if (!valid_tiles_.empty()) return false;
    const PieceId completed = finish_piece();
    if (turn_start != nullptr) {
        turn_start->candidates = candidates_;
        turn_start->valid_tiles = valid_tiles_;
        turn_start->completed = completed;
        turn_start->player = current_player_;
        turn_start->finished = finished_;
    }
    return true;
}

void Game::complete_turn(std::span<const Tile> tiles, const TurnStart& turn_start) {
    for (Tile tile : tiles) lay(tile);
    const Player player = current_player_;
    const Hand& hand = board_.hand(player);
    std::uint32_t index = 0;
    while (index < hand.size() && hand[index] != turn_start.completed) ++index;
    if (index == hand.size()) fatal_stop("the completed piece is not in the hand");
    last_size_[player] = board_.piece_in_hand(player, index).size;
    board_.remove_piece(player, index);
    current_player_ = turn_start.player;
    finished_ = turn_start.finished;
    candidates_.assign(turn_start.candidates.begin(), turn_start.candidates.end());
    valid_tiles_.assign(turn_start.valid_tiles.begin(), turn_start.valid_tiles.end());
    stop_if_inconsistent();
}

void Game::lay(Tile tile) {
    if (tile >= board_.tile_count() || (board_.cell(tile) & owner_mask) != 0) {
        fatal_stop("tile " + std::to_string(tile) + " is not free");
    }
    board_.place_tile(tile, current_player_);
    history_.push_back({current_player_, tile});
}

PieceId Game::finish_piece() {
    const Player player = current_player_;
    const Placement done = decode(candidates_.front());
    const PieceId completed = board_.hand(player)[done.piece];
    last_size_[player] = board_.piece_in_hand(player, done.piece).size;
    board_.remove_piece(player, done.piece);
    next_turn();
    stop_if_inconsistent();
    return completed;
}

void Game::next_turn() {
    while (!is_over()) {
        current_player_ = (current_player_ + 1) % player_count;
        if (finished_[current_player_]) {
            // A retired player's corner set only shrinks: it has no moves, no need to search.
            candidates_.clear();
            valid_tiles_.clear();
            continue;
        }
        find_valid_moves();
        if (!valid_tiles_.empty()) return;
        finished_[current_player_] = true;
    }
}

std::array<float, 4> Game::outcome() const {
    const std::array<std::int32_t, 4> s = board_.scores(last_size_);
    std::int32_t best = s[0];
    std::uint32_t winners = 1;
    for (Player p = 1; p < player_count; ++p) {
        if (s[p] > best) {
            best = s[p];
            winners = 1;
        } else if (s[p] == best) {
            ++winners;
        }
    }
    const float share = 1.0f / static_cast<float>(winners);
    std::array<float, 4> result{};
    for (Player p = 0; p < player_count; ++p) result[p] = s[p] == best ? share : 0.0f;
    return result;
}

Placement Game::decode(PlacementCode code) const {
    // Candidates are codes of (catalogue shape, anchor); the piece is named by its place in
    // the hand of the player to move.
    const Shape& shape = board_.catalogue().shape(placement_shape(code));
    const Hand& hand = board_.hand(current_player_);
    std::uint32_t index = 0;
    while (index < hand.size() && hand[index] != shape.piece) ++index;
    return {index, shape.orientation, placement_anchor(code)};
}

std::vector<Placement> Game::placements() const {
    std::vector<Placement> out;
    for (PlacementCode code : candidates_) out.push_back(decode(code));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Placement> Game::placements_covering(Tile tile) const {
    std::vector<Placement> out;
    if (!std::binary_search(valid_tiles_.begin(), valid_tiles_.end(), tile)) return out;
    for (PlacementCode code : candidates_) {
        if (covers(code, tile)) out.push_back(decode(code));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace tralix
