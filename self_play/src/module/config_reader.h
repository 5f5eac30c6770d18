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

// tralix_engine's further fields, read after the eight (and rep 3, the full position, accepted):
// search_mode, 0 when the object has no
// such attribute, then the Gumbel root's gumbel_considered (an int from 1 to 1024, 16 when
// absent) and gumbel_min_spread (a float in [0, 1], 0 when absent). False with a Python error set:
// the attribute access's own error, TypeError for a value that is not an integer, ValueError
// "config.search_mode must be 0, 1 or 2, not {value}" for any other search mode and one naming the
// field for a Gumbel setting out of range.
bool read_search_settings(PyObject* config, Config& out);

// tralix_engine's matches: the search settings as above, then the optional playout_mix (a float
// in [0, 1], 0 when absent) of the searching seats. False with a Python error set: TypeError for
// a value that is not a float, ValueError naming the field for one out of range.
bool read_match_settings(PyObject* config, Config& out);

// tralix_engine's training games: the match settings as above, then the playout cap's optional
// fields full_search_share (a float in [0, 1], 1 when absent) and cheap_sims (an int from 1 to
// sims_per_move, required when the share is below 1), then the optional flags gumbel_every_move,
// skip_forced_moves and record_root_values (bools, False when absent). False with a Python error
// set: TypeError for a value of the wrong type, ValueError naming the field for one out of range.
bool read_training_settings(PyObject* config, Config& out);

}  // namespace tralix
