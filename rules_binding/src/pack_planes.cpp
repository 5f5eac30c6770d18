#include "pack_planes.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace nb = nanobind;

namespace tralix::binding {
namespace {

// A buffer held for the length of the call: writable when asked (PyBUF_WRITABLE in flags).
class HeldBuffer {
public:
    HeldBuffer(nb::handle object, int flags) {
        if (PyObject_GetBuffer(object.ptr(), &view_, flags | PyBUF_C_CONTIGUOUS) != 0) {
            throw nb::python_error();
        }
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    std::uint8_t* data() const { return static_cast<std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// Where an item sits in the planes, for the errors: "plane 2, row 5, item 3".
std::string place(const Py_ssize_t (&index)[3], int depth) {
    static constexpr const char* names[3] = {"plane", "row", "item"};
    std::string text;
    for (int level = 0; level <= depth; ++level) {
        if (level > 0) text += ", ";
        text += std::string(names[level]) + " " + std::to_string(index[level]);
    }
    return text;
}

// The errors are built out of the way of the loops that pack well-formed planes.
[[noreturn, gnu::cold, gnu::noinline]] void refuse_length(const Py_ssize_t (&index)[3], int depth,
                                                          Py_ssize_t length, Py_ssize_t expected) {
    throw nb::value_error((place(index, depth - 1) + " holds " + std::to_string(length) +
                           (depth == 1 ? " rows" : " items") + ", not " + std::to_string(expected) +
                           " as the first one does")
                              .c_str());
}

[[noreturn, gnu::cold, gnu::noinline]] void refuse_sequence(const Py_ssize_t (&index)[3]) {
    throw nb::value_error(
        (place(index, 2) + " is a sequence: the planes nest three levels deep, not four").c_str());
}

struct Writer {
    std::uint8_t* out;
    std::size_t size;
    std::size_t at;
    // Every plane must hold as many rows as the first, every row as many items as the first
    // row: planes of ragged rows would be written as a misaligned batch. -1 until the first.
    Py_ssize_t rows = -1;
    Py_ssize_t items = -1;
    Py_ssize_t index[3] = {0, 0, 0};

    void put(PyObject* item) {
        int truth;
        if (item == Py_True) {
            truth = 1;
        } else if (item == Py_False) {
            truth = 0;
        } else {
            if (PyList_Check(item) || PyTuple_Check(item)) refuse_sequence(index);
            const nb::object keep = nb::borrow(item);  // the truth value may run Python code
            truth = PyObject_IsTrue(item);
            if (truth < 0) throw nb::python_error();
        }
        if (at == size) {
            throw nb::value_error(
                ("the planes do not fit the buffer of " + std::to_string(size) + " bytes").c_str());
        }
        out[at++] = static_cast<std::uint8_t>(truth);
    }

    // A plane's rows (depth 1) or a row's items (depth 2) must be as many as the first's.
    void check_length(Py_ssize_t& expected, Py_ssize_t length, int depth) {
        if (length != expected) {
            if (expected >= 0) refuse_length(index, depth, length, expected);
            expected = length;
        }
    }

    // Lists and tuples are read in place; any other sequence through a list made of it.
    void walk(PyObject* level, int depth) {
        nb::object held;
        if (!PyList_CheckExact(level) && !PyTuple_CheckExact(level)) {
            PyObject* fast = PySequence_Fast(level, "the planes must be nested sequences");
            if (fast == nullptr) throw nb::python_error();
            held = nb::steal(fast);
            level = fast;
        }
        if (depth == 1) check_length(rows, PySequence_Fast_GET_SIZE(level), 1);
        if (depth == 2) {
            check_length(items, PySequence_Fast_GET_SIZE(level), 2);
            if (put_singletons(level)) return;
        }
        // A list may change size while a truth value runs Python code: index it afresh each time.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(level); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(level, i);
            index[depth] = i;
            if (depth == 2) {
                put(item);
            } else {
                const nb::object keep = nb::borrow(item);
                walk(item, depth + 1);
            }
        }
    }

    // The common case, a row of bool singletons that fits: a pointer comparison per item, no
    // Python code run. False for anything else, and the row is then written afresh.
    bool put_singletons(PyObject* row) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(row);
        if (static_cast<std::size_t>(n) > size - at) return false;
        PyObject** items_of = PySequence_Fast_ITEMS(row);
        std::uint8_t* to = out + at;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (items_of[i] == Py_True) {
                to[i] = 1;
            } else if (items_of[i] == Py_False) {
                to[i] = 0;
            } else {
                return false;
            }
        }
        at += static_cast<std::size_t>(n);
        return true;
    }
};

}  // namespace

void fill_floats(nb::handle floats, nb::handle buffer, std::size_t offset) {
    PyObject* list = floats.ptr();
    if (!PyList_CheckExact(list)) throw nb::type_error("floats must be a list");
    const HeldBuffer source(buffer, PyBUF_SIMPLE);
    // Items are replaced one by one below, and replacing one may run Python code: the size is
    // read afresh each time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        const std::size_t at = offset + 4 * static_cast<std::size_t>(i);
        if (at > source.size() || source.size() - at < 4) {
            throw nb::value_error(("the buffer of " + std::to_string(source.size()) +
                                   " bytes ends before float " + std::to_string(i))
                                      .c_str());
        }
        float value;
        std::memcpy(&value, source.data() + at, sizeof value);
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyFloat_CheckExact(item) && Py_REFCNT(item) == 1) {
            reinterpret_cast<PyFloatObject*>(item)->ob_fval = value;
            continue;
        }
        PyObject* fresh = PyFloat_FromDouble(value);
        if (fresh == nullptr) throw nb::python_error();
        PyList_SET_ITEM(list, i, fresh);
        Py_DECREF(item);
    }
}

std::size_t pack_planes(nb::handle planes, nb::handle buffer, std::size_t offset) {
    const HeldBuffer target(buffer, PyBUF_WRITABLE);
    if (offset > target.size()) {
        throw nb::value_error(("offset " + std::to_string(offset) + " is beyond the buffer of " +
                               std::to_string(target.size()) + " bytes")
                                  .c_str());
    }
    Writer writer{target.data(), target.size(), offset};
    writer.walk(planes.ptr(), 0);
    return writer.at - offset;
}

}  // namespace tralix::binding
