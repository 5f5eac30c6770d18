// The attribute and method names the module looks up on the harness's objects, each interned
// once and kept for the process's life.
#pragma once

#include <cstdint>

#include "module/py_ref.h"

namespace tralix {

enum class Name : std::uint8_t {
    // The config object's fields, in the order they are read.
    dim,
    rep,
    sims_per_move,
    sample_moves,
    c_base,
    c_init,
    dirichlet_alpha,
    exploration_fraction,
    // tralix_engine's further fields.
    search_mode,
    gumbel_considered,
    gumbel_min_spread,
    full_search_share,
    cheap_sims,
    playout_mix,
    gumbel_every_move,
    skip_forced_moves,
    record_root_values,
    // Methods of the queues and the pipe.
    put,
    recv,
};

// The name's text, as written in the enumeration.
const char* name_text(Name name);

// The interned str of the name, made on first use (callers hold the interpreter lock, which
// guards the table). Borrowed; null with a Python error set if it cannot be made.
PyObject* interned(Name name);

// object.name(arg) with one positional argument, or object.name() without; null with a Python
// error set on failure.
PyRef call_method(PyObject* object, Name name, PyObject* arg);
PyRef call_method(PyObject* object, Name name);

}  // namespace tralix
