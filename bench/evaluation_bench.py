"""What a generation's evaluation costs in the loop: each of its rating matches alone, the
matches played one after the other (one thread) and side by side (two), and the whole
evaluation with the loop's defaults and with a rating match against a second earlier
generation, each beside the generation's own wall time in the run's metrics.

    .venv/bin/python bench/evaluation_bench.py data/bar-side20-90 --generation 20 \
        [--repeats 3] [--eval-games 256] [--backend torch-bfloat16]

Works on a copy of the run's settings, baseline and last checkpoints in a temporary folder;
the run itself is only read. Run it alone on the machine.
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import tempfile
import time
from pathlib import Path

from tralix_harness.learning.folder import RunFolder
from tralix_harness.learning.settings import LoopControl, LoopSettings
from tralix_harness.networks.backend import Backend

# The loop (and torch with it) is imported where it runs, not here: the worker processes of
# the games against random players import this script again, and they need no torch.


def copy_run(run: Path, generation: int, into: Path) -> RunFolder:
    folder = RunFolder(into)
    (into / "checkpoints").mkdir(parents=True)
    for name in ("settings.json", "baseline.json"):
        if (run / name).exists():
            shutil.copy(run / name, into / name)
    for g in range(max(0, generation - 2), generation + 1):
        shutil.copy(RunFolder(run).checkpoint(g), folder.checkpoint(g))
    return folder


def timed(folder: RunFolder, settings: LoopSettings, control: LoopControl,
          generation: int) -> float:
    from tralix_harness.learning.loop import Loop

    loop = Loop(folder, settings, control)
    start = time.perf_counter()
    loop.evaluation.evaluate(generation)
    return time.perf_counter() - start


def each_match(folder: RunFolder, settings: LoopSettings, control: LoopControl,
               generation: int) -> dict[str, float]:
    """Seconds of each rating match alone, on one thread, as the loop plays it."""
    import torch

    from tralix_harness.learning.loop import Loop

    torch.set_num_threads(1)
    loop = Loop(folder, settings, control)
    policies: dict[int, object] = {}

    def policy_of(g: int) -> object:
        if g not in policies:
            policies[g] = loop.evaluation.policy(folder.checkpoint(g))
        return policies[g]

    seconds = {}
    for name, match in loop.evaluation.rating_matches(generation, policy_of):
        start = time.perf_counter()
        match(generation, [], lambda: False)
        seconds[name] = time.perf_counter() - start
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", type=Path)
    parser.add_argument("--generation", type=int, required=True)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--eval-games", type=int, default=LoopControl().eval_games,
                        help="games against random players in the whole evaluation")
    parser.add_argument("--backend", type=Backend, default=Backend.AUTO,
                        help="the loop's --backend (auto)")
    args = parser.parse_args()
    backend = args.backend
    settings = LoopSettings.from_dict(json.loads((args.run / "settings.json").read_text()))
    metrics = [json.loads(line) for line in (args.run / "metrics.jsonl").open()]
    wall = [m["wall_time"] for m in metrics]
    generation_seconds = wall[args.generation] - wall[args.generation - 1]
    variants = {
        "rating matches, one thread": LoopControl(workers=1, eval_games=0, backend=backend),
        "rating matches, two threads": LoopControl(workers=2, eval_games=0, backend=backend),
        "whole evaluation, defaults": LoopControl(eval_games=args.eval_games, backend=backend),
        "whole, two earlier generations": LoopControl(eval_games=args.eval_games,
                                                      backend=backend, rating_previous=2),
    }
    seconds: dict[str, list[float]] = {name: [] for name in variants}
    alone: dict[str, list[float]] = {}
    with tempfile.TemporaryDirectory() as temporary:
        # A copy each: a run measures the random player's baseline once, for its number of
        # games, and keeps it in the folder.
        folders = {name: copy_run(args.run, args.generation, Path(temporary) / str(index))
                   for index, name in enumerate(variants)}
        for name, control in variants.items():
            if control.eval_games:  # warm: the baseline
                timed(folders[name], settings, control, args.generation)
        for _ in range(args.repeats):  # interleaved, so that drifts fall on all alike
            for name, control in variants.items():
                seconds[name].append(timed(folders[name], settings, control, args.generation))
            for name, value in each_match(folders["rating matches, one thread"], settings,
                                          variants["rating matches, one thread"],
                                          args.generation).items():
                alone.setdefault(name, []).append(value)
    print(f"side {settings.side}, generation {args.generation}: the generation took "
          f"{generation_seconds:.1f} s in the run")
    for name, values in alone.items():
        print(f"{'  match against ' + name:30s} median {statistics.median(values):6.2f} s "
              f"alone on one thread")
    for name, values in seconds.items():
        median = statistics.median(values)
        print(f"{name:30s} median {median:6.2f} s over {len(values)} "
              f"({', '.join(f'{v:.2f}' for v in values)}); {median / generation_seconds:.1%} "
              "of the generation")


if __name__ == "__main__":
    main()
