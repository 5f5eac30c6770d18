#include "module/inference_channel.h"

#include <algorithm>

#include "core/fatal_error.h"
#include "module/captured_error.h"
#include "module/interned_names.h"

namespace tralix {
namespace {

std::unique_ptr<EvaluationError> failed() { return CapturedError::take(); }

// A list of n items, each made by make(i); null on failure.
template <class Make>
PyRef make_list(std::size_t n, Make&& make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return list;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* as_bool(std::uint8_t v) { return Py_NewRef(v != 0 ? Py_True : Py_False); }

}  // namespace

PyRef planes_to_lists(const std::vector<std::uint8_t>& planes, std::uint32_t dim, Layout layout) {
    const std::size_t n = static_cast<std::size_t>(dim) * dim;
    if (layout == Layout::channels_last) {
        return make_list(dim, [&](std::size_t r) {
            return make_list(dim,
                             [&](std::size_t c) {
                                 const std::uint8_t* tile = &planes[(r * dim + c) * feature_count];
                                 return make_list(feature_count,
                                                  [&](std::size_t k) { return as_bool(tile[k]); })
                                     .release();
                             })
                .release();
        });
    }
    return make_list(feature_count, [&](std::size_t k) {
        return make_list(dim,
                         [&](std::size_t r) {
                             const std::uint8_t* row = &planes[k * n + r * dim];
                             return make_list(dim, [&](std::size_t c) { return as_bool(row[c]); })
                                 .release();
                         })
            .release();
    });
}

PyRef full_input_bytes(const Game& game) {
    PyRef bytes = PyRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(full_input_size(game.dim()))));
    if (!bytes) return bytes;
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    encode_full(game, {data, full_input_size(game.dim())});
    return bytes;
}

bool read_float_list(PyObject* item, std::vector<float>& out) {
    out.clear();
    if (PyUnicode_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be read as a list of floats");
        return false;
    }
    if (!PySequence_Check(item)) {
        PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(item)));
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", name.get());
        return false;
    }
    // The length is only a hint: a failing or absurd one must not cost a huge reservation.
    const Py_ssize_t hint = PySequence_Size(item);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1u << 17));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(item));
    if (!iterator) return false;
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
        double value;
        if (PyFloat_CheckExact(element.get())) {
            value = PyFloat_AS_DOUBLE(element.get());
        } else {
            value = PyFloat_AsDouble(element.get());
            if (value == -1.0 && PyErr_Occurred()) return false;
        }
        out.push_back(static_cast<float>(value));
    }
    return !PyErr_Occurred();
}

std::unique_ptr<EvaluationError> InferenceChannel::evaluate(const Game& game,
                                                            NetworkScores& scores) {
    const std::uint32_t rep = context_.config.rep;
    const bool full = rep == full_input_rep && context_.config.full_input_allowed;
    if (rep != 1 && rep != 2 && !full) fatal_stop("Invalid representation type");

    // Buffers that live across calls into Python are local, not per-thread: Python code run
    // from here (a finalizer, a __float__) could start another game on this very thread.
    PyRef input = full ? full_input_bytes(game)
                       : planes_to_lists(encode(game, static_cast<Layout>(rep)), game.dim(),
                                         static_cast<Layout>(rep));
    if (!input) return failed();
    PyRef id = PyRef::steal(PyLong_FromLong(context_.id));
    if (!id) return failed();
    PyRef request = PyRef::steal(PyTuple_Pack(2, id.get(), input.get()));
    if (!request) return failed();

    if (!call_method(queue_, Name::put, request.get())) return failed();
    request = PyRef();
    PyRef reply = call_method(context_.pipe, Name::recv);
    if (!reply) return failed();

    for (int index = 0; index < 2; ++index) {
        PyRef key = PyRef::steal(PyLong_FromLong(index));
        if (!key) return failed();
        PyRef item = PyRef::steal(PyObject_GetItem(reply.get(), key.get()));
        if (!item || !read_float_list(item.get(), index == 0 ? scores.policy : scores.value)) {
            return failed();
        }
    }
    return nullptr;
}

}  // namespace tralix
