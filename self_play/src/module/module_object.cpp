#include "module/module_object.h"

namespace tralix {
namespace {

// Appends the function's name to __all__ (creating it on first use), then sets the attribute.
bool add_function(PyObject* module, PyMethodDef& def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    if (!function) return false;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    PyRef created;
    if (all == nullptr) {
        created = PyRef::steal(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(def.ml_name));
    if (!name || PyList_Append(all, name.get()) < 0) return false;
    return PyModule_AddObjectRef(module, def.ml_name, function.get()) == 0;
}

}  // namespace

PyObject* create_module(PyModuleDef& definition, std::span<PyMethodDef> functions,
                        ModuleObject& made) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    std::int64_t expected = -1;
    if (!made.first_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support subinterpreters: it can only be "
                     "imported by the interpreter that imported it first",
                     definition.m_name);
        return nullptr;
    }
    if (made.module != nullptr) return Py_NewRef(made.module);
    PyRef module = PyRef::steal(PyModule_Create(&definition));
    if (!module) return nullptr;
    for (PyMethodDef& def : functions) {
        if (!add_function(module.get(), def)) return nullptr;
    }
    made.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace tralix
