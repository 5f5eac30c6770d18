#include "engine/python_player.h"

#include <cstdint>

#include "module/captured_error.h"

namespace tralix {
namespace {

SearchFailure failed() { return SearchFailure("the player failed: ", CapturedError::take()); }

PyRef tile_list(const std::vector<Tile>& tiles) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tiles.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        PyObject* tile = PyLong_FromUnsignedLong(tiles[i]);
        if (tile == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tile);
    }
    return list;
}

}  // namespace

PyRef history_list(const std::vector<Move>& moves) {
    PyRef history = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    if (!history) return {};
    for (std::size_t i = 0; i < moves.size(); ++i) {
        PyObject* pair = Py_BuildValue("(II)", moves[i].player, moves[i].tile);
        if (pair == nullptr) return {};
        PyList_SET_ITEM(history.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return history;
}

std::variant<Tile, SearchFailure> PythonPlayer::choose(const Game& game) {
    PyRef history = history_list(game.history());
    if (!history) return failed();
    PyRef valid = tile_list(game.valid_tiles());
    if (!valid) return failed();
    PyRef chosen = PyRef::steal(
        PyObject_CallFunctionObjArgs(callable_.get(), history.get(), valid.get(), nullptr));
    if (!chosen) return failed();
    if (!PyLong_Check(chosen.get()) || PyBool_Check(chosen.get())) {
        PyErr_Format(PyExc_TypeError, "the player returned %T, not an int tile", chosen.get());
        return failed();
    }
    int overflow = 0;
    const long long tile = PyLong_AsLongLongAndOverflow(chosen.get(), &overflow);
    if (tile == -1 && PyErr_Occurred()) return failed();
    if (overflow != 0 || tile < 0 || tile > static_cast<long long>(UINT32_MAX)) {
        PyErr_Format(PyExc_ValueError, "the player returned %R, which is not a tile", chosen.get());
        return failed();
    }
    return static_cast<Tile>(tile);
}

}  // namespace tralix
