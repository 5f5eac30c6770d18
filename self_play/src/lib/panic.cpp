#include "lib/panic.h"

#include <cstdio>

#include "simulation/captured_error.h"

namespace tralix {
namespace {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once, kept for the process's life
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "tralix_self_play.PanicException",
            "A broken invariant or an unusable configuration ended the call. It derives from "
            "BaseException so that 'except Exception' does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

std::string repr_or(PyObject* object, const char* fallback) {
    std::string text = fallback;
    if (object == nullptr) return "None";
    if (PyRef repr = PyRef::steal(PyObject_Repr(object))) {
        utf8_text(repr.get(), text);
    } else {
        PyErr_Clear();
    }
    return text;
}

}  // namespace

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

void raise_panic(const FatalError& stop) {
    const std::string report = "tralix_self_play: fatal stop at " + stop.report() + "\n";
    std::fflush(stdout);
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation's error stays set
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(stop.message().data(), static_cast<Py_ssize_t>(stop.message().size()),
                             "replace"));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

}  // namespace tralix
