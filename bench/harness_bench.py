"""Harness overhead: network evaluations (simulations) per second through the reference
harness with the uniform network, side 20, 32 simulations per move, for several worker x
thread layouts; and the cost of each step a request takes on its way.

    python bench/harness_bench.py [--seconds 12] [--layouts 1x1 1x8 2x8] [--max-wait-ms 0.5]
"""

import argparse
import multiprocessing
import threading
import time

import numpy as np

from tralix_harness.channel import decode_request, encode_reply, encode_request, flatten_planes
from tralix_harness.pool import Run, RunInterrupted, RunKind, RunOptions
from tralix_harness.server import planes_array
from tralix_harness.settings import SearchSettings


def measure(workers, threads, seconds, max_wait, warmup=3.0):
    settings = SearchSettings(dim=20, sims_per_move=32, sample_moves=30)
    options = RunOptions(kind=RunKind.SELFPLAY, games=10_000, settings=settings,
                         networks=["uniform"], workers=workers, threads=threads,
                         max_wait=max_wait)
    marks = {}
    with Run(options) as run:
        def timer():
            time.sleep(warmup)
            marks["start"] = (time.perf_counter(), run.requests_served())
            time.sleep(seconds)
            marks["end"] = (time.perf_counter(), run.requests_served())
            run.stop()

        threading.Thread(target=timer, daemon=True).start()
        try:
            for _ in run:
                pass
        except RunInterrupted:
            pass
    (t0, n0), (t1, n1) = marks["start"], marks["end"]
    return (n1 - n0) / (t1 - t0)


def per_call_us(fn, repeat=2000):
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return 1e6 * (time.perf_counter() - start) / repeat


def breakdown():
    """Microseconds per request for each step outside the module."""
    rng = np.random.default_rng(0)
    planes = (rng.random((5, 20, 20)) < 0.2).tolist()
    flat = flatten_planes(planes)
    request = encode_request(7, planes)
    policy, value = np.zeros(400, np.float32), np.zeros(4, np.float32)
    batch = [flat] * 8
    steps = {
        "worker: flatten the request's nested lists": lambda: flatten_planes(planes),
        "server: split a request": lambda: decode_request(request),
        "server: batch of 8 to an array, per request": lambda: planes_array(batch, 20, 1),
        "server: encode a reply": lambda: encode_reply(policy, value),
    }
    for name, fn in steps.items():
        cost = per_call_us(fn)
        if "batch of 8" in name:
            cost /= 8
        print(f"  {name:<48} {cost:7.1f} us")
    a, b = multiprocessing.Pipe(duplex=False)
    message = encode_reply(policy, value)

    def round_trip():
        b.send_bytes(message)
        a.recv_bytes()
    print(f"  {'pipe: send and receive one reply':<48} {per_call_us(round_trip):7.1f} us")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--layouts", nargs="+", default=["1x1", "1x8", "2x8"])
    parser.add_argument("--max-wait-ms", type=float, default=0.0)
    args = parser.parse_args()
    print("per-request costs outside the module:")
    breakdown()
    print(f"throughput, side 20, 32 simulations per move, uniform network, "
          f"max wait {args.max_wait_ms} ms:")
    for layout in args.layouts:
        workers, threads = map(int, layout.split("x"))
        rate = measure(workers, threads, args.seconds, args.max_wait_ms / 1000)
        print(f"  {workers} worker(s) x {threads} thread(s): {rate:8,.0f} simulations/s")


if __name__ == "__main__":
    main()
