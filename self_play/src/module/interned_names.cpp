#include "module/interned_names.h"

#include <array>

namespace tralix {
namespace {

constexpr std::array<const char*, 19> texts = {
    "dim",
    "rep",
    "sims_per_move",
    "sample_moves",
    "c_base",
    "c_init",
    "dirichlet_alpha",
    "exploration_fraction",
    "search_mode",
    "gumbel_considered",
    "gumbel_min_spread",
    "full_search_share",
    "cheap_sims",
    "playout_mix",
    "gumbel_every_move",
    "skip_forced_moves",
    "record_root_values",
    "put",
    "recv",
};

static_assert(texts.size() == static_cast<std::size_t>(Name::recv) + 1, "one text per name");

std::array<PyObject*, texts.size()> table{};  // guarded by the interpreter lock

}  // namespace

const char* name_text(Name name) { return texts[static_cast<std::size_t>(name)]; }

PyObject* interned(Name name) {
    PyObject*& slot = table[static_cast<std::size_t>(name)];
    if (slot == nullptr) slot = PyUnicode_InternFromString(name_text(name));
    return slot;
}

PyRef call_method(PyObject* object, Name name, PyObject* arg) {
    PyObject* method = interned(name);
    if (method == nullptr) return {};
    return PyRef::steal(PyObject_CallMethodOneArg(object, method, arg));
}

PyRef call_method(PyObject* object, Name name) {
    PyObject* method = interned(name);
    if (method == nullptr) return {};
    return PyRef::steal(PyObject_CallMethodNoArgs(object, method));
}

}  // namespace tralix
