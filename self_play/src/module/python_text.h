// Python objects and errors as UTF-8 text for messages and reports. None of these lets a
// Python error escape: a failure gives the documented fallback text.
#pragma once

#include <string>

#include "module/py_ref.h"

namespace tralix {

// The UTF-8 text of a str object. Characters UTF-8 cannot hold (lone surrogates) are written
// as backslash escapes. False, with the error cleared, when the object has no text.
bool utf8_text(PyObject* str, std::string& out);

// "{qualified type name}: {str(exception)}", or "<exception str() failed>" after the colon
// when str() itself fails. A pending Python error is kept.
std::string exception_text(PyObject* exception);

// "type: {type!r}, value: {value!r}, traceback: {traceback!r}" and, when the error has one,
// ", cause: {cause!r}" for the pending Python error, which is cleared.
std::string describe_pending_error();

}  // namespace tralix
