"""The learning loop's choices at equal wall time: each variant is `tralix loop` from scratch on
side 10 for the same minutes (its options added to the defaults), then its last network is
scored greedily in seat 0 against three uniformly random players (beside a random seat 0's own
score, measured by the same command) and in seat-rotated matches against three heuristics.

    .venv/bin/python bench/loop_ablation.py --minutes 20 --parallel 2 \\
        --variant default= --variant sims32="--sims 32" [--seed 0] [--folder data/ablation]

With --parallel 2 the variants run two at a time, each on one worker process and one training
thread, so that both have one of the machine's two cores for the same minutes; with 1 they run
one after the other on the loop's defaults (two workers, two training threads).
"""

from __future__ import annotations

import argparse
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

# "mean score 0.650 ± 0.141" and "a uniformly random player in seat 0 scores 0.475 ± 0.153"
SCORE = re.compile(r"scores? (\d\.\d+) ± (\d\.\d+)")


@dataclass(frozen=True)
class Variant:
    name: str
    options: list[str]


def parse_variant(text: str) -> Variant:
    name, _, options = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"a variant is NAME=OPTIONS, not {text!r}")
    return Variant(name, shlex.split(options))


def tralix(*arguments: str) -> list[str]:
    return [sys.executable, "-m", "tralix_harness", *arguments]


def loop_command(variant: Variant, folder: Path, minutes: float, seed: int,
                 parallel: int) -> list[str]:
    shared = ["--workers", "1", "--train-threads", "1"] if parallel > 1 else []
    return tralix("loop", str(folder / variant.name), "--side", "10", "--minutes", str(minutes),
                  "--seed", str(seed), *shared, *variant.options)


def last_checkpoint(run: Path) -> Path:
    checkpoints = sorted((run / "checkpoints").glob("gen-*.pt"))
    if not checkpoints:
        raise SystemExit(f"{run}: no checkpoint")
    return checkpoints[-1]


def scores(command: list[str]) -> list[tuple[float, float]]:
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return [(float(m), float(h)) for m, h in SCORE.findall(done.stdout)]


def evaluate(run: Path, random_games: int, heuristic_games: int, seed: int) -> str:
    network = f"torch:{last_checkpoint(run)}"
    greedy, random_seat = scores(tralix(
        "eval-random", "--side", "10", "--network", network, "--games", str(random_games)))
    [against_heuristic] = scores(tralix(
        "arena", "--side", "10", "--network", network, "--baseline", "heuristic",
        "--games", str(heuristic_games), "--seed", str(seed)))
    generations = len(list((run / "checkpoints").glob("gen-*.pt"))) - 1
    return (f"| {run.name} | {generations} | {greedy[0]:.3f} ± {greedy[1]:.3f} | "
            f"{random_seat[0]:.3f} ± {random_seat[1]:.3f} | "
            f"{against_heuristic[0]:.3f} ± {against_heuristic[1]:.3f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variant", type=parse_variant, action="append", required=True,
                        help="NAME=OPTIONS of tralix loop (repeat)")
    parser.add_argument("--minutes", type=float, default=20.0)
    parser.add_argument("--parallel", type=int, choices=(1, 2), default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--random-games", type=int, default=1024)
    parser.add_argument("--heuristic-games", type=int, default=400)
    parser.add_argument("--folder", type=Path, default=Path("data/ablation"))
    args = parser.parse_args()
    variants: list[Variant] = args.variant
    args.folder.mkdir(parents=True, exist_ok=True)
    for start in range(0, len(variants), args.parallel):
        batch = variants[start:start + args.parallel]
        running = []
        for variant in batch:
            command = loop_command(variant, args.folder, args.minutes, args.seed, args.parallel)
            print("$", shlex.join(command), flush=True)
            log = open(args.folder / f"{variant.name}.log", "w")  # noqa: SIM115
            running.append((subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT), log))
        for process, log in running:
            if process.wait() != 0:
                raise SystemExit(f"{process.args!r} ended with {process.returncode}")
            log.close()
    print("| variant | generations | greedy vs 3 random | random seat 0 | "
          "one seat vs 3 heuristics |")
    print("| --- | --- | --- | --- | --- |")
    for variant in variants:
        print(evaluate(args.folder / variant.name, args.random_games, args.heuristic_games,
                       args.seed), flush=True)


if __name__ == "__main__":
    main()
