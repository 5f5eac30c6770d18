// Turning a fatal stop into Python's PanicException at the module boundary.
#pragma once

#include "core/fatal_error.h"
#include "module/py_ref.h"

namespace tralix {

// Writes the report (source location and message) to standard error and sets PanicException
// with the message as its single argument. PanicException derives directly from BaseException
// and is created on first use.
void raise_panic(const FatalError& stop);

}  // namespace tralix
