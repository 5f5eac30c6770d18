// tralix_module_cost, a benchmark-only extension for bench/module_cost_bench.py: whole training
// games from a fixed seed, and the request floor (the same request made again and again), both
// through the module's own inference channel, so that the two runs count the same request code.
#include <cstdint>
#include <exception>
#include <variant>

#include "module/config_reader.h"
#include "module/inference_channel.h"
#include "search/training_game.h"

namespace tralix {
namespace {

// Arguments (count, seed, config, queue, pipe): the config is read as the module reads it.
struct Call {
    unsigned long long count = 0;
    unsigned long long seed = 0;
    GameContext context;
    PyObject* queue = nullptr;
};

bool parse(PyObject* args, Call& call) {
    PyObject* config = nullptr;
    if (!PyArg_ParseTuple(args, "KKOOO", &call.count, &call.seed, &config, &call.queue,
                          &call.context.pipe)) {
        return false;
    }
    std::optional<Config> read = read_config(config);
    if (!read || !read_search_settings(config, *read)) return false;
    call.context.config = *read;
    call.context.result_queue = Py_None;
    return true;
}

PyObject* raise_text(const std::string& text) {
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
    return nullptr;
}

// training_games(count, seed, config, queue, pipe) -> tiles played: count whole self-play games
// with one generator seeded once, each request put on queue and answered by pipe.recv().
PyObject* training_games(PyObject*, PyObject* args) {
    Call call;
    if (!parse(args, call)) return nullptr;
    try {
        InferenceChannel channel(call.context, call.queue);
        Rng rng(call.seed);
        std::size_t tiles = 0;
        for (unsigned long long i = 0; i < call.count; ++i) {
            auto played = play_training_game(channel, call.context.config, rng);
            if (auto* failure = std::get_if<SearchFailure>(&played)) {
                return raise_text(failure->text());
            }
            tiles += std::get<TrainingGame>(played).game.history().size();
        }
        return PyLong_FromSize_t(tiles);
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::exception& error) {
        return raise_text(error.what());
    }
}

// request_floor(count, seed, config, queue, pipe) -> None: count evaluations of one position
// (random tiles from the seed until 30 % of the board is covered): the encoding, the request's
// nested lists, put, recv and reading the reply, and nothing of the search.
PyObject* request_floor(PyObject*, PyObject* args) {
    Call call;
    if (!parse(args, call)) return nullptr;
    try {
        Game game(call.context.config.dim);
        Rng rng(call.seed);
        const std::size_t covered = game.board().tile_count() * 3 / 10;
        while (!game.is_over() && game.history().size() < covered) {
            const std::vector<Tile>& valid = game.valid_tiles();
            game.apply_move(valid[uniform_index(rng, valid.size())]);
        }
        if (game.is_over()) return raise_text("the floor's position is a finished game");
        InferenceChannel channel(call.context, call.queue);
        NetworkScores scores;
        for (unsigned long long i = 0; i < call.count; ++i) {
            if (auto error = channel.evaluate(game, scores)) return raise_text(error->text());
        }
        Py_RETURN_NONE;
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::exception& error) {
        return raise_text(error.what());
    }
}

PyMethodDef functions[] = {
    {"training_games", training_games, METH_VARARGS, nullptr},
    {"request_floor", request_floor, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tralix_module_cost",
    "",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tralix

PyMODINIT_FUNC PyInit_tralix_module_cost() { return PyModule_Create(&tralix::definition); }
