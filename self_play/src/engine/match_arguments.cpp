#include "engine/match_arguments.h"

#include <cstdint>

#include "core/types.h"
#include "module/config_reader.h"
#include "module/interned_names.h"

namespace tralix {
namespace {

bool has_method(PyObject* object, Name name, bool& out) {
    PyObject* key = interned(name);
    if (key == nullptr) return false;
    const int found = PyObject_HasAttrWithError(object, key);
    if (found < 0) return false;
    out = found == 1;
    return true;
}

bool read_queue(PyObject* queue, Py_ssize_t seat, PyRef& out) {
    bool ok = false;
    if (!has_method(queue, Name::put, ok)) return false;
    if (!ok) {
        PyErr_Format(PyExc_TypeError,
                     "seats[%zd] must be None (a random player), a queue with a put method (a "
                     "greedy network), a tuple (queue, sims) or (queue, sims, config) (a "
                     "searching network; queue None: random playouts) or a callable (a "
                     "player), not %T",
                     seat, queue);
        return false;
    }
    out = PyRef::borrow(queue);
    return true;
}

// The pending error, an Exception, raised again as "seats[S]: config: {text}" (a ValueError
// stays one, anything else is a TypeError) chained to it; other exceptions pass unchanged.
bool seat_config_failed(Py_ssize_t seat) {
    PyObject* cause = PyErr_GetRaisedException();
    if (cause == nullptr ||
        !PyObject_TypeCheck(cause, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_SetRaisedException(cause);
        return false;
    }
    const bool value_error =
        PyObject_TypeCheck(cause, reinterpret_cast<PyTypeObject*>(PyExc_ValueError));
    PyErr_Format(value_error ? PyExc_ValueError : PyExc_TypeError, "seats[%zd]: config: %S", seat,
                 cause);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);
    return false;
}

// A searching seat's own settings: the call's reader on its config, the board side the call's.
bool read_seat_settings(PyObject* object, Py_ssize_t seat, const Config& call, MatchSeat& target) {
    std::optional<Config> own = read_config(object);
    if (!own || !read_match_settings(object, *own)) return seat_config_failed(seat);
    own->dim = call.dim;
    target.settings = *own;
    return true;
}

bool read_sims(PyObject* sims, Py_ssize_t seat, std::uint32_t& out) {
    if (!PyLong_Check(sims) || PyBool_Check(sims)) {
        PyErr_Format(PyExc_TypeError, "seats[%zd]: sims must be an int, not %T", seat, sims);
        return false;
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(sims, &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || count < 0) {
        PyErr_Format(PyExc_ValueError, "seats[%zd]: sims must not be negative, not %R", seat, sims);
        return false;
    }
    if (overflow > 0 || count > UINT32_MAX) {
        PyErr_Format(PyExc_ValueError, "seats[%zd]: sims must be at most %lu, not %R", seat,
                     static_cast<unsigned long>(UINT32_MAX), sims);
        return false;
    }
    out = static_cast<std::uint32_t>(count);
    return true;
}

// A tuple (queue or None, sims) or (queue or None, sims, config).
bool read_searching_seat(PyObject* item, Py_ssize_t seat, const Config& call, MatchArguments& out) {
    const auto s = static_cast<std::size_t>(seat);
    MatchSeat& target = out.seats[s];
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2 && size != 3) {
        PyErr_Format(PyExc_TypeError,
                     "seats[%zd] must be a tuple (queue, sims) of two items or (queue, sims, "
                     "config) of three, not of %zd",
                     seat, size);
        return false;
    }
    std::uint32_t sims = 0;
    if (!read_sims(PyTuple_GET_ITEM(item, 1), seat, sims)) return false;
    PyObject* queue = PyTuple_GET_ITEM(item, 0);
    if (queue == Py_None) {
        if (sims == 0) {
            PyErr_Format(PyExc_ValueError,
                         "seats[%zd]: a search without a network (None, sims) needs sims of at "
                         "least 1, not 0",
                         seat);
            return false;
        }
        target = {MatchSeat::Kind::playouts, nullptr, sims, nullptr, {}};
    } else {
        target = {sims == 0 ? MatchSeat::Kind::greedy : MatchSeat::Kind::search,
                  nullptr,
                  sims,
                  nullptr,
                  {}};
        if (!read_queue(queue, seat, out.queues[s])) return false;
    }
    return size == 2 || read_seat_settings(PyTuple_GET_ITEM(item, 2), seat, call, target);
}

bool read_seat(PyObject* item, Py_ssize_t seat, const Config& call, MatchArguments& out) {
    const auto s = static_cast<std::size_t>(seat);
    MatchSeat& target = out.seats[s];
    out.items[s] = PyRef::borrow(item);
    if (item == Py_None) {
        target = {};
        return true;
    }
    if (PyTuple_Check(item)) return read_searching_seat(item, seat, call, out);
    bool has_put = false;
    if (!has_method(item, Name::put, has_put)) return false;
    if (!has_put && PyCallable_Check(item)) {
        target = {MatchSeat::Kind::player, nullptr, 0, nullptr, {}};
        out.players[s] = PyRef::borrow(item);
        return true;
    }
    target = {MatchSeat::Kind::greedy, nullptr, 0, nullptr, {}};
    return read_queue(item, seat, out.queues[s]);
}

bool read_seats(PyObject* seats, const Config& call, MatchArguments& out) {
    if (PyUnicode_Check(seats) || PyBytes_Check(seats) || !PySequence_Check(seats)) {
        PyErr_Format(PyExc_TypeError,
                     "seats must be a sequence of four items, one per seat, not %T", seats);
        return false;
    }
    // A copy: code run while the seats are read (a __getattr__, a config's property) may
    // change the caller's list.
    PyRef items = PyRef::steal(PySequence_Tuple(seats));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n != 4) {
        PyErr_Format(PyExc_ValueError, "seats must hold four items, one per seat, not %zd", n);
        return false;
    }
    for (Py_ssize_t s = 0; s < n; ++s) {
        if (!read_seat(PyTuple_GET_ITEM(items.get(), s), s, call, out)) return false;
    }
    return true;
}

}  // namespace

