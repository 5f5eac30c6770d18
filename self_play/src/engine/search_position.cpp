#include "engine/search_position.h"

#include <cmath>
#include <optional>
#include <vector>

#include "engine/failure_exception.h"
#include "engine/match_arguments.h"
#include "module/inference_channel.h"
#include "search/completed_values.h"
#include "search/playout_mix.h"
#include "search/root_search.h"

namespace tralix::drivers {
namespace {

PyRef float_object(double value) { return PyRef::steal(PyFloat_FromDouble(value)); }
PyRef int_object(long long value) { return PyRef::steal(PyLong_FromLongLong(value)); }

// A tuple of new references; null if any is null.
template <class... Items>
PyRef tuple_of(const Items&... items) {
    if ((!items || ...)) return {};
    return PyRef::steal(PyTuple_Pack(sizeof...(Items), items.get()...));
}

PyRef record_list(const TrainingRecord& record) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < record.size(); ++i) {
        PyRef entry = tuple_of(int_object(record[i].first), float_object(record[i].second));
        if (!entry) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

// (tile, prior, visits, completed value) for every root child, in the root's order.
PyRef children_list(const Node& root) {
    std::vector<double> completed;
    completed_values(root, completed);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(root.children.size())));
    if (!list) return list;
    for (std::size_t j = 0; j < root.children.size(); ++j) {
        const Node& child = root.children[j];
        PyRef entry = tuple_of(int_object(child.tile), float_object(child.prior),
                               int_object(child.visit_count), float_object(completed[j]));
        if (!entry) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), entry.release());
    }
    return list;
}

}  // namespace

PyObject* search_position(const GameContext& context, PyObject* position, PyObject* inference_queue,
                          PyObject* seed) {
    std::vector<Tile> tiles;
    std::optional<std::uint64_t> seeded;
    if (!read_tile_sequence(position, "position", context.config.dim, tiles) ||
        !read_seed(seed, seeded)) {
        return nullptr;
    }
    Game game(context.config.dim);
    for (Tile tile : tiles) game.apply_move(tile);
    if (game.is_over()) {
        PyErr_SetString(PyExc_ValueError, "position: the game is over, there is no move to search");
        return nullptr;
    }
    Rng own(seeded.value_or(0));
    Rng& rng = seeded ? own : thread_rng();
    InferenceChannel channel(context, inference_queue);
    std::optional<PlayoutMixEvaluator> mixed;
    if (context.config.playout_mix > 0.0f) mixed.emplace(channel, context.config.playout_mix, rng);
    Evaluator& evaluator = mixed ? static_cast<Evaluator&>(*mixed) : channel;

    // The move's number decides its sampling and draws, as in a training game.
    std::vector<TrainingRecord> records(tiles.size());
    SearchTree tree;
    auto chosen = search_move(evaluator, tree, game, context.config, records, rng);
    if (auto* failure = std::get_if<SearchFailure>(&chosen)) {
        return raise_search_failure(*failure, "");
    }
    const std::array<float, 4> values = tree.move_values().mean();
    PyRef root_value = tuple_of(float_object(values[0]), float_object(values[1]),
                                float_object(values[2]), float_object(values[3]));
    return tuple_of(int_object(std::get<Tile>(chosen)), record_list(records.back()), root_value,
                    children_list(tree.root()))
        .release();
}

}  // namespace tralix::drivers
