#include "module/captured_error.h"

#include "module/python_text.h"

namespace tralix {

std::unique_ptr<CapturedError> CapturedError::take() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = PyErr_GetRaisedException();
    }
    return std::unique_ptr<CapturedError>(new CapturedError(PyRef::steal(raised)));
}

std::string CapturedError::text() const { return exception_text(exception_.get()); }

}  // namespace tralix
