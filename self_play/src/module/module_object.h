// Creating an extension module's object: once per process, for the interpreter that imports it
// first, with its functions and __all__.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "module/py_ref.h"

namespace tralix {

// The module a definition made, and the interpreter that made it: one per extension module.
struct ModuleObject {
    std::atomic<std::int64_t> first_interpreter{-1};
    PyObject* module = nullptr;
};

// The module of definition with functions added in order, each also named in __all__; a new
// reference, or null with ImportError for a second interpreter (subinterpreters are not
// supported) or another error set.
PyObject* create_module(PyModuleDef& definition, std::span<PyMethodDef> functions,
                        ModuleObject& made);

}  // namespace tralix
