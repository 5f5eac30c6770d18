"""A soak: many training games in one process, watching for leaks.

The games are the module's (play_training_game) and the rest is the harness's own pieces, in
process: each request is evaluated at once by the heuristic network the inference server runs
(batches of one), the reply handed back as the game pipe hands it (float32 arrays), and every
finished game written by the data-file writer and read back at the end.

    python bench/soak.py [--games 10000] [--side 5] [--sims 8] [--warm-up 1000] [--every 500]

After the warm-up, the resident memory (/proc/self/statm) and the count of Python objects
(gc.get_objects(), after a collection) must stay within --tolerance of their level at the end
of the warm-up. It prints a line per sample and a summary; the exit status is 1 if either
drifted further, or if the file does not hold every game.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile
import time
from array import array
from pathlib import Path
from typing import Any

import numpy as np

import tralix_self_play as module
from tralix_harness.networks import load_network
from tralix_harness.records import GameWriter, game_line, read_games
from tralix_harness.settings import SearchSettings

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def python_objects() -> int:
    gc.collect()
    return len(gc.get_objects())


class Loopback:
    """One game slot's request queue and reply pipe in one object: put() evaluates the planes
    with the network, recv() returns the reply as (policy scores, value scores)."""

    def __init__(self, side: int, network: str) -> None:
        self.network = load_network(network, side)
        self.tiles = side * side
        self.reply: tuple[array[float], array[float]] | None = None
        self.requests = 0

    def put(self, request: tuple[int, Any]) -> None:
        _, planes = request
        batch = np.asarray(planes, dtype=np.float32)[None]
        policy, value = self.network.evaluate(batch)
        scores = array("f")
        scores.frombytes(np.concatenate([np.ravel(policy), np.ravel(value)])
                         .astype(np.float32).tobytes())
        self.reply = (scores[:self.tiles], scores[self.tiles:])
        self.requests += 1

    def recv(self) -> tuple[array[float], array[float]]:
        assert self.reply is not None
        reply, self.reply = self.reply, None
        return reply


class Results:
    """The result queue of one game."""

    def __init__(self) -> None:
        self.items: list[Any] = []

    def put(self, item: Any) -> None:
        self.items.append(item)


def drift(level: int, base: int) -> float:
    return (level - base) / base


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=10_000)
    parser.add_argument("--side", type=int, default=5)
    parser.add_argument("--sims", type=int, default=8)
    parser.add_argument("--network", default="heuristic")
    parser.add_argument("--warm-up", type=int, default=1000, help="games before the baseline")
    parser.add_argument("--every", type=int, default=500, help="games between samples")
    parser.add_argument("--tolerance", type=float, default=0.05)
    args = parser.parse_args()
    if not 0 < args.warm_up < args.games:
        parser.error("the warm-up must be between 0 and the number of games")

    settings = SearchSettings(dim=args.side, sims_per_move=args.sims, sample_moves=8)
    stored = dict(settings.as_dict(), network=args.network)
    loopback = Loopback(args.side, args.network)
    base: tuple[int, int] | None = None
    worst = [0.0, 0.0]  # the largest drift of memory and of objects after the warm-up
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "soak.jsonl.gz"
        with GameWriter(path) as writer:
            for number in range(1, args.games + 1):
                results = Results()
                status = module.play_training_game(number, settings, results, loopback,
                                                   loopback)
                if status != 0:
                    print(f"game {number} ended with status {status}", file=sys.stderr)
                    return 1
                writer.write(game_line(number, args.side, results.items[0][1], stored))
                del results
                if number % args.every and number != args.warm_up:
                    continue
                memory, objects = resident_bytes(), python_objects()
                line = (f"{number:7d} games {time.perf_counter() - started:8.1f} s  "
                        f"resident {memory / 2**20:8.2f} MiB  objects {objects:8d}")
                if number == args.warm_up:
                    base = (memory, objects)
                    line += "  (baseline)"
                elif base is not None:
                    now = (drift(memory, base[0]), drift(objects, base[1]))
                    worst = [max(w, n) for w, n in zip(worst, now, strict=True)]
                    line += f"  ({now[0]:+.2%}, {now[1]:+.2%})"
                print(line, flush=True)
        stored_games = sum(1 for _ in read_games(path))
    assert base is not None
    seconds = time.perf_counter() - started
    print(f"{args.games} games of side {args.side} at {args.sims} simulations in "
          f"{seconds:.0f} s ({loopback.requests} evaluations); after {args.warm_up} games: "
          f"resident {base[0] / 2**20:.2f} MiB, {base[1]} objects; largest growth after it: "
          f"memory {worst[0]:+.2%}, objects {worst[1]:+.2%}; {stored_games} games in the file")
    if stored_games != args.games:
        print(f"the file holds {stored_games} games, not {args.games}", file=sys.stderr)
        return 1
    if max(worst) > args.tolerance:
        print(f"growth beyond {args.tolerance:.0%} after the warm-up", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
