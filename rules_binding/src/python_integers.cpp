#include "python_integers.h"

#include <bit>
#include <cstring>
#include <string_view>

namespace nb = nanobind;

namespace tralix::binding {
namespace {

// Decodes an integer of a buffer's format: one of the struct module's integer codes, in native
// byte order, of 1 to 8 bytes.
struct IntegerFormat {
    bool is_signed = false;
    std::size_t size = 0;
};

std::optional<IntegerFormat> integer_format(const char* format, Py_ssize_t itemsize) {
    std::string_view code = format == nullptr ? "B" : format;
    if (!code.empty() && (code[0] == '@' || code[0] == '=' ||
                          (code[0] == '<' && std::endian::native == std::endian::little) ||
                          (code[0] == '>' && std::endian::native == std::endian::big))) {
        code.remove_prefix(1);
    }
    if (code.size() != 1 || std::string_view("bBhHiIlLqQnN").find(code[0]) == code.npos) {
        return std::nullopt;
    }
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return std::nullopt;
    const bool is_signed = code[0] >= 'a' && code[0] <= 'z';
    return IntegerFormat{is_signed, static_cast<std::size_t>(itemsize)};
}

template <class T>
T load(const char* item) {
    T value;
    std::memcpy(&value, item, sizeof value);
    return value;
}

// Reads one item; false when an unsigned 64-bit value does not fit a signed one.
bool read_item(const char* item, IntegerFormat format, std::int64_t& value) {
    switch (format.size) {
        case 1:
            value = format.is_signed ? load<std::int8_t>(item) : load<std::uint8_t>(item);
            return true;
        case 2:
            value = format.is_signed ? load<std::int16_t>(item) : load<std::uint16_t>(item);
            return true;
        case 4:
            value = format.is_signed ? std::int64_t{load<std::int32_t>(item)}
                                     : std::int64_t{load<std::uint32_t>(item)};
            return true;
        default:
            if (format.is_signed) {
                value = load<std::int64_t>(item);
                return true;
            }
            const std::uint64_t v = load<std::uint64_t>(item);
            value = static_cast<std::int64_t>(v);
            return v <= static_cast<std::uint64_t>(INT64_MAX);
    }
}

// Releases a buffer view on every path.
class BufferView {
public:
    explicit BufferView(PyObject* object) {
        acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0;
        if (!acquired_) PyErr_Clear();
    }
    ~BufferView() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool acquired() const { return acquired_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

// A one-dimensional integer buffer straight from memory; false (nothing read) for any other.
bool read_buffer(PyObject* object, TileSequence& out) {
    if (!PyObject_CheckBuffer(object)) return false;
    BufferView buffer(object);
    if (!buffer.acquired()) return false;
    const Py_buffer& view = buffer.view();
    const std::optional<IntegerFormat> format = integer_format(view.format, view.itemsize);
    if (view.ndim != 1 || !format) return false;
    const Py_ssize_t length = view.shape[0];
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    out.values.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        std::int64_t value = 0;
        if (!read_item(static_cast<const char*>(view.buf) + i * stride, *format, value)) {
            out.beyond = std::to_string(static_cast<std::uint64_t>(value));
            break;
        }
        out.values.push_back(value);
    }
    return true;
}

}  // namespace

std::optional<std::int64_t> to_integer(nb::handle value, const std::string& what) {
    PyObject* object = value.ptr();
    int overflow = 0;
    if (PyLong_CheckExact(object)) {
        const long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow != 0) return std::nullopt;
        return v;
    }
    if (!PyBool_Check(object)) {
        nb::object index = nb::steal(PyNumber_Index(object));
        if (index.is_valid()) {
            const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
            if (overflow != 0) return std::nullopt;
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            return v;
        }
        // Only the refusal of a type is ours to reword; anything else __index__ raised goes on.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
    }
    const std::string type = nb::type_name(value.type()).c_str();
    throw nb::type_error((what + " must be an int, not " + type).c_str());
}

std::string integer_text(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    return nb::str(index).c_str();
}

TileSequence read_tiles(nb::handle tiles) {
    TileSequence out;
    if (read_buffer(tiles.ptr(), out)) return out;
    // A tuple, not the list itself: an __index__ method run below could change a list under us.
    nb::object items = nb::steal(PySequence_Tuple(tiles.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t length = PyTuple_GET_SIZE(items.ptr());
    out.values.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        nb::handle item(PyTuple_GET_ITEM(items.ptr(), i));
        const std::optional<std::int64_t> value =
            to_integer(item, "tile " + std::to_string(i) + " of the sequence");
        if (!value) {
            out.beyond = integer_text(item);
            break;
        }
        out.values.push_back(*value);
    }
    return out;
}

}  // namespace tralix::binding
