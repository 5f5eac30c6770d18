"""The learning loop's choices, decided on several seeds: each variant is `tralix loop` from
scratch for the same minutes (or generations) on each seed, its options added to the
defaults; then its last network is scored greedily in seat 0 against three uniformly random
players (beside a random seat 0's own score, measured by the same command) and in seat-rotated
matches against three heuristics, and its last value loss is read. Each variant's difference
from the first one is paired by seed, with its 95 % interval over the seeds (Student's t).

    .venv/bin/python bench/loop_ablation.py --side 20 --minutes 30 --parallel 2 \\
        --seeds 0 1 2 --variant base= --variant sims32="--sims 32" [--folder data/ablation]

With --parallel 2 the runs go two at a time, each on one worker process and one training
thread, so that both have one of the machine's two cores for the same minutes; with 1 they run
one after the other on the loop's defaults (two workers, two training threads). A run folder
that is there already is resumed (a finished run ends at once) and an evaluation already made
is read back from the run folder's `ablation.json`, so an interrupted ablation goes on where it
stopped.
"""

from __future__ import annotations

import argparse
import json
import shlex
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from run_figures import (
    generations,
    greedy_scores,
    interval,
    last_checkpoint,
    last_value_loss,
    tralix,
)


@dataclass(frozen=True)
class Variant:
    name: str
    options: list[str]


def parse_variant(text: str) -> Variant:
    name, _, options = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"a variant is NAME=OPTIONS, not {text!r}")
    return Variant(name, shlex.split(options))


def run_folder(folder: Path, variant: Variant, seed: int) -> Path:
    return folder / f"{variant.name}-s{seed}"


def loop_command(variant: Variant, run: Path, args: argparse.Namespace, seed: int) -> list[str]:
    shared = ["--workers", "1", "--train-threads", "1"] if args.parallel > 1 else []
    length = (["--minutes", str(args.minutes)] if args.minutes
              else ["--generations", str(args.generations)])
    return tralix("loop", str(run), "--side", str(args.side), *length, "--seed", str(seed),
                  *shared, *variant.options)


def evaluate(run: Path, args: argparse.Namespace, seed: int) -> dict[str, Any]:
    """The run's figures, measured once and kept in the run folder."""
    kept = run / "ablation.json"
    if kept.exists():
        return dict(json.loads(kept.read_text()))
    network = f"torch:{last_checkpoint(run)}"
    figures = {"seed": seed, "generations": generations(run),
               **greedy_scores(network, args.side, args.random_games, args.heuristic_games,
                               args.eval_seed),
               "value_loss": last_value_loss(run)}
    kept.write_text(json.dumps(figures))
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variant", type=parse_variant, action="append", required=True,
                        help="NAME=OPTIONS of tralix loop (repeat); the first is the control")
    parser.add_argument("--side", type=int, default=10)
    parser.add_argument("--minutes", type=float, default=0.0)
    parser.add_argument("--generations", type=int, default=0)
    parser.add_argument("--parallel", type=int, choices=(1, 2), default=2)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0])
    parser.add_argument("--eval-seed", type=int, default=0, help="the arena's openings")
    parser.add_argument("--random-games", type=int, default=1024)
    parser.add_argument("--heuristic-games", type=int, default=400)
    parser.add_argument("--folder", type=Path, default=Path("data/ablation"))
    args = parser.parse_args()
    if not args.minutes and not args.generations:
        args.minutes = 20.0
    variants: list[Variant] = args.variant
    args.folder.mkdir(parents=True, exist_ok=True)
    runs = [(variant, seed) for seed in args.seeds for variant in variants]
    # Runs already evaluated are left out before pairing, so that the rest still go two at a
    # time: a run alone on the machine would have it quieter than the runs it is compared with.
    pending = [(variant, seed) for variant, seed in runs
               if not (run_folder(args.folder, variant, seed) / "ablation.json").exists()]
    for start in range(0, len(pending), args.parallel):
        running = []
        for variant, seed in pending[start:start + args.parallel]:
            folder = run_folder(args.folder, variant, seed)
            command = loop_command(variant, folder, args, seed)
            print("$", shlex.join(command), flush=True)
            log = open(args.folder / f"{folder.name}.log", "a")  # noqa: SIM115
            running.append((subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT), log))
        for process, log in running:
            if process.wait() != 0:
                raise SystemExit(f"{process.args!r} ended with {process.returncode}")
            log.close()
    # Evaluations one at a time: each uses both cores.
    figures = {(v.name, s): evaluate(run_folder(args.folder, v, s), args, s) for v, s in runs}

    print("| variant | seed | generations | greedy vs 3 random | random seat 0 | "
          "one seat vs 3 heuristics | value loss |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for variant, seed in runs:
        f = figures[(variant.name, seed)]
        print(f"| {variant.name} | {seed} | {f['generations']} | {f['random'][0]:.3f} ± "
              f"{f['random'][1]:.3f} | {f['random_seat'][0]:.3f} ± {f['random_seat'][1]:.3f} | "
              f"{f['heuristics'][0]:.3f} ± {f['heuristics'][1]:.3f} | {f['value_loss']:.3f} |")
    control = variants[0]
    print()
    print(f"| variant | vs heuristics, mean of seeds | minus {control.name}, paired by seed | "
          f"vs random, mean | minus {control.name} | value loss | minus {control.name} |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for variant in variants:
        cells = []
        for key, index in (("heuristics", 0), ("random", 0), ("value_loss", None)):
            own = [figures[(variant.name, s)][key] for s in args.seeds]
            base = [figures[(control.name, s)][key] for s in args.seeds]
            if index is not None:
                own, base = [x[index] for x in own], [x[index] for x in base]
            cells += [interval(own), interval([a - b for a, b in zip(own, base, strict=True)])]
        print(f"| {variant.name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
