// A failed search raised as a Python exception: the network's own exception kept as its cause.
#pragma once

#include <string>

#include "module/py_ref.h"
#include "search/search_failure.h"

namespace tralix {

// Raises RuntimeError "{prefix}{failure's text}" chained to the network's exception behind the
// failure, if any; an exception that is not an Exception (KeyboardInterrupt, SystemExit) is
// raised again as it is. Returns null, for the entry function to return.
PyObject* raise_search_failure(const SearchFailure& failure, const std::string& prefix);

}  // namespace tralix
