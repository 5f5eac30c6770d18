"""The module's own cost per request: instructions per request of whole training games divided by
instructions per request of the request floor, counted by callgrind; the same ratio in wall-clock
time; and peak memory of a training game at many simulations per move. With --modes, also the
instructions per simulation of training games in each search mode of tralix_engine (the search
library's sound and Gumbel modes), as a ratio to the visits search (mode 0).

The floor is what every simulation must do whatever the search does: encode a position, build
the request's nested lists of bools, call put and recv, read the reply's floats. Both runs go
through the module's own inference channel (the benchmark extension tralix_module_cost, built
with -DTRALIX_BUILD_BENCHMARKS=ON beside tralix_self_play) against the instant responder of
training_game_bench.py; the games start from a fixed seed, so the counts repeat exactly.
Instruction counts are those of the whole run less those of the same run with a count of 0 (the
interpreter, the imports and the set-up), divided by the requests made.

    python bench/module_cost_bench.py [--build build/release] [--side 20] [--sims 100]
        [--games 1] [--floor-requests 20000] [--memory-sims 800] [--rounds 5] [--no-callgrind]
        [--modes 0,1,2]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from training_game_bench import Config, InstantResponder  # noqa: E402


def run_part(part, side, sims, count, seed, mode=0):
    """One part in this interpreter: 'game' (count games in search mode `mode`) or 'floor'
    (count requests); with a count of 0, the imports and the set-up alone. Returns the requests
    made, the simulations run and the seconds taken."""
    import tralix_module_cost  # type: ignore[import-not-found]  # built with the benchmarks only

    responder = InstantResponder(side)
    config = Config(side, sims)
    config.search_mode = mode
    start = time.perf_counter()
    simulations = 0
    if part == "game":
        tiles = tralix_module_cost.training_games(count, seed, config, responder, responder)
        simulations = tiles * sims
    elif part == "floor":
        tralix_module_cost.request_floor(count, seed, config, responder, responder)
    else:
        raise SystemExit(f"unknown part {part}")
    return {"requests": responder.requests, "simulations": simulations,
            "seconds": time.perf_counter() - start}


def child(args, part, count, valgrind=None, mode=0):
    """Runs one part in a fresh interpreter, under callgrind when valgrind is given; returns its
    result and, under callgrind, the instructions counted."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(args.build / "self_play")] + env.get("PYTHONPATH", "").split(os.pathsep))
    command = [sys.executable, __file__, "--part", part, "--side", str(args.side), "--sims",
               str(args.sims), "--count", str(count), "--seed", str(args.seed), "--mode",
               str(mode)]
    with tempfile.TemporaryDirectory() as scratch:
        if valgrind:
            out = Path(scratch) / "callgrind.out"
            command = [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}"] + command
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"{part} failed:\n{done.stderr}")
        result = json.loads(done.stdout.splitlines()[-1])
        if valgrind:
            found = re.search(r"^summary:\s*(\d+)", out.read_text(), re.MULTILINE)
            if found is None:
                raise SystemExit(f"no instruction total in callgrind's output for {part}")
            result["instructions"] = int(found.group(1))
    return result


def memory_at(args, sims):
    """Peak resident memory of one training game through tralix_self_play, in a fresh
    interpreter, in MB."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(args.build / "self_play")] + env.get("PYTHONPATH", "").split(os.pathsep))
    out = subprocess.run(
        [sys.executable, str(HERE / "training_game_bench.py"), "--one", "--side",
         str(args.side), "--sims", str(sims), "--games", "1"],
        env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)["peak_rss_mb"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=Path("build/release"),
                        help="the build folder holding self_play/tralix_module_cost*.so")
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, default=100, help="simulations per move")
    parser.add_argument("--games", type=int, default=1)
    parser.add_argument("--floor-requests", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--memory-sims", type=int, default=800,
                        help="simulations per move of the peak-memory game; 0 skips it")
    parser.add_argument("--rounds", type=int, default=5,
                        help="wall-clock rounds of each; the best counts")
    parser.add_argument("--no-callgrind", action="store_true",
                        help="wall-clock figures only")
    parser.add_argument("--modes", default="",
                        help="comma-separated search modes whose instructions per simulation "
                             "are compared with mode 0's (callgrind)")
    parser.add_argument("--mode", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--part", help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.part:
        print(json.dumps(run_part(args.part, args.side, args.sims, args.count, args.seed,
                                  args.mode)))
        return
    args.build = args.build.resolve()

    print(f"side {args.side}, {args.sims} simulations per move, {args.games} game(s), "
          f"floor {args.floor_requests} requests, seed {args.seed}")
    if not args.no_callgrind:
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            raise SystemExit("valgrind was not found (or pass --no-callgrind)")
        per_request = {}
        requests = {}
        for part, count in (("game", args.games), ("floor", args.floor_requests)):
            idle = child(args, part, 0, valgrind)
            run = child(args, part, count, valgrind)
            requests[part] = run["requests"]
            per_request[part] = (run["instructions"] - idle["instructions"]) / run["requests"]
        per_game, per_floor = per_request["game"], per_request["floor"]
        print(f"instructions per request: game {per_game:,.0f} over {requests['game']:,} "
              f"requests, floor {per_floor:,.0f}; ratio {per_game / per_floor:.3f}")
        modes = [int(m) for m in args.modes.split(",") if m]
        per_simulation = {}
        for mode in sorted(set(modes) | {0}) if modes else []:
            idle = child(args, "game", 0, valgrind, mode)
            run = child(args, "game", args.games, valgrind, mode)
            per_simulation[mode] = (run["instructions"] - idle["instructions"]) / run["simulations"]
            print(f"search mode {mode}: {per_simulation[mode]:,.0f} instructions per simulation "
                  f"over {run['simulations']:,} simulations ({run['requests']:,} requests), "
                  f"ratio to mode 0 {per_simulation[mode] / per_simulation[0]:.3f}")
    # Wall clock: the best of a few rounds of each, taken in turn, so that a busy moment of the
    # machine does not count against one side only.
    us_game = us_floor = float("inf")
    for _ in range(args.rounds):
        game = child(args, "game", args.games)
        floor = child(args, "floor", args.floor_requests)
        us_game = min(us_game, 1e6 * game["seconds"] / game["requests"])
        us_floor = min(us_floor, 1e6 * floor["seconds"] / floor["requests"])
    print(f"wall clock per request, best of {args.rounds}: game {us_game:.2f} us, floor "
          f"{us_floor:.2f} us; ratio {us_game / us_floor:.3f}")
    if args.memory_sims > 0:
        print(f"peak resident memory of one game at {args.memory_sims} simulations per move: "
              f"{memory_at(args, args.memory_sims):.1f} MB")


if __name__ == "__main__":
    main()
