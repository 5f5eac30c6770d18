"""Harness throughput: network evaluations (simulations) per second through the reference harness
with the uniform network, side 20, 32 simulations per move, for several worker x thread layouts,
as a ratio to the module alone on one core (an instant in-process responder), both measured in
this run; the cost of each step a request takes outside the module; and, with --torch, the
server's mean batch and its network's share of the wall time with an untrained network of the
learning package at side 10.

    python bench/harness_bench.py [--seconds 12] [--layouts 1x1 1x8 2x8 2x16] [--torch]
"""

import argparse
import multiprocessing
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
from training_game_bench import InstantResponder, ResultQueue

import tralix_rules
import tralix_self_play
from tralix_harness.base.settings import SearchSettings
from tralix_harness.local.answering import planes_array
from tralix_harness.local.framing import FrameReader, write_frame
from tralix_harness.local.lifecycle import RunInterrupted
from tralix_harness.local.options import RunKind, RunOptions
from tralix_harness.local.run import Run
from tralix_harness.local.wire import (
    decode_requests,
    encode_replies,
    plane_bytes,
    reply_floats,
)

SIDE, SIMS = 20, 32


def settings(side=SIDE, sims=SIMS):
    return SearchSettings(dim=side, sims_per_move=sims, sample_moves=30)


def module_alone(seconds):
    """Simulations per second of whole training games on this core, nothing but the module and
    the cheapest possible Python responder."""
    responder = InstantResponder(SIDE)
    start = time.perf_counter()
    game = 0
    while time.perf_counter() - start < seconds:
        tralix_self_play.play_training_game(game, settings(), ResultQueue(), responder, responder)
        game += 1
    return responder.requests / (time.perf_counter() - start)


def measure(workers, threads, seconds, inference, network="uniform", side=SIDE, warmup=3.0):
    """(simulations per second, mean batch, share of the wall time each evaluator spends
    inside the network)."""
    options = RunOptions(kind=RunKind.SELFPLAY, games=100_000, settings=settings(side),
                         networks=[network], workers=workers, threads=threads,
                         inference=inference)
    marks = {}
    with Run(options) as run:
        def mark():
            statistics = run.network_statistics()
            return (time.perf_counter(), sum(s.requests for s in statistics),
                    sum(s.batches for s in statistics),
                    sum(s.network_seconds for s in statistics) / len(statistics))

        def timer():
            time.sleep(warmup)
            marks["start"] = mark()
            time.sleep(seconds)
            marks["end"] = mark()
            run.stop()

        threading.Thread(target=timer, daemon=True).start()
        try:
            for _ in run:
                pass
        except RunInterrupted:
            pass
    (t0, n0, b0, s0), (t1, n1, b1, s1) = marks["start"], marks["end"]
    return (n1 - n0) / (t1 - t0), (n1 - n0) / max(b1 - b0, 1), (s1 - s0) / (t1 - t0)


def per_call_us(fn, repeat=2000):
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return 1e6 * (time.perf_counter() - start) / repeat


def breakdown():
    """Microseconds per request for each step outside the module, batches of 8."""
    rng = np.random.default_rng(0)
    planes = (rng.random((5, SIDE, SIDE)) < 0.2).tolist()
    size = plane_bytes(SIDE)
    buffer = bytearray(8 + 4 * 8 + 8 * size)
    for k in range(8):
        tralix_rules.pack_planes(planes, buffer, 8 + 4 * 8 + k * size)
    buffer[:8] = np.array([8, 8], np.int32).tobytes()
    message = bytes(buffer)
    ids, raw = decode_requests(message, SIDE)
    scores = np.zeros((8, reply_floats(SIDE)), np.float32)
    reply = encode_replies(ids, scores)
    steps = {
        "worker: pack a request's nested lists in place": (
            lambda: tralix_rules.pack_planes(planes, buffer, 40), 1),
        "server: split a message of 8": (lambda: decode_requests(message, SIDE), 8),
        "server: a batch of 8 to a float32 array": (lambda: planes_array(raw, SIDE, 1), 8),
        "server: encode the replies to 8": (lambda: encode_replies(ids, scores), 8),
    }
    for name, (fn, per) in steps.items():
        print(f"  {name:<48} {per_call_us(fn) / per:7.2f} us")
    a, b = multiprocessing.Pipe(duplex=False)
    reader = FrameReader(a.fileno())

    def round_trip():
        write_frame(b.fileno(), *reply)
        reader.read()
    print(f"  {'pipe: one reply message of 8, per request':<48} {per_call_us(round_trip) / 8:7.2f}"
          " us")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--layouts", nargs="+", default=["1x1", "1x8", "2x8", "2x16"])
    parser.add_argument("--inference", nargs="+", default=["server", "worker"],
                        choices=["server", "worker"])
    parser.add_argument("--torch", action="store_true",
                        help="also the torch network at side 10 (needs the train extra)")
    args = parser.parse_args()
    print("per-request costs outside the module:")
    breakdown()
    alone = module_alone(args.seconds)
    print(f"side {SIDE}, {SIMS} simulations per move, uniform network:")
    print(f"  module alone, one core:           {alone:8,.0f} simulations/s")
    for inference in args.inference:
        for layout in args.layouts:
            workers, threads = map(int, layout.split("x"))
            rate, batch, _ = measure(workers, threads, args.seconds, inference)
            print(f"  {inference:>6}: {workers} x {threads:>2} (workers x threads): {rate:8,.0f} "
                  f"simulations/s, ratio {rate / alone:.3f}, mean batch {batch:.1f}")
    if args.torch:
        from tralix_harness.learning.settings import TrainSettings
        from tralix_harness.learning.trainer import Trainer
        from tralix_harness.networks.settings import ModelSettings

        with tempfile.TemporaryDirectory() as folder:
            checkpoint = Path(folder) / "side-10.pt"
            Trainer(10, ModelSettings(), TrainSettings()).save(checkpoint)
            print("side 10, 32 simulations per move, an untrained torch network of the learning "
                  "package (one torch thread per process):")
            for inference in args.inference:
                for layout in args.layouts:
                    workers, threads = map(int, layout.split("x"))
                    rate, batch, share = measure(workers, threads, args.seconds, inference,
                                                 f"torch:{checkpoint}", side=10)
                    print(f"  {inference:>6}: {workers} x {threads:>2}: {rate:8,.0f} "
                          f"simulations/s, mean batch {batch:.1f}, each network busy "
                          f"{share:.0%} of the wall time")

if __name__ == "__main__":
    main()
