// Binding a fast call's positional and keyword arguments to a function's parameter names, with
// the interpreter's usual TypeError messages.
#pragma once

#include <cstdint>
#include <span>

#include "module/py_ref.h"

namespace tralix {

// Fills bound (one slot per parameter, borrowed references) from the call. Checks, in order:
// too many positional arguments, then each keyword in call order (a parameter given twice, a
// name that is no parameter), then missing parameters among the first required ones (the
// slots of optional ones left out stay null). False with TypeError set on failure.
bool bind_arguments(const char* function, std::span<const char* const> parameters,
                    std::size_t required, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, std::span<PyObject*> bound);

// Converts the id argument to a signed 32-bit value. A TypeError of the conversion becomes
// TypeError "argument 'id': {message}" keeping the original's cause; other errors (overflow)
// pass through unchanged.
bool convert_id(PyObject* value, std::int32_t& out);

}  // namespace tralix
