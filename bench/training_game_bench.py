"""Whole training games against an instant in-process responder: time per simulation and peak
resident memory.

The responder answers every request with zero policy scores and equal value scores, so the
figures measure the module alone (game copies, descent, move generation, building the request,
reading the reply) plus the responder's own Python calls.

    python bench/training_game_bench.py [--side 20] [--sims 32 800] [--games 1]

Each setting runs in a fresh interpreter so that its peak memory is its own.
"""

import argparse
import json
import resource
import subprocess
import sys
import time


class Config:
    def __init__(self, side, sims):
        self.dim = side
        self.rep = 1
        self.sims_per_move = sims
        self.sample_moves = 30
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


class InstantResponder:
    """The request queue and the pipe in one: put() counts, recv() returns the fixed reply."""

    def __init__(self, side):
        self.reply = ([0.0] * (side * side), [0.0, 0.0, 0.0, 0.0])
        self.requests = 0

    def put(self, request):
        self.requests += 1

    def recv(self):
        return self.reply


class ResultQueue:
    def __init__(self):
        self.items = []

    def put(self, item):
        self.items.append(item)


def run_one(side, sims, games):
    import tralix_self_play

    responder = InstantResponder(side)
    results = ResultQueue()
    start = time.perf_counter()
    for game_id in range(games):
        status = tralix_self_play.play_training_game(
            game_id, Config(side, sims), results, responder, responder)
        if status != 0:
            raise SystemExit(f"game {game_id} failed with status {status}")
    elapsed = time.perf_counter() - start
    moves = sum(len(history) for _, (history, _, _) in results.items)
    simulations = moves * sims
    return {
        "side": side,
        "sims_per_move": sims,
        "games": games,
        "moves": moves,
        "requests": responder.requests,
        "seconds": elapsed,
        "us_per_simulation": 1e6 * elapsed / max(simulations, 1),
        "us_per_request": 1e6 * elapsed / max(responder.requests, 1),
        "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def per_request_cost(side, games=20):
    """Games against random players: each request is one greedy evaluation of seat 0, so the
    time per request is the cost of encoding a position, building the request's lists, the
    put and recv, reading the reply and turning it into priors (plus the cheap random seats)."""
    import tralix_self_play

    responder = InstantResponder(side)
    results = ResultQueue()
    start = time.perf_counter()
    for game_id in range(games):
        tralix_self_play.play_test_against_random(game_id, Config(side, 0), results, responder,
                                                  responder)
    return 1e6 * (time.perf_counter() - start) / responder.requests, responder.requests


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, nargs="+", default=[32, 800])
    parser.add_argument("--games", type=int, default=1)
    parser.add_argument("--one", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(run_one(args.side, args.sims[0], args.games)))
        return
    cost, requests = per_request_cost(args.side)
    print(f"one evaluation (encode, request, reply, priors), side {args.side}: {cost:.2f} us "
          f"per request over {requests} requests")
    print(f"{'side':>4} {'sims':>5} {'games':>5} {'moves':>6} {'requests':>9} {'seconds':>8} "
          f"{'us/sim':>7} {'us/request':>10} {'peak MB':>8}")
    for sims in args.sims:
        out = subprocess.run(
            [sys.executable, __file__, "--one", "--side", str(args.side), "--sims", str(sims),
             "--games", str(args.games)],
            check=True, capture_output=True, text=True).stdout
        r = json.loads(out)
        print(f"{r['side']:>4} {r['sims_per_move']:>5} {r['games']:>5} {r['moves']:>6} "
              f"{r['requests']:>9} {r['seconds']:>8.2f} {r['us_per_simulation']:>7.2f} "
              f"{r['us_per_request']:>10.2f} {r['peak_rss_mb']:>8.1f}")


if __name__ == "__main__":
    main()
