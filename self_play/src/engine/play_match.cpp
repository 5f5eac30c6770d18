#include "engine/play_match.h"

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/match_arguments.h"
#include "engine/python_player.h"
#include "module/captured_error.h"
#include "module/inference_channel.h"

namespace tralix::drivers {
namespace {

PyObject* raise_failure(const MatchFailure& failed) {
    const auto* captured = dynamic_cast<const CapturedError*>(failed.failure.cause());
    PyObject* cause = captured != nullptr ? captured->exception() : nullptr;
    if (cause != nullptr &&
        !PyObject_TypeCheck(cause, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_SetRaisedException(Py_NewRef(cause));
        return nullptr;
    }
    PyErr_Format(PyExc_RuntimeError, "seat %u: %s", failed.seat, failed.failure.text().c_str());
    if (cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));  // steals the new reference
        PyErr_SetRaisedException(error);
    }
    return nullptr;
}

PyRef match_result(const Game& game) {
    const std::array<float, 4> scores = game.outcome();
    PyRef outcome = PyRef::steal(PyList_New(4));
    if (!outcome) return {};
    for (Py_ssize_t s = 0; s < 4; ++s) {
        PyObject* score = PyFloat_FromDouble(scores[static_cast<std::size_t>(s)]);
        if (score == nullptr) return {};
        PyList_SET_ITEM(outcome.get(), s, score);
    }
    PyRef history = history_list(game.history());
    if (!history) return {};
    return PyRef::steal(PyTuple_Pack(2, outcome.get(), history.get()));
}

bool read_seed(PyObject* seed, std::optional<std::uint64_t>& out) {
    if (seed == nullptr || seed == Py_None) return true;
    if (!PyLong_Check(seed) || PyBool_Check(seed)) {
        PyErr_Format(PyExc_TypeError, "seed must be an int or None, not %T", seed);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(seed);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "seed must be from 0 to 2**64 - 1, not %R", seed);
        return false;
    }
    out = value;
    return true;
}

}  // namespace

PyObject* play_match(const GameContext& context, PyObject* seats, PyObject* opening,
                     PyObject* seed) {
    MatchArguments arguments;
    std::optional<std::uint64_t> seeded;
    if (!read_seed(seed, seeded) ||
        !read_match_arguments(seats, opening, context.pipe, context.config, arguments)) {
        return nullptr;
    }
    // Each network seat's requests in its own layout (its config's rep); the pipe is the
    // call's, its reference held by the entry function for the whole call.
    std::array<GameContext, 4> contexts;
    std::array<std::unique_ptr<InferenceChannel>, 4> channels;
    for (std::size_t s = 0; s < 4; ++s) {
        if (!arguments.queues[s]) continue;
        contexts[s] = context;
        if (arguments.seats[s].settings) contexts[s].config = *arguments.seats[s].settings;
        channels[s] = std::make_unique<InferenceChannel>(contexts[s], arguments.queues[s].get());
        arguments.seats[s].network = channels[s].get();
    }
    std::array<std::unique_ptr<PythonPlayer>, 4> players;
    for (std::size_t s = 0; s < 4; ++s) {
        if (!arguments.players[s]) continue;
        players[s] = std::make_unique<PythonPlayer>(arguments.players[s]);
        arguments.seats[s].player = players[s].get();
    }
    Rng own(seeded.value_or(0));
    auto played = tralix::play_match(arguments.seats, context.config, arguments.opening,
                                     seeded ? own : thread_rng());
    if (auto* failed = std::get_if<MatchFailure>(&played)) return raise_failure(*failed);
    return match_result(std::get<Game>(played)).release();
}

}  // namespace tralix::drivers
