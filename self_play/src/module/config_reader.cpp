#include "module/config_reader.h"

#include <cstdint>
#include <string>

#include "module/interned_names.h"

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
bool read_field(PyObject* config, Name name, Field& out, Convert convert) {
    PyObject* key = interned(name);
    if (key == nullptr) return false;
    PyRef value = PyRef::steal(PyObject_GetAttr(config, key));
    if (!value) return false;
    if (convert(value.get(), out)) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "failed to extract field Config.%s", name_text(name));
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);
    return false;
}

// The attribute's value, or null without an error when the object has none; false with a
// Python error set when the lookup itself fails.
bool optional_attribute(PyObject* config, Name name, PyRef& out) {
    PyObject* key = interned(name);
    if (key == nullptr) return false;
    PyObject* found = nullptr;
    const int present = PyObject_GetOptionalAttr(config, key, &found);
    out = PyRef::steal(found);
    return present >= 0;
}

// An optional float attribute in [0, 1], left as it is when the object has none; false with
// a Python error set for a value that is not a number or lies outside.
bool optional_share(PyObject* config, Name name, float& out) {
    PyRef value;
    if (!optional_attribute(config, name, value)) return false;
    if (!value) return true;
    if (!PyFloat_Check(value.get()) && !PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "config.%s must be a float, not %T", name_text(name),
                     value.get());
        return false;
    }
    const double wide = PyFloat_AsDouble(value.get());
    if (wide == -1.0 && PyErr_Occurred()) return false;
    if (!(wide >= 0.0 && wide <= 1.0)) {
        PyErr_Format(PyExc_ValueError, "config.%s must be in [0, 1], not %R", name_text(name),
                     value.get());
        return false;
    }
    out = static_cast<float>(wide);
    return true;
}

// An optional bool attribute (True or False), left as it is when the object has none; false
// with a TypeError set for any other value.
bool optional_flag(PyObject* config, Name name, bool& out) {
    PyRef value;
    if (!optional_attribute(config, name, value)) return false;
    if (!value) return true;
    if (!PyBool_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "config.%s must be a bool, not %T", name_text(name),
                     value.get());
        return false;
    }
    out = value.get() == Py_True;
    return true;
}

// value as an int from low to high, into out. False with a Python error set: TypeError
// "config.{name} must be an int{type_hint}, not {type}" for a value that is not an int,
// ValueError "config.{name} must be {range_text}, not {value}" for one out of range.
bool int_in_range(PyObject* value, Name name, const char* type_hint, long low, long high,
                  const std::string& range_text, long& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "config.%s must be an int%s, not %T", name_text(name),
                     type_hint, value);
        return false;
    }
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(value, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || out < low || out > high) {
        PyErr_Format(PyExc_ValueError, "config.%s must be %s, not %R", name_text(name),
                     range_text.c_str(), value);
        return false;
    }
    return true;
}

// The optional gumbel_considered: an int from 1 to 1024, left at its default when absent.
bool read_considered(PyObject* config, Config& out) {
    PyRef value;
    if (!optional_attribute(config, Name::gumbel_considered, value)) return false;
    if (!value) return true;
    long considered = 0;
    if (!int_in_range(value.get(), Name::gumbel_considered, "", 1, 1024, "from 1 to 1024",
                      considered)) {
        return false;
    }
    out.gumbel_considered = static_cast<std::uint32_t>(considered);
    return true;
}

// The Gumbel root's optional fields: gumbel_considered, then gumbel_min_spread.
bool read_gumbel_settings(PyObject* config, Config& out) {
    return read_considered(config, out) &&
           optional_share(config, Name::gumbel_min_spread, out.gumbel_min_spread);
}

// The playout cap's cheap_sims: an int from 1 to sims_per_move, required when the share of full
// searches is below 1.
bool read_cheap_sims(PyObject* config, Config& out) {
    PyRef cheap;
    if (!optional_attribute(config, Name::cheap_sims, cheap)) return false;
    if (!cheap || !PyLong_Check(cheap.get())) {
        PyErr_Format(PyExc_TypeError,
                     "config.cheap_sims must be an int when full_search_share is below 1");
        return false;
    }
    long sims = 0;
    if (!int_in_range(cheap.get(), Name::cheap_sims, "", 1, static_cast<long>(out.sims_per_move),
                      "from 1 to sims_per_move (" + std::to_string(out.sims_per_move) + ")",
                      sims)) {
        return false;
    }
    out.cheap_sims = static_cast<std::uint32_t>(sims);
    return true;
}

}  // namespace

std::optional<Config> read_config(PyObject* config) {
    Config c;
    const bool ok =
        read_field(config, Name::dim, c.dim, convert_u32) &&
        read_field(config, Name::rep, c.rep, convert_u32) &&
        read_field(config, Name::sims_per_move, c.sims_per_move, convert_u32) &&
        read_field(config, Name::sample_moves, c.sample_moves, convert_u32) &&
        read_field(config, Name::c_base, c.c_base, convert_f32) &&
        read_field(config, Name::c_init, c.c_init, convert_f32) &&
        read_field(config, Name::dirichlet_alpha, c.dirichlet_alpha, convert_f32) &&
        read_field(config, Name::exploration_fraction, c.exploration_fraction, convert_f32);
    if (!ok) return std::nullopt;
    return c;
}

bool read_search_settings(PyObject* config, Config& out) {
    out.full_input_allowed = true;
    PyRef value;
    if (!optional_attribute(config, Name::search_mode, value)) return false;
    if (!value) {
        out.search_mode = SearchMode::visits;
        return read_gumbel_settings(config, out);
    }
    long mode = 0;
    if (!int_in_range(value.get(), Name::search_mode, " (0, 1 or 2)", 0, 2, "0, 1 or 2", mode)) {
        return false;
    }
    out.search_mode = static_cast<SearchMode>(mode);
    return read_gumbel_settings(config, out);
}

bool read_match_settings(PyObject* config, Config& out) {
    return read_search_settings(config, out) &&
           optional_share(config, Name::playout_mix, out.playout_mix);
}

bool read_training_settings(PyObject* config, Config& out) {
    if (!read_match_settings(config, out)) return false;
    if (!optional_share(config, Name::full_search_share, out.full_search_share)) return false;
    if (out.full_search_share < 1.0f && !read_cheap_sims(config, out)) return false;
    return optional_flag(config, Name::gumbel_every_move, out.gumbel_every_move) &&
           optional_flag(config, Name::skip_forced_moves, out.skip_forced_moves) &&
           optional_flag(config, Name::record_root_values, out.record_root_values);
}

}  // namespace tralix
