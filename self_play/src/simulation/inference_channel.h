// The road to the network: the position goes to the harness as (id, planes) on the request
// queue, the reply (policy scores by tile, value scores from the player to move) comes back on
// the pipe and becomes the node's children and the position's value vector.
#pragma once

#include <vector>

#include "simulation/evaluation.h"
#include "simulation/game_context.h"

namespace tralix {

class InferenceChannel : public Evaluator {
public:
    explicit InferenceChannel(const GameContext& context) : context_(context) {}

    // One request and one reply per position that is not over. Python errors on the way are
    // captured. rep outside 1 and 2, a valid tile beyond the policy scores and a player to
    // move beyond the value scores are fatal stops.
    Evaluation evaluate(Node& node, const Game& game) override;

private:
    const GameContext& context_;
};

// Builds the request's planes: nested lists of bools in the layout of the flag, each list
// created at its final length. Null with a Python error set on failure.
PyRef planes_to_lists(const std::vector<std::uint8_t>& planes, std::uint32_t dim,
                      bool channels_last);

// Reads a reply item as a list of single-precision floats: a str is refused, anything passing
// the sequence check is iterated and each element converted through float(). False with a
// Python error set on failure.
bool read_float_list(PyObject* item, std::vector<float>& out);

}  // namespace tralix
