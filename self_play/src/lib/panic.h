// Turning a fatal stop into Python's PanicException at the module boundary.
#pragma once

#include <string>

#include "core/fatal_error.h"
#include "lib/py_ref.h"

namespace tralix {

// Writes the report (source location and message) to standard error and sets PanicException
// with the message as its single argument. PanicException derives directly from BaseException
// and is created on first use.
void raise_panic(const FatalError& stop);

// "type: {type!r}, value: {value!r}, traceback: {traceback!r}" and, when the error has one,
// ", cause: {cause!r}" for the pending Python error, which is cleared.
std::string describe_pending_error();

}  // namespace tralix
