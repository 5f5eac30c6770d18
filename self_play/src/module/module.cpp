// The tralix_self_play extension module: its initialiser and its three entry functions. Each
// call binds its arguments, reads the config, plays one whole game on the calling thread with
// the interpreter lock held, and turns the outcome into a Python result or exception.
#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>

#include "core/fatal_error.h"
#include "module/argument_binding.h"
#include "module/config_reader.h"
#include "module/drivers.h"
#include "module/panic.h"
#include "module/python_text.h"

namespace tralix {
namespace {

constexpr const char* training_parameters[] = {"id", "config", "result_queue", "inference_queue",
                                               "pipe"};
constexpr const char* test_game_parameters[] = {"id",          "config",         "result_queue",
                                                "model_queue", "baseline_queue", "pipe"};

// A nested hold of the interpreter lock for the whole call (the caller already holds it).
class LockHold {
public:
    LockHold() : state_(PyGILState_Ensure()) {}
    ~LockHold() { PyGILState_Release(state_); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    PyGILState_STATE state_;
};

// The steps every entry function shares. play(context, bound) runs the game and returns the
// call's result, or null with a Python error set.
template <class Play>
PyObject* run_entry(const char* function, std::span<const char* const> parameters,
                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Play&& play) {
    PyObject* bound[6] = {};
    std::span<PyObject*> slots(bound, parameters.size());
    if (!bind_arguments(function, parameters, args, nargsf, kwnames, slots)) return nullptr;
    std::int32_t id = 0;
    if (!convert_id(bound[0], id)) return nullptr;

    PyRef held[6];
    for (std::size_t i = 1; i < parameters.size(); ++i) held[i] = PyRef::borrow(bound[i]);
    LockHold lock;
    try {
        std::optional<Config> config = read_config(bound[1]);
        if (!config) fatal_stop("Failed to read the config object: " + describe_pending_error());
        GameContext context;
        context.result_queue = bound[2];
        context.pipe = bound[parameters.size() - 1];
        context.config = *config;
        context.id = id;
        PyObject* result = play(context, bound);
        if (result != nullptr && PyErr_Occurred()) PyErr_Clear();
        return result;
    } catch (const PythonErrorSet&) {
        // the error is already set
    } catch (const FatalError& stop) {
        raise_panic(stop);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(FatalError(error.what(), std::source_location::current()));
    }
    return nullptr;
}

PyObject* play_training_game_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return run_entry("play_training_game", training_parameters, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_training_game(context, bound[3]);
                     });
}

PyObject* play_test_against_random_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) {
    return run_entry("play_test_against_random", training_parameters, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_test_against_random(context, bound[3]);
                     });
}

PyObject* play_test_game_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return run_entry("play_test_game", test_game_parameters, args, nargsf, kwnames,
                     [](const GameContext& context, PyObject** bound) {
                         return drivers::play_test_game(context, bound[3], bound[4]);
                     });
}

// Fast calls with keywords have their own signature; the method table stores them as PyCFunction.
PyCFunction as_cfunction(PyCFunctionFastWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
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

// The interpreter that imported the module first, and the module made for it.
std::atomic<std::int64_t> first_interpreter{-1};
PyObject* module_object = nullptr;

// Appends the function's name to __all__ (creating it on first use), then sets the attribute.
bool add_function(PyObject* module, PyMethodDef& def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!function) return false;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    PyRef created;
    if (all == nullptr) {
        created = PyRef::steal(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(def.ml_name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, def.ml_name, function.get()) == 0;
}

PyObject* create_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tralix_self_play does not support subinterpreters: it can only be "
                        "imported by the interpreter that imported it first");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);
    PyRef module = PyRef::steal(PyModule_Create(&definition));
    if (!module) return nullptr;
    for (PyMethodDef& def : functions) {
        if (!add_function(module.get(), def)) return nullptr;
    }
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tralix

PyMODINIT_FUNC PyInit_tralix_self_play() { return tralix::create_module(); }
