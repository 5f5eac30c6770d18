#include "engine/play_match.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/failure_exception.h"
#include "engine/match_arguments.h"
#include "engine/python_player.h"
#include "module/inference_channel.h"

namespace tralix::drivers {
namespace {

PyObject* raise_failure(const MatchFailure& failed) {
    return raise_search_failure(failed.failure, "seat " + std::to_string(failed.seat) + ": ");
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
