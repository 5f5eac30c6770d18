#include "module/argument_binding.h"

#include <cstring>
#include <string>
#include <vector>

namespace tralix {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const char* const> parameters,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const auto count = static_cast<Py_ssize_t>(parameters.size());
    if (positional > count) {
        if (required < parameters.size()) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zu to %zd positional arguments but %zd were given",
                         function, required, count, positional);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                         function, count, positional);
        }
        return false;
    }
    for (std::size_t i = 0; i < bound.size(); ++i) {
        bound[i] = static_cast<Py_ssize_t>(i) < positional ? args[i] : nullptr;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = parameters.size();
        for (std::size_t i = 0; i < parameters.size() && match == parameters.size(); ++i) {
            if (PyUnicode_Check(name) &&
                PyUnicode_CompareWithASCIIString(name, parameters[i]) == 0) {
                match = i;
            }
        }
        if (match == parameters.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                         name);
            return false;
        }
        if (bound[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         parameters[match]);
            return false;
        }
        bound[match] = args[positional + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) missing.push_back(parameters[i]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function,
                     missing.size(), missing.size() == 1 ? "argument" : "arguments",
                     join_names(missing).c_str());
        return false;
    }
    return true;
}

bool convert_id(PyObject* value, std::int32_t& out) {
    const int converted = PyLong_AsInt(value);
    if (converted == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyRef error = PyRef::steal(PyErr_GetRaisedException());
        if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
            PyErr_SetRaisedException(error.release());
            return false;
        }
        PyObject* cause = PyException_GetCause(error.get());  // new reference or null
        PyErr_Format(PyExc_TypeError, "argument 'id': %S", error.get());
        PyObject* remapped = PyErr_GetRaisedException();
        PyException_SetCause(remapped, cause);  // steals cause
        PyErr_SetRaisedException(remapped);
        return false;
    }
    out = converted;
    return true;
}

}  // namespace tralix
