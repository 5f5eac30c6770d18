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

}  // namespace tralix
