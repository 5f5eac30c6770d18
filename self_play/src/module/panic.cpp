#include "module/panic.h"

#include <cstdio>
#include <string>

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

}  // namespace

void raise_panic(const FatalError& stop) {
    const std::string report = "tralix_self_play: fatal stop at " + stop.report() + "\n";
    std::fflush(stdout);
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation's error stays set
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
        stop.message().data(), static_cast<Py_ssize_t>(stop.message().size()), "replace"));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

}  // namespace tralix
