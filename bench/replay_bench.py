"""Whole games replayed through tralix_rules.replay: positions encoded per second.

Random side-20 games (every move a uniformly drawn valid tile) are played once through
tralix_rules.Game; then every game's tile sequence is replayed from scratch, recording for the
position before each tile its encoding, the player to move and the valid tiles. The figures are
positions per second over all games, the best of several rounds, per layout and input kind, by
the wall clock and by the process's CPU time (the same on an idle machine; on a busy one the CPU
figure is the fairer one).

    python bench/replay_bench.py [--side 20] [--games 200] [--rounds 5] [--seed 1]
"""

from __future__ import annotations

import argparse
import os
import random
import time
from collections.abc import Callable, Sequence
from typing import Any

# One core: numpy's BLAS threads, idle here, must not spin on the other.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import tralix_rules  # noqa: E402


def random_games(side: int, games: int, seed: int) -> list[list[int]]:
    rng = random.Random(seed)
    out = []
    for _ in range(games):
        game = tralix_rules.Game(side)
        while not game.is_over():
            game.apply(rng.choice(game.valid_tiles()))
        out.append([tile for _, tile in game.history])
    return out


def best_rates(run: Callable[[], int], rounds: int) -> tuple[float, float]:
    """Positions per second of the fastest round, by the wall clock and by CPU time."""
    wall = cpu = 0.0
    for _ in range(rounds):
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        positions = run()
        wall = max(wall, positions / (time.perf_counter() - start_wall))
        cpu = max(cpu, positions / max(time.process_time() - start_cpu, 1e-9))
    return wall, cpu


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)

    games = random_games(args.side, args.games, args.seed)
    arrays = [np.array(tiles, dtype=np.int16) for tiles in games]
    total = sum(len(tiles) for tiles in games)
    print(f"side {args.side}: {args.games} games, {total / args.games:.1f} tiles per game")

    for layout in (1, 2):
        for kind, inputs in (("list", games), ("numpy int16", arrays)):

            def run(inputs: list[Any] = inputs, layout: int = layout) -> int:
                n = 0
                for tiles in inputs:
                    n += len(tralix_rules.replay(args.side, tiles, layout)[1])
                return n

            wall, cpu = best_rates(run, args.rounds)
            print(
                f"layout {layout}, {kind:11}: {wall:10,.0f} positions/s "
                f"({1e6 / wall:.2f} µs per position); by CPU time {cpu:10,.0f} positions/s"
            )


if __name__ == "__main__":
    main()
