// What every entry function of the extension modules shares: binding the arguments, converting
// the id, reading the config, holding the interpreter lock for the whole game, and turning C++
// failures into Python exceptions exactly once.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <span>

#include "core/fatal_error.h"
#include "module/argument_binding.h"
#include "module/config_reader.h"
#include "module/game_context.h"
#include "module/panic.h"
#include "module/python_text.h"

namespace tralix {

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

// The most parameters an entry function takes.
inline constexpr std::size_t max_parameters = 6;

// Binds the call to parameters (id first, config second, the pipe at pipe_index; those from
// required on may be left out, their slots then null), reads the config (a failure of its
// eight fields is a fatal stop; read_more, when given, reads further fields and may fail with a
// Python error set) and returns play(context, bound), the call's result, or null with a Python
// error set.
template <class Play>
PyObject* run_entry(const char* function, std::span<const char* const> parameters,
                    std::size_t required, std::size_t pipe_index, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames, Play&& play,
                    bool (*read_more)(PyObject* config, Config& out) = nullptr) {
    PyObject* bound[max_parameters] = {};
    std::span<PyObject*> slots(bound, parameters.size());
    if (!bind_arguments(function, parameters, required, args, nargsf, kwnames, slots)) {
        return nullptr;
    }
    std::int32_t id = 0;
    if (!convert_id(bound[0], id)) return nullptr;

    PyRef held[max_parameters];
    for (std::size_t i = 1; i < parameters.size(); ++i) held[i] = PyRef::borrow(bound[i]);
    LockHold lock;
    try {
        std::optional<Config> config = read_config(bound[1]);
        if (!config) fatal_stop("Failed to read the config object: " + describe_pending_error());
        if (read_more != nullptr && !read_more(bound[1], *config)) return nullptr;
        GameContext context;
        context.result_queue = bound[2];
        context.pipe = bound[pipe_index];
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

// Fast calls with keywords have their own signature; the method table stores them as PyCFunction.
inline PyCFunction as_cfunction(PyCFunctionFastWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tralix
