// The Python module tralix_rules: the rules engine's game, its encodings and whole-game replays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "core/fatal_error.h"
#include "core/types.h"
#include "game/encoding.h"
#include "game/game.h"
#include "pack_planes.h"
#include "python_integers.h"
#include "replay.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace tralix::binding {
namespace {

std::uint32_t checked_side(nb::handle side) {
    const std::optional<std::int64_t> value = to_integer(side, "side");
    if (!value || *value < min_side || *value > max_side) {
        const std::string text = value ? std::to_string(*value) : integer_text(side);
        throw nb::value_error(("side " + text + " is not supported: the board side must be from " +
                               std::to_string(min_side) + " to " + std::to_string(max_side))
                                  .c_str());
    }
    return static_cast<std::uint32_t>(*value);
}

Layout checked_layout(nb::handle layout) {
    const std::optional<std::int64_t> value = to_integer(layout, "layout");
    if (value == 1) return Layout::planes_first;
    if (value == 2) return Layout::channels_last;
    const std::string text = value ? std::to_string(*value) : integer_text(layout);
    throw nb::value_error(
        ("layout must be 1 (planes first) or 2 (channels last), not " + text).c_str());
}

void apply(Game& game, nb::handle tile) {
    const std::optional<std::int64_t> value = to_integer(tile, "tile");
    std::optional<std::string> refused =
        value ? lay_tile(game, *value) : invalid_move_text(game, integer_text(tile));
    if (refused) throw nb::value_error(refused->c_str());
}

// A numpy array owning data, which it frees when Python drops it.
template <class T>
nb::object owned_array(std::unique_ptr<T[]> data, std::initializer_list<std::size_t> shape) {
    nb::capsule owner(data.get(), [](void* p) noexcept { delete[] static_cast<T*>(p); });
    T* raw = data.release();
    return nb::ndarray<nb::numpy, T>(raw, shape, owner).cast();
}

nb::object encode_array(const Game& game, Layout layout) {
    const std::size_t dim = game.dim();
    const std::size_t size = feature_count * dim * dim;
    auto planes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    encode(game, layout, {planes.get(), size});
    if (layout == Layout::planes_first) {
        return owned_array(std::move(planes), {feature_count, dim, dim});
    }
    return owned_array(std::move(planes), {dim, dim, feature_count});
}

// ValueError naming the sequence's first refused tile: failure's, or the value beyond 64 bits
// where the sequence stopped when every tile before it was laid.
void raise_on_failure(const Game& game, const TileSequence& sequence,
                      std::optional<ReplayFailure> failure) {
    if (!failure && sequence.beyond) {
        failure = ReplayFailure{sequence.values.size(), invalid_move_text(game, *sequence.beyond)};
    }
    if (!failure) return;
    const std::string value = failure->index < sequence.values.size()
                                  ? std::to_string(sequence.values[failure->index])
                                  : *sequence.beyond;
    throw nb::value_error(("tile " + std::to_string(failure->index) + " of the sequence (value " +
                           value + ") is not valid: " + failure->message)
                              .c_str());
}

// Replays the tiles into new arrays: (planes, players, valid), or with full (planes, globals,
// players, valid) of the full position.
nb::tuple replay_arrays(nb::handle side_value, nb::handle tiles, nb::handle layout_value,
                        bool full) {
    const std::uint32_t side = checked_side(side_value);
    const Layout layout = full ? Layout::planes_first : checked_layout(layout_value);
    const TileSequence sequence = read_tiles(tiles);
    const std::size_t tile_count = std::size_t{side} * side;
    const std::size_t positions = std::min(sequence.values.size(), tile_count);
    const std::size_t plane_count = full ? full_plane_count : feature_count;

    auto planes =
        std::make_unique_for_overwrite<std::uint8_t[]>(positions * plane_count * tile_count);
    auto players = std::make_unique_for_overwrite<std::int8_t[]>(positions);
    auto valid = std::make_unique_for_overwrite<bool[]>(positions * tile_count);
    auto globals =
        std::make_unique_for_overwrite<std::uint8_t[]>(full ? positions * global_count : 0);
    const ReplayOutput out{layout,        positions,   planes.get(),
                           players.get(), valid.get(), full ? globals.get() : nullptr};

    Game game(side);
    std::optional<ReplayFailure> failure;
    {
        nb::gil_scoped_release unlocked;
        failure = replay_positions(game, sequence.values, out);
    }
    raise_on_failure(game, sequence, failure);

    const std::size_t n = positions;
    nb::object planes_array = layout == Layout::planes_first
                                  ? owned_array(std::move(planes), {n, plane_count, side, side})
                                  : owned_array(std::move(planes), {n, side, side, plane_count});
    nb::object players_array = owned_array(std::move(players), {n});
    nb::object valid_array = owned_array(std::move(valid), {n, tile_count});
    if (!full) return nb::make_tuple(planes_array, players_array, valid_array);
    nb::object globals_array = owned_array(std::move(globals), {n, std::size_t{global_count}});
    return nb::make_tuple(planes_array, globals_array, players_array, valid_array);
}

nb::tuple replay(nb::handle side, nb::handle tiles, nb::handle layout) {
    return replay_arrays(side, tiles, layout, false);
}

nb::tuple replay_full(nb::handle side, nb::handle tiles) {
    return replay_arrays(side, tiles, nb::handle(), true);
}

nb::tuple encode_full_arrays(const Game& game) {
    const std::size_t dim = game.dim();
    const std::size_t size = full_plane_count * dim * dim;
    auto planes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    auto globals = std::make_unique_for_overwrite<std::uint8_t[]>(global_count);
    encode_full(game, {planes.get(), size}, {globals.get(), global_count});
    return nb::make_tuple(owned_array(std::move(planes), {std::size_t{full_plane_count}, dim, dim}),
                          owned_array(std::move(globals), {std::size_t{global_count}}));
}

nb::object piece_ends(nb::handle side_value, nb::handle tiles) {
    const std::uint32_t side = checked_side(side_value);
    const TileSequence sequence = read_tiles(tiles);
    std::vector<std::uint32_t> ends;
    Game game(side);
    std::optional<ReplayFailure> failure;
    {
        nb::gil_scoped_release unlocked;
        failure = replay_piece_ends(game, sequence.values, ends);
    }
    raise_on_failure(game, sequence, failure);
    auto out = std::make_unique_for_overwrite<std::int32_t[]>(ends.size());
    std::copy(ends.begin(), ends.end(), out.get());
    return owned_array(std::move(out), {ends.size()});
}

nb::list history(const Game& game) {
    nb::list out;
    for (const Move& move : game.history()) out.append(nb::make_tuple(move.player, move.tile));
    return out;
}

nb::list valid_tiles(const Game& game) {
    nb::list out;
    for (Tile t : game.valid_tiles()) out.append(t);
    return out;
}

nb::tuple outcome(const Game& game) {
    if (!game.is_over()) {
        throw nb::value_error("the game is not over: the outcome is known only at the end");
    }
    const std::array<float, 4> o = game.outcome();
    return nb::make_tuple(o[0], o[1], o[2], o[3]);
}

nb::tuple scores(const Game& game) {
    const std::array<std::int32_t, 4> s = game.board().scores(game.last_size());
    return nb::make_tuple(s[0], s[1], s[2], s[3]);
}

std::string describe(const Game& game) {
    const std::size_t laid = game.history().size();
    std::string text = "<tralix_rules.Game side " + std::to_string(game.dim()) + ", " +
                       std::to_string(laid) + (laid == 1 ? " tile" : " tiles") + " laid, ";
    if (game.is_over()) return text + "over>";
    return text + "player " + std::to_string(game.current_player()) + " to move>";
}

}  // namespace
}  // namespace tralix::binding

