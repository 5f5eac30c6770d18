#include "module/python_text.h"

namespace tralix {
namespace {

// repr(object), "None" for a null object, the fallback when repr fails.
std::string repr_or(PyObject* object, const char* fallback) {
    if (object == nullptr) return "None";
    std::string text = fallback;
    if (PyRef repr = PyRef::steal(PyObject_Repr(object))) {
        utf8_text(repr.get(), text);
    } else {
        PyErr_Clear();
    }
    return text;
}

}  // namespace

bool utf8_text(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        out.assign(data, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();
    if (!PyUnicode_Check(str)) return false;
    // Only a lone surrogate stops a str from being UTF-8.
    PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!escaped) {
        PyErr_Clear();
        return false;
    }
    out.assign(PyBytes_AS_STRING(escaped.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
    return true;
}

std::string exception_text(PyObject* exception) {
    PyObject* pending = PyErr_GetRaisedException();
    std::string name = "<unknown>";
    if (PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)))) {
        utf8_text(qualname.get(), name);
    } else {
        PyErr_Clear();
    }
    std::string message;
    PyRef str = PyRef::steal(PyObject_Str(exception));
    if (!str || !utf8_text(str.get(), message)) {
        PyErr_Clear();
        message = "<exception str() failed>";
    }
    PyErr_SetRaisedException(pending);
    return name + ": " + message;
}

std::string describe_pending_error() {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error) return "no error was set";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(error.get()));
    std::string text =
        "type: " + repr_or(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), "<type>") +
        ", value: " + repr_or(error.get(), "<value>") +
        ", traceback: " + repr_or(traceback.get(), "<traceback>");
    // The conversion error behind "failed to extract field" says what was wrong with the value.
    if (PyRef cause = PyRef::steal(PyException_GetCause(error.get()))) {
        text += ", cause: " + repr_or(cause.get(), "<cause>");
    }
    return text;
}

}  // namespace tralix
