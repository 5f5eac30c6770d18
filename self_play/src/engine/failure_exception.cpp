#include "engine/failure_exception.h"

#include "module/captured_error.h"

namespace tralix {

PyObject* raise_search_failure(const SearchFailure& failure, const std::string& prefix) {
    const auto* captured = dynamic_cast<const CapturedError*>(failure.cause());
    PyObject* cause = captured != nullptr ? captured->exception() : nullptr;
    if (cause != nullptr &&
        !PyObject_TypeCheck(cause, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_SetRaisedException(Py_NewRef(cause));
        return nullptr;
    }
    PyErr_Format(PyExc_RuntimeError, "%s%s", prefix.c_str(), failure.text().c_str());
    if (cause != nullptr) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));  // steals the new reference
        PyErr_SetRaisedException(error);
    }
    return nullptr;
}

}  // namespace tralix
