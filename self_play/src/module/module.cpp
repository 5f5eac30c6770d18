// The tralix_self_play extension module: its initialiser and its three entry functions. Each
// call binds its arguments, reads the config, plays one whole game on the calling thread with
// the interpreter lock held, and turns the outcome into a Python result or exception.
#include "module/drivers.h"
#include "module/entry_function.h"
#include "module/module_object.h"

namespace tralix {
namespace {

constexpr const char* training_parameters[] = {"id", "config", "result_queue", "inference_queue",
                                               "pipe"};
constexpr const char* test_game_parameters[] = {"id",          "config",         "result_queue",
                                                "model_queue", "baseline_queue", "pipe"};

PyObject* play_training_game_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return run_entry("play_training_game", training_parameters, 5, 4, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_training_game(context, bound[3]);
                     });
}

PyObject* play_test_against_random_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) {
    return run_entry("play_test_against_random", training_parameters, 5, 4, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_test_against_random(context, bound[3]);
                     });
}

PyObject* play_test_game_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return run_entry("play_test_game", test_game_parameters, 6, 5, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_test_game(context, bound[3], bound[4]);
                     });
}

PyMethodDef functions[] = {
    {"play_training_game", as_cfunction(play_training_game_entry), METH_FASTCALL | METH_KEYWORDS,
     "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
     "Works with Pytorch model to generate self-play data"},
    {"play_test_game", as_cfunction(play_test_game_entry), METH_FASTCALL | METH_KEYWORDS,
     "play_test_game(id, config, result_queue, model_queue, baseline_queue, pipe)\n--\n\n"},
    {"play_test_against_random", as_cfunction(play_test_against_random_entry),
     METH_FASTCALL | METH_KEYWORDS,
     "play_test_against_random(id, config, result_queue, inference_queue, pipe)\n--\n\n"},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tralix_self_play", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

ModuleObject made;

}  // namespace
}  // namespace tralix

PyMODINIT_FUNC PyInit_tralix_self_play() {
    return tralix::create_module(tralix::definition, tralix::functions, tralix::made);
}
