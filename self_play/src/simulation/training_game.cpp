#include "simulation/training_game.h"

#include "simulation/inference_channel.h"
#include "simulation/root_search.h"

namespace tralix {
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

// (id, (history, records, outcome)): ints as signed 32-bit values, floats widened exactly.
PyRef training_result(std::int32_t id, const Game& game,
                      const std::vector<TrainingRecord>& records) {
    const auto as_int = [](std::uint32_t v) { return int_object(static_cast<std::int32_t>(v)); };
    PyRef history = list_of(game.history(), [&](const Move& move) {
        return pair(as_int(move.player), as_int(move.tile));
    });
    PyRef record_lists = list_of(records, [&](const TrainingRecord& record) {
        return list_of(record, [&](const std::pair<Tile, float>& entry) {
            return pair(as_int(entry.first), PyRef::steal(PyFloat_FromDouble(entry.second)));
        });
    });
    const std::array<float, 4> outcome = game.outcome();
    PyRef outcome_list =
        list_of(outcome, [](float v) { return PyRef::steal(PyFloat_FromDouble(v)); });
    if (!history || !record_lists || !outcome_list) return {};
    PyRef data = PyRef::steal(
        PyTuple_Pack(3, history.get(), record_lists.get(), outcome_list.get()));
    return pair(int_object(id), std::move(data));
}

}  // namespace

std::uint8_t play_training(GameContext& context) {
    Game game(context.config.dim);
    SearchTree tree;
    std::vector<TrainingRecord> records;
    InferenceChannel channel(context);
    Rng& rng = thread_rng();
    while (!game.is_over()) {
        auto choice = search_move(channel, tree, game, context.config, records, rng);
        if (std::holds_alternative<SearchFailure>(choice)) return 1;  // the text is not shown
        const Tile tile = std::get<Tile>(choice);
        game.apply_move(tile);
        tree.advance_root(tile);
    }
    PyRef result = training_result(context.id, game, records);
    if (!result) throw PythonErrorSet{};
    static PyObject* put_name = nullptr;
    if (!call_method(context.result_queue, "put", put_name, result.get())) PyErr_Clear();
    return 0;
}

}  // namespace tralix
