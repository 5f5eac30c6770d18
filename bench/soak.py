"""A soak: many training games in one process, watching for leaks.

The games are the module's (play_training_game), played as a worker plays them: --slots games
at once on the harness's worker channels (greenlets, requests packed into one batch, the
heuristic network evaluating the batch in the process, replies read into the slots' reused
lists), and every finished game written by the data-file writer and read back at the end.

    python bench/soak.py [--games 10000] [--side 5] [--sims 8] [--slots 4] [--warm-up 1000]
                         [--every 500]

After the warm-up, the resident memory (/proc/self/statm) and the count of Python objects
(gc.get_objects(), after a collection) must stay within --tolerance of their level at the end
of the warm-up. It prints a line per sample and a summary; the exit status is 1 if either
drifted further, or if the file does not hold every game.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

import tralix_self_play as module
from tralix_harness.base.settings import SearchSettings
from tralix_harness.data.records import GameWriter, game_line, read_games
from tralix_harness.local.answering import BatchAnswerer
from tralix_harness.local.channels import Collector, WorkerChannels
from tralix_harness.networks.loading import load_network

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def python_objects() -> int:
    gc.collect()
    return len(gc.get_objects())


def drift(level: int, base: int) -> float:
    return (level - base) / base


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=10_000)
    parser.add_argument("--side", type=int, default=5)
    parser.add_argument("--sims", type=int, default=8)
    parser.add_argument("--network", default="heuristic")
    parser.add_argument("--slots", type=int, default=4, help="games played at once")
    parser.add_argument("--warm-up", type=int, default=1000, help="games before the baseline")
    parser.add_argument("--every", type=int, default=500, help="games between samples")
    parser.add_argument("--tolerance", type=float, default=0.05)
    args = parser.parse_args()
    if not 0 < args.warm_up < args.games:
        parser.error("the warm-up must be between 0 and the number of games")

    settings = SearchSettings(dim=args.side, sims_per_move=args.sims, sample_moves=8)
    stored = dict(settings.as_dict(), network=args.network)
    failures: list[str] = []
    answerer = BatchAnswerer(args.network, load_network(args.network, args.side), args.side, 1,
                             args.slots, report=failures.append)
    channels = WorkerChannels([answerer], range(args.slots), args.slots, args.side,
                              threading.Event())
    base: tuple[int, int] | None = None
    worst = [0.0, 0.0]  # the largest drift of memory and of objects after the warm-up
    claimed = itertools.count(1)
    started = time.perf_counter()

    def sample(number: int) -> None:
        nonlocal base
        memory, objects = resident_bytes(), python_objects()
        line = (f"{number:7d} games {time.perf_counter() - started:8.1f} s  "
                f"resident {memory / 2**20:8.2f} MiB  objects {objects:8d}")
        if number == args.warm_up:
            base = (memory, objects)
            line += "  (baseline)"
        elif base is not None:
            now = (drift(memory, base[0]), drift(objects, base[1]))
            worst[:] = [max(w, n) for w, n in zip(worst, now, strict=True)]
            line += f"  ({now[0]:+.2%}, {now[1]:+.2%})"
        print(line, flush=True)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "soak.jsonl.gz"
        with GameWriter(path) as writer:
            def play(slot: int) -> None:
                queue, pipe = channels.queue(0), channels.pipe(slot)
                while (number := next(claimed)) <= args.games and not failures:
                    results = Collector()
                    status = module.play_training_game(number * args.slots + slot, settings,
                                                       results, queue, pipe)
                    if status != 0:
                        failures.append(f"game {number} ended with status {status}")
                        return
                    writer.write(game_line(number, args.side, results.items[0][1], stored))
                    del results
                    if number % args.every == 0 or number == args.warm_up:
                        sample(number)

            channels.run(play)
        stored_games = sum(1 for _ in read_games(path))
    if failures:
        print(failures[0], file=sys.stderr)
        return 1
    assert base is not None
    seconds = time.perf_counter() - started
    print(f"{args.games} games of side {args.side} at {args.sims} simulations in "
          f"{seconds:.0f} s ({answerer.statistics.requests} evaluations in "
          f"{answerer.statistics.batches} batches); after {args.warm_up} games: "
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
