// The tralix_engine extension module: self-play games in any search mode and matches between
// players of any kind, from the same search library and module parts as tralix_self_play.
// Each call plays one whole game on the calling thread with the interpreter lock held.
#include "engine/play_match.h"
#include "engine/search_position.h"
#include "module/drivers.h"
#include "module/entry_function.h"
#include "module/module_object.h"

namespace tralix {
namespace {

constexpr const char* training_parameters[] = {"id", "config", "result_queue", "inference_queue",
                                               "pipe"};
// result_queue's slot holds the seats: a match hands nothing to a queue of results.
constexpr const char* match_parameters[] = {"id", "config", "seats", "pipe", "opening", "seed"};

PyObject* play_training_game_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return run_entry(
        "play_training_game", training_parameters, 5, 4, args, nargsf, kwnames,
        [](const GameContext& context, PyObject** bound) {
            return drivers::play_training_game(context, bound[3]);
        },
        read_training_settings);
}

PyObject* play_match_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_entry(
        "play_match", match_parameters, 4, 3, args, nargsf, kwnames,
        [](const GameContext& context, PyObject** bound) {
            return drivers::play_match(context, bound[2], bound[4], bound[5]);
        },
        read_match_settings);
}

// position takes result_queue's slot: nothing is put on a queue of results.
constexpr const char* search_parameters[] = {"id",   "config", "position", "inference_queue",
                                             "pipe", "seed"};

PyObject* search_position_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return run_entry(
        "search_position", search_parameters, 5, 4, args, nargsf, kwnames,
        [](const GameContext& context, PyObject** bound) {
            return drivers::search_position(context, bound[2], bound[3], bound[5]);
        },
        read_training_settings);
}

PyMethodDef functions[] = {
    {"play_training_game", as_cfunction(play_training_game_entry), METH_FASTCALL | METH_KEYWORDS,
     "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
     "One self-play game searched in config.search_mode (0: the visits search of "
     "tralix_self_play, 1: sound PUCT, 2: Gumbel root); puts (id, (history, records, outcome)) "
     "on result_queue and returns 0, or returns 1 when the network failed. With "
     "config.full_search_share below 1 (playout cap), each move is searched in full with that "
     "probability and otherwise with config.cheap_sims simulations; a cheap move's record is "
     "empty."},
    {"play_match", as_cfunction(play_match_entry), METH_FASTCALL | METH_KEYWORDS,
     "play_match(id, config, seats, pipe, opening=(), seed=None)\n--\n\n"
     "One game on a board of side config.dim after the opening's tiles, one player per seat: "
     "None (uniformly random), a queue (a network playing its highest prior), (queue, sims) "
     "(a network searching sims simulations per move in config.search_mode, without noise, "
     "each value blended with a random playout's outcome by config.playout_mix when given), "
     "(queue, sims, seat_config) (the same searching with its own settings read from "
     "seat_config as config is read, every search field and rep included; the board side "
     "stays config.dim), (None, sims) or (None, sims, seat_config) (a search without a "
     "network: equal priors, each leaf valued by one uniformly random playout; nothing is put "
     "and no pipe needed) or a callable player(history, valid_tiles) returning its tile. "
     "Random players, tie-breaks, searches and playouts draw from a generator seeded with seed "
     "(an int from 0 to 2**64 - 1: the same seed and networks give the same game) or, "
     "without one, the calling thread's own. Returns (outcome, history)."},
    {"search_position", as_cfunction(search_position_entry), METH_FASTCALL | METH_KEYWORDS,
     "search_position(id, config, position, inference_queue, pipe, seed=None)\n--\n\n"
     "Lays the tiles of position on a new board of side config.dim and searches the next move "
     "as a training game's move number len(position) is searched (config's search mode, "
     "noise, Gumbel draws and playout blend; never the playout cap's cheap search). Returns "
     "(tile, record, root_value, children): the tile played, the move's record, the mean "
     "value vector the search met by seat, and (tile, prior, visits, completed value for the "
     "player to move) for every root child. seed as play_match's."},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tralix_engine",
    "Self-play games in any search mode and matches with searching players.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleObject made;

}  // namespace
}  // namespace tralix

PyMODINIT_FUNC PyInit_tralix_engine() {
    return tralix::create_module(tralix::definition, tralix::functions, tralix::made);
}
