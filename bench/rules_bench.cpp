// Speed of the rules engine's hot paths on side 20: whole random games, copying a game,
// rebuilding the moves of the player to move, and encoding a position.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "game/encoding.h"
#include "game/game.h"

namespace {

using tralix::Game;

constexpr std::uint32_t side = 20;

// Plays one game to its end, each tile drawn uniformly from the valid tiles; returns the tiles
// laid.
std::size_t play_random_game(std::mt19937_64& rng) {
    Game game(side);
    while (!game.is_over()) {
        const auto& tiles = game.valid_tiles();
        std::uniform_int_distribution<std::size_t> pick(0, tiles.size() - 1);
        game.apply_move(tiles[pick(rng)]);
    }
    return game.history().size();
}

// A fixed position at the start of a turn, about 120 tiles into a random game.
Game mid_game() {
    std::mt19937_64 rng(7);
    Game game(side);
    while (!game.is_over() && game.history().size() < 120) {
        const auto& tiles = game.valid_tiles();
        std::uniform_int_distribution<std::size_t> pick(0, tiles.size() - 1);
        game.apply_move(tiles[pick(rng)]);
    }
    // Finish the turn in progress so the position is at a turn start.
    const auto mover = game.current_player();
    while (!game.is_over() && game.current_player() == mover)
        game.apply_move(game.valid_tiles()[0]);
    return game;
}

void random_games(benchmark::State& state) {
    std::mt19937_64 rng(1);
    std::size_t games = 0, tiles = 0;
    for (auto _ : state) {
        tiles += play_random_game(rng);
        ++games;
    }
    state.counters["games/s"] =
        benchmark::Counter(static_cast<double>(games), benchmark::Counter::kIsRate);
    state.counters["tiles/game"] = static_cast<double>(tiles) / static_cast<double>(games);
}
BENCHMARK(random_games)->Unit(benchmark::kMicrosecond);

void copy_mid_game(benchmark::State& state) {
    const Game game = mid_game();
    for (auto _ : state) {
        Game copy = game;
        benchmark::DoNotOptimize(copy);
    }
    state.counters["valid_tiles"] = static_cast<double>(game.valid_tiles().size());
}
BENCHMARK(copy_mid_game);

void find_valid_moves_mid_game(benchmark::State& state) {
    Game game = mid_game();
    for (auto _ : state) {
        game.find_valid_moves();
        benchmark::DoNotOptimize(game.valid_tiles().data());
    }
    state.counters["placements"] = static_cast<double>(game.placements().size());
}
BENCHMARK(find_valid_moves_mid_game);

// The argument is the layout's value: 1 planes first, 2 channels last.
void encode_mid_game(benchmark::State& state) {
    const Game game = mid_game();
    const auto layout = static_cast<tralix::Layout>(state.range(0));
    std::vector<std::uint8_t> planes(tralix::feature_count * side * side);
    for (auto _ : state) {
        tralix::encode(game, layout, planes);
        benchmark::DoNotOptimize(planes.data());
    }
}
BENCHMARK(encode_mid_game)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