bool read_tile_sequence(PyObject* opening, const char* name, std::uint32_t dim,
                        std::vector<Tile>& out) {
    out.clear();
    if (opening == nullptr || opening == Py_None) return true;
    PyRef iterator = PyRef::steal(PyObject_GetIter(opening));
    if (!iterator) return false;
    const std::uint64_t tiles = static_cast<std::uint64_t>(dim) * dim;
    Py_ssize_t index = 0;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get()) || PyBool_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "%s[%zd] must be an int tile, not %T", name, index,
                         item.get());
            return false;
        }
        int overflow = 0;
        const long long tile = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (tile == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || tile < 0 || static_cast<std::uint64_t>(tile) >= tiles) {
            PyErr_Format(PyExc_ValueError, "%s[%zd]: %R is not a tile of a board of side %u", name,
                         index, item.get(), dim);
            return false;
        }
        out.push_back(static_cast<Tile>(tile));
        ++index;
    }
    if (PyErr_Occurred()) return false;
    if (auto invalid = first_invalid_opening_tile(dim, out)) {
        PyErr_Format(PyExc_ValueError, "%s[%zu]: tile %u is not a valid move there", name, *invalid,
                     out[*invalid]);
        return false;
    }
    return true;
}

bool read_match_arguments(PyObject* seats, PyObject* opening, PyObject* pipe, const Config& config,
                          MatchArguments& out) {
    const std::uint32_t dim = config.dim;
    if (dim < min_side || dim > max_side) {
        PyErr_Format(PyExc_ValueError, "config.dim must be %u to %u, not %u", min_side, max_side,
                     dim);
        return false;
    }
    if (!read_seats(seats, config, out) ||
        !read_tile_sequence(opening, "opening", dim, out.opening))
        return false;
    bool networks = false;
    for (const MatchSeat& seat : out.seats) {
        networks |= seat.kind == MatchSeat::Kind::greedy || seat.kind == MatchSeat::Kind::search;
    }
    bool has_recv = true;
    if (networks && !has_method(pipe, Name::recv, has_recv)) return false;
    if (!has_recv) {
        PyErr_Format(PyExc_TypeError, "pipe must have a recv method, not %T", pipe);
        return false;
    }
    return true;
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

}  // namespace tralix
