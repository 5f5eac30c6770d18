// The road to the network: the position goes to the harness as (id, planes) on a request
// queue, the reply (policy scores by tile, value scores from the player to move) comes back on
// the call's pipe as two lists of floats. tralix_engine may send the full position instead
// (rep 3): (id, bytes), the bytes of encode_full.
#pragma once

#include <vector>

#include "game/encoding.h"
#include "module/game_context.h"
#include "search/evaluator.h"

namespace tralix {

class InferenceChannel : public Evaluator {
public:
    // Requests go to queue; the id, the layout and the pipe are the context's.
    InferenceChannel(const GameContext& context, PyObject* queue)
        : context_(context), queue_(queue) {}

    // One request and one reply. Python errors on the way are captured and returned. rep
    // outside 1 and 2 (and 3 where the config allows the full position) is a fatal stop.
    std::unique_ptr<EvaluationError> evaluate(const Game& game, NetworkScores& scores) override;

private:
    const GameContext& context_;
    PyObject* queue_;
};

// The config's rep of the full position: planes, then global features, as bytes.
inline constexpr std::uint32_t full_input_rep = 3;

// The full position as a new bytes object of full_input_size(dim) bytes; null with a Python
// error set on failure.
PyRef full_input_bytes(const Game& game);

// Builds the request's planes: nested lists of bools in the given layout, each list created at
// its final length. Null with a Python error set on failure.
PyRef planes_to_lists(const std::vector<std::uint8_t>& planes, std::uint32_t dim, Layout layout);

// Reads a reply item as a list of single-precision floats: a str is refused, anything passing
// the sequence check is iterated and each element converted through float(). False with a
// Python error set on failure.
bool read_float_list(PyObject* item, std::vector<float>& out);

}  // namespace tralix
