// The two ends of a network request as the harness handles them: a request's planes as the
// self-play module builds them (nested lists of bools, three levels) written into a bytes-like
// buffer, one byte per bool; and a reply's float32 scores read into lists of floats that are
// reused from request to request. Neither walks thousands of items in Python nor allocates an
// object per item.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace tralix::binding {

// Writes the bools of `planes` (a sequence of sequences of sequences, lists and tuples read
// directly) into the writable buffer `buffer` from byte `offset` on, 1 for a true item and 0 for
// a false one, in the lists' order; returns the number of bytes written. Items other than the
// bool singletons are judged by their truth value, except lists and tuples. TypeError for a
// level that is not a sequence; ValueError, naming the plane, row or item, for planes of ragged
// rows (a plane with fewer or more rows than the first, a row with fewer or more items than the
// first) and for a list or tuple where a bool belongs (nested one level too deep); ValueError
// too when the bools do not fit the buffer. The bytes written before the fault stay written.
std::size_t pack_planes(nanobind::handle planes, nanobind::handle buffer, std::size_t offset);

// Sets item i of the list `floats` to the float32 at byte offset + 4 * i of `buffer` (native
// byte order), for every item. A float object that the list alone holds is rewritten in place,
// which no one can observe; any other item is replaced by a new float. TypeError for anything
// but a list, ValueError when the buffer ends first.
void fill_floats(nanobind::handle floats, nanobind::handle buffer, std::size_t offset);

}  // namespace tralix::binding