NB_MODULE(tralix_rules, m) {
    using namespace tralix;
    using namespace tralix::binding;

    m.doc() =
        "The tralix rules engine: games laid tile by tile, their network encodings, and whole "
        "sequences of tiles replayed into arrays.";
    // The planes of an encoded position, for the harness's arrays and wire.
    m.attr("feature_count") = feature_count;
    // The full position: its planes, and its global features (per player from the mover on, the
    // pieces in hand and whether it is retired).
    m.attr("full_plane_count") = full_plane_count;
    m.attr("global_count") = global_count;

    // A broken invariant inside the engine: the call fails with the engine's message.
    nb::register_exception_translator([](const std::exception_ptr& error, void*) {
        try {
            std::rethrow_exception(error);
        } catch (const FatalError& fatal) {
            PyErr_SetString(PyExc_RuntimeError, fatal.message().c_str());
        }
    });

    nb::class_<Game>(m, "Game",
                     "A tralix game on an empty board of the given side (4 to 256), player 0 to "
                     "move. Moves are single tiles; a turn passes when the tiles laid complete a "
                     "piece.")
        .def(
            "__init__", [](Game* self, nb::handle side) { new (self) Game(checked_side(side)); },
            "side"_a.none(), nb::sig("def __init__(self, side: int) -> None"))
        .def_prop_ro(
            "side", [](const Game& game) { return game.dim(); }, "The board side.")
        .def_prop_ro(
            "current_player", [](const Game& game) { return game.current_player(); },
            "The seat to move, 0 to 3 (the last one to move once the game is over).")
        .def_prop_ro("history", &history, "Every tile laid so far, as (player, tile) pairs.")
        .def("valid_tiles", &valid_tiles,
             "The tiles the player to move may lay next, ascending; empty once the game is over.")
        .def("is_over", &Game::is_over, "True when all four players have retired.")
        .def("outcome", &outcome,
             "1/k for each of the k best-scoring seats and 0 for the others, by seat, in single "
             "precision. ValueError while the game is not over.")
        .def("scores", &scores, "The four scores by seat.")
        .def(
            "apply", [](Game& game, nb::handle tile) { apply(game, tile); }, "tile"_a.none(),
            nb::sig("def apply(self, tile: int) -> None"),
            "Lays one tile for the player to move. ValueError \"Invalid move - Player {p}, Tile "
            "{t}\" for a tile that is not valid, TypeError for a value that is not an int (bools "
            "included); either way the game is unchanged.")
        .def(
            "encode",
            [](const Game& game, nb::handle layout) {
                return encode_array(game, checked_layout(layout));
            },
            "layout"_a.none() = 1, nb::sig("def encode(self, layout: int = 1) -> numpy.ndarray"),
            "The network input of the position, as the self-play module sends it: uint8 0/1, "
            "shape (5, side, side) for layout 1 or (side, side, 5) for layout 2. Features, from "
            "the point of view of the player to move p: the tiles of players p, p + 1, p + 2, "
            "p + 3 (mod 4), then the valid tiles.")
        .def("encode_full", &encode_full_arrays,
             "The full position as networks that see the whole game take it: (planes, globals), "
             "planes uint8 (6, side, side): the five planes of encode(1), then the tiles of the "
             "piece being laid (the turn in progress); globals uint8 (88,): for the player to "
             "move and each next one in turn order, 21 values that are 1 for each catalogue "
             "piece still in its hand, then 1 when it is retired.")
        .def(
            "board_text", [](const Game& game) { return game.board().text() + "\n"; },
            "The board exactly as the self-play module prints it: a line of glyphs per row, "
            "then an empty line.")
        .def(
            "copy", [](const Game& game) { return Game(game); }, "An independent copy.")
        .def("__copy__", [](const Game& game) { return Game(game); })
        .def(
            "__deepcopy__", [](const Game& game, nb::handle) { return Game(game); }, "memo"_a)
        .def("__repr__", &describe);

    m.def("replay", &replay, "side"_a.none(), "tiles"_a.none(), "layout"_a.none() = 1,
          nb::sig("def replay(side: int, tiles: typing.Iterable[int] | numpy.ndarray, "
                  "layout: int = 1) -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
          "Lays the tiles on a new game of the given side and returns, for the position before "
          "each tile, (planes, players, valid): planes uint8 of shape (n, 5, side, side) for "
          "layout 1 or (n, side, side, 5) for layout 2, as Game.encode; players int8 (n,), the "
          "seat to move; valid bool (n, side * side), its valid tiles. A tile that is not valid "
          "raises ValueError naming its index in the sequence.");

    m.def("piece_ends", &piece_ends, "side"_a.none(), "tiles"_a.none(),
          nb::sig("def piece_ends(side: int, tiles: typing.Iterable[int] | numpy.ndarray) -> "
                  "numpy.ndarray"),
          "Lays the tiles on a new game of the given side and returns, ascending, the counts of "
          "tiles laid at which a piece is complete (int32): where the turn passes, and where a "
          "player left alone lays one piece after another. A tile that is not valid raises "
          "ValueError naming its index in the sequence, as replay does.");

    m.def("replay_full", &replay_full, "side"_a.none(), "tiles"_a.none(),
          nb::sig("def replay_full(side: int, tiles: typing.Iterable[int] | numpy.ndarray) -> "
                  "tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray, numpy.ndarray]"),
          "replay, with the full position of Game.encode_full before each tile: (planes, "
          "globals, players, valid), planes uint8 (n, 6, side, side), globals uint8 (n, 88).");

    m.def("pack_planes", &pack_planes, "planes"_a, "buffer"_a, "offset"_a = 0,
          nb::sig("def pack_planes(planes: typing.Sequence[typing.Sequence[typing.Sequence["
                  "bool]]], buffer: collections.abc.Buffer, offset: int = 0) -> int"),
          "Writes the bools of a request's planes (nested sequences, three levels, as the "
          "self-play module puts them) into a writable buffer from byte `offset` on, one byte "
          "(1 or 0) per bool in the sequences' order, and returns the number of bytes written. "
          "Other items are judged by their truth value. ValueError, naming the plane, row or "
          "item, for ragged planes (rows or items fewer or more than the first's) and for a "
          "list or tuple in place of a bool; ValueError when they do not fit.");

    m.def("fill_floats", &fill_floats, "floats"_a, "buffer"_a, "offset"_a = 0,
          nb::sig("def fill_floats(floats: list[float], buffer: collections.abc.Buffer, "
                  "offset: int = 0) -> None"),
          "Sets every item of the list to the float32 values found in the buffer from byte "
          "`offset` on, in native byte order. A float that the list alone holds is rewritten in "
          "place, so that a list reused from reply to reply allocates nothing; any other item "
          "is replaced. ValueError when the buffer ends first.");
}
