// Integers from Python arguments: ints and objects with __index__ (numpy's integer scalars and
// integer arrays), never bools, floats or strings.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tralix::binding {

// The value of an integer argument; nothing when it does not fit 64 bits. Anything other than
// an int or an object with __index__, and bools (whose __index__ would make True a 1), raise
// TypeError "{what} must be an int, not {type}".
std::optional<std::int64_t> to_integer(nanobind::handle value, const std::string& what);

// The decimal text of an integer argument that to_integer accepted, for messages about values
// beyond 64 bits.
std::string integer_text(nanobind::handle value);

// A sequence of tiles read from Python. Reading stops at the first value beyond 64 bits, which
// no game can accept: its index is values.size() and its decimal text `beyond`.
struct TileSequence {
    std::vector<std::int64_t> values;
    std::optional<std::string> beyond;
};

// Reads a one-dimensional buffer of native integers (a numpy integer array) directly, any other
// iterable element by element ("tile {i} of the sequence must be an int, not {type}").
TileSequence read_tiles(nanobind::handle tiles);

}  // namespace tralix::binding
