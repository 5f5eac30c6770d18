#include "simulation/evaluation_games.h"

#include <cstdio>

#include "core/fatal_error.h"
#include "simulation/greedy_player.h"
#include "simulation/inference_channel.h"
#include "simulation/thread_random.h"

namespace tralix {
namespace {

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

Tile random_tile(const Game& game) {
    const std::vector<Tile>& tiles = game.valid_tiles();
    if (tiles.empty()) fatal_stop("A random player was asked to move without a valid tile");
    return tiles[uniform_index(thread_rng(), tiles.size())];
}

}  // namespace

std::uint8_t play_vs_random(GameContext& context) {
    Game game(context.config.dim);
    InferenceChannel channel(context);
    while (!game.is_over()) {
        Tile tile;
        if (game.current_player() != 0) {
            tile = random_tile(game);
        } else {
            auto choice = greedy_move(channel, game);
            if (auto* error = std::get_if<std::string>(&choice)) {
                print("Error running MCTS: " + *error + "\n");
                return 1;
            }
            tile = std::get<Tile>(choice);
        }
        game.apply_move(tile);
    }
    const float score = game.outcome()[0];

    PyRef id = PyRef::steal(PyLong_FromLong(context.id));
    PyRef value = PyRef::steal(PyFloat_FromDouble(score));
    PyRef result = id && value ? PyRef::steal(PyTuple_Pack(2, id.get(), value.get())) : PyRef();
    static PyObject* put_name = nullptr;
    if (!result || !call_method(context.result_queue, "put", put_name, result.get())) {
        PyErr_Clear();  // what becomes of the result is the harness's business
    }
    return 0;
}

std::variant<float, std::string> play_vs_baseline(GameContext& context, PyObject* model_queue,
                                                  PyObject* baseline_queue) {
    Game game(20);
    InferenceChannel channel(context);
    while (!game.is_over()) {
        context.inference_queue = game.current_player() == 0 ? model_queue : baseline_queue;
        auto choice = greedy_move(channel, game);
        if (auto* error = std::get_if<std::string>(&choice)) {
            print("Error running MCTS: " + *error + "\n");
            return std::string("Error running MCTS");
        }
        game.apply_move(std::get<Tile>(choice));
    }
    print("Finished Game\n");
    game.board().print_board();
    return game.outcome()[0];
}

}  // namespace tralix
