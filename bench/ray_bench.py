"""Self-play through Ray on one node against the same self-play run locally, with the same
layout (worker processes x game threads, heuristic network), measured in this run in
alternating rounds: games per second of each and their ratio; the CPU time per game of each
(every process of the run, the driver's included, Ray's own daemons aside), which a busy
machine disturbs much less than the wall clock; and Ray's cost per game in microseconds.

Ray's cost per game is shown three ways: the driver's own time in Ray's calls (submitting
requests, reading the answers) per game; a round trip of the games' results through a remote
call, per game (an upper bound of moving a batch of finished games: the real path moves it one
way); and the difference of the CPU times per game.

It starts a one-node Ray instance of its own. Ray must only see the loopback interface, so
run it in a network namespace of its own:

    unshare --net sh -c 'ip link set lo up && .venv/bin/python bench/ray_bench.py'
        [--side 20] [--sims 64] [--games 8] [--workers 2] [--threads 4] [--rounds 3]
"""

import argparse
import functools
import logging
import resource
import statistics
import time

from tralix_harness.base.settings import SearchSettings
from tralix_harness.local.lifecycle import GameStatus
from tralix_harness.local.options import RunOptions
from tralix_harness.local.run import Run

# Ray is imported in main() only: the local run's processes import this file again (spawn),
# and must not pay for importing Ray, as a local run's never do.


def own_cpu():
    """CPU seconds of this process and of the processes it has reaped."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    reaped = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + reaped.ru_utime + reaped.ru_stime


def play(open_run, options, cpu):
    """(wall seconds from the run's start to its last game, CPU seconds, results, run)."""
    cpu_before = cpu()
    start = time.perf_counter()
    results = []
    with open_run(options) as run:
        for result in run:
            assert result.status is GameStatus.FINISHED
            results.append(result)
    seconds = time.perf_counter() - start
    assert sorted(r.number for r in results) == list(range(options.games))
    return seconds, cpu() - cpu_before, results, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=20)
    parser.add_argument("--sims", type=int, default=64)
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    import ray

    from tralix_harness.cluster.run import ClusterRun
    from tralix_harness.cluster.session import Cluster

    @ray.remote
    def echo(results):
        return results

    options = RunOptions(kind="selfplay", games=args.games,
                         settings=SearchSettings(dim=args.side, sims_per_move=args.sims),
                         networks=["heuristic"], workers=args.workers, threads=args.threads)
    # A cluster of its own, whatever a cluster left behind in /tmp/ray says.
    ray.init(address="local", num_cpus=args.workers, object_store_memory=200 * 2**20,
             include_dashboard=False, logging_level=logging.WARNING)
    session = Cluster.connect("auto")
    (player,) = session.players.values()

    def cluster_cpu():
        return own_cpu() + ray.get(player.handle.cpu_seconds.remote())

    try:
        walls = {"local": [], "ray": []}
        cpus = {"local": [], "ray": []}
        driver_costs, results = [], []
        for round_number in range(args.rounds):
            # Alternate which goes first, so that neither always meets a warmer machine.
            order = ("local", "ray") if round_number % 2 == 0 else ("ray", "local")
            for which in order:
                if which == "local":
                    seconds, cpu, results, _ = play(Run, options, own_cpu)
                else:
                    seconds, cpu, _, run = play(functools.partial(ClusterRun, session), options,
                                             cluster_cpu)
                    driver_costs.append(run.ray_seconds / args.games)
                    batches = run.batches
                walls[which].append(seconds)
                cpus[which].append(cpu / args.games)
            print(f"round {round_number + 1}: local {args.games / walls['local'][-1]:.3f} "
                  f"games/s, {cpus['local'][-1]:.2f} CPU s per game; ray "
                  f"{args.games / walls['ray'][-1]:.3f} games/s, {cpus['ray'][-1]:.2f} CPU s "
                  f"per game ({batches} batches)", flush=True)

        echo_times = []
        for _ in range(5):
            start = time.perf_counter()
            ray.get(echo.remote(results))
            echo_times.append((time.perf_counter() - start) / len(results))
        local_rate = args.games * args.rounds / sum(walls["local"])
        ray_rate = args.games * args.rounds / sum(walls["ray"])
        ratios = [local / through
                  for local, through in zip(walls["local"], walls["ray"], strict=True)]
        local_cpu, ray_cpu = statistics.median(cpus["local"]), statistics.median(cpus["ray"])
        tiles = statistics.mean(len(r.game.history) for r in results)
        print(f"side {args.side}, {args.sims} simulations per move, {args.games} games per "
              f"round ({tiles:.0f} tiles per game), {args.workers} workers x {args.threads} "
              f"threads, {args.rounds} rounds each")
        print(f"local run: {local_rate:.3f} games/s; through Ray on one node: "
              f"{ray_rate:.3f} games/s; ratio {ray_rate / local_rate:.3f} (of the rounds: "
              f"median {statistics.median(ratios):.3f}, from {min(ratios):.3f} to "
              f"{max(ratios):.3f})")
        print(f"CPU per game (median of the rounds): local {local_cpu:.3f} s, through Ray "
              f"{ray_cpu:.3f} s; ratio of throughput by CPU {local_cpu / ray_cpu:.3f}")
        print(f"Ray per game: the driver's time in Ray calls "
              f"{statistics.median(driver_costs) * 1e6:,.0f} µs; a round trip of the results "
              f"{statistics.median(echo_times) * 1e6:,.0f} µs; the CPU difference "
              f"{(ray_cpu - local_cpu) * 1e6:,.0f} µs")
    finally:
        session.close()


if __name__ == "__main__":
    main()
