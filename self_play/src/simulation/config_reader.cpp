#include "simulation/config_reader.h"

#include <cstdint>

namespace tralix {
namespace {

// Index conversion, then unsigned 64-bit, then unsigned 32-bit.
bool convert_u32(PyObject* value, std::uint32_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return false;
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

// Exact floats directly, anything else through the float conversion; rounded to single.
bool convert_f32(PyObject* value, float& out) {
    double wide;
    if (PyFloat_CheckExact(value)) {
        wide = PyFloat_AS_DOUBLE(value);
    } else {
        wide = PyFloat_AsDouble(value);
        if (wide == -1.0 && PyErr_Occurred()) return false;
    }
    out = static_cast<float>(wide);
    return true;
}

template <class Field, class Convert>
bool read_field(PyObject* config, const char* name, PyObject*& name_slot, Field& out,
                Convert convert) {
    PyObject* key = interned_string(name, name_slot);
    if (key == nullptr) return false;
    PyRef value = PyRef::steal(PyObject_GetAttr(config, key));
    if (!value) return false;
    if (convert(value.get(), out)) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "failed to extract field Config.%s", name);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);
    return false;
}

struct Names {
    PyObject* dim = nullptr;
    PyObject* rep = nullptr;
    PyObject* sims_per_move = nullptr;
    PyObject* sample_moves = nullptr;
    PyObject* c_base = nullptr;
    PyObject* c_init = nullptr;
    PyObject* dirichlet_alpha = nullptr;
    PyObject* exploration_fraction = nullptr;
};
Names names;  // guarded by the interpreter lock

}  // namespace

std::optional<Config> read_config(PyObject* config) {
    Config c;
    const bool ok =
        read_field(config, "dim", names.dim, c.dim, convert_u32) &&
        read_field(config, "rep", names.rep, c.rep, convert_u32) &&
        read_field(config, "sims_per_move", names.sims_per_move, c.sims_per_move, convert_u32) &&
        read_field(config, "sample_moves", names.sample_moves, c.sample_moves, convert_u32) &&
        read_field(config, "c_base", names.c_base, c.c_base, convert_f32) &&
        read_field(config, "c_init", names.c_init, c.c_init, convert_f32) &&
        read_field(config, "dirichlet_alpha", names.dirichlet_alpha, c.dirichlet_alpha,
                   convert_f32) &&
        read_field(config, "exploration_fraction", names.exploration_fraction,
                   c.exploration_fraction, convert_f32);
    if (!ok) return std::nullopt;
    return c;
}

}  // namespace tralix
