// The driver of play_training_game: the search's training game with the harness as network,
// and its result as Python objects.
#include "module/drivers.h"

#include <cmath>

#include "module/inference_channel.h"
#include "module/interned_names.h"
#include "search/playout_mix.h"
#include "search/training_game.h"

namespace tralix::drivers {
namespace {

PyRef int_object(std::int64_t value) { return PyRef::steal(PyLong_FromLongLong(value)); }

// A 2-tuple made from two new references; null if either is null.
PyRef pair(PyRef first, PyRef second) {
    if (!first || !second) return {};
    return PyRef::steal(PyTuple_Pack(2, first.get(), second.get()));
}

template <class Items, class Make>
PyRef list_of(const Items& items, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return list;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyRef element = make(item);
        if (!element) return {};
        PyList_SET_ITEM(list.get(), i++, element.release());
    }
    return list;
}

// A move's searched value vector as a list of four floats, or None for a move played without a
// search.
PyRef root_value_item(const std::array<float, 4>& values) {
    if (std::isnan(values[0])) return PyRef::steal(Py_NewRef(Py_None));
    return list_of(values, [](float v) { return PyRef::steal(PyFloat_FromDouble(v)); });
}

// (id, (history, records, outcome)), with root values (id, (history, records, outcome,
// root_values)): ints as signed 32-bit values, floats widened exactly.
PyRef training_result(std::int32_t id, const TrainingGame& played, bool with_root_values) {
    const auto as_int = [](std::uint32_t v) { return int_object(static_cast<std::int32_t>(v)); };
    PyRef history = list_of(played.game.history(), [&](const Move& move) {
        return pair(as_int(move.player), as_int(move.tile));
    });
    PyRef record_lists = list_of(played.records, [&](const TrainingRecord& record) {
        return list_of(record, [&](const std::pair<Tile, float>& entry) {
            return pair(as_int(entry.first), PyRef::steal(PyFloat_FromDouble(entry.second)));
        });
    });
    const std::array<float, 4> outcome = played.game.outcome();
    PyRef outcome_list =
        list_of(outcome, [](float v) { return PyRef::steal(PyFloat_FromDouble(v)); });
    if (!history || !record_lists || !outcome_list) return {};
    PyRef data;
    if (with_root_values) {
        PyRef root_values = list_of(played.root_values, root_value_item);
        if (!root_values) return {};
        data = PyRef::steal(PyTuple_Pack(4, history.get(), record_lists.get(), outcome_list.get(),
                                         root_values.get()));
    } else {
        data = PyRef::steal(PyTuple_Pack(3, history.get(), record_lists.get(), outcome_list.get()));
    }
    return pair(int_object(id), std::move(data));
}

}  // namespace

PyObject* play_training_game(const GameContext& context, PyObject* inference_queue) {
    InferenceChannel channel(context, inference_queue);
    Rng& rng = thread_rng();
    std::optional<PlayoutMixEvaluator> mixed;
    if (context.config.playout_mix > 0.0f) mixed.emplace(channel, context.config.playout_mix, rng);
    Evaluator& evaluator = mixed ? static_cast<Evaluator&>(*mixed) : channel;
    auto played = tralix::play_training_game(evaluator, context.config, rng);
    // A failed search ends the game; its text is not shown.
    if (std::holds_alternative<SearchFailure>(played)) return PyLong_FromLong(1);
    PyRef result = training_result(context.id, std::get<TrainingGame>(played),
                                   context.config.record_root_values);
    if (!result) return nullptr;
    // What becomes of the result is the harness's business.
    if (!call_method(context.result_queue, Name::put, result.get())) PyErr_Clear();
    return PyLong_FromLong(0);
}

}  // namespace tralix::drivers
