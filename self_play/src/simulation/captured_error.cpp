#include "simulation/captured_error.h"

namespace tralix {

bool utf8_text(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

std::unique_ptr<CapturedError> CapturedError::take() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = PyErr_GetRaisedException();
    }
    return std::unique_ptr<CapturedError>(new CapturedError(PyRef::steal(raised)));
}

std::string CapturedError::text() const {
    // Keep whatever error may be pending around these calls.
    PyObject* pending = PyErr_GetRaisedException();
    std::string name = "<unknown>";
    if (PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception_.get())))) {
        utf8_text(qualname.get(), name);
    } else {
        PyErr_Clear();
    }
    std::string message;
    PyRef str = PyRef::steal(PyObject_Str(exception_.get()));
    if (!str || !utf8_text(str.get(), message)) {
        PyErr_Clear();
        message = "<exception str() failed>";
    }
    PyErr_SetRaisedException(pending);
    return name + ": " + message;
}

}  // namespace tralix
