// The drivers of play_test_against_random and play_test_game: the search's evaluation games
// with the harness's networks, their printed lines and results.
#include <cstdio>
#include <string>

#include "module/drivers.h"
#include "module/inference_channel.h"
#include "module/interned_names.h"
#include "search/evaluation_games.h"

namespace tralix::drivers {
namespace {

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

PyObject* play_test_against_random(const GameContext& context, PyObject* inference_queue) {
    InferenceChannel network(context, inference_queue);
    auto played = play_against_random(network, context.config.dim, thread_rng());
    if (auto* error = std::get_if<std::string>(&played)) {
        print("Error running MCTS: " + *error + "\n");
        return PyLong_FromLong(1);
    }
    const float score = std::get<Game>(played).outcome()[0];
    PyRef id = PyRef::steal(PyLong_FromLong(context.id));
    PyRef value = PyRef::steal(PyFloat_FromDouble(score));
    PyRef result = id && value ? PyRef::steal(PyTuple_Pack(2, id.get(), value.get())) : PyRef();
    if (!result) return nullptr;
    // What becomes of the result is the harness's business.
    if (!call_method(context.result_queue, Name::put, result.get())) PyErr_Clear();
    return PyLong_FromLong(0);
}

PyObject* play_test_game(const GameContext& context, PyObject* model_queue,
                         PyObject* baseline_queue) {
    InferenceChannel model(context, model_queue);
    InferenceChannel baseline(context, baseline_queue);
    auto played = play_against_baseline(model, baseline, 20, thread_rng());
    if (auto* error = std::get_if<std::string>(&played)) {
        print("Error running MCTS: " + *error + "\n");
        PyErr_SetString(PyExc_Exception, "Error running MCTS");
        return nullptr;
    }
    const Game& game = std::get<Game>(played);
    print("Finished Game\n");
    game.board().print_board();
    return PyFloat_FromDouble(game.outcome()[0]);
}

}  // namespace tralix::drivers
