// Reading the harness's config object into a Config, attribute by attribute.
#pragma once

#include <optional>

#include "module/py_ref.h"
#include "search/config.h"

namespace tralix {

// Reads the eight fields in order. On failure returns nothing with a Python error set: the
// attribute access's own error, or TypeError "failed to extract field Config.{name}" whose
// cause is the conversion's error.
std::optional<Config> read_config(PyObject* config);

// tralix_engine's further field, read after the eight: search_mode, 0 when the object has no
// such attribute. False with a Python error set: the attribute access's own error, TypeError
// for a value that is not an integer, ValueError "config.search_mode must be 0, 1 or 2, not
// {value}" for any other integer.
bool read_search_mode(PyObject* config, Config& out);

}  // namespace tralix
