"""Self-play through Ray on one node against the same self-play run locally, with the same
layout (worker processes x game threads, heuristic network): games per second of each,
measured in this run in alternating rounds, their ratio, and Ray's cost per game in
microseconds.

Ray's cost per game is shown three ways: the driver's own time in Ray's calls (submitting
requests, reading the answers) per game; a round trip of the games' results through a remote
call, per game (an upper bound of moving a batch of finished games: the real path moves it one
way); and the difference of the two wall clocks per game (noisy on a loaded machine).

It starts a one-node Ray instance of its own. Ray must only see the loopback interface, so
run it in a network namespace of its own:

    unshare --net sh -c 'ip link set lo up && .venv/bin/python bench/ray_bench.py'
        [--side 20] [--sims 64] [--games 8] [--workers 2] [--threads 4] [--rounds 3]
"""

import argparse
import logging
import statistics
import time

import ray

from tralix_harness.cluster.driver import Cluster
from tralix_harness.pool import GameStatus, Run, RunOptions
from tralix_harness.settings import SearchSettings


@ray.remote
def echo(results):
    return results


def play(open_run, options):
    """(seconds from the run's start to its last game, results, the run)."""
    start = time.perf_counter()
    results = []
    with open_run(options) as run:
        for result in run:
            assert result.status is GameStatus.FINISHED
            results.append(result)
    seconds = time.perf_counter() - start
    assert sorted(r.number for r in results) == list(range(options.games))
    return seconds, results, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, default=64)
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    options = RunOptions(kind="selfplay", games=args.games,
                         settings=SearchSettings(dim=args.side, sims_per_move=args.sims),
                         networks=["heuristic"], workers=args.workers, threads=args.threads)
    ray.init(num_cpus=args.workers, object_store_memory=200 * 2**20, include_dashboard=False,
             logging_level=logging.WARNING)
    session = Cluster.connect("auto")
    try:
        local_seconds, ray_seconds, driver_costs, differences = [], [], [], []
        results = []
        for round_number in range(args.rounds):
            # Alternate which goes first, so that neither always meets a warmer machine.
            order = ("local", "ray") if round_number % 2 == 0 else ("ray", "local")
            for which in order:
                if which == "local":
                    seconds, results, _ = play(Run, options)
                    local_seconds.append(seconds)
                else:
                    seconds, _, run = play(session.run, options)
                    ray_seconds.append(seconds)
                    driver_costs.append(run.ray_seconds / args.games)
                    batches = run.batches
            differences.append((ray_seconds[-1] - local_seconds[-1]) / args.games)
            print(f"round {round_number + 1}: local {args.games / local_seconds[-1]:.3f} "
                  f"games/s, ray {args.games / ray_seconds[-1]:.3f} games/s "
                  f"({batches} batches)", flush=True)

        echo_times = []
        for _ in range(5):
            start = time.perf_counter()
            ray.get(echo.remote(results))
            echo_times.append((time.perf_counter() - start) / len(results))
        local_rate = args.games * args.rounds / sum(local_seconds)
        ray_rate = args.games * args.rounds / sum(ray_seconds)
        tiles = statistics.mean(len(r.data[0]) for r in results)
        print(f"side {args.side}, {args.sims} simulations per move, {args.games} games per "
              f"round ({tiles:.0f} tiles per game), {args.workers} workers x {args.threads} "
              f"threads, {args.rounds} rounds each")
        print(f"local run: {local_rate:.3f} games/s; through Ray on one node: "
              f"{ray_rate:.3f} games/s; ratio {ray_rate / local_rate:.3f}")
        print(f"Ray per game: the driver's time in Ray calls "
              f"{statistics.median(driver_costs) * 1e6:,.0f} µs; a round trip of the results "
              f"{statistics.median(echo_times) * 1e6:,.0f} µs; the wall-clock difference "
              f"{statistics.median(differences) * 1e6:,.0f} µs (median of the rounds)")
    finally:
        session.close()


if __name__ == "__main__":
    main()
